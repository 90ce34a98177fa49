// WindowSystemWarmup: gets the window system ready for a program's first window while the program
// does other work. The first window of a process pays once for the connection to the desktop and
// the display driver, the stock cursor and icon, and the font system (under Wine that includes
// starting the desktop process and loading the X11 driver); start() does these same calls on a
// short-lived thread of its own, so that they run beside the program's start-up instead of in
// front of its first window. The calls only read or create what the platform shares anyway and
// change nothing a window of the program sees. The thread ends by itself; nothing waits for it,
// and ending the process while it still runs is harmless.
#pragma once

#include <windows.h>

class WindowSystemWarmup {
public:
    WindowSystemWarmup() = delete;

    // Starts the thread; false when it could not be started (the first window then pays as usual).
    static bool start();

    // What the thread does, callable directly: connects to the desktop and the display, loads the
    // stock cursor and icon and realises the default GUI font on a screen context. Returns 0.
    static DWORD WINAPI prepare(void* unused);
};
