#include "cDWTctrlImage.h"

#include "MemoryContext.h"
#include "PaintContext.h"

cDWTctrlImage::cDWTctrlImage(Logger* logger, int32_t controlId, int32_t bitmapId, int32_t x, int32_t y, int32_t width,
                             int32_t height, HWND parent)
    : cDWTctrl(logger, controlId, L"", x, y, width, height, parent), constructed(0)
{
    bitmap.load(Window::resourceModule(), static_cast<UINT>(bitmapId));
    if ((width == 0 || height == 0) && bitmap.loaded() && handle != nullptr) {
        const SIZE s = bitmap.size();
        ::SetWindowPos(handle, nullptr, 0, 0, width == 0 ? s.cx : width, height == 0 ? s.cy : height,
                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    modifyStyle(0, WS_DISABLED);
    constructed = 1;
}

cDWTctrlImage::~cDWTctrlImage() = default;

void cDWTctrlImage::OnPaint()
{
    PaintContext paint(handle);
    if (!bitmap.loaded() || paint.dc() == nullptr) {
        return;
    }
    RECT client{};
    ::GetClientRect(handle, &client);
    MemoryContext memory(paint.dc());
    if (!memory.select(bitmap.get())) {
        return;
    }
    const SIZE s = bitmap.size();
    if (s.cx != client.right || s.cy != client.bottom) {
        ::SetStretchBltMode(paint.dc(), HALFTONE);
        ::SetBrushOrgEx(paint.dc(), 0, 0, nullptr);
    }
    ::StretchBlt(paint.dc(), 0, 0, client.right, client.bottom, memory.dc(), 0, 0, s.cx, s.cy, SRCCOPY);
}

BOOL cDWTctrlImage::OnEraseBkgnd(HDC dc)
{
    if (bitmap.loaded()) {
        return TRUE;
    }
    return cDWTctrl::OnEraseBkgnd(dc);
}
