// PaintContext: the device context of one WM_PAINT, from BeginPaint to EndPaint (in the
// destructor). A paint handler creates it on the stack.
#pragma once

#include <windows.h>

class PaintContext {
public:
    explicit PaintContext(HWND window);
    ~PaintContext();
    PaintContext(const PaintContext&) = delete;
    PaintContext& operator=(const PaintContext&) = delete;

    HDC dc() const { return dc_; }
    const PAINTSTRUCT& paint() const { return paint_; }

private:
    HWND window_;
    PAINTSTRUCT paint_{};
    HDC dc_ = nullptr;
};
