#include "PaintContext.h"

PaintContext::PaintContext(HWND window) : window_(window) { dc_ = ::BeginPaint(window_, &paint_); }

PaintContext::~PaintContext()
{
    if (dc_ != nullptr) {
        ::EndPaint(window_, &paint_);
    }
}
