#include "Dllsearchpath.h"

#include "delayloaded.h"
#include "handles.h"

#include <windows.h>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

std::vector<std::wstring> Dllsearchpath::delayLoadedDlls() { return {CV_DELAY_LOADED_DLL_NAMES}; }

Dllsearchpath::Method Dllsearchpath::restrictToSystemFolder(bool allowDefaultDirectories)
{
    if (allowDefaultDirectories && setDefaultDirectories()) {
        return Method::DEFAULT_DIRECTORIES;
    }
    return preloadFromSystemFolder() ? Method::PRELOADED_FROM_SYSTEM : Method::NONE;
}

bool Dllsearchpath::setDefaultDirectories()
{
    // Looked up at run time: Windows 7 has the call only with its update KB2533623, and a load-time
    // import of it would stop the program from starting there.
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) {
        return false;
    }
    const auto set = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")));
    return set != nullptr && set(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
}

bool Dllsearchpath::preloadFromSystemFolder()
{
    // The current folder leaves the search order as well.
    ::SetDllDirectoryW(L"");
    wchar_t system[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    bool all = true;
    for (const std::wstring& dll : delayLoadedDlls()) {
        const std::wstring path = std::wstring(system, length) + L"\\" + dll;
        // Kept loaded for the life of the process, deliberately: the delay-load helper's later
        // load by name then finds this module. Its own imports are searched from its folder.
        handles::Module module(::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
        all = all && module.valid();
        module.release();
    }
    return all;
}
