// Font: owner of one GDI font; the font is deleted with the object or when another is created.
// The window that draws with it owns the object.
#pragma once

#include "handles.h"

#include <windows.h>

class Font {
public:
    Font() = default;
    // Creates the font from a description whose lfHeight is in tenths of a point, converted for
    // the vertical resolution of `dc` (the screen when null). False when it cannot be created.
    bool createPointFontIndirect(const LOGFONTW& description, HDC dc = nullptr);
    // The same for a resolution of pixelsPerInch (a window's dots per inch).
    bool createPointFontForDpi(const LOGFONTW& description, int pixelsPerInch);
    bool created() const { return font.valid(); }
    HFONT get() const { return font.get(); }

    // The character height (negative lfHeight) for tenthsOfPoint at pixelsPerInch.
    static LONG heightForPoints(LONG tenthsOfPoint, int pixelsPerInch);

private:
    handles::Font font;
};
