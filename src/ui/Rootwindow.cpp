#include "Rootwindow.h"

Rootwindow::Rootwindow(Logger* logger, const std::wstring& title) : Window(), Loguser(logger)
{
    const std::wstring className = Window::registerClass(
        CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS, ::LoadCursorW(nullptr, IDC_ARROW),
        static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)), ::LoadIconW(nullptr, IDI_APPLICATION));
    log(LOG_DEBUG, FN_CONSTRUCTOR, L"Creating Rootwindow at: 100, 100 (Size: 650, 50)");
    if (CreateEx(WS_EX_APPWINDOW | WS_EX_TOOLWINDOW, className, title, WS_POPUP | WS_CAPTION, 100, 100, 650, 50,
                 nullptr)) {
        ShowWindow(SW_HIDE);
    }
}

Rootwindow::~Rootwindow()
{
    log(LOG_DEBUG, FN_DESTRUCTOR, L"Calling explicit destroy");
    DestroyWindow();
}
