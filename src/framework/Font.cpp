#include "Font.h"

LONG Font::heightForPoints(LONG tenthsOfPoint, int pixelsPerInch)
{
    const LONG pixels = ::MulDiv(pixelsPerInch, tenthsOfPoint, 720);
    return pixels < 0 ? pixels : -pixels;
}

bool Font::createPointFontIndirect(const LOGFONTW& description, HDC dc)
{
    font.reset();
    handles::ScreenDc screen;
    if (dc == nullptr) {
        screen.reset(::GetDC(nullptr));
        dc = screen.get();
    }
    LOGFONTW lf = description;
    lf.lfHeight = heightForPoints(description.lfHeight, dc != nullptr ? ::GetDeviceCaps(dc, LOGPIXELSY) : 96);
    screen.reset();
    HFONT created = ::CreateFontIndirectW(&lf);
    if (created == nullptr) {
        return false;
    }
    font.reset(created);
    return true;
}
