// Providerplacement: decides where the telephony service provider goes, so that the telephony
// service finds and can load it. The service runs with the bitness of Windows: on 64-bit Windows
// it reads the 64-bit registry view and loads only a 64-bit DLL from the real system folder,
// whatever the bitness of the installer. A 32-bit installer under WOW64 reaches that folder
// through its "Sysnative" alias and that view with KEY_WOW64_64KEY. The decisions take the
// platform as a value (currentPlatform() for the running process), so every case can be checked
// anywhere. Stateless; cTSPmanager asks it once at construction.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

class Providerplacement {
public:
    enum class Platform {
        WINDOWS_32BIT, // 32-bit program on 32-bit Windows
        WOW64,         // 32-bit program on 64-bit Windows
        WINDOWS_64BIT  // 64-bit program (on 64-bit Windows)
    };

    struct Target {
        WORD resourceId = 0;     // the provider build to extract (resource.h)
        std::wstring folder;     // the folder to put it in, "/" separators, with a final "/"
        REGSAM registryView = 0; // 0 (the process's own), KEY_WOW64_64KEY or KEY_WOW64_32KEY
    };

    // The Windows folder and the system folder, normalised ("/" separators, no final "/").
    struct SystemFolders {
        std::wstring windows;
        std::wstring system;
    };

    static Platform currentPlatform();
    // The folders as the system names them (GetSystemWindowsDirectoryW, GetSystemDirectoryW),
    // never as the environment does: an elevated run must not act on a folder that the user's
    // own WINDIR names. Empty texts when the system does not say.
    static SystemFolders systemFolders();

    // Where the provider belongs: the build, the folder and the provider list's registry view.
    // The system folder for a program of Windows' own bitness; "Sysnative" in the Windows folder
    // for a 32-bit program on 64-bit Windows.
    static Target providerTarget(Platform platform, const SystemFolders& folders);
    // On 64-bit Windows, where an earlier 32-bit installer put the provider (SysWOW64 in the
    // Windows folder and the 32-bit view), which removal cleans up as well; none on 32-bit Windows.
    static std::optional<Target> earlierTarget(Platform platform, const SystemFolders& folders);
};
