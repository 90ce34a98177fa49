#include "Fileswitch.h"

#include "updateterms.h"

#include "Fileobject.h"
#include "Killpoint.h"
#include "asciicase.h"
#include "handles.h"
#include "textutil.h"

#include <aclapi.h>

#include <vector>

namespace {

portable::Result switchFailed(DWORD error)
{
    return portable::Result::failedWith(updateterms::UPDATE_SWITCH_FAILED, error);
}

std::wstring volumeOf(const std::wstring& path)
{
    const std::wstring platformPath = withBackslashes(path);
    wchar_t volume[MAX_PATH + 1] = {};
    if (!::GetVolumePathNameW(platformPath.c_str(), volume, MAX_PATH)) {
        return {};
    }
    return volume;
}

} // namespace

Fileswitch::Fileswitch(Logger* logger) : Loguser(logger) {}

portable::Result Fileswitch::switchFiles(const std::wstring& target, Downloadfile* download, const std::wstring& folder,
                                         const std::wstring& filename)
{
    portable::Result r = stageBesideTarget(download, folder, filename);
    if (!r) {
        return r;
    }
    // Everything the new file needs is done while the previous version still stands under its name.
    copyAttributesAndAccessList(target, download->path());
    Fileobject backup(folder, filename + updateterms::BACKUP_SUFFIX);
    const std::wstring backupPath = backup.getFullPath();
    clearOldBackup(backupPath);
    // A rename within the folder: the previous version stays complete under the backup name. From
    // here to the next rename the target's name is empty (a running program cannot be replaced).
    if (!::MoveFileExW(target.c_str(), backupPath.c_str(), MOVEFILE_WRITE_THROUGH)) {
        return switchFailed(::GetLastError());
    }
    Killpoint::after(L"backup");
    r = moveIntoPlace(download, target);
    if (!r) {
        return restorePrevious(backupPath, target, r);
    }
    log(LOG_DEBUG, updateterms::FN_SWITCH, L"File backup created at: " + backupPath);
    log(LOG_DEBUG, updateterms::FN_SWITCH, L"File switched to:" + target);
    DWORD closeError = 0;
    download->close(&closeError);
    return portable::Result::done();
}

portable::Result Fileswitch::moveIntoPlace(Downloadfile* download, const std::wstring& target)
{
    DWORD error = 0;
    if (!download->renameTo(target, &error)) {
        return switchFailed(error);
    }
    return portable::Result::done();
}

// Never leave the user without the file: the previous version goes back to its name.
portable::Result Fileswitch::restorePrevious(const std::wstring& backupPath, const std::wstring& target,
                                             const portable::Result& failed)
{
    if (::MoveFileExW(backupPath.c_str(), target.c_str(), 0)) {
        log(LOG_ERROR, updateterms::FN_SWITCH,
            textutil::format(L"Unable to move the downloaded file to %ls (error %i), previous version restored",
                             target.c_str(), static_cast<int>(failed.systemError)));
    } else {
        log(LOG_FATAL, updateterms::FN_SWITCH,
            textutil::format(L"UNABLE to restore the previous version from %ls (error %i)", backupPath.c_str(),
                             static_cast<int>(::GetLastError())));
    }
    return switchFailed(failed.systemError);
}

// A rename across volumes would be a copy under the target's own name; the copy is made first,
// under a private name beside the target, so that the switch is two renames on one volume.
portable::Result Fileswitch::stageBesideTarget(Downloadfile* download, const std::wstring& folder,
                                               const std::wstring& filename)
{
    const std::wstring from = volumeOf(download->path());
    const std::wstring to = volumeOf(folder + L"/" + filename);
    if (from.empty() || to.empty() || portable::equalsIgnoringAsciiCase(from, to)) {
        return moveBesideTarget(download, folder, filename);
    }
    Downloadfile staged;
    DWORD error = 0;
    portable::Result r =
        staged.create(folder, filename, true, &error) ? copyInto(download, &staged) : switchFailed(error);
    if (r && !staged.flush(&error)) {
        r = switchFailed(error);
    }
    if (!r) {
        log(LOG_ERROR, updateterms::FN_SWITCH,
            textutil::format(L"Unable to copy the download beside %ls/%ls (error %i)", folder.c_str(), filename.c_str(),
                             static_cast<int>(r.systemError)));
        staged.discard();
        return r;
    }
    log(LOG_DEBUG, updateterms::FN_SWITCH, L"Download copied beside the target: " + staged.path());
    download->discard();
    *download = std::move(staged);
    return portable::Result::done();
}

portable::Result Fileswitch::copyInto(Downloadfile* from, Downloadfile* to)
{
    constexpr DWORD BLOCK = 1048576;
    std::vector<char> buffer(BLOCK);
    for (uint64_t offset = 0;;) {
        DWORD got = 0;
        if (!from->readAt(offset, buffer.data(), BLOCK, &got)) {
            return switchFailed(::GetLastError());
        }
        if (got == 0) {
            return portable::Result::done();
        }
        DWORD error = 0;
        if (!to->write(buffer.data(), got, &error)) {
            return switchFailed(error);
        }
        offset += got;
    }
}

// On the same volume the download is renamed beside the target, where it gets the target's access
// list as the final name will give it (inherited entries are those of the folder).
portable::Result Fileswitch::moveBesideTarget(Downloadfile* download, const std::wstring& folder,
                                              const std::wstring& filename)
{
    DWORD error = 0;
    if (!download->moveInto(folder, filename, &error)) {
        log(LOG_ERROR, updateterms::FN_SWITCH,
            textutil::format(L"Unable to move the download beside %ls/%ls (error %i)", folder.c_str(), filename.c_str(),
                             static_cast<int>(error)));
        return switchFailed(error);
    }
    log(LOG_DEBUG, updateterms::FN_SWITCH, L"Download moved beside the target: " + download->path());
    return portable::Result::done();
}

// The backup of the previous update goes, read-only or not; when it cannot, the move after fails.
bool Fileswitch::clearOldBackup(const std::wstring& backupPath)
{
    const DWORD attributes = ::GetFileAttributesW(backupPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly) {
        ::SetFileAttributesW(backupPath.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
    if (::DeleteFileW(backupPath.c_str())) {
        Killpoint::after(L"remove backup");
        return true;
    }
    if (readOnly) {
        ::SetFileAttributesW(backupPath.c_str(), attributes);
    }
    return false;
}

void Fileswitch::copyAttributesAndAccessList(const std::wstring& from, const std::wstring& to)
{
    const DWORD attributes = ::GetFileAttributesW(from.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && ::SetFileAttributesW(to.c_str(), attributes)) {
        Killpoint::after(L"attributes");
        log(LOG_DEBUG, updateterms::FN_SWITCH, L"File attributes set!");
    } else {
        log(LOG_FATAL, updateterms::FN_SWITCH, L"UNABLE to set file attributes");
    }
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD got = ::GetNamedSecurityInfoW(from.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                              &dacl, nullptr, &descriptor);
    const handles::LocalMemory descriptorMemory(descriptor); // the access list lies inside it
    if (got != ERROR_SUCCESS) {
        log(LOG_FATAL, updateterms::FN_SWITCH, L"UNABLE to get file security");
    } else if (::SetNamedSecurityInfoW(const_cast<LPWSTR>(to.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS) {
        Killpoint::after(L"access list");
        log(LOG_DEBUG, updateterms::FN_SWITCH, L"File security set!");
    } else {
        log(LOG_FATAL, updateterms::FN_SWITCH, L"UNABLE to set file security");
    }
}
