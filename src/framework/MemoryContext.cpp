#include "MemoryContext.h"

MemoryContext::MemoryContext(HDC compatibleWith) { dc_ = ::CreateCompatibleDC(compatibleWith); }

MemoryContext::~MemoryContext()
{
    if (dc_ != nullptr) {
        if (original_ != nullptr) {
            ::SelectObject(dc_, original_);
        }
        ::DeleteDC(dc_);
    }
}

bool MemoryContext::select(HGDIOBJ object)
{
    if (dc_ == nullptr || object == nullptr) {
        return false;
    }
    HGDIOBJ previous = ::SelectObject(dc_, object);
    if (previous == nullptr || previous == HGDI_ERROR) {
        return false;
    }
    if (original_ == nullptr) {
        original_ = previous;
    }
    return true;
}
