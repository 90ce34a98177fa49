#include "Font.h"

LONG Font::heightForPoints(LONG tenthsOfPoint, int pixelsPerInch)
{
    const LONG pixels = ::MulDiv(pixelsPerInch, tenthsOfPoint, 720);
    return pixels < 0 ? pixels : -pixels;
}

bool Font::createPointFontIndirect(const LOGFONTW& description, HDC dc)
{
    handles::ScreenDc screen;
    if (dc == nullptr) {
        screen.reset(::GetDC(nullptr));
        dc = screen.get();
    }
    const int pixelsPerInch = dc != nullptr ? ::GetDeviceCaps(dc, LOGPIXELSY) : 96;
    screen.reset();
    return createPointFontForDpi(description, pixelsPerInch);
}

bool Font::createPointFontForDpi(const LOGFONTW& description, int pixelsPerInch)
{
    font.reset();
    LOGFONTW lf = description;
    lf.lfHeight = heightForPoints(description.lfHeight, pixelsPerInch);
    HFONT created = ::CreateFontIndirectW(&lf);
    if (created == nullptr) {
        return false;
    }
    font.reset(created);
    return true;
}
