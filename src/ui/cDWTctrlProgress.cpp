#include "cDWTctrlProgress.h"

#include "PaintContext.h"

#include <limits>

cDWTctrlProgress::cDWTctrlProgress(Logger* logger, HWND parent, COLORREF barColour, COLORREF frameColour, int32_t x,
                                   int32_t y, int32_t width, int32_t height)
    : cDWTctrl(logger, 0, L"", x, y, width, height, parent), constructed(0), barColour(barColour),
      frameColour(frameColour), innerWidth(width > 2 ? width - 2 : 0), window(nullptr), fill(HIDDEN),
      paintedFill(HIDDEN), paintCount(0)
{
    modifyStyle(0, WS_DISABLED);
    window.store(handle);
    constructed = 1;
}

cDWTctrlProgress::~cDWTctrlProgress() { window.store(nullptr); }

int32_t cDWTctrlProgress::fillWidth(uint64_t received, uint64_t expected, int32_t width)
{
    if (expected == 0 || width <= 0) {
        return HIDDEN;
    }
    if (received > expected) {
        received = expected;
    }
    const uint64_t pixels = static_cast<uint64_t>(width);
    // Keep received * pixels inside 64 bits; the share stays the same to well below a pixel.
    while (expected > std::numeric_limits<uint64_t>::max() / pixels) {
        expected >>= 1;
        received >>= 1;
    }
    return static_cast<int32_t>(received * pixels / expected);
}

bool cDWTctrlProgress::setProgress(uint64_t received, uint64_t expected)
{
    const int32_t wanted = fillWidth(received, expected, innerWidth);
    // The common case of a download: the same pixel as before, one atomic load and no more.
    if (fill.load(std::memory_order_relaxed) == wanted || fill.exchange(wanted) == wanted) {
        return false;
    }
    HWND target = window.load();
    if (target != nullptr) {
        // Only marks the control for repainting: the owning thread paints when it serves its
        // queue; no message is sent and nothing waits for it.
        ::InvalidateRect(target, nullptr, FALSE);
    }
    return true;
}

void cDWTctrlProgress::OnPaint()
{
    PaintContext paint(handle);
    HDC dc = paint.dc();
    if (dc == nullptr) {
        return;
    }
    RECT client{};
    ::GetClientRect(handle, &client);
    const int32_t current = fill.load();
    HBRUSH brush = static_cast<HBRUSH>(::GetStockObject(DC_BRUSH));
    const COLORREF previousColour = ::SetDCBrushColor(dc, RGB(255, 255, 255));
    if (current == HIDDEN || client.right < 3 || client.bottom < 3) {
        ::FillRect(dc, &client, brush);
    } else {
        const int32_t filled = current < innerWidth ? current : innerWidth;
        ::SetDCBrushColor(dc, frameColour);
        ::FrameRect(dc, &client, brush);
        RECT bar{1, 1, 1 + filled, client.bottom - 1};
        if (filled > 0) {
            ::SetDCBrushColor(dc, barColour);
            ::FillRect(dc, &bar, brush);
        }
        RECT rest{1 + filled, 1, client.right - 1, client.bottom - 1};
        if (rest.left < rest.right) {
            ::SetDCBrushColor(dc, RGB(255, 255, 255));
            ::FillRect(dc, &rest, brush);
        }
    }
    ::SetDCBrushColor(dc, previousColour);
    paintedFill.store(current);
    paintCount.fetch_add(1);
}

BOOL cDWTctrlProgress::OnEraseBkgnd(HDC)
{
    // The paint covers every pixel.
    return TRUE;
}
