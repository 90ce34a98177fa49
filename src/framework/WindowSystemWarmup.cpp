#include "WindowSystemWarmup.h"

#include "handles.h"

#include <atomic>

namespace {

enum WarmupState { NOT_STARTED, AT_WORK, DONE };
std::atomic<int> warmupState{NOT_STARTED};

} // namespace

bool WindowSystemWarmup::start()
{
    int expected = NOT_STARTED;
    if (!warmupState.compare_exchange_strong(expected, AT_WORK)) {
        return false;
    }
    handles::Kernel thread(::CreateThread(nullptr, 0, &WindowSystemWarmup::threadMain, nullptr, 0, nullptr));
    if (!thread) {
        warmupState.store(DONE);
        return false;
    }
    return true;
}

bool WindowSystemWarmup::atWork() { return warmupState.load() == AT_WORK; }

bool WindowSystemWarmup::wasStarted() { return warmupState.load() != NOT_STARTED; }

bool WindowSystemWarmup::waitUntilReady()
{
    if (warmupState.load() != AT_WORK) {
        return true;
    }
    const DWORD begin = ::GetTickCount();
    while (warmupState.load() == AT_WORK && ::GetTickCount() - begin < READY_WAIT_LIMIT_MS) {
        ::Sleep(1);
    }
    return warmupState.load() != AT_WORK;
}

DWORD WINAPI WindowSystemWarmup::threadMain(void*)
{
    prepare();
    warmupState.store(DONE);
    return 0;
}

void WindowSystemWarmup::prepare()
{
    ::GetDesktopWindow();
    ::LoadCursorW(nullptr, IDC_ARROW);
    ::LoadIconW(nullptr, IDI_APPLICATION);
    const handles::ScreenDc screen(::GetDC(nullptr));
    if (screen.valid()) {
        // The first text measured realises a font, which sets up the font system.
        const handles::SelectedObject font(screen.get(), ::GetStockObject(DEFAULT_GUI_FONT));
        SIZE extent{};
        ::GetTextExtentPoint32W(screen.get(), L"Ag", 2, &extent);
    }
}
