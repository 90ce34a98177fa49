// cDWT: the base of the installer's own windows. It creates a hidden platform window from a
// window type (the table of styles below; any other type ends the process), an optional icon
// from the resources, a title, a position, a size and a parent, on the calling thread, which
// then owns the window. A WM_CLOSE only destroys the platform window; the object stays until its
// owner deletes it, and deleting it destroys a window that still exists.
#pragma once

#include "Atomhandler.h"
#include "Window.h"

#include <windows.h>

#include <cstdint>
#include <string>

// Window types of the toolkit.
using DWT_WINDOWTYPE = int32_t;

class cDWT : public Window, public Atomhandler {
public:
    // The function names its log lines carry.
    static constexpr const wchar_t* FN_CONSTRUCTOR = L"cDWT::cDWT";
    static constexpr const wchar_t* FN_ON_CLOSE = L"cDWT::OnClose";

    static constexpr DWT_WINDOWTYPE DWT_FRAME = 0;          // caption, sizing frame, min/max boxes
    static constexpr DWT_WINDOWTYPE DWT_TOOLFRAME = 1;      // as DWT_FRAME, tool window
    static constexpr DWT_WINDOWTYPE DWT_BORDER_SIZABLE = 2; // border and sizing frame, no caption
    static constexpr DWT_WINDOWTYPE DWT_BORDER = 3;         // border, fixed frame
    static constexpr DWT_WINDOWTYPE DWT_PLAIN = 4;          // no border
    static constexpr DWT_WINDOWTYPE DWT_CHILD = 5;          // child control

    cDWT(DWT_WINDOWTYPE type, Logger* logger, int32_t iconId, const std::wstring& title, int32_t x, int32_t y,
         int32_t width, int32_t height, HWND parent);
    ~cDWT() override;
    int32_t getClassKind() const override { return 0; }

    // Styles of a window type; false for a type outside the table.
    static bool stylesOf(DWT_WINDOWTYPE type, DWORD& style, DWORD& exStyle);

    int32_t isCreated() const { return created; }

protected:
    void OnClose() override;

    int32_t created;
};
