// WindowSystemWarmup: gets the window system ready for a program's first window while the program
// does other work. The first window of a process pays once for the connection to the desktop and
// the display driver, the stock cursor and icon, and the font system (under Wine that includes
// starting the desktop process and loading the X11 driver); start() does these same calls on a
// short-lived thread of its own, so that they run beside the program's start-up instead of in
// front of its first window. The calls only read or create what the platform shares anyway and
// change nothing a window of the program sees. The thread ends by itself and ending the process
// while it still runs is harmless. A window created while the thread is still at work waits for
// it first (waitUntilReady, called by Window's constructor): two threads that find the desktop
// missing at the same moment would both pay for bringing it up.
#pragma once

#include <windows.h>

class WindowSystemWarmup {
public:
    WindowSystemWarmup() = delete;

    // Starts the thread; false when it could not be started (the first window then pays as usual)
    // or when it was started before.
    static bool start();

    // Returns once no warm-up is at work (at once when none was started), after at most
    // READY_WAIT_LIMIT_MS, polling every millisecond. True when none is at work any more.
    static bool waitUntilReady();

    static constexpr DWORD READY_WAIT_LIMIT_MS = 20000;

    // True from start() until the thread has done its calls.
    static bool atWork();
    // True once start() has been called in this process.
    static bool wasStarted();

    // What the thread does, callable directly: connects to the desktop and the display, loads the
    // stock cursor and icon and realises the default GUI font on a screen context.
    static void prepare();

private:
    static DWORD WINAPI threadMain(void* unused);
};
