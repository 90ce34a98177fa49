#include "cDWTwnd.h"

#include "Application.h"
#include "Thread.h"

cDWTwnd::cDWTwnd(Logger* logger, int32_t iconId, const std::wstring& title, int32_t x, int32_t y, int32_t width,
                 int32_t height, HWND parent, int32_t minTrackWidth, int32_t minTrackHeight, int32_t centre)
    : cDWT(DWT_BORDER_SIZABLE, logger, iconId, title, x, y, width, height, parent), constructed(0), resizable(1),
      alwaysOnTop(0), minTrackWidth(minTrackWidth), minTrackHeight(minTrackHeight)
{
    if (centre == 1 && handle != nullptr) {
        RECT r{};
        ::GetWindowRect(handle, &r);
        const POINT p = centredPosition(workAreaSize(), SIZE{r.right - r.left, r.bottom - r.top});
        ::SetWindowPos(handle, nullptr, p.x, p.y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOZORDER);
    }
    constructed = 1;
}

cDWTwnd::~cDWTwnd() = default;

SIZE cDWTwnd::workAreaSize()
{
    HWND mainWindow = nullptr;
    if (Thread* thread = Thread::current()) {
        mainWindow = thread->getMainWindow();
    } else if (Application* app = Application::current()) {
        mainWindow = app->getMainWindow();
    }
    HMONITOR monitor = mainWindow != nullptr ? ::MonitorFromWindow(mainWindow, MONITOR_DEFAULTTONEAREST)
                                             : ::MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    if (monitor == nullptr || !::GetMonitorInfoW(monitor, &info)) {
        RECT work{};
        ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        return SIZE{work.right - work.left, work.bottom - work.top};
    }
    return SIZE{info.rcWork.right - info.rcWork.left, info.rcWork.bottom - info.rcWork.top};
}

POINT cDWTwnd::centredPosition(SIZE workArea, SIZE window)
{
    POINT p{(workArea.cx - window.cx) / 2, (workArea.cy - window.cy) / 2};
    if (p.x < 0) {
        p.x = 0;
    }
    if (p.y < 0) {
        p.y = 0;
    }
    return p;
}

void cDWTwnd::setAlwaysOnTop(int32_t on)
{
    if (on == alwaysOnTop) {
        return;
    }
    alwaysOnTop = on;
    log(LOG_DEBUG, FN_SET_ALWAYS_ON_TOP,
        on ? L"Setting window to always on top = TRUE" : L"Setting window to always on top = FALSE");
    ::SetWindowPos(handle, on ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void cDWTwnd::setResizable(int32_t on)
{
    resizable = on;
    if (on == 0 && handle != nullptr) {
        RECT r{};
        ::GetWindowRect(handle, &r);
        minTrackWidth = r.right - r.left;
        minTrackHeight = r.bottom - r.top;
    }
}

void cDWTwnd::OnGetMinMaxInfo(MINMAXINFO* info)
{
    Default();
    info->ptMinTrackSize.x = minTrackWidth;
    info->ptMinTrackSize.y = minTrackHeight;
    if (resizable == 0 && handle != nullptr) {
        RECT r{};
        ::GetWindowRect(handle, &r);
        info->ptMaxTrackSize.x = r.right - r.left;
        info->ptMaxTrackSize.y = r.bottom - r.top;
    }
}

void cDWTwnd::setTitle(const std::wstring& title) { ::SetWindowTextW(handle, title.c_str()); }

std::wstring cDWTwnd::getTitle()
{
    wchar_t buffer[255] = {};
    const int got = ::GetWindowTextW(handle, buffer, 255);
    return std::wstring(buffer, got > 0 ? static_cast<size_t>(got) : 0);
}

int32_t cDWTwnd::getX()
{
    RECT r{};
    ::GetWindowRect(handle, &r);
    return r.left;
}

int32_t cDWTwnd::getY()
{
    RECT r{};
    ::GetWindowRect(handle, &r);
    return r.top;
}

int32_t cDWTwnd::getClientWidth()
{
    RECT r{};
    ::GetClientRect(handle, &r);
    return r.right - r.left;
}

int32_t cDWTwnd::getClientHeight()
{
    RECT r{};
    ::GetClientRect(handle, &r);
    return r.bottom - r.top;
}
