#include "Providerplacement.h"

#include "resource.h"

Providerplacement::Platform Providerplacement::currentPlatform()
{
    if (sizeof(void*) == 8) {
        return Platform::WINDOWS_64BIT;
    }
    BOOL wow64 = FALSE;
    if (::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64) {
        return Platform::WOW64;
    }
    return Platform::WINDOWS_32BIT;
}

Providerplacement::Target Providerplacement::providerTarget(Platform platform, const std::wstring& windowsFolder)
{
    switch (platform) {
    case Platform::WOW64:
        // The alias reaches the real system folder from a 32-bit process without switching the
        // file-system redirection off.
        return Target{IDR_TSP_64BIT, windowsFolder + L"/Sysnative/", KEY_WOW64_64KEY};
    case Platform::WINDOWS_64BIT:
        return Target{IDR_TSP_64BIT, windowsFolder + L"/system32/", KEY_WOW64_64KEY};
    case Platform::WINDOWS_32BIT:
    default:
        return Target{IDR_TSP_32BIT, windowsFolder + L"/system32/", 0};
    }
}

std::optional<Providerplacement::Target> Providerplacement::earlierTarget(Platform platform,
                                                                          const std::wstring& windowsFolder)
{
    if (platform == Platform::WINDOWS_32BIT) {
        return std::nullopt;
    }
    return Target{IDR_TSP_32BIT, windowsFolder + L"/SysWOW64/", KEY_WOW64_32KEY};
}
