// WindowSystemWarmup under Wine: the application's base InitInstance starts it (a program that
// quits before calling it never does); it runs once per process on a thread of its own that ends
// by itself and creates no window, and a window constructed while it is at work waits for it.
// The warm-up's state is the process's, so the steps run in one test, in order.
#include "Application.h"
#include "Window.h"
#include "WindowSystemWarmup.h"
#include "handles.h"
#include "testsupport.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

namespace {

int threadsOfThisProcess()
{
    handles::Kernel snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) {
        return -1;
    }
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    int count = 0;
    if (::Thread32First(snapshot.get(), &entry)) {
        do {
            if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) {
                ++count;
            }
        } while (::Thread32Next(snapshot.get(), &entry));
    }
    return count;
}

BOOL CALLBACK countWindow(HWND, LPARAM counter)
{
    ++*reinterpret_cast<int*>(counter);
    return TRUE;
}

int windowsOfThisThread()
{
    int count = 0;
    ::EnumThreadWindows(::GetCurrentThreadId(), &countWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

// Quits in its own InitInstance before the base's, as the installer does at its early exits.
class QuittingApplication : public Application {
public:
    BOOL InitInstance() override { return FALSE; }
};

class GoingOnApplication : public Application {
public:
    BOOL InitInstance() override { return Application::InitInstance(); }
};

} // namespace

TEST(WindowSystemWarmup, RunsOnceOnItsOwnThreadAndWindowsWaitForIt)
{
    // Nothing started: nothing to wait for.
    EXPECT_FALSE(WindowSystemWarmup::atWork());
    const ULONGLONG before = ::GetTickCount64();
    EXPECT_TRUE(WindowSystemWarmup::waitUntilReady());
    EXPECT_LT(::GetTickCount64() - before, 1000u);

    const int threadsBefore = threadsOfThisProcess();
    ASSERT_GT(threadsBefore, 0);

    {
        QuittingApplication quitting;
        quitting.start(nullptr, L"");
    }
    EXPECT_FALSE(WindowSystemWarmup::wasStarted()) << "a program that quits early starts no warm-up";

    GoingOnApplication goingOn;
    ASSERT_TRUE(goingOn.InitInstance());
    const bool busyRightAfterStart = WindowSystemWarmup::atWork();
    EXPECT_TRUE(WindowSystemWarmup::wasStarted());
    EXPECT_FALSE(WindowSystemWarmup::start()) << "the warm-up runs once per process";
    {
        Window window;
        EXPECT_FALSE(WindowSystemWarmup::atWork())
            << "a window is constructed only after the warm-up (busy right after start: " << busyRightAfterStart << ")";
        EXPECT_TRUE(window.CreateEx(0, Window::registerClass(0, nullptr, nullptr, nullptr), L"warm", WS_POPUP, 0, 0, 10,
                                    10, nullptr));
    }
    EXPECT_TRUE(WindowSystemWarmup::waitUntilReady());

    // The thread ends by itself.
    EXPECT_TRUE(testsupport::waitFor([&] { return threadsOfThisProcess() == threadsBefore; }, 10000))
        << "threads before " << threadsBefore << ", now " << threadsOfThisProcess();

    // Its calls, made directly, leave no window behind on the calling thread.
    const int windowsBefore = windowsOfThisThread();
    WindowSystemWarmup::prepare();
    EXPECT_EQ(windowsOfThisThread(), windowsBefore);
    EXPECT_FALSE(WindowSystemWarmup::atWork());
}
