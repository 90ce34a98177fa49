#include "cDWT.h"

#include "textutil.h"

bool cDWT::stylesOf(DWT_WINDOWTYPE type, DWORD& style, DWORD& exStyle)
{
    const DWORD frame =
        WS_POPUP | WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
    exStyle = 0;
    switch (type) {
    case DWT_FRAME:
        style = frame;
        return true;
    case DWT_TOOLFRAME:
        style = frame;
        exStyle = WS_EX_TOOLWINDOW;
        return true;
    case DWT_BORDER_SIZABLE:
        style = WS_POPUP | WS_CLIPCHILDREN | WS_BORDER | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
        return true;
    case DWT_BORDER:
        style = WS_POPUP | WS_CLIPCHILDREN | WS_BORDER | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
        return true;
    case DWT_PLAIN:
        style = WS_POPUP | WS_CLIPCHILDREN | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
        return true;
    case DWT_CHILD:
        style = WS_CHILD;
        return true;
    default:
        style = 0;
        return false;
    }
}

cDWT::cDWT(DWT_WINDOWTYPE type, Logger* logger, int32_t iconId, const std::wstring& title, int32_t x, int32_t y,
           int32_t width, int32_t height, HWND parent)
    : Window(), Atomhandler(logger), created(0)
{
    DWORD style = 0;
    DWORD exStyle = 0;
    if (!stylesOf(type, style, exStyle)) {
        log(LOG_FATAL, FN_CONSTRUCTOR, textutil::format(L"Unknown DWT_WINDOWTYPE requested: %i", type));
        ::ExitProcess(1);
    }
    HICON icon = nullptr;
    if (iconId != 0) {
        icon = ::LoadIconW(Window::resourceModule(), MAKEINTRESOURCEW(iconId));
    }
    const std::wstring className =
        Window::registerClass(CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS, ::LoadCursorW(nullptr, IDC_ARROW),
                              static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)), icon);
    if (CreateEx(exStyle, className, title, style, x, y, width, height, parent, nullptr)) {
        ShowWindow(SW_HIDE);
        created = 1;
    }
}

cDWT::~cDWT() = default;

void cDWT::OnClose()
{
    log(LOG_DEBUG, FN_ON_CLOSE, L"Calling explicit destroy");
    DestroyWindow();
}
