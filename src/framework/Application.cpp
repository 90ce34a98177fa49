#include "Application.h"

#include "WindowSystemWarmup.h"

namespace {
Application* theApplication = nullptr;
}

Application::Application() { theApplication = this; }

Application::~Application()
{
    if (theApplication == this) {
        theApplication = nullptr;
    }
}

Application* Application::current() { return theApplication; }

BOOL Application::InitInstance()
{
    if (warmUpWindowSystem) {
        // The program goes on to its first window: the desktop and the display get ready meanwhile.
        WindowSystemWarmup::start();
    }
    return TRUE;
}

int Application::Run()
{
    MSG msg;
    if (mainWindow == nullptr || !::IsWindow(mainWindow)) {
        // Nothing to serve: end the loop at once.
        ::PostQuitMessage(0);
    }
    for (;;) {
        const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            break;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
        if (mainWindow != nullptr && !::IsWindow(mainWindow)) {
            mainWindow = nullptr;
            ::PostQuitMessage(0);
        }
    }
    quitCode = static_cast<int>(msg.wParam);
    return ExitInstance();
}

int Application::ExitInstance() { return quitCode; }

std::wstring Application::stripProgramName(const std::wstring& full)
{
    size_t i = 0;
    if (i < full.size() && full[i] == L'"') {
        ++i;
        while (i < full.size() && full[i] != L'"') {
            ++i;
        }
        if (i < full.size()) {
            ++i;
        }
    } else {
        while (i < full.size() && full[i] != L' ' && full[i] != L'\t') {
            ++i;
        }
    }
    while (i < full.size() && (full[i] == L' ' || full[i] == L'\t')) {
        ++i;
    }
    return full.substr(i);
}

int Application::start(HINSTANCE instance, const wchar_t* commandLineWithoutProgram)
{
    instanceHandle = instance;
    commandLine = commandLineWithoutProgram != nullptr ? commandLineWithoutProgram : L"";
    if (!InitInstance()) {
        return ExitInstance();
    }
    return Run();
}

int runApplication(HINSTANCE instance)
{
    Application* app = Application::current();
    if (app == nullptr) {
        return 1;
    }
    return app->start(instance, Application::stripProgramName(::GetCommandLineW()).c_str());
}
