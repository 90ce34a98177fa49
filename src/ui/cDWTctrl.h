// cDWTctrl: a child control of the toolkit (window type 5) with a control identifier. Unlike the
// other toolkit windows it shows itself when created. The window that creates it (usually the
// parent's object) owns and deletes it.
#pragma once

#include "cDWT.h"

class cDWTctrl : public cDWT {
public:
    cDWTctrl(Logger* logger, int32_t controlId, const std::wstring& title, int32_t x, int32_t y, int32_t width,
             int32_t height, HWND parent);
    ~cDWTctrl() override;
    int32_t getClassKind() const override { return 0; }

    int32_t getControlId() const { return controlId; }

protected:
    int32_t constructed;
    int32_t controlId;
};
