#include "Font.h"

LONG Font::heightForPoints(LONG tenthsOfPoint, int pixelsPerInch)
{
    const LONG pixels = ::MulDiv(pixelsPerInch, tenthsOfPoint, 720);
    return pixels < 0 ? pixels : -pixels;
}

bool Font::createPointFontIndirect(const LOGFONTW& description, HDC dc)
{
    font.reset();
    HDC screen = nullptr;
    if (dc == nullptr) {
        screen = ::GetDC(nullptr);
        dc = screen;
    }
    LOGFONTW lf = description;
    lf.lfHeight = heightForPoints(description.lfHeight, dc != nullptr ? ::GetDeviceCaps(dc, LOGPIXELSY) : 96);
    if (screen != nullptr) {
        ::ReleaseDC(nullptr, screen);
    }
    HFONT created = ::CreateFontIndirectW(&lf);
    if (created == nullptr) {
        return false;
    }
    font.reset(created);
    return true;
}
