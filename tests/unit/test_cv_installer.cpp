// The application object's start-up pieces in-process: the file-name prefix rule, startLogger's
// folder choice and waits (with a short wait step), the instance mutex in both forms, shutdown.
#include "Logger.h"
#include "cCV_INSTALLER.h"
#include "handles.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <thread>

using testsupport::readBytes;
using testsupport::TempDir;

namespace {

class EnvironmentGuard {
public:
    explicit EnvironmentGuard(const wchar_t* name) : name_(name)
    {
        wchar_t buffer[1024];
        const DWORD got = ::GetEnvironmentVariableW(name, buffer, 1024);
        had_ = got > 0 && got < 1024;
        if (had_) {
            value_.assign(buffer, got);
        }
    }
    ~EnvironmentGuard() { ::SetEnvironmentVariableW(name_, had_ ? value_.c_str() : nullptr); }

private:
    const wchar_t* name_;
    bool had_ = false;
    std::wstring value_;
};

} // namespace

TEST(Installer, FileNamePrefixRule)
{
    EXPECT_EQ(cCV_INSTALLER::fileNamePrefix(L"xyzCV_setup.exe"), L"xyz");
    EXPECT_EQ(cCV_INSTALLER::fileNamePrefix(L"CV_setup.exe"), L"");
    EXPECT_EQ(cCV_INSTALLER::fileNamePrefix(L"setup.exe"), L"");
    EXPECT_EQ(cCV_INSTALLER::fileNamePrefix(L"abCVdCV.x.exe"), L"ab");
    EXPECT_EQ(cCV_INSTALLER::fileNamePrefix(L"ab.CV.exe"), L"") << "only the base name before the first dot counts";
    EXPECT_EQ(cCV_INSTALLER::fileNamePrefix(L"acv_setup.exe"), L"") << "case-sensitive";
    EXPECT_EQ(cCV_INSTALLER::fileNamePrefix(L".CV.exe"), L".") << "a leading dot keeps the whole name as the base";
}

TEST(Installer, StartLoggerWritesToAppDataVendra)
{
    EnvironmentGuard guard(L"APPDATA");
    TempDir dir;
    ::SetEnvironmentVariableW(L"APPDATA", dir.path().c_str());
    cCV_INSTALLER app(10);
    EXPECT_TRUE(app.startLogger());
    ASSERT_NE(app.getLogger(), nullptr);
    const std::wstring log = dir.path() + L"/Vendra/CV.log";
    const auto lines = testsupport::splitLines(readBytes(log));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_NE(lines[1].find("Logging started for: cCV_INSTALLER("), std::string::npos);
    EXPECT_NE(lines[4].find("cCV_INSTALLER::startLogger    Starting cCV_INSTALLER version 3.39-QRN32-VLM6.52578"),
              std::string::npos)
        << lines[4];
    EXPECT_EQ(app.ExitInstance(), 0);
    EXPECT_EQ(app.getLogger(), nullptr);
    const auto after = testsupport::splitLines(readBytes(log));
    ASSERT_EQ(after.size(), 6u);
    EXPECT_NE(
        after[5].find("cCV_INSTALLER::ExitInstance    Shutdown cCV_INSTALLER done (Additionaly destroying: logger, "
                      "mutex, visualmanager)"),
        std::string::npos);
}

TEST(Installer, StartLoggerWaitsForAppDataThenFallsBackToTheExecutableFolder)
{
    EnvironmentGuard guard(L"APPDATA");
    ::SetEnvironmentVariableW(L"APPDATA", nullptr);
    const std::wstring exeFolder =
        cCV_INSTALLER::executablePath().substr(0, cCV_INSTALLER::executablePath().rfind(L'/'));
    const std::wstring log = exeFolder + L"/CV.log";
    ::DeleteFileW(log.c_str());

    cCV_INSTALLER app(20);
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_FALSE(app.startLogger());
    const ULONGLONG took = ::GetTickCount64() - start;
    EXPECT_GE(took, 24u * 20u - 20u) << "24 rounds of waiting for APPDATA";
    ASSERT_NE(app.getLogger(), nullptr) << "a working logger is left in any case";
    const auto lines = testsupport::splitLines(readBytes(log));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_NE(lines[5].find("cCV_INSTALLER::startLogger    Unable to get APPDATA of current user in time!"),
              std::string::npos);
    app.ExitInstance();
    ::DeleteFileW(log.c_str());
}

TEST(Installer, StartLoggerWaitsForAMissingAppDataFolderAndGoesOn)
{
    EnvironmentGuard guard(L"APPDATA");
    TempDir dir;
    const std::wstring missing = dir.path() + L"/not-yet";
    ::SetEnvironmentVariableW(L"APPDATA", missing.c_str());
    cCV_INSTALLER app(10);
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_TRUE(app.startLogger());
    EXPECT_GE(::GetTickCount64() - start, 24u * 10u - 10u);
    EXPECT_TRUE(testsupport::fileExists(missing + L"/Vendra/CV.log")) << "the logger creates the folders itself";
    app.ExitInstance();
}

TEST(Installer, FindPreviousInstanceSeesAnExistingMutex)
{
    EnvironmentGuard guard(L"APPDATA");
    TempDir dir;
    ::SetEnvironmentVariableW(L"APPDATA", dir.path().c_str());
    {
        cCV_INSTALLER first(10);
        first.startLogger();
        EXPECT_EQ(first.findPreviousInstance(), 0);

        cCV_INSTALLER second(10);
        second.startLogger();
        EXPECT_EQ(second.findPreviousInstance(), 1);
        second.ExitInstance();
        first.ExitInstance();
    }
    // Both closed their handles: the name is gone.
    HANDLE h = ::OpenMutexW(SYNCHRONIZE, FALSE, cCV_INSTALLER::INSTANCE_MUTEX_NAME);
    EXPECT_EQ(h, nullptr);
    closeHandle(h);
    const std::string text = readBytes(dir.path() + L"/Vendra/CV.log");
    EXPECT_NE(text.find("debug   - "), std::string::npos);
    EXPECT_NE(text.find("cCV_INSTALLER::findPreviousInstance    No prevoius instance found"), std::string::npos);
    EXPECT_NE(text.find("FATAL   - "), std::string::npos);
    EXPECT_NE(text.find("Found a running instance!"), std::string::npos);
}

TEST(Installer, RestartWaitsUntilTheOtherHolderClosesTheMutex)
{
    EnvironmentGuard guard(L"APPDATA");
    TempDir dir;
    ::SetEnvironmentVariableW(L"APPDATA", dir.path().c_str());
    HANDLE held = ::CreateMutexW(nullptr, FALSE, cCV_INSTALLER::INSTANCE_MUTEX_NAME);
    ASSERT_NE(held, nullptr);

    cCV_INSTALLER app(10);
    app.setCommandLine(L"--restart");
    app.startLogger();
    ASSERT_TRUE(app.parseCommandLine());
    ASSERT_EQ(app.isRestartRequested(), 1);

    std::thread releaser([&] {
        ::Sleep(300);
        closeHandle(held);
    });
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(app.findPreviousInstance(), 0);
    EXPECT_GE(::GetTickCount64() - start, 250u);
    releaser.join();
    app.ExitInstance();

    const std::string text = readBytes(dir.path() + L"/Vendra/CV.log");
    const size_t waiting = text.find("Waiting for previous instance to stop");
    const size_t done = text.find("No previous instance running");
    ASSERT_NE(waiting, std::string::npos);
    ASSERT_NE(done, std::string::npos);
    EXPECT_LT(waiting, done);
}

TEST(Installer, CommandLineWithoutProgramName)
{
    EXPECT_EQ(Application::stripProgramName(L"\"C:\\a b\\CV_setup.exe\" --restart "), L"--restart ");
    EXPECT_EQ(Application::stripProgramName(L"C:\\CV_setup.exe   x--restartx"), L"x--restartx");
    EXPECT_EQ(Application::stripProgramName(L"CV_setup.exe"), L"");
}

TEST(Installer, SilentIsFoundBesideTheOtherOptions)
{
    EnvironmentGuard guard(L"APPDATA");
    TempDir dir;
    ::SetEnvironmentVariableW(L"APPDATA", dir.path().c_str());
    const struct {
        const wchar_t* commandLine;
        bool silent;
        int32_t restart;
    } cases[] = {
        {L"", false, 0},
        {L"--silent", true, 0},
        {L"--restart --silent", true, 1},
        {L"--silent --restart", true, 1},
        {L"x--silentx", true, 0},
        {L"--SILENT", false, 0},
        {L"-silent", false, 0},
    };
    for (const auto& c : cases) {
        cCV_INSTALLER app(10);
        app.setCommandLine(c.commandLine);
        app.startLogger();
        EXPECT_TRUE(app.parseCommandLine()) << testsupport::narrow(c.commandLine);
        EXPECT_EQ(app.isSilent(), c.silent) << testsupport::narrow(c.commandLine);
        EXPECT_EQ(app.isRestartRequested(), c.restart) << testsupport::narrow(c.commandLine);
        EXPECT_EQ(app.ExitInstance(), 0);
    }
}
