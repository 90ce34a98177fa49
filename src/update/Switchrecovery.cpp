#include "Switchrecovery.h"

#include "asciicase.h"
#include "handles.h"

#include <windows.h>

#include <cwctype>
#include <vector>

namespace {

constexpr size_t TAG_DIGITS = 16;

} // namespace

Switchrecovery::Switchrecovery(Logger* logger) : Loguser(logger) {}

bool Switchrecovery::isLeftoverName(const std::wstring& name, const std::wstring& filename)
{
    const std::wstring tail = L".tmp";
    if (name.size() != filename.size() + 1 + TAG_DIGITS + tail.size() ||
        !portable::equalsIgnoringAsciiCase(name.substr(0, filename.size()), filename) ||
        name[filename.size()] != L'.' ||
        !portable::equalsIgnoringAsciiCase(name.substr(name.size() - tail.size()), tail)) {
        return false;
    }
    for (size_t i = filename.size() + 1; i < filename.size() + 1 + TAG_DIGITS; ++i) {
        if (!std::iswxdigit(name[i])) {
            return false;
        }
    }
    return true;
}

int Switchrecovery::removeLeftovers(const std::wstring& ownPath)
{
    const size_t slash = ownPath.find_last_of(L"/\\");
    if (slash == std::wstring::npos) {
        return 0;
    }
    return removeCopies(ownPath.substr(0, slash + 1), ownPath.substr(slash + 1), std::wstring());
}

int Switchrecovery::removeCopies(const std::wstring& folder, const std::wstring& filename, const std::wstring& keep)
{
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW entry = {};
    handles::Find search(::FindFirstFileW((folder + filename + L".*.tmp").c_str(), &entry));
    for (bool more = search.valid(); more; more = ::FindNextFileW(search.get(), &entry) != FALSE) {
        // Only plain files: a folder or a link under such a name is nobody's copy of ours.
        const DWORD kinds = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
        if ((entry.dwFileAttributes & kinds) == 0 && isLeftoverName(entry.cFileName, filename) &&
            !portable::equalsIgnoringAsciiCase(entry.cFileName, keep)) {
            found.push_back(folder + entry.cFileName);
        }
    }
    search.reset();
    int removed = 0;
    for (const std::wstring& path : found) {
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (::DeleteFileW(path.c_str())) {
            ++removed;
            log(LOG_WARNING, FN_RECOVER, L"Removed the copy of an interrupted update: " + path);
        } else {
            log(LOG_ERROR, FN_RECOVER,
                L"Unable to remove the copy of an interrupted update: " + path + L" (error " +
                    std::to_wstring(::GetLastError()) + L")");
        }
    }
    return removed;
}
