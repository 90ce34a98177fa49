// Window: the program's stand-in for an application framework's window object. registerClass
// registers (once per process) a window class for a combination of class styles, cursor,
// background brush and icon and returns its name; CreateEx creates the platform window and binds
// it to this object, so that the window procedure hands messages to the virtual handlers below
// (bound at WM_NCCREATE, unbound at WM_NCDESTROY). A handler that does not process its message
// calls Default(), the platform's default processing. Deleting the object destroys a window that
// still exists; whoever created the object owns it and deletes it on the window's thread.
// Construction first waits for a window-system warm-up still at work (WindowSystemWarmup).
#pragma once

#include <windows.h>

#include <string>

class Window {
public:
    Window();
    virtual ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    // Name of a registered window class with these attributes (registered on first request;
    // empty when registration fails). cursor, brush and icon may be null.
    static std::wstring registerClass(UINT classStyle, HCURSOR cursor, HBRUSH background, HICON icon);

    // The module whose resources (icons, bitmaps) windows load: the executable unless set.
    static HINSTANCE resourceModule();
    static void setResourceModule(HINSTANCE module);

    BOOL CreateEx(DWORD exStyle, const std::wstring& className, const std::wstring& title, DWORD style, int x, int y,
                  int width, int height, HWND parent, HMENU menuOrId = nullptr);
    BOOL DestroyWindow();

    HWND getHandle() const { return handle; }
    bool exists() const { return handle != nullptr && ::IsWindow(handle) != FALSE; }
    BOOL ShowWindow(int command) { return ::ShowWindow(handle, command); }
    BOOL UpdateWindow() { return ::UpdateWindow(handle); }
    // Adds and removes window style bits (GWL_STYLE).
    void modifyStyle(DWORD remove, DWORD add);

    // The resolution layouts are drawn for: the dots per inch at which a pixel is a pixel.
    static constexpr UINT DEFAULT_DPI = 96;
    // The dots per inch `window` is shown at: GetDpiForWindow where the platform has it (looked
    // up at run time: Windows before 10 version 1607 lacks it), otherwise the horizontal
    // resolution of the screen's device context (then the system's for every window); DEFAULT_DPI when neither answers.
    static UINT dpiOf(HWND window);
    // pixels (a length at DEFAULT_DPI) at dpi, rounded to the nearest pixel.
    static int scaleForDpi(int pixels, UINT dpi);

    // The object bound to a window of this class, or null.
    static Window* fromHandle(HWND window);

protected:
    // Hands one message to the handlers; subclasses may extend it (and call the base).
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // The platform's default processing of the message being handled.
    LRESULT Default();
    // Called after the window is gone (WM_NCDESTROY); the object is unbound then.
    virtual void PostNcDestroy();

    virtual void OnClose();
    virtual void OnPaint();
    virtual BOOL OnEraseBkgnd(HDC dc);
    virtual void OnGetMinMaxInfo(MINMAXINFO* info);
    virtual void OnLButtonUp(UINT flags, POINT point);
    virtual void OnMouseMove(UINT flags, POINT point);
    virtual void OnMouseHover(UINT flags, POINT point);
    virtual void OnMouseLeave();

    HWND handle = nullptr;

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    struct Current {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    Current current{};
};
