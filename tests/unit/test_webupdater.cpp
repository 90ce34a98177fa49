// cWebupdater::updateFile as a whole against the real loopback server: the request on the wire,
// the result code of every outcome and the system error it leaves, the newer test and the
// server's time on the new file, the private download while it is written and checked, and the
// swap. The parts have tests of their own (test_httpexchange, test_bodyreceiver,
// test_downloadchecks, test_fileswitch).
#include "Busyserver.h"
#include "Fileobject.h"
#include "Httpexchange.h"
#include "Logger.h"
#include "cWebupdater.h"
#include "handles.h"
#include "loopbackserver.h"
#include "textutil.h"
#include "updatertest.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>
#include <wincrypt.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using testsupport::countLevel;
using testsupport::narrow;
using testsupport::programBytes;
using testsupport::readBytes;
using testsupport::Request;
using testsupport::TempDir;
using testsupport::tempFolder;
using testsupport::widen;
using testsupport::writeBytes;

namespace {

const wchar_t* const AGENT = testsupport::UPDATER_AGENT;
const std::wstring& OBJECT = testsupport::UPDATE_OBJECT;

const bool serverStarts = (testsupport::addServerEnvironment(false, true), true);

// The updater with its root handle and its date formatting within reach; only the pause while a
// busy server is waited for is recorded instead of slept.
class Peekupdater : public cWebupdater {
public:
    using cWebupdater::cWebupdater;
    using cWebupdater::formatHttpDate;
    void dropRootHandle() { internetHandle.reset(); }
    std::vector<DWORD> pauses;

protected:
    void pauseFor(DWORD milliseconds) override { pauses.push_back(milliseconds); }
};

int64_t fileTimeOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    ULARGE_INTEGER v;
    v.LowPart = data.ftLastWriteTime.dwLowDateTime;
    v.HighPart = data.ftLastWriteTime.dwHighDateTime;
    return static_cast<int64_t>(v.QuadPart / 10000000ULL) - 11644473600LL;
}

bool setFileTimeOf(const std::wstring& path, int64_t seconds)
{
    handles::Kernel f(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    if (!f.valid()) {
        return false;
    }
    ULARGE_INTEGER v;
    v.QuadPart = static_cast<uint64_t>((seconds + 11644473600LL) * 10000000LL);
    FILETIME ft = {v.LowPart, v.HighPart};
    return ::SetFileTime(f.get(), nullptr, nullptr, &ft) != FALSE;
}

int64_t nowUnix()
{
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER v;
    v.LowPart = ft.dwLowDateTime;
    v.HighPart = ft.dwHighDateTime;
    return static_cast<int64_t>(v.QuadPart / 10000000ULL) - 11644473600LL;
}

// An HTTP date written independently of the updater, from a UTC broken-down time.
std::string httpDate(const SYSTEMTIME& t)
{
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // Let the platform work out the weekday.
    FILETIME ft;
    SYSTEMTIME norm = t;
    ::SystemTimeToFileTime(&t, &ft);
    ::FileTimeToSystemTime(&ft, &norm);
    char buf[64];
    std::snprintf(buf, sizeof(buf), "%s, %02u %s %04u %02u:%02u:%02u GMT", days[norm.wDayOfWeek], norm.wDay,
                  months[norm.wMonth - 1], norm.wYear, norm.wHour, norm.wMinute, norm.wSecond);
    return buf;
}

std::string httpDate(int64_t seconds)
{
    ULARGE_INTEGER v;
    v.QuadPart = static_cast<uint64_t>((seconds + 11644473600LL) * 10000000LL);
    FILETIME ft = {v.LowPart, v.HighPart};
    SYSTEMTIME st;
    ::FileTimeToSystemTime(&ft, &st);
    return httpDate(st);
}

// A local broken-down time as seconds since 1970, by the platform's own conversion.
int64_t localToUnix(const SYSTEMTIME& local)
{
    SYSTEMTIME utc;
    ::TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc);
    FILETIME ft;
    ::SystemTimeToFileTime(&utc, &ft);
    ULARGE_INTEGER v;
    v.LowPart = ft.dwLowDateTime;
    v.HighPart = ft.dwHighDateTime;
    return static_cast<int64_t>(v.QuadPart / 10000000ULL) - 11644473600LL;
}

class Webupdater : public ::testing::Test {
protected:
    void SetUp() override
    {
        server = testsupport::loopbackServer();
        ASSERT_NE(server, nullptr);
        ASSERT_NE(server->http, 0) << "no loopback server";
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        targetName = L"wu_" + widen(name) + L".exe";
        target = dir.file(targetName);
        tempFile = tempFolder() + L"/" + targetName;
        ::DeleteFileW(tempFile.c_str());
        ASSERT_TRUE(writeBytes(target, "old build"));
        logger = new Logger(dir.path(), L"web.log", L"CV_setup.exe");
        updater = new Peekupdater(logger, AGENT);
    }
    void TearDown() override
    {
        delete updater;
        delete logger;
        ::DeleteFileW(tempFile.c_str());
    }

    std::wstring port() const { return std::to_wstring(server->http); }

    // The server's file with a program image of n bytes, as a JSON member.
    std::string programBody(size_t n, int kind = 0) const
    {
        const std::string name = "/program-" + std::to_string(n) + "-" + std::to_string(kind) + ".bin";
        if (!testsupport::fileExists(server->control + widen(name))) {
            writeBytes(server->control + widen(name), programBytes(n, kind));
        }
        return "\"body_file\": \"" + server->controlUnix + name + "\"";
    }

    // Only a complete program replaces the target: "body_size": N in an answer stands for a
    // program image of N bytes (programBytes), unless the answer asks for "raw": true.
    std::string programAnswer(const std::string& answer) const
    {
        if (answer.find("\"raw\": true") != std::string::npos) {
            return answer;
        }
        std::string out = answer;
        const std::string key = "\"body_size\": ";
        const size_t at = out.find(key);
        if (at == std::string::npos) {
            return out;
        }
        size_t end = at + key.size();
        while (end < out.size() && out[end] >= '0' && out[end] <= '9') {
            ++end;
        }
        const size_t n = std::stoul(out.substr(at + key.size(), end - at - key.size()));
        return out.substr(0, at) + programBody(n) + out.substr(end);
    }

    // Temporary or staged files of this test's target left in the temporary folder or beside the target.
    int leftovers() const { return testsupport::leftoverDownloads({tempFolder(), dir.path()}, targetName); }

    int32_t update(const std::string& answer, int32_t onlyIfNewer = 0, const std::wstring& protocol = L"http",
                   const std::wstring& portText = L"", int32_t cookieRequired = 0,
                   const std::wstring& cookieName = L"TRBCreds", const std::wstring& mediaType = L"application")
    {
        server->configure(programAnswer(answer));
        mark = server->mark();
        const int32_t r = updater->updateFile(L"", L"", protocol, host, portText.empty() ? port() : portText, OBJECT,
                                              mediaType, target, cookieRequired, onlyIfNewer, cookieName);
        lastError = ::GetLastError();
        return r;
    }

    std::vector<Request> requests() const { return server->requestsSince(mark); }

    std::vector<std::string> logLines() const { return testsupport::Logfile(dir.path() + L"/web.log").lines(); }
    bool logged(int level, const std::wstring& function, const std::string& message) const
    {
        return testsupport::Logfile(dir.path() + L"/web.log").logged(level, function, message);
    }
    std::string dumpLog() const { return readBytes(dir.path() + L"/web.log"); }

    testsupport::ServerProcess* server = nullptr;
    TempDir dir{L"wu"};
    std::wstring targetName;
    std::wstring target;
    std::wstring tempFile;
    Logger* logger = nullptr;
    Peekupdater* updater = nullptr;
    size_t mark = 0;
    DWORD lastError = 0;
    // The server name the update asks for.
    std::wstring host = L"127.0.0.1";
};

const std::wstring UPD = cWebupdater::FN_UPDATE;

std::string body(size_t n) { return "{\"body_size\": " + std::to_string(n) + "}"; }

} // namespace

// --- The request on the wire ------------------------------------------------------------------

TEST_F(Webupdater, PlainRequestOnTheWireAndSwap)
{
    ASSERT_TRUE(writeBytes(target, "old build"));
    ASSERT_EQ(update(body(1999)), cWebupdater::UPDATE_DONE) << dumpLog();

    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 1u);
    const Request& r = reqs[0];
    EXPECT_EQ(r.port, server->http);
    EXPECT_FALSE(r.tls);
    EXPECT_EQ(r.line, "GET " + narrow(OBJECT) + " HTTP/1.1");
    ASSERT_NE(r.header("Accept"), nullptr);
    EXPECT_EQ(*r.header("Accept"), "application/*");
    ASSERT_NE(r.header("User-Agent"), nullptr);
    EXPECT_EQ(*r.header("User-Agent"), narrow(AGENT));
    ASSERT_NE(r.header("Host"), nullptr);
    EXPECT_EQ(*r.header("Host"), "127.0.0.1:" + std::to_string(server->http));
    EXPECT_EQ(r.header("If-Modified-Since"), nullptr) << "unconditional request";

    EXPECT_EQ(readBytes(target), programBytes(1999));
    EXPECT_EQ(readBytes(target + cWebupdater::BACKUP_SUFFIX), "old build");
    EXPECT_EQ(leftovers(), 0) << "the temporary file was moved";
    EXPECT_TRUE(logged(5, cWebupdater::FN_CONNECTED, "Checking if we can nonnect to the internet"));
    EXPECT_TRUE(logged(5, cWebupdater::FN_CONNECTED, "Internet connection is open"));
    EXPECT_TRUE(logged(5, UPD, "Status code response: 200"));
    EXPECT_TRUE(
        logged(5, cWebupdater::FN_SWITCH, "File backup created at: " + narrow(target) + ".backupFromWebupdate"));
    EXPECT_TRUE(logged(5, cWebupdater::FN_SWITCH, "File switched to:" + narrow(target)));

    // Handles were closed: the same updater serves a second call, which replaces the old backup.
    ASSERT_EQ(update(body(120001)), cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(readBytes(target), programBytes(120001));
    EXPECT_EQ(readBytes(target + cWebupdater::BACKUP_SUFFIX), programBytes(1999));
}

TEST_F(Webupdater, ConditionalHeaderOnlyWithOnlyIfNewerAndAnExistingTarget)
{
    // onlyIfNewer 1 but no target: no header.
    ASSERT_TRUE(::DeleteFileW(target.c_str()));
    ASSERT_EQ(update("{\"status\": 304}", 1), cWebupdater::UPDATE_NOT_NEWER);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests()[0].header("If-Modified-Since"), nullptr);

    // An existing target with a known time: the header carries that time.
    ASSERT_TRUE(writeBytes(target, "old"));
    const int64_t t = 1362492429; // 2013-03-05 14:07:09 UTC
    ASSERT_TRUE(setFileTimeOf(target, t));
    ASSERT_EQ(update("{\"status\": 304}", 1), cWebupdater::UPDATE_NOT_NEWER);
    auto reqs = requests();
    ASSERT_EQ(reqs.size(), 1u);
    ASSERT_NE(reqs[0].header("If-Modified-Since"), nullptr);
    EXPECT_EQ(*reqs[0].header("If-Modified-Since"), "Tue, 05 Mar 2013 14:07:09 GMT");

    // onlyIfNewer 0 with the same target: no header; the 304 then meets the type test.
    ASSERT_EQ(update("{\"status\": 304, \"content_type\": \"text/html\"}", 0), cWebupdater::UPDATE_WRONG_TYPE);
    reqs = requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].header("If-Modified-Since"), nullptr);
    ASSERT_EQ(update("{\"status\": 304, \"content_type\": \"application/octet-stream\"}", 0),
              cWebupdater::UPDATE_BAD_STATUS);
    EXPECT_EQ(readBytes(target), "old");
}

TEST_F(Webupdater, ProtocolSelectsTheSecuredConnection)
{
    EXPECT_EQ(Httpexchange::requestFlags(L"http"), 0x8440F300u);
    EXPECT_EQ(Httpexchange::requestFlags(L"ftp"), 0x8440F300u);
    EXPECT_EQ(Httpexchange::requestFlags(L"https"), 0x84C0F300u);
    EXPECT_EQ(Httpexchange::requestFlags(L"HTTPS"), 0x84C0F300u);
    EXPECT_EQ(Httpexchange::requestFlags(L"hTtPs"), 0x84C0F300u);
    EXPECT_EQ(Httpexchange::requestFlags(L"https "), 0x8440F300u);

    // "ftp" reaches the plain listener over HTTP.
    ASSERT_EQ(update(body(1999), 0, L"ftp"), cWebupdater::UPDATE_DONE) << dumpLog();
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_FALSE(requests()[0].tls);
}

// --- Result codes before any connection -----------------------------------------------------------

TEST_F(Webupdater, NoRootHandleGives5)
{
    updater->dropRootHandle();
    EXPECT_EQ(update(body(1999)), cWebupdater::UPDATE_NO_INTERNET);
    EXPECT_TRUE(requests().empty());
    EXPECT_TRUE(logged(1, cWebupdater::FN_CONNECTED, "Internet connection is not open!"));
    EXPECT_EQ(readBytes(target), "old build");
}

TEST_F(Webupdater, PortsThatGiveNoPortNumber)
{
    for (const wchar_t* p : {L"0", L"abc", L" ", L"65536", L"-0"}) {
        mark = server->mark();
        EXPECT_EQ(
            updater->updateFile(L"", L"", L"http", L"127.0.0.1", p, OBJECT, L"application", target, 0, 0, L"TRBCreds"),
            cWebupdater::UPDATE_BAD_PORT)
            << narrow(p);
        EXPECT_TRUE(requests().empty());
    }
    EXPECT_EQ(
        updater->updateFile(L"", L"", L"http", L"127.0.0.1", L"", OBJECT, L"application", target, 0, 0, L"TRBCreds"),
        cWebupdater::UPDATE_BAD_PORT);
    EXPECT_TRUE(logged(5, cWebupdater::FN_CONNECTED, "Internet connection is open"));
    EXPECT_EQ(cWebupdater::parsePort(L"  +8080x"), 8080);
    EXPECT_EQ(cWebupdater::parsePort(L"70000"), 4464);
    EXPECT_EQ(cWebupdater::parsePort(L"-1"), 65535);
    EXPECT_EQ(cWebupdater::parsePort(L"99999999999999999999"), 65535) << "low 16 bits of the whole number";
    EXPECT_EQ(cWebupdater::parsePort(L"4464"), 4464);
}

TEST_F(Webupdater, Port70000ConnectsToPort4464)
{
    ASSERT_EQ(server->extra, 4464) << "port 4464 is taken on this machine";
    ASSERT_EQ(update(body(1999), 0, L"http", L"70000"), cWebupdater::UPDATE_DONE) << dumpLog();
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].port, 4464);
}

TEST_F(Webupdater, RequiredCookie)
{
    // Wine's cookie store answers a request for one name with any cookie of the URL: none is
    // stored before the test, and the test's own goes when it ends.
    const std::wstring url = L"http://127.0.0.1:" + port() + L"/vazu/";
    const auto expire = [&url] {
        ::InternetSetCookieW(url.c_str(), L"TRBCreds", L"gone; expires=Thu, 01 Jan 1970 00:00:00 GMT");
    };
    expire();
    struct Cleanup {
        std::function<void()> run;
        ~Cleanup() { run(); }
    } cleanup{expire};
    // Not stored: 15 before any connection.
    EXPECT_EQ(update(body(1999), 0, L"http", L"", 1, L"NoSuchCookie"), cWebupdater::UPDATE_NO_COOKIE);
    EXPECT_TRUE(requests().empty());
    EXPECT_TRUE(logged(3, UPD, "No valid cookie found but it was requested to have one!"));
    EXPECT_FALSE(logged(5, UPD, "Valid cookie found"));

    // Stored in the cookie store for the URL: found, and sent along by WinINet.
    ASSERT_TRUE(::InternetSetCookieW(url.c_str(), L"TRBCreds", L"tok123"));
    ASSERT_EQ(update(body(1999), 0, L"http", L"", 1, L"TRBCreds"), cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_TRUE(logged(5, UPD, "Valid cookie found"));
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 1u);
    ASSERT_NE(reqs[0].header("Cookie"), nullptr);
    EXPECT_NE(reqs[0].header("Cookie")->find("TRBCreds=tok123"), std::string::npos);
}

// --- Status and content type ------------------------------------------------------------------

TEST_F(Webupdater, StatusAndContentType)
{
    ASSERT_TRUE(writeBytes(target, "old"));
    EXPECT_EQ(update("{\"status\": 404, \"content_type\": \"application/octet-stream\"}"),
              cWebupdater::UPDATE_NOT_FOUND);
    EXPECT_TRUE(logged(5, UPD, "Status code response: 404"));
    EXPECT_EQ(update("{\"status\": 404, \"content_type\": \"text/html\"}"), cWebupdater::UPDATE_NOT_FOUND);
    EXPECT_EQ(update("{\"status\": 500}"), cWebupdater::UPDATE_BAD_STATUS);
    EXPECT_EQ(update("{\"status\": 203, \"body_size\": 1999}"), cWebupdater::UPDATE_BAD_STATUS);
    EXPECT_EQ(update("{\"content_type\": \"text/html\", \"body_size\": 1999}"), cWebupdater::UPDATE_WRONG_TYPE);
    EXPECT_EQ(update("{\"content_type\": \"Application/zip\", \"body_size\": 1999}"), cWebupdater::UPDATE_WRONG_TYPE);
    EXPECT_EQ(update("{\"content_type\": null, \"body_size\": 1999}"), cWebupdater::UPDATE_WRONG_TYPE);
    EXPECT_EQ(readBytes(target), "old");
    EXPECT_FALSE(testsupport::fileExists(target + cWebupdater::BACKUP_SUFFIX));
    EXPECT_EQ(update("{\"content_type\": \"application/x-msdownload\", \"body_size\": 1999}"),
              cWebupdater::UPDATE_DONE);
    EXPECT_EQ(readBytes(target), programBytes(1999));
}

// --- The newer test -------------------------------------------------------------------------

TEST_F(Webupdater, LastModifiedEqualIsNotNewerOneSecondLaterIs)
{
    ASSERT_TRUE(writeBytes(target, "old"));
    const int64_t t = nowUnix() - 86400 * 30;
    ASSERT_TRUE(setFileTimeOf(target, t));

    EXPECT_EQ(update("{\"body_size\": 1999, \"last_modified\": \"" + httpDate(t) + "\"}", 1),
              cWebupdater::UPDATE_NOT_NEWER);
    EXPECT_EQ(readBytes(target), "old");
    EXPECT_EQ(update("{\"body_size\": 1999, \"last_modified\": \"" + httpDate(t - 100) + "\"}", 1),
              cWebupdater::UPDATE_NOT_NEWER);

    ASSERT_EQ(update("{\"body_size\": 1999, \"last_modified\": \"" + httpDate(t + 1) + "\"}", 1),
              cWebupdater::UPDATE_DONE)
        << dumpLog();
    EXPECT_EQ(readBytes(target), programBytes(1999));
    EXPECT_EQ(fileTimeOf(target), t + 1) << "the new file carries the server's time";
}

TEST_F(Webupdater, OlderCopyIsTakenWithoutOnlyIfNewer)
{
    ASSERT_TRUE(writeBytes(target, "old"));
    const int64_t t = nowUnix() - 86400;
    ASSERT_TRUE(setFileTimeOf(target, t));
    ASSERT_EQ(update("{\"body_size\": 1999, \"last_modified\": \"" + httpDate(t - 3600) + "\"}", 0),
              cWebupdater::UPDATE_DONE);
    EXPECT_EQ(fileTimeOf(target), t - 3600);
}

TEST_F(Webupdater, MissingLastModifiedLeavesTheDownloadTime)
{
    ASSERT_TRUE(writeBytes(target, "old"));
    ASSERT_TRUE(setFileTimeOf(target, 1000000000));
    const int64_t before = nowUnix();
    ASSERT_EQ(update(body(1999), 1), cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_GE(fileTimeOf(target), before - 2);
    EXPECT_LE(fileTimeOf(target), nowUnix() + 2);
}

TEST_F(Webupdater, FutureLastModifiedIsClampedFieldByField)
{
    // A year and two months ahead on the present day and time (a year ahead in November and
    // December): year and month fall to the present's, the day and the time of day are equal, so
    // the result is about now.
    SYSTEMTIME nowUtc;
    ::GetSystemTime(&nowUtc);
    if (nowUtc.wDay <= 28) {
        SYSTEMTIME ahead = nowUtc;
        ahead.wYear = static_cast<WORD>(ahead.wYear + 1);
        if (ahead.wMonth <= 10) {
            ahead.wMonth = static_cast<WORD>(ahead.wMonth + 2);
        }
        const int64_t before = nowUnix();
        ASSERT_EQ(update("{\"body_size\": 1999, \"last_modified\": \"" + httpDate(ahead) + "\"}", 0),
                  cWebupdater::UPDATE_DONE)
            << dumpLog();
        EXPECT_GE(fileTimeOf(target), before - 2);
        EXPECT_LE(fileTimeOf(target), nowUnix() + 1);
    }

    // The first of January next year at noon: the year falls to the present's and the month, one,
    // is then not greater, so the clamping stops there: January 1 of this year.
    SYSTEMTIME jan = {};
    jan.wYear = static_cast<WORD>(nowUtc.wYear + 1);
    jan.wMonth = 1;
    jan.wDay = 1;
    jan.wHour = 12;
    FILETIME ft;
    ::SystemTimeToFileTime(&jan, &ft);
    SYSTEMTIME janLocal;
    ::SystemTimeToTzSpecificLocalTime(nullptr, &jan, &janLocal);
    SYSTEMTIME nowLocal;
    ::GetLocalTime(&nowLocal);
    if (janLocal.wYear == nowLocal.wYear + 1 && janLocal.wMonth == 1 && janLocal.wDay == 1 &&
        !(nowLocal.wMonth == 1 && nowLocal.wDay == 1)) {
        SYSTEMTIME expected = janLocal;
        expected.wYear = nowLocal.wYear;
        expected.wMilliseconds = 0;
        ASSERT_EQ(update("{\"body_size\": 120001, \"last_modified\": \"" + httpDate(jan) + "\"}", 0),
                  cWebupdater::UPDATE_DONE)
            << dumpLog();
        EXPECT_EQ(fileTimeOf(target), localToUnix(expected));

        // With onlyIfNewer 1 that clamped time is older than a target written now: not newer.
        ASSERT_TRUE(setFileTimeOf(target, nowUnix()));
        EXPECT_EQ(update("{\"body_size\": 1999, \"last_modified\": \"" + httpDate(jan) + "\"}", 1),
                  cWebupdater::UPDATE_NOT_NEWER);
    }
}

// --- Download faults ------------------------------------------------------------------------

TEST_F(Webupdater, LeftoversUnderTheOldTemporaryNameChangeNothing)
{
    // A folder of the old fixed name blocked every update; a file there was overwritten in place.
    ASSERT_TRUE(::CreateDirectoryW(tempFile.c_str(), nullptr));
    ASSERT_EQ(update(body(1999)), cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(readBytes(target), programBytes(1999));
    ASSERT_TRUE(::RemoveDirectoryW(tempFile.c_str()));

    ASSERT_TRUE(writeBytes(tempFile, "planted"));
    ASSERT_EQ(update(body(120001)), cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(readBytes(target), programBytes(120001));
    EXPECT_EQ(readBytes(tempFile), "planted") << "a file of the old name is neither read nor written";
    EXPECT_EQ(leftovers(), 0);
}

TEST(WebupdaterDate, FormatsHttpDates)
{
    Peekupdater u(nullptr, AGENT);
    EXPECT_EQ(u.formatHttpDate(1362492429), L"Tue, 05 Mar 2013 14:07:09 GMT");
    EXPECT_EQ(u.formatHttpDate(0), L"Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(u.formatHttpDate(951782400), L"Tue, 29 Feb 2000 00:00:00 GMT");
}

// --- Hostile or broken answers -------------------------------------------------------------------

TEST_F(Webupdater, NoOtherWriterWhileTheDownloadIsWrittenAndChecked)
{
    ASSERT_TRUE(writeBytes(target, "old"));
    std::atomic<bool> done{false};
    std::atomic<DWORD> openError{0};
    std::atomic<bool> seen{false};
    std::atomic<bool> deleted{false};
    std::thread intruder([&] {
        const std::wstring pattern = tempFolder() + L"/" + targetName + L".*.tmp";
        while (!done && !seen) {
            WIN32_FIND_DATAW found;
            HANDLE h = ::FindFirstFileW(pattern.c_str(), &found);
            if (h != INVALID_HANDLE_VALUE) {
                ::FindClose(h);
                const std::wstring path = tempFolder() + L"/" + found.cFileName;
                handles::Kernel w(::CreateFileW(path.c_str(), GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
                openError = w.valid() ? 0 : ::GetLastError();
                deleted = ::DeleteFileW(path.c_str()) != FALSE ||
                          ::MoveFileExW(path.c_str(), (path + L".swapped").c_str(), 0) != FALSE;
                seen = true;
            }
            ::Sleep(5);
        }
    });
    // About two seconds of transfer.
    const int32_t r = update("{\"body_size\": 300000, \"rate\": 150000}");
    done = true;
    intruder.join();
    ASSERT_TRUE(seen) << "the download was never seen in the temporary folder";
    EXPECT_EQ(openError.load(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(deleted) << "the download can neither be deleted nor renamed by another";
    ASSERT_EQ(r, cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(readBytes(target), programBytes(300000));
}

TEST_F(Webupdater, ChunkedBodyCutEarlyIsNoUpdate)
{
    ASSERT_TRUE(writeBytes(target, "old"));
    // Cut at a chunk boundary: WinINet may take that for the end, then the image check refuses it.
    const int32_t atBoundary = update("{\"body_size\": 400000, \"chunked\": true, \"truncate_after\": 262144}");
    EXPECT_TRUE(atBoundary == cWebupdater::UPDATE_DOWNLOAD_FAILED || atBoundary == cWebupdater::UPDATE_NOT_A_PROGRAM)
        << atBoundary << "\n"
        << dumpLog();
    EXPECT_EQ(readBytes(target), "old");
    EXPECT_EQ(leftovers(), 0);
    // Cut inside a chunk: the same (Wine reads both as a normal end).
    const int32_t inside =
        update("{\"body_size\": 400000, \"chunked\": true, \"truncate_after\": 262144, \"cut_inside_chunk\": true}");
    EXPECT_TRUE(inside == cWebupdater::UPDATE_DOWNLOAD_FAILED || inside == cWebupdater::UPDATE_NOT_A_PROGRAM)
        << inside << "\n"
        << dumpLog();
    EXPECT_EQ(readBytes(target), "old");
    EXPECT_EQ(leftovers(), 0);
    // A Transfer-Encoding other than chunked does not hide a short Content-Length body; the update
    // ends with the receiver's system error.
    EXPECT_EQ(update("{\"body_size\": 300000, \"truncate_after\": 200000, \"headers\": [[\"Transfer-Encoding\", "
                     "\"identity\"]]}"),
              cWebupdater::UPDATE_DOWNLOAD_FAILED)
        << dumpLog();
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(readBytes(target), "old");
    EXPECT_FALSE(testsupport::fileExists(target + cWebupdater::BACKUP_SUFFIX));
    EXPECT_EQ(leftovers(), 0);
}

TEST_F(Webupdater, ChecksOfTheBodyGiveTheirResultCodes)
{
    ASSERT_TRUE(writeBytes(target, "old"));
    EXPECT_EQ(update(body(50000)), cWebupdater::UPDATE_SIZE_REJECTED);
    EXPECT_EQ(lastError, 0u);
    EXPECT_EQ(update("{\"body_text\": \"<html></html>\"}"), cWebupdater::UPDATE_NOT_A_PROGRAM);
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    updater->setSignerPin(L"not a pin");
    EXPECT_EQ(update(body(200000)), cWebupdater::UPDATE_SIGNATURE_REJECTED);
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INVALID_DATA));
    updater->clearSignerPin();
    EXPECT_EQ(readBytes(target), "old");
    EXPECT_EQ(leftovers(), 0) << "every refused download is deleted";
    ASSERT_TRUE(writeBytes(target, programBytes(200000)));
    EXPECT_EQ(update(body(200000)), cWebupdater::UPDATE_ALREADY_CURRENT);
    EXPECT_EQ(lastError, 0u);
    EXPECT_FALSE(testsupport::fileExists(target + cWebupdater::BACKUP_SUFFIX)) << "nothing was switched";
}

// --- A busy server --------------------------------------------------------------------------

namespace {

// A busy answer (status, Retry-After) as one step of a sequence.
std::string busy(int status, const std::string& retryAfter)
{
    std::string step = "{\"status\": ";
    step += std::to_string(status);
    step += ", \"body_text\": \"busy\"";
    if (!retryAfter.empty()) {
        step += ", \"headers\": [[\"Retry-After\", \"" + retryAfter + "\"]]";
    }
    return step + "}";
}

// A program of size bytes after the given busy answers.
std::string busyThenProgram(const std::vector<std::string>& steps, size_t size = 1999)
{
    std::string sequence;
    for (const std::string& step : steps) {
        sequence += step + ", ";
    }
    return "{\"body_size\": " + std::to_string(size) + ", \"sequence\": [" + sequence + "{\"status\": 200}]}";
}

uint64_t total(const std::vector<DWORD>& pauses)
{
    uint64_t sum = 0;
    for (const DWORD p : pauses) {
        sum += p;
    }
    return sum;
}

} // namespace

TEST_F(Webupdater, BusyServerIsAskedAgainAfterItsRetryAfter)
{
    std::vector<std::wstring> texts;
    updater->setStatusCallback([&texts](const std::wstring& text) { texts.push_back(text); });
    ASSERT_EQ(update(busyThenProgram({busy(503, "2"), busy(503, "2")})), cWebupdater::UPDATE_DONE)
        << lastError << dumpLog();
    EXPECT_EQ(requests().size(), 3u);
    EXPECT_EQ(readBytes(target), programBytes(1999));
    // Two waits of 2 s plus 0 to 20 %, in slices of at most a second.
    EXPECT_GE(total(updater->pauses), 4000u);
    EXPECT_LE(total(updater->pauses), 4800u);
    EXPECT_LE(*std::max_element(updater->pauses.begin(), updater->pauses.end()), 1000u);
    const auto lines = logLines();
    EXPECT_EQ(countLevel(lines, "WARNING - ", "Server busy (status 503, Retry-After \"2\"): waiting 2."), 2)
        << dumpLog();
    EXPECT_EQ(countLevel(lines, "WARNING - ", "s before retry 2 of 3"), 1) << dumpLog();
    ASSERT_FALSE(texts.empty());
    EXPECT_TRUE(texts.front() == textutil::format(Busyserver::STATUS_COUNTDOWN, 3ULL) ||
                texts.front() == textutil::format(Busyserver::STATUS_COUNTDOWN, 2ULL))
        << narrow(texts.front());
    EXPECT_EQ(std::count(texts.begin(), texts.end(), std::wstring(Busyserver::STATUS_IDLE)), 2);
    EXPECT_EQ(texts.back(), Busyserver::STATUS_IDLE);

    // A new call has its own three retries.
    updater->pauses.clear();
    ASSERT_EQ(update(busyThenProgram({busy(429, "0"), busy(503, "1"), busy(503, "1")}, 120001)),
              cWebupdater::UPDATE_DONE);
    EXPECT_EQ(requests().size(), 4u);
    EXPECT_EQ(readBytes(target), programBytes(120001));
    EXPECT_GE(total(updater->pauses), 2000u);
}

// Every busy answer that is not waited for is judged as today, at once or after the retries the
// bounds allow; each refusal says why.
TEST_F(Webupdater, BusyServerBeyondTheBoundsIsTodaysFailure)
{
    const std::string later = httpDate(nowUnix() + 3600);
    struct Case {
        std::string answer;
        int32_t result;
        size_t requests;
        size_t waits;
        std::string why;
    } cases[] = {
        {busyThenProgram({busy(503, "3600")}), cWebupdater::UPDATE_BAD_STATUS, 1, 0,
         "\"3600\"): 3600 s is longer than 120 s, giving up"},
        {busyThenProgram({busy(503, "121")}), cWebupdater::UPDATE_BAD_STATUS, 1, 0, "121 s is longer than 120 s"},
        {busyThenProgram({busy(429, later)}), cWebupdater::UPDATE_BAD_STATUS, 1, 0, " s is longer than 120 s"},
        {busyThenProgram({busy(503, "")}), cWebupdater::UPDATE_BAD_STATUS, 1, 0,
         "Server busy (status 503) without Retry-After: giving up"},
        {busyThenProgram({busy(503, "-1")}), cWebupdater::UPDATE_BAD_STATUS, 1, 0, "unreadable): giving up"},
        {busyThenProgram({busy(503, "2.5")}), cWebupdater::UPDATE_BAD_STATUS, 1, 0, "unreadable): giving up"},
        {busyThenProgram({busy(503, "99999999999999999999999")}), cWebupdater::UPDATE_BAD_STATUS, 1, 0,
         "longer than 120 s"},
        {busyThenProgram({"{\"status\": 503, \"content_type\": \"text/html\"}"}), cWebupdater::UPDATE_WRONG_TYPE, 1, 0,
         "without Retry-After"},
        {busyThenProgram({busy(500, "1")}), cWebupdater::UPDATE_BAD_STATUS, 1, 0, ""},
        // Four busy answers: three retries, then the fourth is judged.
        {busyThenProgram({busy(503, "1"), busy(503, "1"), busy(429, "1"), busy(503, "1")}),
         cWebupdater::UPDATE_BAD_STATUS, 4, 3, "no retry left after 3, giving up"},
        // 2 x 120 s plus the random share stay within five minutes, a third wait would not.
        {busyThenProgram({busy(503, "120"), busy(503, "120"), busy(503, "120")}), cWebupdater::UPDATE_BAD_STATUS, 3, 2,
         "of waiting in all, giving up"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        updater->pauses.clear();
        const size_t before = logLines().size();
        EXPECT_EQ(update(c.answer), c.result);
        EXPECT_EQ(requests().size(), c.requests);
        const auto lines = testsupport::linesFrom(logLines(), before);
        EXPECT_EQ(countLevel(lines, "WARNING - ", " s before retry "), static_cast<int>(c.waits)) << dumpLog();
        if (c.waits == 0) {
            EXPECT_TRUE(updater->pauses.empty());
        }
        if (!c.why.empty()) {
            EXPECT_EQ(countLevel(lines, "WARNING - ", c.why), 1) << dumpLog();
        } else {
            EXPECT_EQ(countLevel(lines, "WARNING - ", "Server busy"), 0) << dumpLog();
        }
        EXPECT_EQ(readBytes(target), "old build");
    }
}

TEST_F(Webupdater, BusyServerWithAnHttpDate)
{
    const std::string soon = httpDate(nowUnix() + 3);
    ASSERT_EQ(update(busyThenProgram({busy(429, soon)})), cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(requests().size(), 2u);
    EXPECT_GE(total(updater->pauses), 1000u);
    EXPECT_LE(total(updater->pauses), 3600u);
    EXPECT_EQ(countLevel(logLines(), "WARNING - ", "Server busy (status 429, Retry-After \"" + soon), 1) << dumpLog();
}

TEST_F(Webupdater, SlowBodyOfABusyAnswerIsCutNotAwaited)
{
    // 40 bytes at one a second: read to its end, the page alone would hold the run for 40 s.
    const std::string slow = "{\"status\": 503, \"body_text\": \"" + std::string(40, 'b') +
                             "\", \"trickle\": [1, 1], \"headers\": [[\"Retry-After\", \"1\"]]}";
    const ULONGLONG start = ::GetTickCount64();
    ASSERT_EQ(update(busyThenProgram({slow})), cWebupdater::UPDATE_DONE) << dumpLog();
    const ULONGLONG took = ::GetTickCount64() - start;
    EXPECT_EQ(requests().size(), 2u);
    EXPECT_GE(took, Busyserver::MAX_DRAIN_MS - 1000);
    EXPECT_LT(took, 20000u);
}

TEST(BusyserverDelay, RetryAfterValues)
{
    const int64_t now = 1700000000; // Tue, 14 Nov 2023 22:13:20 GMT
    struct Case {
        const wchar_t* retryAfter;
        const wchar_t* date;
        bool readable;
        int64_t seconds;
    } cases[] = {
        {L"2", L"", true, 2},
        {L" 120 ", L"", true, 120},
        {L"0", L"", true, 0},
        {L"Tue, 14 Nov 2023 22:13:50 GMT", L"", true, 30},
        // The server's Date wins over the local clock, whichever is ahead.
        {L"Tue, 14 Nov 2023 23:13:50 GMT", L"Tue, 14 Nov 2023 23:13:20 GMT", true, 30},
        {L"Tue, 14 Nov 2023 21:13:50 GMT", L"Tue, 14 Nov 2023 21:13:20 GMT", true, 30},
        // An unreadable Date falls back to the local clock.
        {L"Tue, 14 Nov 2023 22:14:20 GMT", L"yesterday", true, 60},
        {L"Tuesday, 14-Nov-23 22:13:25 GMT", L"", true, 5},
        {L"Tue Nov 14 22:13:21 2023", L"", true, 1},
        // A date already past: ask again at once.
        {L"Tue, 14 Nov 2023 22:00:00 GMT", L"", true, 0},
        {L"", L"", false, 0},
        {L"-5", L"", false, 0},
        {L"+5", L"", false, 0},
        {L"5 s", L"", false, 0},
        {L"0x10", L"", false, 0},
        {L"Tue, 14 Nov 2023 22:13:50", L"", false, 0},
        {L"Tue, 31 Nov 2023 22:13:50 GMT", L"", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.retryAfter));
        int64_t seconds = -1;
        EXPECT_EQ(Busyserver::retryDelay(c.retryAfter, c.date, now, &seconds), c.readable);
        if (c.readable) {
            EXPECT_EQ(seconds, c.seconds);
        }
    }
    int64_t seconds = 0;
    ASSERT_TRUE(Busyserver::retryDelay(L"18446744073709551616", L"", now, &seconds));
    EXPECT_GT(seconds, Busyserver::MAX_RETRY_AFTER_S);

    EXPECT_EQ(Busyserver::withRandomShare(10, 0), 10000u);
    EXPECT_EQ(Busyserver::withRandomShare(10, 200), 12000u);
    EXPECT_EQ(Busyserver::withRandomShare(10, 201), 10000u);
    EXPECT_EQ(Busyserver::withRandomShare(10, 0xFFFFFFFFu), 10000u + 10000u * (0xFFFFFFFFu % 201) / 1000);
    // The random source gives different numbers (a constant would let every installer come back together).
    std::vector<uint32_t> drawn;
    for (int i = 0; i < 8; ++i) {
        drawn.push_back(Busyserver::randomNumber());
    }
    std::sort(drawn.begin(), drawn.end());
    EXPECT_GE(std::unique(drawn.begin(), drawn.end()) - drawn.begin(), 7);
}

// --- The deadlines of the exchange --------------------------------------------------------------

// From the send to the last body byte, a window that brings too little ends the transfer, also while
// WinINet is still blocked in the send (headers one line a second) or in the framing of a chunked
// body (a chunk-size line one byte every half second). Each trickle is harmless in itself: with the
// full 60-second window the same answers are taken.
TEST_F(Webupdater, StallBoundCoversHeadersAndChunkFraming)
{
    struct Case {
        const char* answer;
        const char* what;
    };
    const Case cases[] = {
        {"{\"body_size\": 200000, \"header_trickle\": [6, 1.0]}", "a header line every second"},
        {"{\"body_size\": 200000, \"chunked\": true, \"chunk_line_trickle\": [6, 0.5]}",
         "a chunk-size line a byte every half second"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(writeBytes(target, "old"));
        updater->setStallBound(3000);
        const ULONGLONG start = ::GetTickCount64();
        EXPECT_EQ(update(c.answer), cWebupdater::UPDATE_DOWNLOAD_FAILED) << c.what << "\n" << dumpLog();
        const ULONGLONG took = ::GetTickCount64() - start;
        EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_TIMEOUT)) << c.what;
        EXPECT_GE(took, 2900u) << c.what;
        EXPECT_LT(took, 5500u) << c.what << ": the trickle itself lasts longer";
        EXPECT_EQ(readBytes(target), "old");
        EXPECT_EQ(leftovers(), 0);

        updater->setStallBound(cWebupdater::STALL_BOUND_MS);
        EXPECT_EQ(update(c.answer), cWebupdater::UPDATE_DONE) << c.what << "\n" << dumpLog();
        EXPECT_EQ(readBytes(target), programBytes(200000)) << c.what;
    }
    EXPECT_EQ(countLevel(logLines(), "ERROR   - ", "Download stalled: 0 bytes in "), 2) << dumpLog();
}

// The whole transfer may take its announced size at the floor rate, the least time at least: a
// body steady enough for every window ends when that deadline passes, and is taken at a lower floor.
TEST_F(Webupdater, FloorRateBoundsTheWholeTransfer)
{
    const std::string steady = "{\"body_size\": 400000, \"trickle\": [8192, 0.1]}";
    updater->setStallBound(3000);
    ASSERT_TRUE(writeBytes(target, "old"));
    // 400000 bytes at 100000 a second: 4 s allowed; the trickle takes about 5 s.
    updater->setFloorRate(100000, 2000);
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(update(steady), cWebupdater::UPDATE_DOWNLOAD_FAILED) << dumpLog();
    const ULONGLONG took = ::GetTickCount64() - start;
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_GE(took, 3900u);
    EXPECT_LT(took, 4700u);
    EXPECT_EQ(countLevel(logLines(), "ERROR   - ", "Download too slow: "), 1) << dumpLog();
    EXPECT_EQ(readBytes(target), "old");
    EXPECT_EQ(leftovers(), 0);
    // The least time wins over a small size: 8 s allowed.
    updater->setFloorRate(100000, 8000);
    EXPECT_EQ(update(steady), cWebupdater::UPDATE_DONE) << dumpLog();
    // At 50000 a second the same body has 8 s.
    ASSERT_TRUE(writeBytes(target, "old"));
    updater->setFloorRate(50000, 2000);
    EXPECT_EQ(update(steady), cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(readBytes(target), programBytes(400000));
    EXPECT_EQ(countLevel(logLines(), "ERROR   - ", "Download stalled: "), 0) << dumpLog();
}

// --- Resuming a cut transfer ------------------------------------------------------------------

namespace {

constexpr size_t RESUME_SIZE = 3 * 1048576;
constexpr size_t RESUME_CUT = RESUME_SIZE * 6 / 10;

class Resume : public Webupdater {
public:
    void SetUp() override
    {
        Webupdater::SetUp();
        record = tempFolder() + L"/" + targetName + L".partial";
        ::DeleteFileW(record.c_str());
    }
    void TearDown() override
    {
        removePartial();
        Webupdater::TearDown();
    }
    // The answer for the program of RESUME_SIZE bytes with these extra members.
    std::string answer(const std::string& extra) const
    {
        return "{\"body_size\": " + std::to_string(RESUME_SIZE) + (extra.empty() ? "" : ", " + extra) + "}";
    }
    // A first run cut at 60 %.
    void cut(const std::string& extra)
    {
        ASSERT_EQ(
            update(answer(extra + (extra.empty() ? "" : ", ") + "\"truncate_after\": " + std::to_string(RESUME_CUT))),
            cWebupdater::UPDATE_DOWNLOAD_FAILED)
            << dumpLog();
    }
    std::string recordText() const { return readBytes(record); }
    // The kept partial file named by the record.
    std::wstring partialFile() const
    {
        const std::string text = recordText();
        const size_t at = text.find("\nfile ");
        if (at == std::string::npos) {
            return std::wstring();
        }
        return tempFolder() + L"/" + widen(text.substr(at + 6, text.find('\n', at + 1) - at - 6));
    }
    void removePartial()
    {
        const std::wstring partial = partialFile();
        if (!partial.empty()) {
            ::DeleteFileW(partial.c_str());
        }
        ::DeleteFileW(record.c_str());
    }
    // A header of the i-th request since the mark; "(none)" when it was not sent.
    std::string sent(size_t i, const char* name) const
    {
        const auto reqs = requests();
        const std::string* value = i < reqs.size() ? reqs[i].header(name) : nullptr;
        return value != nullptr ? *value : "(none)";
    }

    std::wstring record;
};

std::string replacedLine(const std::string& text, const std::string& key, const std::string& value)
{
    const size_t at = text.find("\n" + key + " ");
    if (at == std::string::npos) {
        return text;
    }
    const size_t end = text.find('\n', at + 1);
    return text.substr(0, at + 1) + key + " " + value + text.substr(end);
}

} // namespace

TEST_F(Resume, CutTransferIsResumedWithRangeAndIfRange)
{
    ASSERT_TRUE(writeBytes(target, "old"));
    cut("\"etag\": \"\\\"v1\\\"\"");
    EXPECT_EQ(leftovers(), 1) << "the partial file is kept";
    EXPECT_NE(recordText().find("\nheld " + std::to_string(RESUME_CUT) + "\n"), std::string::npos) << recordText();
    EXPECT_NE(recordText().find("\nvalidator \"v1\"\n"), std::string::npos) << recordText();
    EXPECT_EQ(readBytes(partialFile()), programBytes(RESUME_SIZE).substr(0, RESUME_CUT));

    // Between runs the partial file is an ordinary file (control); while a run uses it, no other
    // writer gets in.
    const std::wstring partial = partialFile();
    auto writerGetsIn = [&partial] {
        handles::Kernel w(::CreateFileW(partial.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        0, nullptr));
        return w.valid();
    };
    ASSERT_TRUE(writerGetsIn());
    uint64_t firstProgress = 0, lastExpected = 0;
    bool writerWhileUsed = true;
    updater->setProgressCallback([&](uint64_t received, uint64_t expected) {
        if (firstProgress == 0) {
            firstProgress = received;
            writerWhileUsed = writerGetsIn();
        }
        lastExpected = expected;
    });
    ASSERT_EQ(update(answer("\"etag\": \"\\\"v1\\\"\"")), cWebupdater::UPDATE_DONE) << dumpLog();
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(sent(0, "Range"), "bytes=" + std::to_string(RESUME_CUT) + "-");
    EXPECT_EQ(sent(0, "If-Range"), "\"v1\"");
    EXPECT_TRUE(logged(5, UPD, "Status code response: 206"));
    EXPECT_EQ(countLevel(logLines(), "message", "Download resumed at byte " + std::to_string(RESUME_CUT) + " of "), 1);
    EXPECT_EQ(readBytes(target), programBytes(RESUME_SIZE));
    EXPECT_GT(firstProgress, RESUME_CUT) << "the bar starts at the held share";
    EXPECT_FALSE(writerWhileUsed) << "the held bytes are held against other writers";
    EXPECT_EQ(lastExpected, RESUME_SIZE);
    EXPECT_EQ(leftovers(), 0);
    EXPECT_FALSE(testsupport::fileExists(record));

    // Cut again while resuming: the record follows the bytes now held.
    cut("\"etag\": \"\\\"v2\\\"\"");
    ASSERT_EQ(update(answer("\"etag\": \"\\\"v2\\\"\", \"truncate_after\": 524288")),
              cWebupdater::UPDATE_DOWNLOAD_FAILED);
    EXPECT_NE(recordText().find("\nheld " + std::to_string(RESUME_CUT + 524288) + "\n"), std::string::npos)
        << recordText();
    ASSERT_EQ(update(answer("\"etag\": \"\\\"v2\\\"\"")), cWebupdater::UPDATE_ALREADY_CURRENT) << dumpLog();
    EXPECT_EQ(sent(0, "Range"), "bytes=" + std::to_string(RESUME_CUT + 524288) + "-");
}

// Whatever the server does with the range, what is switched in is the body, never held + body.
TEST_F(Resume, AnswersThatRefuseTheRangeGiveAFullDownload)
{
    const struct {
        const char* second;
        size_t requests;
        const char* why;
    } cases[] = {
        {"\"etag\": \"\\\"v1\\\"\", \"range\": \"ignore\"", 1, "the server answered 200"},
        {"\"etag\": \"\\\"v2\\\"\"", 1, "the server answered 200"},
        {"\"etag\": \"\\\"v1\\\"\", \"range\": \"wrong_start\"", 2, "the answer starts at byte"},
        {"\"etag\": \"\\\"v1\\\"\", \"range\": \"other_total\"", 2, "not the rest of"},
        {"\"etag\": \"\\\"v1\\\"\", \"range\": \"416\"", 2, "the server answered 416"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(writeBytes(target, "old"));
        cut("\"etag\": \"\\\"v1\\\"\"");
        ASSERT_TRUE(testsupport::fileExists(record)) << c.second;
        const size_t before = logLines().size();
        ASSERT_EQ(update(answer(c.second)), cWebupdater::UPDATE_DONE) << c.second << "\n" << dumpLog();
        const auto reqs = requests();
        ASSERT_EQ(reqs.size(), c.requests) << c.second;
        EXPECT_NE(reqs[0].header("Range"), nullptr) << c.second;
        EXPECT_EQ(reqs.back().header(c.requests == 2 ? "Range" : "No-Such-Header"), nullptr)
            << c.second << ": the fresh request asks for the whole file";
        EXPECT_EQ(countLevel(testsupport::linesFrom(logLines(), before), "WARNING", c.why), 1) << c.second << "\n"
                                                                                               << dumpLog();
        EXPECT_EQ(readBytes(target), programBytes(RESUME_SIZE)) << c.second;
        EXPECT_EQ(leftovers(), 0) << c.second;
        EXPECT_FALSE(testsupport::fileExists(record)) << c.second;
    }
}

// Only a strong validator and a useful amount are kept: a weak ETag, a date within a minute of the
// answer's, a cut under 1 MiB leave nothing, and the next request carries no range.
TEST_F(Resume, NothingIsKeptWithoutAStrongValidatorOrBelowOneMiB)
{
    const int64_t now = nowUnix();
    const struct {
        std::string first;
        bool kept;
    } cases[] = {
        {"\"etag\": \"W/\\\"v1\\\"\", \"last_modified\": \"" + httpDate(now - 7200) + "\"", false},
        {"\"last_modified\": \"" + httpDate(now) + "\"", false},
        {"\"etag\": \"\\\"v1\\\"\", \"truncate_after\": 1048575", false},
        {"\"last_modified\": \"" + httpDate(now - 7200) + "\"", true},
    };
    for (const auto& c : cases) {
        const std::string first = c.first.find("truncate_after") == std::string::npos
                                      ? c.first + ", \"truncate_after\": " + std::to_string(RESUME_CUT)
                                      : c.first;
        ASSERT_EQ(update(answer(first)), cWebupdater::UPDATE_DOWNLOAD_FAILED) << c.first;
        EXPECT_EQ(testsupport::fileExists(record), c.kept) << c.first;
        EXPECT_EQ(leftovers(), c.kept ? 1 : 0) << c.first;
        const std::string second = first.substr(0, first.find(", \"truncate_after\""));
        ASSERT_EQ(update(answer(second)), cWebupdater::UPDATE_DONE) << c.first << "\n" << dumpLog();
        EXPECT_EQ(sent(0, "Range") != "(none)", c.kept) << c.first;
        EXPECT_EQ(sent(0, "If-Range"), c.kept ? httpDate(now - 7200) : "(none)") << c.first;
        EXPECT_EQ(readBytes(target), programBytes(RESUME_SIZE));
        ASSERT_TRUE(writeBytes(target, "old"));
    }
}

// The partial file and its record lie in a folder the user can write to: a changed byte, a changed
// record, a record of another URL or one older than a week is removed and the whole file is asked for.
TEST_F(Resume, TamperedOrStaleRecordsAreNotUsed)
{
    const std::string etag = "\"etag\": \"\\\"v1\\\"\"";
    const struct {
        const char* what;
        std::function<void(Resume*)> change;
        bool fileRemoved;
    } cases[] = {
        {"a byte of the partial file",
         [](Resume* t) {
             handles::Kernel f(
                 ::CreateFileW(t->partialFile().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
             ASSERT_TRUE(f.valid());
             ::SetFilePointer(f.get(), 1000, nullptr, FILE_BEGIN);
             DWORD written = 0;
             ASSERT_TRUE(::WriteFile(f.get(), "X", 1, &written, nullptr));
         },
         true},
        {"the held count",
         [](Resume* t) {
             ASSERT_TRUE(writeBytes(t->record, replacedLine(t->recordText(), "held", std::to_string(RESUME_CUT - 1))));
         },
         true},
        {"another URL",
         [](Resume* t) {
             ASSERT_TRUE(writeBytes(t->record, replacedLine(t->recordText(), "url", "http://127.0.0.1:1/other")));
         },
         true},
        {"eight days old",
         [](Resume* t) {
             ASSERT_TRUE(
                 writeBytes(t->record, replacedLine(t->recordText(), "saved", std::to_string(nowUnix() - 8 * 86400))));
         },
         true},
        {"saved a day from now",
         [](Resume* t) {
             ASSERT_TRUE(
                 writeBytes(t->record, replacedLine(t->recordText(), "saved", std::to_string(nowUnix() + 86400))));
         },
         true},
        {"a second name of the partial file",
         [](Resume* t) {
             const std::wstring other = t->partialFile() + L".other";
             ASSERT_TRUE(::CreateHardLinkW(other.c_str(), t->partialFile().c_str(), nullptr));
             handles::Kernel f(::CreateFileW(other.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
             BY_HANDLE_FILE_INFORMATION info = {};
             ASSERT_TRUE(::GetFileInformationByHandle(f.get(), &info));
             ASSERT_EQ(info.nNumberOfLinks, 2u) << "control: the platform counts the names";
         },
         true},
        // The file that no usable record names is removed all the same (as what a kill left).
        {"a record not as written",
         [](Resume* t) { ASSERT_TRUE(writeBytes(t->record, t->recordText() + "extra 1\n")); }, true},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(writeBytes(target, "old"));
        cut(etag);
        const std::wstring partial = partialFile();
        ASSERT_FALSE(partial.empty()) << c.what;
        c.change(this);
        ASSERT_EQ(update(answer(etag)), cWebupdater::UPDATE_DONE) << c.what << "\n" << dumpLog();
        ASSERT_EQ(requests().size(), 1u) << c.what;
        EXPECT_EQ(sent(0, "Range"), "(none)") << c.what;
        EXPECT_EQ(readBytes(target), programBytes(RESUME_SIZE)) << c.what;
        EXPECT_FALSE(testsupport::fileExists(record)) << c.what;
        EXPECT_EQ(testsupport::fileExists(partial), !c.fileRemoved) << c.what;
        ::DeleteFileW(partial.c_str());
        const std::wstring other = partial + L".other";
        if (testsupport::fileExists(other)) {
            EXPECT_EQ(readBytes(other), programBytes(RESUME_SIZE).substr(0, RESUME_CUT))
                << "nothing is written through a second name";
            ::DeleteFileW(other.c_str());
        }
    }
    EXPECT_GE(countLevel(logLines(), "WARNING", "do not match the record's digest"), 1) << dumpLog();
    EXPECT_GE(countLevel(logLines(), "WARNING", "Partial download record removed"), 1);
}
