// MemoryContext: a memory device context compatible with another one, for drawing from a
// bitmap. Objects selected into it are selected out again, and the context is deleted, by the
// destructor. A paint handler creates it on the stack.
#pragma once

#include "handles.h"

#include <windows.h>

class MemoryContext {
public:
    explicit MemoryContext(HDC compatibleWith);
    ~MemoryContext();
    MemoryContext(const MemoryContext&) = delete;
    MemoryContext& operator=(const MemoryContext&) = delete;

    HDC dc() const { return dc_.get(); }
    // Selects an object (bitmap, font); the first selection's predecessor is restored at the end.
    bool select(HGDIOBJ object);

private:
    handles::CreatedDc dc_;
    handles::SelectedObject selection_; // declared after dc_: restored before the context goes
};
