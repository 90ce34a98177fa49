#include "Providerplacement.h"

#include "Fileobject.h"
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

namespace {

// A folder as a system call gives it (a call that reports the length it needs when the buffer is
// short), normalised; empty when the call fails.
template <typename Call>
std::wstring folderOf(Call call)
{
    std::wstring buffer(MAX_PATH, L'\0');
    for (int round = 0; round < 2; ++round) {
        const UINT got = call(buffer.data(), static_cast<UINT>(buffer.size()));
        if (got == 0) {
            return {};
        }
        if (got < buffer.size()) {
            buffer.resize(got);
            return normalizePath(buffer);
        }
        buffer.assign(got, L'\0');
    }
    return {};
}

} // namespace

Providerplacement::SystemFolders Providerplacement::systemFolders()
{
    return SystemFolders{folderOf([](wchar_t* b, UINT n) { return ::GetSystemWindowsDirectoryW(b, n); }),
                         folderOf([](wchar_t* b, UINT n) { return ::GetSystemDirectoryW(b, n); })};
}

Providerplacement::Target Providerplacement::providerTarget(Platform platform, const SystemFolders& folders)
{
    switch (platform) {
    case Platform::WOW64:
        // The alias reaches the real system folder from a 32-bit process without switching the
        // file-system redirection off.
        return Target{IDR_TSP_64BIT, folders.windows + L"/Sysnative/", KEY_WOW64_64KEY};
    case Platform::WINDOWS_64BIT:
        return Target{IDR_TSP_64BIT, folders.system + L"/", KEY_WOW64_64KEY};
    case Platform::WINDOWS_32BIT:
    default:
        return Target{IDR_TSP_32BIT, folders.system + L"/", 0};
    }
}

std::optional<Providerplacement::Target> Providerplacement::earlierTarget(Platform platform,
                                                                          const SystemFolders& folders)
{
    if (platform == Platform::WINDOWS_32BIT) {
        return std::nullopt;
    }
    return Target{IDR_TSP_32BIT, folders.windows + L"/SysWOW64/", KEY_WOW64_32KEY};
}
