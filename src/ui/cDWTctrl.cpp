#include "cDWTctrl.h"

cDWTctrl::cDWTctrl(Logger* logger, int32_t controlId, const std::wstring& title, int32_t x, int32_t y, int32_t width,
                   int32_t height, HWND parent)
    : cDWT(DWT_CHILD, logger, 0, title, x, y, width, height, parent), constructed(0), controlId(controlId)
{
    ShowWindow(SW_SHOW);
    constructed = 1;
}

cDWTctrl::~cDWTctrl() = default;
