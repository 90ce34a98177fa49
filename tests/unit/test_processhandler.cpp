// cProcesshandler against real processes: the fixture programs are copied under other names into
// scratch folders, started, found, stopped and started again through the handler.
// They run under the names of the older product generations, which a CV_setup.exe started by
// another test at the same time would stop: this test shares the installer's test lock.
#include "Fileobject.h"
#include "cProcesshandler.h"
#include "handles.h"
#include "testsupport.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

using testsupport::Child;
using testsupport::TempDir;

namespace {

std::wstring currentUser()
{
    wchar_t buffer[256] = {};
    const DWORD got = ::GetEnvironmentVariableW(L"USERNAME", buffer, 256);
    return got > 0 && got < 256 ? std::wstring(buffer, got) : std::wstring();
}

std::wstring lower(std::wstring s)
{
    for (auto& c : s) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return s;
}

// The path as the handler reports it: long form, normalised, lower case.
std::wstring reported(const std::wstring& path)
{
    wchar_t buffer[MAX_PATH] = {};
    const DWORD got = ::GetLongPathNameW(path.c_str(), buffer, MAX_PATH);
    return lower(normalizePath(got > 0 && got < MAX_PATH ? std::wstring(buffer, got) : path));
}

// Copies a built fixture to folder/name (folder created when missing); returns the copy's path.
std::wstring place(const std::wstring& folder, const std::wstring& fixtureExe, const std::wstring& name)
{
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring target = folder + L"/" + name;
    EXPECT_TRUE(::CopyFileW(testsupport::fixture(fixtureExe).c_str(), target.c_str(), FALSE))
        << testsupport::narrow(target);
    return target;
}

struct StartReport {
    std::wstring commandLine;
    std::wstring folder;
    DWORD pid = 0;
};

// Waits for the report a fixture writes once it is ready.
bool parseReport(const std::wstring& file, StartReport& out)
{
    const std::wstring text = testsupport::widen(testsupport::readBytes(file));
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    if (lines.size() < 3) {
        return false;
    }
    out.commandLine = lines[0];
    out.folder = lines[1];
    out.pid = static_cast<DWORD>(std::stoul(lines[2]));
    return true;
}

// Waits until the fixture's report is there and complete (a loaded machine may show the file
// before a reader can see all of it).
bool readReport(const std::wstring& file, StartReport& out, DWORD timeoutMs = 15000)
{
    return testsupport::waitFor([&] { return testsupport::fileExists(file) && parseReport(file, out); }, timeoutMs);
}

// Ends a process the handler started, should a test fail before it stops it.
class Reaper {
public:
    explicit Reaper(const cProcesshandler& handler) : handler(handler) {}
    ~Reaper()
    {
        const uint32_t pid = handler.getProcessId();
        if (pid == 0) {
            return;
        }
        handles::Kernel process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
        if (process &&
            cProcesshandler::getProcessPath(pid, handler.getExecutablePath(), handler.getUserName()) != L"") {
            ::TerminateProcess(process.get(), 99);
            ::WaitForSingleObject(process.get(), 5000);
        }
    }

private:
    const cProcesshandler& handler;
};

class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        user = currentUser();
        ASSERT_FALSE(user.empty()) << "USERNAME must be set";
    }
    std::wstring user;
    TempDir dir{L"proc"};
};

} // namespace

TEST_F(ProcessTest, FindProcessMatchesNameSuffixAndExactUser)
{
    const std::wstring exe = place(dir.path() + L"/Old", L"msgloop_app.exe", L"REZaroz.exe");
    const std::wstring report = dir.file(L"report.txt");
    Child child(exe, L"", {L"CV_FIXTURE_REPORT=" + report});
    ASSERT_TRUE(child.started());
    StartReport r;
    ASSERT_TRUE(readReport(report, r));

    std::unique_ptr<cProcesshandler> found(cProcesshandler::findProcess(nullptr, L"REZAROZ.EXE", user));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->getProcessId(), child.pid());
    EXPECT_EQ(found->getExecutablePath(), reported(exe));
    EXPECT_EQ(found->getExecutablePath(), lower(found->getExecutablePath()));
    EXPECT_EQ(found->getExecutablePath().find(L'\\'), std::wstring::npos);
    EXPECT_TRUE(found->isProcessRunning());

    // No separator is needed before the name.
    std::unique_ptr<cProcesshandler> suffix(cProcesshandler::findProcess(nullptr, L"zaroz.exe", user));
    ASSERT_NE(suffix, nullptr);
    EXPECT_EQ(suffix->getProcessId(), child.pid());
    EXPECT_EQ(cProcesshandler::getProcessPath(child.pid(), L"Old/REZaroz.EXE", user), reported(exe));

    // Another name, another account, a differently written account, no account: nothing.
    EXPECT_EQ(cProcesshandler::findProcess(nullptr, L"rezaroz.ex", user), nullptr);
    EXPECT_EQ(cProcesshandler::getProcessPath(child.pid(), L"mx_hotkey.exe", user), L"");
    EXPECT_EQ(cProcesshandler::findProcess(nullptr, L"rezaroz.exe", user + L"x"), nullptr);
    std::wstring otherCase = user;
    otherCase[0] = static_cast<wchar_t>(otherCase[0] ^ 0x20);
    EXPECT_EQ(cProcesshandler::findProcess(nullptr, L"rezaroz.exe", otherCase), nullptr);
    EXPECT_EQ(cProcesshandler::findProcess(nullptr, L"rezaroz.exe", L""), nullptr);
    EXPECT_EQ(cProcesshandler::getProcessPath(child.pid(), L"", user), L"") << "an empty name matches nothing";
    EXPECT_EQ(cProcesshandler::getProcessPath(0xFFFFFFF0u, L"rezaroz.exe", user), L"");
}

TEST_F(ProcessTest, IsProcessRunningChecksIdPathAndUser)
{
    const std::wstring loopExe = place(dir.path(), L"msgloop_app.exe", L"rezaroz.exe");
    const std::wstring otherExe = place(dir.path(), L"noqueue_app.exe", L"other.exe");
    const std::wstring report = dir.file(L"report.txt");
    const std::wstring otherReport = dir.file(L"other.txt");
    Child child(loopExe, L"", {L"CV_FIXTURE_REPORT=" + report});
    Child other(otherExe, L"", {L"CV_FIXTURE_REPORT=" + otherReport});
    StartReport r;
    ASSERT_TRUE(readReport(report, r));
    ASSERT_TRUE(readReport(otherReport, r));

    cProcesshandler byId(nullptr, loopExe, child.pid(), user);
    EXPECT_TRUE(byId.isProcessRunning());
    cProcesshandler noId(nullptr, loopExe, user);
    EXPECT_FALSE(noId.isProcessRunning());
    cProcesshandler wrongUser(nullptr, loopExe, child.pid(), user + L"x");
    EXPECT_FALSE(wrongUser.isProcessRunning());
    // An ID that belongs to another program does not count.
    cProcesshandler reused(nullptr, loopExe, other.pid(), user);
    EXPECT_FALSE(reused.isProcessRunning());
    EXPECT_TRUE(reused.stopProcess()) << "a process that is not the handled one counts as gone";
    EXPECT_TRUE(other.running()) << "the other program must not have been stopped";

    ASSERT_TRUE(::TerminateProcess(child.process(), 5));
    ASSERT_TRUE(child.wait(5000));
    EXPECT_FALSE(byId.isProcessRunning());
}

TEST_F(ProcessTest, StopEndsMessageLoopPolitely)
{
    const std::wstring exe = place(dir.path(), L"msgloop_app.exe", L"rezaroz.exe");
    const std::wstring report = dir.file(L"report.txt");
    Child child(exe, L"", {L"CV_FIXTURE_REPORT=" + report});
    StartReport r;
    ASSERT_TRUE(readReport(report, r));

    std::unique_ptr<cProcesshandler> found(cProcesshandler::findProcess(nullptr, L"rezaroz.exe", user));
    ASSERT_NE(found, nullptr);
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_TRUE(found->stopProcess());
    const ULONGLONG elapsed = ::GetTickCount64() - start;
    EXPECT_LT(elapsed, 900u) << "the WM_QUIT step should have ended it";
    DWORD code = 0;
    ASSERT_TRUE(child.wait(2000, &code));
    EXPECT_EQ(code, 7u) << "ended by its message loop, not terminated";
    EXPECT_EQ(found->getProcessId(), 0u);
    EXPECT_FALSE(found->isProcessRunning());
}

TEST_F(ProcessTest, StopTerminatesProgramWithoutQueue)
{
    const std::wstring exe = place(dir.path(), L"noqueue_app.exe", L"mx_hotkey.exe");
    const std::wstring report = dir.file(L"report.txt");
    Child child(exe, L"", {L"CV_FIXTURE_REPORT=" + report});
    StartReport r;
    ASSERT_TRUE(readReport(report, r));

    std::unique_ptr<cProcesshandler> found(cProcesshandler::findProcess(nullptr, L"mx_hotkey.exe", user));
    ASSERT_NE(found, nullptr);
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_TRUE(found->stopProcess());
    EXPECT_LT(::GetTickCount64() - start, 4000u);
    DWORD code = 99;
    ASSERT_TRUE(child.wait(2000, &code));
    EXPECT_EQ(code, 0u) << "terminated with exit code 0";
    EXPECT_EQ(found->getProcessId(), 0u);
}

TEST_F(ProcessTest, StopOfEndedProcessReturnsAtOnce)
{
    const std::wstring exe = place(dir.path(), L"noqueue_app.exe", L"mx_hotkey.exe");
    const std::wstring report = dir.file(L"report.txt");
    Child child(exe, L"", {L"CV_FIXTURE_REPORT=" + report});
    StartReport r;
    ASSERT_TRUE(readReport(report, r));
    cProcesshandler handler(nullptr, exe, child.pid(), user);
    ASSERT_TRUE(handler.isProcessRunning());
    ASSERT_TRUE(::TerminateProcess(child.process(), 5));
    ASSERT_TRUE(child.wait(5000));

    const ULONGLONG start = ::GetTickCount64();
    EXPECT_TRUE(handler.stopProcess());
    EXPECT_LT(::GetTickCount64() - start, 200u);
    EXPECT_EQ(handler.getProcessId(), child.pid()) << "left unchanged when the process was gone already";
}

TEST_F(ProcessTest, StartQuotesPathAndUsesExecutableFolder)
{
    const std::wstring folder = dir.path() + L"/with blank";
    const std::wstring exe = place(folder, L"msgloop_app.exe", L"rezaroz.exe");
    const std::wstring report = dir.file(L"report.txt");
    ASSERT_TRUE(::SetEnvironmentVariableW(L"CV_FIXTURE_REPORT", report.c_str()));

    cProcesshandler handler(nullptr, exe, user);
    Reaper reaper(handler);
    const std::wstring args = L"--restart \"two words\"  x";
    EXPECT_TRUE(handler.startProcess(args));
    ::SetEnvironmentVariableW(L"CV_FIXTURE_REPORT", nullptr);
    EXPECT_NE(handler.getProcessId(), 0u);
    StartReport r;
    ASSERT_TRUE(readReport(report, r));
    EXPECT_EQ(r.pid, handler.getProcessId());
    EXPECT_EQ(r.commandLine, L"\"" + normalizePath(exe) + L"\" " + args);
    EXPECT_EQ(lower(normalizePath(r.folder)), lower(normalizePath(folder)));
    EXPECT_TRUE(handler.isProcessRunning());
    EXPECT_TRUE(handler.stopProcess());
}

TEST_F(ProcessTest, StartWithoutBlankPassesPathUnquoted)
{
    const std::wstring exe = place(dir.path() + L"/plain", L"noqueue_app.exe", L"mx_hotkey.exe");
    const std::wstring report = dir.file(L"report.txt");
    ASSERT_TRUE(::SetEnvironmentVariableW(L"CV_FIXTURE_REPORT", report.c_str()));
    cProcesshandler handler(nullptr, exe, user);
    Reaper reaper(handler);
    EXPECT_TRUE(handler.startProcess(L"--restart"));
    ::SetEnvironmentVariableW(L"CV_FIXTURE_REPORT", nullptr);
    StartReport r;
    ASSERT_TRUE(readReport(report, r));
    EXPECT_EQ(r.commandLine, normalizePath(exe) + L" --restart");
    EXPECT_EQ(lower(normalizePath(r.folder)), lower(normalizePath(dir.path() + L"/plain")));
    EXPECT_TRUE(handler.stopProcess());
}

TEST_F(ProcessTest, StartRefusesCommandLineThatDoesNotFit)
{
    const std::wstring folder = dir.path() + L"/with blank";
    const std::wstring exe = place(folder, L"msgloop_app.exe", L"rezaroz.exe");
    const std::wstring quoted = L"\"" + normalizePath(exe) + L"\"";
    ASSERT_LT(quoted.size(), 200u);
    const std::wstring report = dir.file(L"report.txt");
    ASSERT_TRUE(::SetEnvironmentVariableW(L"CV_FIXTURE_REPORT", report.c_str()));

    // One character too many: 260 characters plus the terminator.
    {
        const std::wstring args = L"a" + std::wstring(cProcesshandler::COMMAND_LINE_CAPACITY - quoted.size() - 2, L'x');
        ASSERT_EQ(quoted.size() + 1 + args.size(), cProcesshandler::COMMAND_LINE_CAPACITY);
        cProcesshandler handler(nullptr, exe, user);
        Reaper reaper(handler);
        EXPECT_FALSE(handler.startProcess(args));
        EXPECT_EQ(handler.getProcessId(), 0u);
        ::Sleep(300);
        EXPECT_FALSE(testsupport::fileExists(report)) << "nothing may have been started";
        std::unique_ptr<cProcesshandler> stray(cProcesshandler::findProcess(nullptr, L"rezaroz.exe", user));
        EXPECT_EQ(stray, nullptr);
    }
    // Far too long arguments are refused too.
    {
        cProcesshandler handler(nullptr, exe, user);
        EXPECT_FALSE(handler.startProcess(std::wstring(5000, L'y')));
        EXPECT_EQ(handler.getProcessId(), 0u);
    }
    // Exactly filling the buffer, terminator included, is fine and passes every character.
    {
        const std::wstring args = L"a" + std::wstring(cProcesshandler::COMMAND_LINE_CAPACITY - quoted.size() - 3, L'x');
        cProcesshandler handler(nullptr, exe, user);
        Reaper reaper(handler);
        EXPECT_TRUE(handler.startProcess(args));
        StartReport r;
        ASSERT_TRUE(readReport(report, r));
        EXPECT_EQ(r.commandLine, quoted + L" " + args);
        EXPECT_EQ(r.commandLine.size(), cProcesshandler::COMMAND_LINE_CAPACITY - 1);
        EXPECT_TRUE(handler.stopProcess());
    }
    ::SetEnvironmentVariableW(L"CV_FIXTURE_REPORT", nullptr);
}

TEST_F(ProcessTest, StartOfProgramThatEndsAtOnceFails)
{
    const std::wstring exe = place(dir.path(), L"msgloop_app.exe", L"rezaroz.exe");
    cProcesshandler handler(nullptr, exe, user);
    EXPECT_FALSE(handler.startProcess(L"--exit-now"));
    EXPECT_FALSE(handler.isProcessRunning());

    cProcesshandler missing(nullptr, dir.file(L"missing.exe"), user);
    EXPECT_FALSE(missing.startProcess(L"--restart"));
    EXPECT_EQ(missing.getProcessId(), 0u);
}

// A program file that is held (a scanner looking at a file just written) delays the start; one
// held throughout is refused, with the system's reason.
TEST_F(ProcessTest, StartWaitsForAProgramFileHeldForAMoment)
{
    const std::wstring exe = place(dir.path() + L"/held", L"noqueue_app.exe", L"mx_hotkey.exe");
    auto hold = [&exe] {
        return handles::Kernel(::CreateFileW(exe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    };
    {
        handles::Kernel held = hold();
        ASSERT_TRUE(held.valid());
        cProcesshandler handler(nullptr, exe, user);
        Reaper reaper(handler);
        EXPECT_FALSE(handler.startProcess(L"--restart"));
        // Windows names the sharing violation; Wine reports the file as not found.
        const unsigned long error = handler.getStartError();
        EXPECT_TRUE(error == ERROR_SHARING_VIOLATION || error == ERROR_FILE_NOT_FOUND) << error;
        EXPECT_EQ(handler.getProcessId(), 0u);
    }
    handles::Kernel held = hold();
    ASSERT_TRUE(held.valid());
    std::thread release([&held] {
        ::Sleep(cProcesshandler::START_RETRY_MS * 2);
        held.reset();
    });
    cProcesshandler handler(nullptr, exe, user);
    Reaper reaper(handler);
    const bool started = handler.startProcess(L"--restart");
    release.join();
    EXPECT_TRUE(started);
    EXPECT_EQ(handler.getStartError(), 0u);
    EXPECT_TRUE(handler.stopProcess());
}

// The executable's path comes from the process's loader list; it must be the path a module
// snapshot lists first, turned into its long form, also for a program started through the short
// form of its path (Windows keeps the short form in the loader list; Wine records the long one).
TEST_F(ProcessTest, ProcessPathIsTheSnapshotsFirstModuleInLongForm)
{
    const std::wstring exe = place(dir.path() + L"/Older versions", L"msgloop_app.exe", L"Mx hotkey tool.exe");
    wchar_t shortBuffer[MAX_PATH] = {};
    const DWORD got = ::GetShortPathNameW(exe.c_str(), shortBuffer, MAX_PATH);
    ASSERT_TRUE(got > 0 && got < MAX_PATH);
    const std::wstring shortPath(shortBuffer, got);
    const std::wstring report = dir.file(L"report.txt");
    Child child(shortPath, L"", {L"CV_FIXTURE_REPORT=" + report});
    ASSERT_TRUE(child.started());
    StartReport r;
    ASSERT_TRUE(readReport(report, r));

    handles::Kernel snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, child.pid()));
    ASSERT_TRUE(snapshot.valid());
    MODULEENTRY32W module{};
    module.dwSize = sizeof(module);
    ASSERT_TRUE(::Module32FirstW(snapshot.get(), &module));
    const std::wstring fromSnapshot = reported(module.szExePath);
    EXPECT_EQ(fromSnapshot, reported(exe));

    EXPECT_EQ(cProcesshandler::getProcessPath(child.pid(), L"mx hotkey tool.exe", user), fromSnapshot);
    std::unique_ptr<cProcesshandler> found(cProcesshandler::findProcess(nullptr, L"MX HOTKEY TOOL.EXE", user));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->getProcessId(), child.pid());
    EXPECT_EQ(found->getExecutablePath(), fromSnapshot);
    // The short name itself is not what the path ends with.
    const std::wstring shortName = shortPath.substr(shortPath.find_last_of(L"\\/") + 1);
    if (lower(shortName) != L"mx hotkey tool.exe") {
        EXPECT_EQ(cProcesshandler::getProcessPath(child.pid(), shortName, user), L"");
    }
    ASSERT_TRUE(::TerminateProcess(child.process(), 5));
    ASSERT_TRUE(child.wait(5000));
}
