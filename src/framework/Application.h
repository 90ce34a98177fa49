// Application: the program's stand-in for an application framework's application object.
// Exactly one static instance of a subclass exists; runApplication() (called by wWinMain) hands
// it the command line without the program's name, calls InitInstance, runs the message loop when
// InitInstance succeeded (the loop ends at once when no main window exists), and returns the
// result of ExitInstance as the process exit code. The base InitInstance, which a subclass calls
// once it has decided to go on, starts getting the window system ready for the first window on a
// thread of its own (WindowSystemWarmup), so that this runs beside the subclass's further work.
#pragma once

#include <windows.h>

#include <string>

class Application {
public:
    Application();
    virtual ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // The one application object of the process, or null before it is constructed.
    static Application* current();

    virtual BOOL InitInstance();
    virtual int Run();
    virtual int ExitInstance();

    const std::wstring& getCommandLine() const { return commandLine; }
    HWND getMainWindow() const { return mainWindow; }
    void setMainWindow(HWND window) { mainWindow = window; }
    HINSTANCE getInstanceHandle() const { return instanceHandle; }

    // Entry from wWinMain.
    int start(HINSTANCE instance, const wchar_t* commandLineWithoutProgram);

    // The process command line without the program's own name (quoted or not), unchanged.
    static std::wstring stripProgramName(const std::wstring& fullCommandLine);

protected:
    std::wstring commandLine;
    HWND mainWindow = nullptr;
    HINSTANCE instanceHandle = nullptr;
    int quitCode = 0;
    // The base InitInstance starts the window-system warm-up (WindowSystemWarmup); a subclass
    // that never shows a window may switch this off.
    bool warmUpWindowSystem = true;
};

// Called by wWinMain: runs the static application object.
int runApplication(HINSTANCE instance);
