#include "WindowSystemWarmup.h"

#include "handles.h"

bool WindowSystemWarmup::start()
{
    handles::Kernel thread(::CreateThread(nullptr, 0, &WindowSystemWarmup::prepare, nullptr, 0, nullptr));
    return thread.valid();
}

DWORD WINAPI WindowSystemWarmup::prepare(void*)
{
    ::GetDesktopWindow();
    ::LoadCursorW(nullptr, IDC_ARROW);
    ::LoadIconW(nullptr, IDI_APPLICATION);
    HDC screen = ::GetDC(nullptr);
    if (screen != nullptr) {
        // The first text measured realises a font, which sets up the font system.
        const HGDIOBJ previous = ::SelectObject(screen, ::GetStockObject(DEFAULT_GUI_FONT));
        SIZE extent{};
        ::GetTextExtentPoint32W(screen, L"Ag", 2, &extent);
        ::SelectObject(screen, previous);
        ::ReleaseDC(nullptr, screen);
    }
    return 0;
}
