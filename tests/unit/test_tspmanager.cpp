// cTSPmanager against the prefix's real registry and real files: the telephony provider list
// under HKEY_LOCAL_MACHINE (in the registry view of this process, as the manager sees it) is saved,
// seeded for each case and restored afterwards; the provider folder is a scratch folder (the full
// forms of installTSP / uninstallTSP, or the system folders given outright) or, for the command
// line, the prefix's real system folder (WINDIR pointed at a scratch folder changes nothing). This test
// program carries the provider builds as resources (test_tspmanager.rc), as CV_setup.exe does.
#include "Binaryresourcemanager.h"
#include "Fileobject.h"
#include "Providerplacement.h"
#include "cCV_INSTALLER.h"
#include "cREGhandler.h"
#include "cTSPmanager.h"
#include "handles.h"
#include "logcapture.h"
#include "registryfixture.h"
#include "testsupport.h"

#include <gtest/gtest.h>
#include <tspi.h>

#include <map>
#include <string>
#include <vector>

using logcapture::Capture;
using logcapture::levelOf;
using logcapture::messagesOf;
using registryfixture::describe;
using registryfixture::number;
using registryfixture::text;
using registryfixture::Values;
using testsupport::TempDir;

namespace {

const wchar_t* const KEY = cTSPmanager::PROVIDER_LIST_KEY;
const wchar_t* const INSTALL = cTSPmanager::FN_INSTALL_TSP;
const wchar_t* const UNINSTALL = cTSPmanager::FN_UNINSTALL_TSP;
const wchar_t* const NAME = L"CV_TSP.tsp";

// The provider list in one registry view: 0 (this process's), KEY_WOW64_64KEY or KEY_WOW64_32KEY.
registryfixture::Key providerList(REGSAM view = 0) { return registryfixture::Key(HKEY_LOCAL_MACHINE, KEY, view); }

Values readAll(REGSAM view = 0) { return providerList(view).values(); }

// Replaces every value under the list key by values (the key is created when missing).
void writeAll(const Values& values, REGSAM view = 0) { ASSERT_TRUE(providerList(view).replaceValues(values)); }

// A list of names with IDs, NumProviders and NextProviderID as given.
Values list(const std::vector<std::wstring>& names, const std::vector<DWORD>& ids, DWORD next)
{
    Values v;
    for (size_t i = 0; i < names.size(); ++i) {
        v[L"ProviderFileName" + std::to_wstring(i)] = text(names[i]);
        v[L"ProviderID" + std::to_wstring(i)] = number(ids[i]);
    }
    v[L"NumProviders"] = number(static_cast<DWORD>(names.size()));
    v[L"NextProviderID"] = number(next);
    return v;
}

std::string resourceBytes(WORD id = Binaryresourcemanager::RESOURCE_ID)
{
    HMODULE self = ::GetModuleHandleW(nullptr);
    HRSRC found = ::FindResourceW(self, MAKEINTRESOURCEW(id), L"TSP");
    if (found == nullptr) {
        return {};
    }
    return std::string(static_cast<const char*>(::LockResource(::LoadResource(self, found))),
                       ::SizeofResource(self, found));
}

// The provider lists of the prefix (in this process's view and in the 32-bit view) are put back
// after each case (or removed when the prefix had none).
class TspManager : public ::testing::Test {
protected:
    registryfixture::SavedKey savedList{HKEY_LOCAL_MACHINE, KEY};
    registryfixture::SavedKey savedList32{HKEY_LOCAL_MACHINE, KEY, KEY_WOW64_32KEY};
    TempDir dir{L"tsp"};
    Capture log;
};

} // namespace

TEST_F(TspManager, InstallationAppendsEntryWithNextId)
{
    writeAll(list({L"unimdm.tsp", L"kmddsp.tsp", L"ndptsp.tsp"}, {1, 2, 5}, 7));
    Values expected = readAll();
    cTSPmanager manager(log.logger());

    ASSERT_TRUE(manager.installTSP(NAME, true, dir.path()));

    expected[L"ProviderFileName3"] = text(NAME);
    expected[L"ProviderID3"] = number(7);
    expected[L"NextProviderID"] = number(8);
    expected[L"NumProviders"] = number(4);
    EXPECT_TRUE(readAll() == expected) << describe(readAll());

    const auto lines = log.lines();
    // The four writes, in this order.
    std::vector<std::wstring> written;
    for (const auto& m : messagesOf(lines, cREGhandler::FN_SET_REG_VALUE)) {
        written.push_back(m);
    }
    const std::wstring k = KEY;
    EXPECT_EQ(written, (std::vector<std::wstring>{
                           L"Registry written: " + k + L" - ProviderFileName3 = CV_TSP.tsp",
                           L"Registry written: " + k + L" - ProviderID3 = 7",
                           L"Registry written: " + k + L" - NextProviderID = 8",
                           L"Registry written: " + k + L" - NumProviders = 4",
                       }));
    const auto mine = messagesOf(lines, INSTALL);
    const std::wstring full = dir.path() + L"/CV_TSP.tsp";
    EXPECT_EQ(mine, (std::vector<std::wstring>{
                        L"Path to TSP files: " + dir.path(),
                        L"CV_TSP.tsp not exists at " + dir.path(),
                        L"Extracted " + full + L" from resource",
                        L"UNABLE to fing TSP in the list - this is a 'first' installation",
                        L"Setting ProviderFileName3 to CV_TSP.tsp",
                        L"Setting ProviderID3 to 7",
                        L"Setting NextProviderID to 8",
                        L"Setting NumProviders to 4",
                    }));
    for (const auto& l : logcapture::linesOf(lines, INSTALL)) {
        EXPECT_EQ(l.level, 5) << testsupport::narrow(l.message);
    }
    EXPECT_TRUE(testsupport::readBytes(full) == resourceBytes());
}

TEST_F(TspManager, InstallationIntoAnEmptyListStartsAtZero)
{
    writeAll({});
    cTSPmanager manager(log.logger());

    ASSERT_TRUE(manager.installTSP(NAME, true, dir.path()));
    EXPECT_TRUE(readAll() == list({NAME}, {0}, 1)) << describe(readAll());
}

TEST_F(TspManager, InstallationFindsTheNameInAnyLetterCase)
{
    writeAll(list({L"unimdm.tsp", L"cv_tsp.TSP", L"ndptsp.tsp"}, {1, 2, 5}, 7));
    const Values before = readAll();
    const std::wstring full = dir.path() + L"/CV_TSP.tsp";
    ASSERT_TRUE(testsupport::writeBytes(full, "previous provider"));
    cTSPmanager manager(log.logger());

    ASSERT_TRUE(manager.installTSP(NAME, true, dir.path()));
    EXPECT_TRUE(readAll() == before) << describe(readAll());
    EXPECT_TRUE(testsupport::readBytes(full) == resourceBytes());
    EXPECT_EQ(testsupport::readBytes(full + L".OLD"), "previous provider");
    const auto mine = messagesOf(log.lines(), INSTALL);
    ASSERT_GE(mine.size(), 2u);
    EXPECT_EQ(mine[mine.size() - 2], L"Found TSP in list at position: ProviderFileName1");
    EXPECT_EQ(mine.back(), L"Thats it! I assume CV_TSP.tsp is installed right");
    EXPECT_TRUE(messagesOf(log.lines(), cREGhandler::FN_SET_REG_VALUE).empty());
}

TEST_F(TspManager, DamagedCountLeavesTheListAlone)
{
    for (DWORD count : {DWORD(0xFFFFFFFF), DWORD(2000000000)}) {
        Values seeded = list({L"unimdm.tsp"}, {1}, 7);
        seeded[L"NumProviders"] = number(count);
        writeAll(seeded);
        log.mark();
        cTSPmanager manager(log.logger());

        EXPECT_FALSE(manager.installTSP(NAME, true, dir.path())) << "not registered: not installed";
        EXPECT_TRUE(manager.uninstallTSP(NAME, true, dir.path()));
        EXPECT_TRUE(readAll() == seeded) << describe(readAll());
        const auto fresh = log.fresh();
        const std::wstring line =
            L"Provider list is damaged: NumProviders = " + std::to_wstring(static_cast<int32_t>(count));
        EXPECT_EQ(levelOf(fresh, line), 2);
        EXPECT_TRUE(messagesOf(fresh, cREGhandler::FN_SET_REG_VALUE).empty());
    }
}

TEST_F(TspManager, RemovalOfAMiddleEntryClosesTheGap)
{
    writeAll(list({L"unimdm.tsp", L"CV_TSP.tsp", L"kmddsp.tsp", L"ndptsp.tsp"}, {10, 11, 12, 13}, 20));
    cTSPmanager manager(log.logger());

    EXPECT_TRUE(manager.uninstallTSP(NAME, true, dir.path()));
    EXPECT_TRUE(readAll() == list({L"unimdm.tsp", L"kmddsp.tsp", L"ndptsp.tsp"}, {10, 12, 13}, 20))
        << describe(readAll());
    const auto mine = messagesOf(log.lines(), UNINSTALL);
    EXPECT_EQ(mine, (std::vector<std::wstring>{
                        L"Path to TSP files: " + dir.path(),
                        L"Found TSP in list at position: ProviderFileName1",
                        L"Thats it! I assume CV_TSP.tsp is installed right",
                        L"CV_TSP.tsp not exists at " + dir.path(),
                    }));
}

TEST_F(TspManager, RemovalOfTheLastEntryDeletesOnlyIt)
{
    writeAll(list({L"unimdm.tsp", L"kmddsp.tsp", L"ndptsp.tsp", L"cv_tsp.tsp"}, {10, 11, 12, 13}, 20));
    cTSPmanager manager(log.logger());

    EXPECT_TRUE(manager.uninstallTSP(NAME, true, dir.path()));
    EXPECT_TRUE(readAll() == list({L"unimdm.tsp", L"kmddsp.tsp", L"ndptsp.tsp"}, {10, 11, 12}, 20))
        << describe(readAll());
}

TEST_F(TspManager, RemovalOfAnUnlistedNameStillMovesTheFileAside)
{
    writeAll(list({L"unimdm.tsp", L"kmddsp.tsp"}, {10, 11}, 20));
    const Values before = readAll();
    const std::wstring full = dir.path() + L"/CV_TSP.tsp";
    ASSERT_TRUE(testsupport::writeBytes(full, "installed"));
    cTSPmanager manager(log.logger());

    EXPECT_TRUE(manager.uninstallTSP(NAME, true, dir.path()));
    EXPECT_TRUE(readAll() == before) << describe(readAll());
    EXPECT_FALSE(testsupport::fileExists(full));
    EXPECT_EQ(testsupport::readBytes(full + L".OLD"), "installed");
    const auto lines = log.lines();
    EXPECT_EQ(messagesOf(lines, UNINSTALL), (std::vector<std::wstring>{
                                                L"Path to TSP files: " + dir.path(),
                                                L"UNABLE to fing TSP in the list - I assume it is not installed",
                                                L"CV_TSP.tsp exists at " + dir.path(),
                                                L"Renaming CV_TSP.tsp at " + dir.path(),
                                                L"Renamed " + full + L" to " + full + L".OLD",
                                            }));
    EXPECT_EQ(levelOf(lines, L"CV_TSP.tsp exists at " + dir.path()), 5) << "removal logs it as debug";
}

TEST_F(TspManager, WithoutRegistrationTheListIsNotTouched)
{
    writeAll(list({L"unimdm.tsp"}, {10}, 20));
    const Values before = readAll();
    cTSPmanager manager(log.logger());

    EXPECT_TRUE(manager.installTSP(NAME, false, dir.path()));
    EXPECT_TRUE(readAll() == before);
    EXPECT_TRUE(manager.uninstallTSP(NAME, false, dir.path()));
    EXPECT_TRUE(readAll() == before);
    EXPECT_TRUE(messagesOf(log.lines(), cREGhandler::FN_GET_REG_VALUE).empty());
}

TEST_F(TspManager, RepeatedInstallationKeepsOneOldCopy)
{
    writeAll({});
    const std::wstring full = dir.path() + L"/CV_TSP.tsp";
    const std::wstring old = full + L".OLD";
    ASSERT_TRUE(testsupport::writeBytes(old, "left by an earlier run"));
    ASSERT_TRUE(testsupport::writeBytes(full, "installed before"));
    cTSPmanager manager(log.logger());

    ASSERT_TRUE(manager.installTSP(NAME, true, dir.path()));
    EXPECT_EQ(testsupport::readBytes(old), "installed before");
    EXPECT_TRUE(testsupport::readBytes(full) == resourceBytes());
    auto lines = log.lines();
    EXPECT_EQ(messagesOf(lines, INSTALL)[1], L"Deleted CV_TSP.tsp.OLD at " + dir.path());
    EXPECT_EQ(levelOf(lines, L"CV_TSP.tsp exists at " + dir.path()), 3) << "installation warns";
    EXPECT_EQ(levelOf(lines, L"Renamed " + full + L" to " + old), 5);

    // Right after: the first run's .OLD goes, the installed file becomes the .OLD.
    log.mark();
    ASSERT_TRUE(manager.installTSP(NAME, true, dir.path()));
    EXPECT_TRUE(testsupport::readBytes(old) == resourceBytes());
    EXPECT_TRUE(testsupport::readBytes(full) == resourceBytes());
    EXPECT_TRUE(readAll() == list({NAME}, {0}, 1)) << "listed once: " << describe(readAll());
    EXPECT_EQ(levelOf(log.fresh(), L"Deleted CV_TSP.tsp.OLD at " + dir.path()), 5);
}

TEST_F(TspManager, UndeletableOldCopyBlocksTheRenameButNotTheInstallation)
{
    writeAll({});
    const std::wstring full = dir.path() + L"/CV_TSP.tsp";
    const std::wstring old = full + L".OLD";
    ASSERT_TRUE(::CreateDirectoryW(old.c_str(), nullptr)); // a folder: no file delete removes it
    ASSERT_TRUE(testsupport::writeBytes(full, "installed before"));
    cTSPmanager manager(log.logger());

    EXPECT_TRUE(manager.installTSP(NAME, true, dir.path()));
    EXPECT_TRUE(testsupport::readBytes(full) == resourceBytes()) << "the extraction replaces the file in place";
    const auto lines = log.lines();
    EXPECT_EQ(levelOf(lines, L"Unable to delete CV_TSP.tsp.OLD at " + dir.path()), 3);
    EXPECT_EQ(levelOf(lines, L"Unable to rename " + full + L" to " + old), 3);
}

TEST_F(TspManager, FailedExtractionReportsAndLeavesTheList)
{
    writeAll(list({L"unimdm.tsp"}, {10}, 20));
    const Values before = readAll();
    const std::wstring folder = dir.path() + L"/missing";
    cTSPmanager manager(log.logger());

    EXPECT_FALSE(manager.installTSP(NAME, true, folder));
    EXPECT_TRUE(readAll() == before);
    const auto lines = log.lines();
    EXPECT_EQ(levelOf(lines, L"Unable to extract " + folder + L"/CV_TSP.tsp from resource"), 2);
    EXPECT_TRUE(messagesOf(lines, cREGhandler::FN_GET_REG_VALUE).empty());
}

TEST_F(TspManager, RemovalDeletesWhatCannotBeMovedAndFailsOnlyWhenItCannotDoEither)
{
    writeAll({});
    const std::wstring full = dir.path() + L"/CV_TSP.tsp";
    const std::wstring old = full + L".OLD";
    ASSERT_TRUE(::CreateDirectoryW(old.c_str(), nullptr));
    ASSERT_TRUE(testsupport::writeBytes(old + L"/keep", "x")); // not empty either
    ASSERT_TRUE(testsupport::writeBytes(full, "installed"));
    cTSPmanager manager(log.logger());

    // Cannot be moved (the .OLD name is taken), can be deleted.
    EXPECT_TRUE(manager.uninstallTSP(NAME, true, dir.path()));
    EXPECT_FALSE(testsupport::fileExists(full));
    EXPECT_EQ(::GetFileAttributesW(old.c_str()) & FILE_ATTRIBUTE_DIRECTORY, DWORD(FILE_ATTRIBUTE_DIRECTORY));
    auto lines = log.lines();
    EXPECT_EQ(levelOf(lines, L"Unable to rename " + full + L" to " + old), 3);
    EXPECT_EQ(levelOf(lines, L"Deleted " + full + L"!"), 5);

    // Held open without delete sharing: neither moved nor deleted.
    ASSERT_TRUE(testsupport::writeBytes(full, "installed"));
    handles::Kernel holder(::CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.valid());
    log.mark();
    EXPECT_FALSE(manager.uninstallTSP(NAME, true, dir.path()));
    holder.reset();
    EXPECT_EQ(testsupport::readBytes(full), "installed");
    EXPECT_EQ(levelOf(log.fresh(), L"Unable to delete " + full + L"!"), 3);

    // Not there at all.
    ::DeleteFileW(full.c_str());
    log.mark();
    EXPECT_TRUE(manager.uninstallTSP(NAME, true, dir.path()));
    EXPECT_EQ(levelOf(log.fresh(), L"CV_TSP.tsp not exists at " + dir.path()), 5);
}

// The folder as the system names it; WINDIR in the environment is not read.
std::wstring realSystemFolder()
{
    wchar_t folder[MAX_PATH] = {};
    const UINT got = ::GetSystemDirectoryW(folder, MAX_PATH);
    EXPECT_TRUE(got > 0 && got < MAX_PATH);
    return normalizePath(folder);
}

// WINDIR pointed at a folder for one test.
class ScopedWindir {
public:
    explicit ScopedWindir(const std::wstring& folder)
    {
        ::GetEnvironmentVariableW(L"WINDIR", saved, MAX_PATH);
        ::SetEnvironmentVariableW(L"WINDIR", folder.c_str());
    }
    ~ScopedWindir() { ::SetEnvironmentVariableW(L"WINDIR", saved); }
    ScopedWindir(const ScopedWindir&) = delete;
    ScopedWindir& operator=(const ScopedWindir&) = delete;

private:
    wchar_t saved[MAX_PATH] = {};
};

TEST_F(TspManager, ProviderFolderComesFromTheSystemNotFromWindir)
{
    // Control: the scratch folder differs from the real system folder.
    ASSERT_NE(dir.path() + L"/system32", realSystemFolder());
    ScopedWindir windir(dir.path());
    const cTSPmanager manager(log.logger());
    EXPECT_EQ(manager.getProviderFolder(), realSystemFolder() + L"/");
    const auto folders = Providerplacement::systemFolders();
    EXPECT_EQ(folders.system, realSystemFolder());
    wchar_t windows[MAX_PATH] = {};
    ASSERT_GT(::GetSystemWindowsDirectoryW(windows, MAX_PATH), 0u);
    EXPECT_EQ(folders.windows, normalizePath(windows));
    EXPECT_TRUE(log.lines().empty()) << "no environment variable is read";
}

TEST_F(TspManager, InstalledProviderLoadsAndReportsNoDevices)
{
    writeAll({});
    cTSPmanager manager(log.logger());
    ASSERT_TRUE(manager.installTSP(NAME, false, dir.path()));
    const std::wstring full = dir.path() + L"/CV_TSP.tsp";

    handles::Module dll(::LoadLibraryW(full.c_str()));
    ASSERT_TRUE(dll.valid()) << "error " << ::GetLastError();
    auto get = [&](const char* name) { return reinterpret_cast<void*>(::GetProcAddress(dll.get(), name)); };
    for (const char* name :
         {"TSPI_lineNegotiateTSPIVersion", "TSPI_providerEnumDevices", "TSPI_providerInit", "TSPI_providerShutdown",
          "TSPI_providerUIIdentify", "TUISPI_providerInstall", "TUISPI_providerRemove", "TUISPI_providerConfig"}) {
        EXPECT_NE(get(name), nullptr) << name;
    }
    using Negotiate = LONG(WINAPI*)(DWORD, DWORD, DWORD, LPDWORD);
    using Enum = LONG(WINAPI*)(DWORD, LPDWORD, LPDWORD, HPROVIDER, LINEEVENT, PHONEEVENT);
    using Init = LONG(WINAPI*)(DWORD, DWORD, DWORD, DWORD, DWORD_PTR, DWORD_PTR, ASYNC_COMPLETION, LPDWORD);
    using Shutdown = LONG(WINAPI*)(DWORD, DWORD);
    using Identify = LONG(WINAPI*)(LPWSTR);
    auto negotiate = reinterpret_cast<Negotiate>(get("TSPI_lineNegotiateTSPIVersion"));
    auto enumDevices = reinterpret_cast<Enum>(get("TSPI_providerEnumDevices"));
    auto init = reinterpret_cast<Init>(get("TSPI_providerInit"));
    auto shutdown = reinterpret_cast<Shutdown>(get("TSPI_providerShutdown"));
    auto identify = reinterpret_cast<Identify>(get("TSPI_providerUIIdentify"));
    ASSERT_TRUE(negotiate && enumDevices && init && shutdown && identify);

    DWORD version = 0;
    EXPECT_EQ(negotiate(INITIALIZE_NEGOTIATION, 0x00010003, 0x00020002, &version), 0);
    EXPECT_EQ(version, 0x00020002u);
    EXPECT_EQ(negotiate(INITIALIZE_NEGOTIATION, 0x00020000, 0x00040000, &version), 0);
    EXPECT_EQ(version, 0x00030001u) << "the highest both speak";
    EXPECT_EQ(negotiate(INITIALIZE_NEGOTIATION, 0x00010003, 0x00010004, &version),
              LONG(LINEERR_INCOMPATIBLEAPIVERSION));
    EXPECT_EQ(negotiate(0, 0x00020000, 0x00030000, &version), LONG(LINEERR_BADDEVICEID)) << "no line devices";

    DWORD lines = 99;
    DWORD phones = 99;
    EXPECT_EQ(enumDevices(7, &lines, &phones, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(lines, 0u);
    EXPECT_EQ(phones, 0u);
    DWORD options = 99;
    EXPECT_EQ(init(0x00020002, 7, 0, 0, 0, 0, nullptr, &options), 0);
    EXPECT_EQ(options, 0u);
    wchar_t ui[MAX_PATH] = {};
    EXPECT_EQ(identify(ui), 0);
    EXPECT_EQ(normalizePath(ui), full);
    EXPECT_EQ(shutdown(0x00020002, 7), 0);
}

// The command line: the options by substring, case-sensitive, restart first; the provider
// options end the start-up. They act on the prefix's real system folder, whatever WINDIR says:
// WINDIR points at the scratch folder (with a system32 in it), and nothing lands there.
TEST_F(TspManager, CommandLineRunsTheProviderOperations)
{
    ASSERT_TRUE(::CreateDirectoryW((dir.path() + L"/system32").c_str(), nullptr));
    ScopedWindir windir(dir.path());
    const std::wstring full = realSystemFolder() + L"/CV_TSP.tsp";
    ::DeleteFileW(full.c_str());
    ::DeleteFileW((full + L".OLD").c_str());
    writeAll(list({L"unimdm.tsp"}, {3}, 4));

    struct Case {
        const wchar_t* line;
        bool proceeds;
        int32_t restart;
    };
    for (const Case& c : {Case{L"", true, 0}, Case{L"--restart --installTSP", true, 1}, Case{L"x--restartx", true, 1},
                          Case{L"--INSTALLTSP", true, 0}, Case{L"0049 30 1234567", true, 0}}) {
        cCV_INSTALLER app;
        app.setCommandLine(c.line);
        EXPECT_EQ(app.parseCommandLine(), c.proceeds) << testsupport::narrow(c.line);
        EXPECT_EQ(app.isRestartRequested(), c.restart) << testsupport::narrow(c.line);
        EXPECT_FALSE(testsupport::fileExists(full)) << testsupport::narrow(c.line);
    }
    EXPECT_TRUE(readAll() == list({L"unimdm.tsp"}, {3}, 4));

    // The application object logs through its own logger; a scratch one stands in for stage 2.
    struct LoggedApp : cCV_INSTALLER {
        explicit LoggedApp(Logger* l) { logger.reset(l); }
        ~LoggedApp() override { static_cast<void>(logger.release()); }
    };
    {
        LoggedApp app(log.logger());
        app.setCommandLine(L" --installTSP ");
        EXPECT_FALSE(app.parseCommandLine());
        EXPECT_EQ(app.isRestartRequested(), 0);
    }
    EXPECT_TRUE(testsupport::readBytes(full) == resourceBytes());
    EXPECT_FALSE(testsupport::fileExists(dir.path() + L"/system32/CV_TSP.tsp")) << "WINDIR is not followed";
    EXPECT_TRUE(readAll() == list({L"unimdm.tsp", NAME}, {3, 4}, 5)) << describe(readAll());
    {
        LoggedApp app(log.logger());
        app.setCommandLine(L"--uninstallTSP");
        EXPECT_FALSE(app.parseCommandLine());
    }
    EXPECT_FALSE(testsupport::fileExists(full));
    EXPECT_TRUE(testsupport::fileExists(full + L".OLD"));
    EXPECT_TRUE(readAll() == list({L"unimdm.tsp"}, {3}, 5)) << describe(readAll());

    // A failed removal: the file is held open without delete sharing.
    ASSERT_TRUE(testsupport::writeBytes(full, "busy"));
    {
        handles::Kernel holder(::CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
        LoggedApp app(log.logger());
        app.setCommandLine(L"--uninstallTSP");
        EXPECT_FALSE(app.parseCommandLine());
    }
    // A failed installation: the file is held open against writers and renames.
    {
        handles::Kernel holder(
            ::CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        LoggedApp app(log.logger());
        app.setCommandLine(L"--installTSP");
        EXPECT_FALSE(app.parseCommandLine());
    }
    EXPECT_EQ(testsupport::readBytes(full), "busy");
    ::DeleteFileW(full.c_str());
    ::DeleteFileW((full + L".OLD").c_str());
    EXPECT_TRUE(readAll() == list({L"unimdm.tsp"}, {3}, 5)) << describe(readAll());
    EXPECT_EQ(messagesOf(log.lines(), INSTALL)[0], L"Path to TSP files: " + realSystemFolder() + L"/");

    const auto lines = log.of(cCV_INSTALLER::FN_PARSE_COMMAND_LINE);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0].message, L"Parsing commandline: > --installTSP <");
    EXPECT_EQ(lines[1].message, L"TSP was installed!");
    EXPECT_EQ(lines[1].level, 5);
    EXPECT_EQ(lines[3].message, L"TSP was uninstalled!");
    EXPECT_EQ(lines[3].level, 5);
    EXPECT_EQ(lines[5].message, L"TSP was NOT uninstalled!");
    EXPECT_EQ(lines[5].level, 2);
    EXPECT_EQ(lines[7].message, L"TSP was NOT installed!");
    EXPECT_EQ(lines[7].level, 2);
}

using Platform = Providerplacement::Platform;

TEST(ProviderPlacement, BuildFolderAndViewPerPlatform)
{
    struct Case {
        Platform platform;
        WORD id;
        const wchar_t* folder;
        REGSAM view;
        bool earlier;
    };
    // The system folder as the system names it (given here in other letters than the Windows
    // folder's own "system32", so that the test tells which one is used).
    const Providerplacement::SystemFolders folders{L"C:/Windows", L"C:/Windows/System32"};
    for (const Case& c : {Case{Platform::WINDOWS_32BIT, 5, L"C:/Windows/System32/", 0, false},
                          Case{Platform::WOW64, 6, L"C:/Windows/Sysnative/", KEY_WOW64_64KEY, true},
                          Case{Platform::WINDOWS_64BIT, 6, L"C:/Windows/System32/", KEY_WOW64_64KEY, true}}) {
        const auto target = Providerplacement::providerTarget(c.platform, folders);
        EXPECT_EQ(target.resourceId, c.id);
        EXPECT_EQ(target.folder, c.folder);
        EXPECT_EQ(target.registryView, c.view);
        const auto earlier = Providerplacement::earlierTarget(c.platform, folders);
        ASSERT_EQ(earlier.has_value(), c.earlier);
        if (earlier) {
            // Where the 32-bit installers before this one put it on 64-bit Windows.
            EXPECT_EQ(earlier->resourceId, 5);
            EXPECT_EQ(earlier->folder, L"C:/Windows/SysWOW64/");
            EXPECT_EQ(earlier->registryView, REGSAM(KEY_WOW64_32KEY));
        }
    }
    // This test program is a 64-bit build (or a 32-bit one on 32-bit Windows, or under WOW64).
    BOOL wow64 = FALSE;
    ::IsWow64Process(::GetCurrentProcess(), &wow64);
    EXPECT_EQ(Providerplacement::currentPlatform(),
              sizeof(void*) == 8 ? Platform::WINDOWS_64BIT : (wow64 ? Platform::WOW64 : Platform::WINDOWS_32BIT));
}

TEST_F(TspManager, EachPlatformInstallsItsBuildWhereItsServiceLooks)
{
    // The Windows folder is a scratch folder with system32, Sysnative (standing for the alias) and
    // SysWOW64.
    for (const wchar_t* sub : {L"/system32", L"/Sysnative", L"/SysWOW64"}) {
        ASSERT_TRUE(::CreateDirectoryW((dir.path() + sub).c_str(), nullptr));
    }
    const Providerplacement::SystemFolders folders{dir.path(), dir.path() + L"/system32"};
    struct Case {
        Platform platform;
        const wchar_t* folder;
        WORD id;
    };
    for (const Case& c : {Case{Platform::WINDOWS_32BIT, L"/system32/", 5}, Case{Platform::WOW64, L"/Sysnative/", 6},
                          Case{Platform::WINDOWS_64BIT, L"/system32/", 6}}) {
        writeAll({}, KEY_WOW64_64KEY);
        writeAll(list({L"unimdm.tsp"}, {1}, 2), KEY_WOW64_32KEY);
        const Values before32 = readAll(KEY_WOW64_32KEY);
        log.mark();
        cTSPmanager manager(log.logger(), c.platform, folders);
        ASSERT_TRUE(manager.installTSP(NAME));

        const std::wstring folder = dir.path() + c.folder;
        EXPECT_TRUE(testsupport::readBytes(folder + NAME) == resourceBytes(c.id)) << int(c.platform);
        // The 64-bit view is this 64-bit process's own view, where a 32-bit Windows' list would be.
        EXPECT_TRUE(readAll(KEY_WOW64_64KEY) == list({NAME}, {0}, 1)) << describe(readAll(KEY_WOW64_64KEY));
        EXPECT_TRUE(readAll(KEY_WOW64_32KEY) == before32) << "the 32-bit view is not touched";
        EXPECT_EQ(messagesOf(log.fresh(), INSTALL)[0], L"Path to TSP files: " + folder);
        ::DeleteFileW((folder + NAME).c_str());
    }
}

TEST_F(TspManager, RemovalAlsoTakesWhatAnEarlier32BitInstallerLeft)
{
    for (const wchar_t* sub : {L"/system32", L"/SysWOW64"}) {
        ASSERT_TRUE(::CreateDirectoryW((dir.path() + sub).c_str(), nullptr));
    }
    const Providerplacement::SystemFolders folders{dir.path(), dir.path() + L"/system32"};
    const std::wstring early = dir.path() + L"/SysWOW64/CV_TSP.tsp";
    // Installed by an earlier version only: SysWOW64 and the 32-bit view.
    writeAll(list({L"unimdm.tsp"}, {1}, 2), KEY_WOW64_64KEY);
    writeAll(list({L"CV_TSP.tsp", L"kmddsp.tsp"}, {3, 4}, 9), KEY_WOW64_32KEY);
    ASSERT_TRUE(testsupport::writeBytes(early, "32-bit provider"));

    // A 32-bit Windows has no second place: nothing there is touched.
    {
        cTSPmanager manager(log.logger(), Platform::WINDOWS_32BIT, folders);
        EXPECT_FALSE(manager.getEarlierTarget().has_value());
        EXPECT_TRUE(manager.uninstallTSP(NAME));
        EXPECT_TRUE(testsupport::fileExists(early));
        EXPECT_TRUE(readAll(KEY_WOW64_32KEY) == list({L"CV_TSP.tsp", L"kmddsp.tsp"}, {3, 4}, 9));
    }

    log.mark();
    cTSPmanager manager(log.logger(), Platform::WINDOWS_64BIT, folders);
    EXPECT_TRUE(manager.uninstallTSP(NAME));
    EXPECT_TRUE(readAll(KEY_WOW64_64KEY) == list({L"unimdm.tsp"}, {1}, 2)) << describe(readAll(KEY_WOW64_64KEY));
    EXPECT_TRUE(readAll(KEY_WOW64_32KEY) == list({L"kmddsp.tsp"}, {4}, 9)) << describe(readAll(KEY_WOW64_32KEY));
    EXPECT_FALSE(testsupport::fileExists(early));
    EXPECT_EQ(testsupport::readBytes(early + L".OLD"), "32-bit provider");
    const auto mine = messagesOf(log.fresh(), UNINSTALL);
    const std::wstring native = dir.path() + L"/system32/";
    const std::wstring wow = dir.path() + L"/SysWOW64/";
    EXPECT_EQ(mine, (std::vector<std::wstring>{
                        L"Path to TSP files: " + native,
                        L"UNABLE to fing TSP in the list - I assume it is not installed",
                        L"CV_TSP.tsp not exists at " + native,
                        L"Path to TSP files: " + wow,
                        L"Found TSP in list at position: ProviderFileName0",
                        L"Thats it! I assume CV_TSP.tsp is installed right",
                        L"CV_TSP.tsp exists at " + wow,
                        L"Renaming CV_TSP.tsp at " + wow,
                        L"Renamed " + early + L" to " + early + L".OLD",
                    }));
}

TEST_F(TspManager, FailedExtractionPutsTheMovedFileBack)
{
    writeAll(list({L"unimdm.tsp"}, {10}, 20));
    const Values before = readAll();
    const std::wstring full = dir.path() + L"/CV_TSP.tsp";
    ASSERT_TRUE(testsupport::writeBytes(full, "installed before"));
    // A build this program does not carry: the extraction fails after the file was moved aside.
    cTSPmanager manager(log.logger(), Providerplacement::Target{99, dir.path() + L"/", 0}, std::nullopt);

    EXPECT_FALSE(manager.installTSP(NAME));
    EXPECT_EQ(testsupport::readBytes(full), "installed before");
    EXPECT_FALSE(testsupport::fileExists(full + L".OLD"));
    EXPECT_TRUE(readAll() == before);
    const auto lines = log.lines();
    EXPECT_EQ(levelOf(lines, L"Renamed " + full + L" to " + full + L".OLD"), 5);
    EXPECT_EQ(levelOf(lines, L"Unable to extract " + full + L" from resource"), 2);
    EXPECT_EQ(levelOf(lines, L"Restored " + full + L" from " + full + L".OLD"), 3);

    // Without a file to put back, the failure leaves the folder empty.
    ::DeleteFileW(full.c_str());
    EXPECT_FALSE(manager.installTSP(NAME));
    EXPECT_FALSE(testsupport::fileExists(full));
}

TEST_F(TspManager, FailedListWriteReportsNotInstalled)
{
    const std::wstring full = realSystemFolder() + L"/CV_TSP.tsp";
    // No list key: every write of the list fails (the key is never created).
    writeAll({});
    ASSERT_TRUE(providerList().removeKey());
    ASSERT_FALSE(providerList().exists());

    struct LoggedApp : cCV_INSTALLER {
        explicit LoggedApp(Logger* l) { logger.reset(l); }
        ~LoggedApp() override { static_cast<void>(logger.release()); }
    };
    {
        LoggedApp app(log.logger());
        app.setCommandLine(L"--installTSP");
        EXPECT_FALSE(app.parseCommandLine());
    }
    const auto lines = log.lines();
    const auto result = log.of(cCV_INSTALLER::FN_PARSE_COMMAND_LINE);
    ASSERT_EQ(result.size(), 2u);
    EXPECT_EQ(result[1].message, L"TSP was NOT installed!");
    EXPECT_EQ(result[1].level, 2);
    EXPECT_EQ(levelOf(lines, L"Unable to open registry: " + std::wstring(KEY) + L" - ProviderFileName0"), 3);
    EXPECT_FALSE(providerList().exists());
    // The file went to the real system folder all the same; it is taken out again.
    EXPECT_TRUE(testsupport::fileExists(full));
    ::DeleteFileW(full.c_str());
    ::DeleteFileW((full + L".OLD").c_str());
}
