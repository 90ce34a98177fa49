// Dllsearchpath: keeps DLLs that lie beside the program (for example in a Downloads folder) out
// of the process. The program imports at load time only DLLs that Windows always takes from the
// system folder (its known DLLs); every other DLL is linked by delay-import
// (cmake/delayload.cmake) and loaded on first use. Before that can happen, wWinMain calls
// restrictToSystemFolder once: from then on every DLL loaded by name comes from the system folder.
// A static utility; it owns nothing but the modules it loads in the fallback, which stay loaded
// for the life of the process.
#pragma once

#include <string>
#include <vector>

class Dllsearchpath {
public:
    enum class Method {
        NONE,                 // nothing worked: the platform's default search order applies
        DEFAULT_DIRECTORIES,  // SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)
        PRELOADED_FROM_SYSTEM // that call is missing (Windows 7 without its update): the delay-loaded
                              // DLLs were loaded from the system folder by full path, so a later load
                              // by name finds them in the process
    };

    // Restricts the DLL search of the process to the system folder; what was done.
    // allowDefaultDirectories false takes the fallback (used by tests).
    static Method restrictToSystemFolder(bool allowDefaultDirectories = true);

    // The DLLs the program links by delay-import (file names, "wininet.dll", ...).
    static std::vector<std::wstring> delayLoadedDlls();

private:
    static bool setDefaultDirectories();
    static bool preloadFromSystemFolder();
};
