// cDWTwnd: a top-level toolkit window (window type 2: border, sizing frame, no caption) with an
// always-on-top switch, a resizable switch, a minimum tracking size and optional centring on
// the work area. It is created hidden; its owner shows it and deletes it on the thread that
// created it.
#pragma once

#include "cDWT.h"

class cDWTwnd : public cDWT {
public:
    // The function names its log lines carry.
    static constexpr const wchar_t* FN_SET_ALWAYS_ON_TOP = L"cDWTwnd::setAlwaysOnTop";

    cDWTwnd(Logger* logger, int32_t iconId, const std::wstring& title, int32_t x, int32_t y, int32_t width,
            int32_t height, HWND parent, int32_t minTrackWidth, int32_t minTrackHeight, int32_t centre);
    ~cDWTwnd() override;
    int32_t getClassKind() const override { return 0; }

    virtual void setAlwaysOnTop(int32_t on);
    virtual void setResizable(int32_t on);
    virtual void setTitle(const std::wstring& title);
    virtual std::wstring getTitle();
    virtual int32_t getX();
    virtual int32_t getY();
    virtual int32_t getClientWidth();
    virtual int32_t getClientHeight();

    int32_t isAlwaysOnTop() const { return alwaysOnTop; }
    int32_t isResizable() const { return resizable; }
    SIZE getMinTrackSize() const { return SIZE{minTrackWidth, minTrackHeight}; }

    // Size of the work area of the monitor nearest to the calling thread's main window (the
    // primary monitor when the thread has none); only the size, not the origin.
    static SIZE workAreaSize();
    // Left/top that centre a window of the given size on a work area of the given size; a
    // window larger than the work area is put at its origin, so that its top left stays visible.
    static POINT centredPosition(SIZE workArea, SIZE window);

protected:
    void OnGetMinMaxInfo(MINMAXINFO* info) override;

    int32_t constructed;
    int32_t resizable;
    int32_t alwaysOnTop;
    int32_t minTrackWidth;
    int32_t minTrackHeight;
};
