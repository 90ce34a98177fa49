// Fileswitch on real files: the backup, the attributes and access list carried over, a backup
// that cannot be deleted, a missing target, a read-only backup of an earlier switch, the rollback
// when the final rename fails, and the staging of a download that lies on another volume.
#include "Fileswitch.h"

#include "Fileobject.h"
#include "Logger.h"
#include "Switchrecovery.h"
#include "cWebupdater.h"
#include "loopbackserver.h"
#include "updatertest.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <string>
#include <vector>

using testsupport::countLevel;
using testsupport::narrow;
using testsupport::programBytes;
using testsupport::readBytes;
using testsupport::TempDir;
using testsupport::writeBytes;

namespace {

// The switch with its final rename observable, and failing on request.
class TestSwitch : public Fileswitch {
public:
    using Fileswitch::Fileswitch;
    DWORD failMoveIntoPlace = 0;
    std::wstring lastDownloadPath;

protected:
    portable::Result moveIntoPlace(Downloadfile* download, const std::wstring& target) override
    {
        lastDownloadPath = download->path();
        if (failMoveIntoPlace != 0) {
            return portable::Result::failedWith(cWebupdater::UPDATE_SWITCH_FAILED, failMoveIntoPlace);
        }
        return Fileswitch::moveIntoPlace(download, target);
    }
};

std::string sddlOf(const std::wstring& path)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                nullptr, &sd) != ERROR_SUCCESS) {
        return "<none>";
    }
    LPWSTR text = nullptr;
    std::string out = "<unconvertible>";
    if (::ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                               nullptr)) {
        out = narrow(text);
        ::LocalFree(text);
    }
    ::LocalFree(sd);
    return out;
}

class Switch : public ::testing::Test {
protected:
    void SetUp() override
    {
        logger = std::make_unique<Logger>(dir.path(), L"web.log", L"CV_setup.exe");
        fileswitch = std::make_unique<TestSwitch>(logger.get());
        target = dir.file(name);
        ASSERT_TRUE(writeBytes(target, "old"));
    }

    // bytes as a private download in folder (the temporary folder unless given), then the switch:
    // UPDATE_DONE or UPDATE_SWITCH_FAILED, the system error in lastError. A failed switch's
    // download is deleted, as updateFile does.
    int32_t switchTo(const std::string& bytes, std::wstring folder = L"")
    {
        Downloadfile download;
        DWORD error = 0;
        EXPECT_TRUE(download.create(folder.empty() ? testsupport::tempFolder() : folder, name, false, &error));
        EXPECT_TRUE(download.write(bytes.data(), static_cast<DWORD>(bytes.size()), &error));
        EXPECT_TRUE(download.flush(&error));
        const portable::Result r = fileswitch->switchFiles(target, &download, dir.path(), name);
        lastError = r.systemError;
        download.discard();
        return r.ok() ? cWebupdater::UPDATE_DONE : r.code;
    }
    int leftovers() const { return testsupport::leftoverDownloads({testsupport::tempFolder(), dir.path()}, name); }
    bool logged(int level, const std::string& message) const
    {
        return log.logged(level, cWebupdater::FN_SWITCH, message);
    }

    TempDir dir{L"fs"};
    testsupport::Logfile log{dir.path() + L"/web.log"};
    std::unique_ptr<Logger> logger;
    std::unique_ptr<TestSwitch> fileswitch;
    const std::wstring name = L"fs_target.exe";
    std::wstring target;
    DWORD lastError = 0;
};

} // namespace

TEST_F(Switch, SwapKeepsTheBackupAndCarriesAttributesAndAccessList)
{
    // An access list of our own on the target: full access for the owner, read for everyone.
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)(A;;FR;;;WD)", SDDL_REVISION_1,
                                                                       &sd, nullptr));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
    ASSERT_EQ(::SetNamedSecurityInfoW(const_cast<LPWSTR>(target.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, dacl, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    ::LocalFree(sd);
    const std::string oldSddl = sddlOf(target);
    ASSERT_TRUE(::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));

    ASSERT_EQ(switchTo(programBytes(1999)), cWebupdater::UPDATE_DONE) << log.dump();
    EXPECT_EQ(readBytes(target), programBytes(1999));
    EXPECT_EQ(readBytes(target + cWebupdater::BACKUP_SUFFIX), "old");
    EXPECT_EQ(leftovers(), 0) << "the download was moved";
    EXPECT_TRUE(::GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(sddlOf(target), oldSddl);
    EXPECT_TRUE(logged(5, "File backup created at: " + narrow(target) + ".backupFromWebupdate"));
    EXPECT_TRUE(logged(5, "File switched to:" + narrow(target)));
    EXPECT_TRUE(logged(5, "File attributes set!"));
    EXPECT_TRUE(logged(5, "File security set!"));
    ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::SetFileAttributesW((target + cWebupdater::BACKUP_SUFFIX).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Switch, FailedFinalMoveRestoresTheTarget)
{
    // The rename of the download into place fails: the previous version goes back to its name.
    fileswitch->failMoveIntoPlace = ERROR_ACCESS_DENIED;
    EXPECT_EQ(switchTo(programBytes(1999)), cWebupdater::UPDATE_SWITCH_FAILED) << log.dump();
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(readBytes(target), "old") << "the previous version is back under its name";
    EXPECT_FALSE(testsupport::fileExists(target + cWebupdater::BACKUP_SUFFIX));
    EXPECT_EQ(countLevel(log.lines(), "ERROR   - ", "previous version restored"), 1) << log.dump();
    EXPECT_EQ(leftovers(), 0) << "the download is deleted";
}

TEST_F(Switch, BackupThatCannotBeDeletedStopsBeforeTheTarget)
{
    const std::wstring backup = target + cWebupdater::BACKUP_SUFFIX;
    ASSERT_TRUE(writeBytes(backup, "older"));
    handles::Kernel hold(::CreateFileW(backup.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(hold.valid());
    EXPECT_EQ(switchTo(programBytes(1999)), cWebupdater::UPDATE_SWITCH_FAILED);
    EXPECT_NE(lastError, 0u);
    EXPECT_EQ(readBytes(target), "old");
    EXPECT_EQ(readBytes(backup), "older");
    EXPECT_FALSE(logged(5, "File backup created at: " + narrow(backup)));
}

TEST_F(Switch, MissingTargetCannotBeSwapped)
{
    // The swap starts by moving the target to its backup name; without a target nothing is put in place.
    ASSERT_TRUE(::DeleteFileW(target.c_str()));
    EXPECT_EQ(switchTo(programBytes(1999)), cWebupdater::UPDATE_SWITCH_FAILED);
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(testsupport::fileExists(target));
    EXPECT_FALSE(testsupport::fileExists(target + cWebupdater::BACKUP_SUFFIX));
}

TEST_F(Switch, ReadOnlyTargetIsSwitchedTwiceInARow)
{
    ASSERT_TRUE(::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_EQ(switchTo(programBytes(130000)), cWebupdater::UPDATE_DONE) << log.dump();
    const std::wstring backup = target + cWebupdater::BACKUP_SUFFIX;
    ASSERT_TRUE(::GetFileAttributesW(backup.c_str()) & FILE_ATTRIBUTE_READONLY)
        << "the backup of the first switch is read-only, which blocked the next one";
    ASSERT_EQ(switchTo(programBytes(140000)), cWebupdater::UPDATE_DONE) << log.dump();
    EXPECT_EQ(readBytes(target), programBytes(140000));
    EXPECT_EQ(readBytes(backup), programBytes(130000));
    ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::SetFileAttributesW(backup.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Switch, DownloadOnAnotherVolumeIsCopiedBesideTheTargetFirst)
{
    // Drive Z: (the Unix root) against the target on the prefix's drive C:.
    ASSERT_EQ(::towupper(dir.path()[0]), L'C') << narrow(dir.path());
    const std::wstring otherVolume = testsupport::unixToWine("/tmp");
    ASSERT_EQ(switchTo(programBytes(200000), otherVolume), cWebupdater::UPDATE_DONE) << log.dump();
    EXPECT_EQ(readBytes(target), programBytes(200000));
    EXPECT_EQ(readBytes(target + cWebupdater::BACKUP_SUFFIX), "old");
    EXPECT_EQ(normalizePath(fileswitch->lastDownloadPath).rfind(normalizePath(dir.path()) + L"/", 0), 0u)
        << "renamed into place from beside the target: " << narrow(fileswitch->lastDownloadPath);
    EXPECT_EQ(countLevel(log.lines(), "debug   - ", "Download copied beside the target: "), 1) << log.dump();
    EXPECT_EQ(testsupport::leftoverDownloads({otherVolume, dir.path()}, name), 0);

    // A failure after the copy: the previous version stays, the staged copy goes.
    fileswitch->failMoveIntoPlace = ERROR_ACCESS_DENIED;
    EXPECT_EQ(switchTo(programBytes(210000), otherVolume), cWebupdater::UPDATE_SWITCH_FAILED) << log.dump();
    EXPECT_EQ(readBytes(target), programBytes(200000));
    EXPECT_EQ(testsupport::leftoverDownloads({otherVolume, dir.path()}, name), 0);

    // The same volume: no copy.
    fileswitch->failMoveIntoPlace = 0;
    ASSERT_EQ(switchTo(programBytes(220000)), cWebupdater::UPDATE_DONE) << log.dump();
    EXPECT_EQ(countLevel(log.lines(), "debug   - ", "Download copied beside the target: "), 2);
}

TEST(Switchrecovery, RemovesOnlyTheStagedCopiesBesideTheProgram)
{
    TempDir dir{L"sr"};
    testsupport::Logfile log{dir.path() + L"/web.log"};
    Logger logger(dir.path(), L"web.log", L"CV_setup.exe");
    const std::wstring own = dir.file(L"CV_setup.exe");
    // Removed: what a cut-off switch leaves (read-only after the attributes were copied, too).
    const std::vector<std::wstring> copies = {L"CV_setup.exe.0123456789abcdef.tmp",
                                              L"cv_SETUP.EXE.FEDCBA9876543210.TMP"};
    // Kept: the program, its backup, other programs' copies, names that only look alike.
    const std::vector<std::wstring> others = {L"CV_setup.exe",
                                              L"CV_setup.exe.backupFromWebupdate",
                                              L"other.exe.0123456789abcdef.tmp",
                                              L"CV_setup.exe.0123456789abcde.tmp",
                                              L"CV_setup.exe.0123456789abcdeg.tmp",
                                              L"CV_setup.exe.0123456789abcdef.tmp.exe"};
    for (const auto& name : copies) {
        ASSERT_TRUE(writeBytes(dir.file(name), "copy"));
    }
    ASSERT_TRUE(::SetFileAttributesW(dir.file(copies[1]).c_str(), FILE_ATTRIBUTE_READONLY));
    for (const auto& name : others) {
        ASSERT_TRUE(writeBytes(dir.file(name), "keep"));
    }
    // A folder under a copy's name is nobody's copy.
    const std::wstring folder = dir.file(L"CV_setup.exe.00000000000000aa.tmp");
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));

    EXPECT_EQ(Switchrecovery(&logger).removeLeftovers(own), 2);
    for (const auto& name : copies) {
        EXPECT_FALSE(testsupport::fileExists(dir.file(name))) << narrow(name);
    }
    for (const auto& name : others) {
        EXPECT_EQ(readBytes(dir.file(name)), "keep") << narrow(name);
    }
    EXPECT_NE(::GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(countLevel(log.lines(), "WARNING - ", "Removed the copy of an interrupted update: "), 2) << log.dump();
    EXPECT_EQ(Switchrecovery(&logger).removeLeftovers(own), 0) << "nothing left the second time";
    ::RemoveDirectoryW(folder.c_str());
}

// In the temporary folder: the partial download a record names stays, and so does a download that
// another run still holds open; what a killed transfer left without a record goes.
TEST(Switchrecovery, RemovesUnrecordedDownloadsButNotTheKeptOrAnOpenOne)
{
    TempDir dir{L"srtemp"};
    testsupport::Logfile log{dir.path() + L"/web.log"};
    Logger logger(dir.path(), L"web.log", L"CV_setup.exe");
    const std::wstring kept = L"CV_setup.exe.00000000000000aa.tmp";
    const std::wstring orphan = L"CV_setup.exe.00000000000000bb.tmp";
    ASSERT_TRUE(writeBytes(dir.file(kept), "held"));
    ASSERT_TRUE(writeBytes(dir.file(orphan), "cut"));
    Downloadfile inUse;
    DWORD error = 0;
    ASSERT_TRUE(inUse.create(dir.path(), L"CV_setup.exe", false, &error)) << error;

    EXPECT_EQ(Switchrecovery(&logger).removeCopies(dir.path() + L"/", L"CV_setup.exe", kept), 1) << log.dump();
    EXPECT_EQ(readBytes(dir.file(kept)), "held");
    EXPECT_FALSE(testsupport::fileExists(dir.file(orphan)));
    EXPECT_TRUE(testsupport::fileExists(inUse.path()));
    EXPECT_EQ(countLevel(log.lines(), "WARNING - ", "Removed the copy of an interrupted update: "), 1) << log.dump();
}
