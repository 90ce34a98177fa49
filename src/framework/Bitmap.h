// Bitmap: owner of one GDI bitmap loaded from a module's resources; the bitmap is deleted with
// the object or when another one is loaded. The window that shows it owns the object.
#pragma once

#include "handles.h"

#include <windows.h>

class Bitmap {
public:
    Bitmap() = default;
    // Loads bitmap resource `id` of `module`; false (and empty) when it cannot be loaded.
    bool load(HINSTANCE module, UINT id);
    void clear() { bitmap.reset(); }
    bool loaded() const { return bitmap.valid(); }
    HBITMAP get() const { return bitmap.get(); }
    // Size in pixels; 0 x 0 when empty.
    SIZE size() const;

private:
    handles::Bitmap bitmap;
};
