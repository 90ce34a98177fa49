#include "Window.h"

#include "WindowSystemWarmup.h"
#include "handles.h"
#include "textutil.h"

#include <atomic>

namespace {

std::atomic<HINSTANCE> resourceModuleOverride{nullptr};

POINT pointOf(LPARAM lParam)
{
    POINT p;
    p.x = static_cast<short>(LOWORD(static_cast<DWORD_PTR>(lParam)));
    p.y = static_cast<short>(HIWORD(static_cast<DWORD_PTR>(lParam)));
    return p;
}

} // namespace

Window::Window()
{
    // A warm-up still at work is bringing up the desktop and display this window needs.
    WindowSystemWarmup::waitUntilReady();
}

Window::~Window()
{
    if (handle != nullptr) {
        // The derived parts are gone already: unbind first so that the messages of the
        // destruction reach only the platform's default processing.
        HWND window = handle;
        handle = nullptr;
        ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        ::DestroyWindow(window);
    }
}

HINSTANCE Window::resourceModule()
{
    HINSTANCE module = resourceModuleOverride.load();
    return module != nullptr ? module : ::GetModuleHandleW(nullptr);
}

void Window::setResourceModule(HINSTANCE module) { resourceModuleOverride.store(module); }

UINT Window::dpiOf(HWND window)
{
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFunction>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpiForWindow != nullptr && window != nullptr) {
        if (const UINT dpi = getDpiForWindow(window); dpi != 0) {
            return dpi;
        }
    }
    // Before per-monitor awareness every device context has the system's resolution.
    handles::ScreenDc dc(::GetDC(nullptr));
    const int dpi = dc.valid() ? ::GetDeviceCaps(dc.get(), LOGPIXELSX) : 0;
    return dpi > 0 ? static_cast<UINT>(dpi) : DEFAULT_DPI;
}

int Window::scaleForDpi(int pixels, UINT dpi) { return ::MulDiv(pixels, static_cast<int>(dpi), DEFAULT_DPI); }

std::wstring Window::registerClass(UINT classStyle, HCURSOR cursor, HBRUSH background, HICON icon)
{
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    const std::wstring name =
        textutil::format(L"CvWindow:%p:%x:%p:%p:%p", static_cast<void*>(instance), classStyle,
                         static_cast<void*>(cursor), static_cast<void*>(background), static_cast<void*>(icon));
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof(existing);
    if (::GetClassInfoExW(instance, name.c_str(), &existing)) {
        return name;
    }
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = classStyle;
    wc.lpfnWndProc = &Window::procedure;
    wc.hInstance = instance;
    wc.hCursor = cursor;
    wc.hbrBackground = background;
    wc.hIcon = icon;
    wc.lpszClassName = name.c_str();
    if (::RegisterClassExW(&wc) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return {};
    }
    return name;
}

BOOL Window::CreateEx(DWORD exStyle, const std::wstring& className, const std::wstring& title, DWORD style, int x,
                      int y, int width, int height, HWND parent, HMENU menuOrId)
{
    if (handle != nullptr || className.empty()) {
        return FALSE;
    }
    HWND created = ::CreateWindowExW(exStyle, className.c_str(), title.c_str(), style, x, y, width, height, parent,
                                     menuOrId, ::GetModuleHandleW(nullptr), this);
    if (created == nullptr) {
        return FALSE;
    }
    handle = created;
    return TRUE;
}

BOOL Window::DestroyWindow()
{
    if (handle == nullptr) {
        return FALSE;
    }
    // WM_NCDESTROY clears the handle.
    return ::DestroyWindow(handle);
}

void Window::modifyStyle(DWORD remove, DWORD add)
{
    if (handle == nullptr) {
        return;
    }
    const LONG_PTR style = ::GetWindowLongPtrW(handle, GWL_STYLE);
    ::SetWindowLongPtrW(handle, GWL_STYLE, (style & ~static_cast<LONG_PTR>(remove)) | static_cast<LONG_PTR>(add));
}

Window* Window::fromHandle(HWND window)
{
    if (window == nullptr) {
        return nullptr;
    }
    WCHAR name[16] = {};
    ::GetClassNameW(window, name, 16);
    if (wcsncmp(name, L"CvWindow:", 9) != 0) {
        return nullptr;
    }
    return reinterpret_cast<Window*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
}

LRESULT CALLBACK Window::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    try {
        if (message == WM_NCCREATE) {
            const CREATESTRUCTW* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            Window* self = static_cast<Window*>(cs->lpCreateParams);
            if (self != nullptr) {
                self->handle = window;
                ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
            }
        }
        Window* self = reinterpret_cast<Window*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self == nullptr) {
            return ::DefWindowProcW(window, message, wParam, lParam);
        }
        const Current saved = self->current;
        self->current = Current{message, wParam, lParam};
        const LRESULT result = self->WindowProc(message, wParam, lParam);
        self->current = saved;
        if (message == WM_NCDESTROY) {
            ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            self->handle = nullptr;
            self->PostNcDestroy();
        }
        return result;
    } catch (...) {
        // Nothing may leave a window procedure.
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

LRESULT Window::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:
        OnClose();
        return 0;
    case WM_PAINT:
        OnPaint();
        return 0;
    case WM_ERASEBKGND:
        return OnEraseBkgnd(reinterpret_cast<HDC>(wParam));
    case WM_GETMINMAXINFO:
        OnGetMinMaxInfo(reinterpret_cast<MINMAXINFO*>(lParam));
        return 0;
    case WM_LBUTTONUP:
        OnLButtonUp(static_cast<UINT>(wParam), pointOf(lParam));
        return 0;
    case WM_MOUSEMOVE:
        OnMouseMove(static_cast<UINT>(wParam), pointOf(lParam));
        return 0;
    case WM_MOUSEHOVER:
        OnMouseHover(static_cast<UINT>(wParam), pointOf(lParam));
        return 0;
    case WM_MOUSELEAVE:
        OnMouseLeave();
        return 0;
    default:
        return Default();
    }
}

LRESULT Window::Default() { return ::DefWindowProcW(handle, current.message, current.wParam, current.lParam); }

void Window::PostNcDestroy() {}
void Window::OnClose() { Default(); }
void Window::OnPaint() { Default(); }
BOOL Window::OnEraseBkgnd(HDC) { return static_cast<BOOL>(Default()); }
void Window::OnGetMinMaxInfo(MINMAXINFO*) { Default(); }
void Window::OnLButtonUp(UINT, POINT) { Default(); }
void Window::OnMouseMove(UINT, POINT) { Default(); }
void Window::OnMouseHover(UINT, POINT) { Default(); }
void Window::OnMouseLeave() { Default(); }
