#include "MemoryContext.h"

MemoryContext::MemoryContext(HDC compatibleWith) : dc_(::CreateCompatibleDC(compatibleWith)) {}

MemoryContext::~MemoryContext()
{
    // The original object goes back in before the context is deleted.
    selection_.reset();
}

bool MemoryContext::select(HGDIOBJ object)
{
    if (!dc_.valid() || object == nullptr) {
        return false;
    }
    if (selection_.valid()) {
        // Later selections replace each other; the first one's predecessor is restored at the end.
        const HGDIOBJ previous = ::SelectObject(dc_.get(), object);
        return previous != nullptr && previous != HGDI_ERROR;
    }
    selection_ = handles::SelectedObject(dc_.get(), object);
    return selection_.valid();
}
