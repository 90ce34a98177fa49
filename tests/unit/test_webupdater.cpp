// cWebupdater against a real loopback server: the request on the wire, every result code, the
// newer test, the download and its faults, the swap, the certificate procedure.
//
// The server is tests/e2e/updateserver.py. A Windows program cannot wait for a Linux process, so
// the test environment starts it detached (Wine runs a non-PE image as a Unix process) with a
// control folder under /tmp: the tests write config.json there before each exchange and read the
// requests back from requests.log. The server ends when the environment writes the stop file, and
// by itself after two idle minutes, so it never outlives a killed test run for long.
#include "Fileobject.h"
#include "Logger.h"
#include "cWebupdater.h"
#include "handles.h"
#include "testsupport.h"

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

using testsupport::narrow;
using testsupport::readBytes;
using testsupport::TempDir;
using testsupport::widen;
using testsupport::writeBytes;

namespace {

const wchar_t* const AGENT = L"Callvane installer - Webupdate";
const std::wstring OBJECT = L"/vazu/public/req?getCVupdate&var=cvmode:on&var=cvversion:3.39-QRN32-VLM6.52578";

std::string patternBytes(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>(i % 251);
    }
    return s;
}

// A complete x86-64 program image of n bytes (n > 512): headers, one section holding the rest of
// the file, filled with the pattern. kind: 0 a program, 1 a DLL, 2 a section that ends beyond the
// file, 3 a program for a machine nobody has.
std::string programBytes(size_t n, int kind = 0)
{
    std::string s = patternBytes(n);
    auto put16 = [&](size_t at, uint16_t v) {
        s[at] = static_cast<char>(v & 0xFF);
        s[at + 1] = static_cast<char>(v >> 8);
    };
    auto put32 = [&](size_t at, uint32_t v) {
        put16(at, static_cast<uint16_t>(v & 0xFFFF));
        put16(at + 2, static_cast<uint16_t>(v >> 16));
    };
    std::fill(s.begin(), s.begin() + 0x200, '\0');
    s[0] = 'M';
    s[1] = 'Z';
    put32(0x3C, 0x40);
    s[0x40] = 'P';
    s[0x41] = 'E';
    put16(0x44, kind == 3 ? 0x1234 : 0x8664);   // machine
    put16(0x46, 1);                             // one section
    put16(0x54, 240);                           // PE32+ optional header
    put16(0x56, kind == 1 ? 0x2022 : 0x0022);   // executable, large addresses (, DLL)
    put16(0x58, 0x20B);                         // PE32+
    put16(0x58 + 68, 2);                        // GUI subsystem
    std::memcpy(&s[0x148], ".text", 5);         // section table after the optional header
    put32(0x148 + 8, static_cast<uint32_t>(n)); // virtual size
    put32(0x148 + 12, 0x1000);                  // virtual address
    put32(0x148 + 16, static_cast<uint32_t>(n - 0x200 + (kind == 2 ? 1 : 0))); // raw size
    put32(0x148 + 20, 0x200);                                                  // raw data offset
    return s;
}

std::wstring unixToWine(const std::string& unixPath) { return L"Z:" + widen(unixPath); }

// ---------------------------------------------------------------------------------------------
// The loopback server process and its control folder.

struct Request {
    int port = 0;
    bool tls = false;
    std::string line;
    std::vector<std::pair<std::string, std::string>> headers;

    const std::string* header(const std::string& name) const
    {
        for (const auto& h : headers) {
            if (_stricmp(h.first.c_str(), name.c_str()) == 0) {
                return &h.second;
            }
        }
        return nullptr;
    }
};

class ServerProcess {
public:
    bool start(std::string* why)
    {
        std::string source = __FILE__; // .../tests/unit/test_webupdater.cpp
        if (source[0] != '/') {
            // A compiler cache names the source relative to the build folder.
            source = std::string(CV_BINARY_DIR) + "/" + source;
        }
        std::string root = source;
        for (int i = 0; i < 2; ++i) {
            root = root.substr(0, root.find_last_of("/\\"));
        }
        const std::string script = root + "/e2e/updateserver.py";
        if (!testsupport::fileExists(unixToWine(script))) {
            *why = "server script not found: " + script;
            return false;
        }
        std::string python;
        char fromEnv[512] = {};
        if (::GetEnvironmentVariableA("CV_PYTHON3", fromEnv, sizeof(fromEnv)) > 0) {
            python = fromEnv;
        } else {
            for (const char* cand : {"/usr/bin/python3", "/usr/local/bin/python3", "/bin/python3"}) {
                if (testsupport::fileExists(unixToWine(cand))) {
                    python = cand;
                    break;
                }
            }
        }
        if (python.empty()) {
            *why = "no python3 found";
            return false;
        }
        char name[96];
        std::snprintf(name, sizeof(name), "/tmp/cvweb-%lu-%llu", static_cast<unsigned long>(::GetCurrentProcessId()),
                      static_cast<unsigned long long>(::GetTickCount64()));
        controlUnix = name;
        control = unixToWine(controlUnix);
        if (!::CreateDirectoryW(control.c_str(), nullptr)) {
            *why = "cannot create " + controlUnix;
            return false;
        }
        std::wstring cmd = L"python3 " + widen(script) + L" --control-dir " + widen(controlUnix) + L" --portfile " +
                           widen(controlUnix) +
                           L"/ports.json --https --tls-ca --extra-port 4464 --idle-timeout 120 "
                           L"--lifetime 1800 --detach";
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        std::vector<wchar_t> line(cmd.begin(), cmd.end());
        line.push_back(L'\0');
        if (!::CreateProcessW(unixToWine(python).c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &si, &pi)) {
            *why = "cannot start " + python;
            return false;
        }
        // A Unix process comes without Windows handles.
        closeHandle(pi.hThread);
        closeHandle(pi.hProcess);

        std::string ports;
        if (!testsupport::waitFor(
                [&] {
                    ports = readBytes(control + L"/ports.json");
                    return !ports.empty();
                },
                60000)) {
            *why = "server did not report its ports: " + readBytes(control + L"/server.log");
            return false;
        }
        http = portOf(ports, "\"http\":");
        https = portOf(ports, "\"https\":");
        extra = portOf(ports, "\"extra\":");
        tlsName = portOf(ports, "\"tls_name\":");
        tlsExpired = portOf(ports, "\"tls_expired\":");
        tlsValid = portOf(ports, "\"tls_valid\":");
        tlsOther = portOf(ports, "\"tls_other\":");
        return http != 0 && https != 0 && tlsName != 0 && tlsExpired != 0 && tlsValid != 0 && tlsOther != 0 &&
               trustAuthority(why);
    }

    // The server's throwaway authority in the current user's root store of this prefix, for as long
    // as the server runs (its key is gone already: it signs nothing else).
    bool trustAuthority(std::string* why)
    {
        authority = readBytes(control + L"/authority/ca.der");
        if (authority.empty() ||
            !::CertAddEncodedCertificateToSystemStoreW(L"Root", reinterpret_cast<const BYTE*>(authority.data()),
                                                       static_cast<DWORD>(authority.size()))) {
            *why = "the test authority could not be trusted";
            return false;
        }
        return true;
    }

    void distrustAuthority()
    {
        if (authority.empty()) {
            return;
        }
        HCERTSTORE root = ::CertOpenSystemStoreW(0, L"Root");
        PCCERT_CONTEXT ca = ::CertCreateCertificateContext(
            X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(authority.data()), static_cast<DWORD>(authority.size()));
        if (root != nullptr && ca != nullptr) {
            PCCERT_CONTEXT found =
                ::CertFindCertificateInStore(root, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, ca, nullptr);
            if (found != nullptr) {
                ::CertDeleteCertificateFromStore(found); // frees found
            }
        }
        if (ca != nullptr) {
            ::CertFreeCertificateContext(ca);
        }
        if (root != nullptr) {
            ::CertCloseStore(root, 0);
        }
        authority.clear();
    }

    void stop()
    {
        distrustAuthority();
        if (control.empty()) {
            return;
        }
        writeBytes(control + L"/stop", "1");
        testsupport::waitFor([&] { return testsupport::fileExists(control + L"/stopped"); }, 10000);
        testsupport::removeTree(control);
        control.clear();
    }

    // Sets the answer to the next requests (a JSON object), replacing the file in one step.
    void configure(const std::string& json)
    {
        const std::wstring tmp = control + L"/config.json.tmp";
        ASSERT_TRUE(writeBytes(tmp, json));
        ASSERT_TRUE(::MoveFileExW(tmp.c_str(), (control + L"/config.json").c_str(), MOVEFILE_REPLACE_EXISTING));
    }

    size_t mark() const { return readBytes(control + L"/requests.log").size(); }

    std::vector<Request> requestsSince(size_t from) const
    {
        const std::string all = readBytes(control + L"/requests.log");
        std::vector<Request> out;
        size_t pos = from;
        Request cur;
        while (pos < all.size()) {
            size_t end = all.find('\n', pos);
            if (end == std::string::npos) {
                end = all.size();
            }
            const std::string l = all.substr(pos, end - pos);
            pos = end + 1;
            if (l.rfind("REQUEST ", 0) == 0) {
                cur = Request();
                int tls = 0;
                std::sscanf(l.c_str() + 8, "%d %d", &cur.port, &tls);
                cur.tls = tls != 0;
            } else if (l.rfind("LINE ", 0) == 0) {
                cur.line = l.substr(5);
            } else if (l.rfind("H ", 0) == 0) {
                const size_t colon = l.find(": ", 2);
                cur.headers.emplace_back(l.substr(2, colon - 2), colon == std::string::npos ? "" : l.substr(colon + 2));
            } else if (l == "END") {
                out.push_back(cur);
            }
        }
        return out;
    }

    std::wstring control;
    std::string controlUnix;
    int http = 0;
    int https = 0;
    int extra = 0;
    // https listeners with certificates of the throwaway authority (for wrong.example, expired, valid
    // for localhost) and with a self-signed certificate for localhost.
    int tlsName = 0;
    int tlsExpired = 0;
    int tlsValid = 0;
    int tlsOther = 0;
    std::string authority;

private:
    static int portOf(const std::string& json, const char* key)
    {
        const size_t at = json.find(key);
        if (at == std::string::npos) {
            return 0;
        }
        return std::atoi(json.c_str() + at + std::strlen(key));
    }
};

ServerProcess* server = nullptr;

class ServerEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        server = new ServerProcess();
        std::string why;
        if (!server->start(&why)) {
            FAIL() << "loopback update server not started: " << why;
        }
    }
    void TearDown() override
    {
        if (server != nullptr) {
            server->stop();
            delete server;
            server = nullptr;
        }
    }
};

::testing::Environment* const serverEnvironment = ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

// ---------------------------------------------------------------------------------------------
// The updater with its send step and certificate prompt observable.

class TestUpdater : public cWebupdater {
public:
    using cWebupdater::cWebupdater;
    using cWebupdater::formatHttpDate;

    void dropRootHandle() { internetHandle.reset(); }

    // Replaces the first send's outcome by a failure with this code (0: real send); with
    // sendBeforeFailing the real send is made first, so that a certificate is there to be seen.
    DWORD failFirstSendWith = 0;
    bool sendBeforeFailing = false;
    // Replaces the dialog (empty: the platform's dialog).
    std::function<DWORD(HINTERNET, DWORD)> prompt;
    int sends = 0;
    int prompts = 0;
    // Fails the rename into place with this code (0: the real rename).
    DWORD failMoveIntoPlace = 0;
    // Replaces the temporary folder (empty: the platform's).
    std::wstring tempFolderOverride;
    // The download's path when the rename into place was asked for.
    std::wstring lastDownloadPath;
    DWORD securityFlagsAtLastSend = 0;

protected:
    BOOL sendRequest(HINTERNET request, const std::wstring& headers) override
    {
        ++sends;
        DWORD flags = 0;
        DWORD size = sizeof(flags);
        if (::InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size)) {
            securityFlagsAtLastSend = flags;
        }
        if (sends == 1 && failFirstSendWith != 0) {
            if (sendBeforeFailing) {
                cWebupdater::sendRequest(request, headers);
            }
            ::SetLastError(failFirstSendWith);
            return FALSE;
        }
        return cWebupdater::sendRequest(request, headers);
    }
    std::wstring temporaryFolder() override
    {
        return tempFolderOverride.empty() ? cWebupdater::temporaryFolder() : tempFolderOverride;
    }
    bool moveIntoPlace(Downloadfile* download, const std::wstring& targetPath, DWORD* error) override
    {
        lastDownloadPath = download->path();
        if (failMoveIntoPlace != 0) {
            *error = failMoveIntoPlace;
            return false;
        }
        return cWebupdater::moveIntoPlace(download, targetPath, error);
    }
    DWORD promptCertificateProblem(HINTERNET request, DWORD error) override
    {
        ++prompts;
        if (prompt) {
            return prompt(request, error);
        }
        return cWebupdater::promptCertificateProblem(request, error);
    }
};

// Answers every "Security Warning" window of this process with Yes or No until destroyed.
class DialogAnswerer {
public:
    explicit DialogAnswerer(bool yes) : yes_(yes), thread_([this] { run(); }) {}
    ~DialogAnswerer()
    {
        stop_ = true;
        thread_.join();
    }
    int answered() const { return answered_; }

private:
    struct Search {
        DWORD pid;
        HWND found;
    };
    static BOOL CALLBACK topLevel(HWND w, LPARAM lp)
    {
        auto* s = reinterpret_cast<Search*>(lp);
        DWORD pid = 0;
        ::GetWindowThreadProcessId(w, &pid);
        wchar_t title[64] = {};
        ::GetWindowTextW(w, title, 64);
        if (pid == s->pid && wcscmp(title, L"Security Warning") == 0 && ::IsWindowVisible(w)) {
            s->found = w;
            return FALSE;
        }
        return TRUE;
    }
    struct ButtonSearch {
        const wchar_t* a;
        const wchar_t* b;
        HWND found;
    };
    static BOOL CALLBACK child(HWND w, LPARAM lp)
    {
        auto* s = reinterpret_cast<ButtonSearch*>(lp);
        wchar_t text[64] = {};
        ::GetWindowTextW(w, text, 64);
        if (wcscmp(text, s->a) == 0 || wcscmp(text, s->b) == 0) {
            s->found = w;
            return FALSE;
        }
        return TRUE;
    }
    void run()
    {
        while (!stop_) {
            Search s = {::GetCurrentProcessId(), nullptr};
            ::EnumWindows(topLevel, reinterpret_cast<LPARAM>(&s));
            if (s.found != nullptr) {
                ButtonSearch b = {yes_ ? L"&Yes" : L"&No", yes_ ? L"Yes" : L"No", nullptr};
                ::EnumChildWindows(s.found, child, reinterpret_cast<LPARAM>(&b));
                const int id = b.found != nullptr ? ::GetDlgCtrlID(b.found) : (yes_ ? IDOK : IDCANCEL);
                ::PostMessageW(s.found, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(b.found));
                ++answered_;
                // Give the dialog time to close before looking again.
                testsupport::waitFor([&] { return !::IsWindow(s.found) || !::IsWindowVisible(s.found); }, 5000);
            }
            ::Sleep(20);
        }
    }

    bool yes_;
    std::atomic<bool> stop_{false};
    std::atomic<int> answered_{0};
    std::thread thread_;
};

// ---------------------------------------------------------------------------------------------

std::wstring tempFolder()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH, buffer);
    return normalizePath(buffer);
}

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

class Webupdater : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(server, nullptr);
        ASSERT_NE(server->http, 0) << "no loopback server";
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        targetName = L"wu_" + widen(name) + L".exe";
        target = dir.file(targetName);
        tempFile = tempFolder() + L"/" + targetName;
        ::DeleteFileW(tempFile.c_str());
        ASSERT_TRUE(writeBytes(target, "old build"));
        logger = new Logger(dir.path(), L"web.log", L"CV_setup.exe");
        updater = new TestUpdater(logger, AGENT);
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
    int leftovers() const
    {
        int count = 0;
        for (const std::wstring& folder : {tempFolder(), dir.path()}) {
            WIN32_FIND_DATAW found;
            const std::wstring pattern = folder + L"/" + targetName + L".*.tmp";
            HANDLE h = ::FindFirstFileW(pattern.c_str(), &found);
            if (h == INVALID_HANDLE_VALUE) {
                continue;
            }
            do {
                ++count;
            } while (::FindNextFileW(h, &found));
            ::FindClose(h);
        }
        return count;
    }

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

    std::vector<std::string> logLines() const { return testsupport::splitLines(readBytes(dir.path() + L"/web.log")); }
    // A line of this level (1..5), function and message.
    bool logged(int level, const std::string& function, const std::string& message) const
    {
        static const char* const prefixes[] = {"off     - ", "FATAL   - ", "ERROR   - ",
                                               "WARNING - ", "message - ", "debug   - "};
        for (const auto& l : logLines()) {
            if (l.rfind(prefixes[level], 0) != 0 || l.size() < message.size()) {
                continue;
            }
            const size_t at = l.find(function + " ");
            if (at != std::string::npos && l.compare(l.size() - message.size(), message.size(), message) == 0 &&
                l.find_first_not_of(' ', at + function.size()) == l.size() - message.size()) {
                return true;
            }
        }
        return false;
    }
    std::string dumpLog() const { return readBytes(dir.path() + L"/web.log"); }

    TempDir dir{L"wu"};
    std::wstring targetName;
    std::wstring target;
    std::wstring tempFile;
    Logger* logger = nullptr;
    TestUpdater* updater = nullptr;
    size_t mark = 0;
    DWORD lastError = 0;
    // The server name the update asks for.
    std::wstring host = L"127.0.0.1";
};

const std::string UPD = "cWebupdater::updateFile";

std::string body(size_t n) { return "{\"body_size\": " + std::to_string(n) + "}"; }

std::string escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

int countLevel(const std::vector<std::string>& lines, const char* prefix, const std::string& part)
{
    int n = 0;
    for (const auto& l : lines) {
        n += l.rfind(prefix, 0) == 0 && l.find(part) != std::string::npos ? 1 : 0;
    }
    return n;
}

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
    EXPECT_TRUE(logged(5, "cWebupdater::isInternetConnected", "Checking if we can nonnect to the internet"));
    EXPECT_TRUE(logged(5, "cWebupdater::isInternetConnected", "Internet connection is open"));
    EXPECT_TRUE(logged(5, UPD, "Status code response: 200"));
    EXPECT_TRUE(
        logged(5, "cWebupdater::switchFiles", "File backup created at: " + narrow(target) + ".backupFromWebupdate"));
    EXPECT_TRUE(logged(5, "cWebupdater::switchFiles", "File switched to:" + narrow(target)));

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
    EXPECT_EQ(cWebupdater::requestFlags(L"http"), 0x8440F300u);
    EXPECT_EQ(cWebupdater::requestFlags(L"ftp"), 0x8440F300u);
    EXPECT_EQ(cWebupdater::requestFlags(L"https"), 0x84C0F300u);
    EXPECT_EQ(cWebupdater::requestFlags(L"HTTPS"), 0x84C0F300u);
    EXPECT_EQ(cWebupdater::requestFlags(L"hTtPs"), 0x84C0F300u);
    EXPECT_EQ(cWebupdater::requestFlags(L"https "), 0x8440F300u);

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
    EXPECT_TRUE(logged(1, "cWebupdater::isInternetConnected", "Internet connection is not open!"));
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
    EXPECT_TRUE(logged(5, "cWebupdater::isInternetConnected", "Internet connection is open"));
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
    // Not stored: 15 before any connection.
    EXPECT_EQ(update(body(1999), 0, L"http", L"", 1, L"NoSuchCookie"), cWebupdater::UPDATE_NO_COOKIE);
    EXPECT_TRUE(requests().empty());
    EXPECT_TRUE(logged(3, UPD, "No valid cookie found but it was requested to have one!"));
    EXPECT_FALSE(logged(5, UPD, "Valid cookie found"));

    // Stored in the cookie store for the URL: found, and sent along by WinINet.
    const std::wstring url = L"http://127.0.0.1:" + port() + L"/vazu/";
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

TEST_F(Webupdater, TruncatedBodyIsAFailedDownload)
{
    ASSERT_TRUE(writeBytes(target, "old"));
    EXPECT_EQ(update("{\"body_size\": 300000, \"truncate_after\": 200000}"), cWebupdater::UPDATE_DOWNLOAD_FAILED)
        << dumpLog();
    EXPECT_EQ(readBytes(target), "old");
    EXPECT_FALSE(testsupport::fileExists(target + cWebupdater::BACKUP_SUFFIX));
    EXPECT_EQ(leftovers(), 0) << "the partial file is deleted";
    EXPECT_TRUE(logged(2, "cWebupdater::downloadFile", "Download incomplete: 200000 of 300000 bytes received"));
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_HANDLE_EOF)) << "the system error says what happened";

    // A Content-Length that claims more than the server sends: the same.
    EXPECT_EQ(update("{\"body_size\": 130000, \"content_length\": 130001}"), cWebupdater::UPDATE_DOWNLOAD_FAILED);
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(readBytes(target), "old");
    EXPECT_EQ(leftovers(), 0);
}

TEST_F(Webupdater, OversizedBodiesAreRefused)
{
    ASSERT_TRUE(writeBytes(target, "old"));
    // Announced above 1 GiB: refused before a byte is stored.
    EXPECT_EQ(update("{\"body_size\": 130000, \"content_length\": 1073741825}"), cWebupdater::UPDATE_DOWNLOAD_FAILED);
    EXPECT_TRUE(logged(2, "cWebupdater::downloadFile",
                       "Download refused: 1073741825 bytes announced, more than the limit of 1073741824 bytes"));
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
    EXPECT_EQ(leftovers(), 0);

    // Unannounced (chunked) and growing past the limit: refused while streaming.
    updater->setMaxDownloadSize(150000);
    EXPECT_EQ(update("{\"body_size\": 400000, \"chunked\": true}"), cWebupdater::UPDATE_DOWNLOAD_FAILED);
    EXPECT_TRUE(logged(2, "cWebupdater::downloadFile", "Download refused: the body exceeds the limit of 150000 bytes"));
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
    EXPECT_EQ(leftovers(), 0);
    EXPECT_EQ(readBytes(target), "old");

    // At the limit exactly, chunked, it passes.
    ASSERT_EQ(update("{\"body_size\": 150000, \"chunked\": true}"), cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(readBytes(target), programBytes(150000));
}

TEST_F(Webupdater, SizeRuleDiscardsSmallBodies)
{
    ASSERT_TRUE(writeBytes(target, "old"));
    for (size_t n : {2000u, 50000u, 120000u}) {
        EXPECT_EQ(update(body(n)), cWebupdater::UPDATE_SIZE_REJECTED) << n;
        EXPECT_EQ(readBytes(target), "old");
        EXPECT_EQ(leftovers(), 0);
        EXPECT_FALSE(testsupport::fileExists(target + cWebupdater::BACKUP_SUFFIX));
    }
    EXPECT_TRUE(logged(2, UPD, "Downloaded file rejected, its size of 50000 bytes lies between 2000 and 120000 bytes"));
    int errors = 0;
    for (const auto& l : logLines()) {
        errors += l.rfind("ERROR   - ", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(errors, 3) << "one error line per rejected body";
}

TEST_F(Webupdater, ProgressIsReportedPerBlock)
{
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    updater->setProgressCallback([&](uint64_t got, uint64_t expected) { calls.emplace_back(got, expected); });
    ASSERT_EQ(update(body(300000)), cWebupdater::UPDATE_DONE);
    ASSERT_GE(calls.size(), 300000u / cWebupdater::READ_BLOCK);
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].second, 300000u);
        EXPECT_LE(calls[i].first - (i ? calls[i - 1].first : 0), cWebupdater::READ_BLOCK);
        if (i) {
            ASSERT_GT(calls[i].first, calls[i - 1].first);
        }
    }
    EXPECT_EQ(calls.back().first, 300000u);

    calls.clear();
    ASSERT_EQ(update("{\"body_size\": 130000, \"chunked\": true}"), cWebupdater::UPDATE_DONE);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().first, 130000u);
    EXPECT_EQ(calls.back().second, 0u) << "no Content-Length announced";
}

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

TEST_F(Webupdater, TemporaryFileLinesNameTheFileAttempted)
{
    // The folder of the download cannot be made: a file stands where a folder should.
    ASSERT_TRUE(writeBytes(dir.file(L"blocker"), "a file"));
    updater->tempFolderOverride = dir.file(L"blocker") + L"/sub";
    EXPECT_EQ(update(body(1999)), cWebupdater::UPDATE_DOWNLOAD_FAILED) << dumpLog();
    EXPECT_NE(lastError, 0u);
    const std::string folder = narrow(normalizePath(dir.file(L"blocker") + L"/sub")) + "/" + narrow(targetName) + ".";
    int pathLines = 0;
    int createLines = 0;
    for (const auto& l : logLines()) {
        for (const auto& [prefix, count] :
             {std::pair<std::string, int*>{"Unable to create path for file: ", &pathLines},
              std::pair<std::string, int*>{"Unable to create temporary file: ", &createLines}}) {
            const size_t at = l.find(prefix);
            if (at == std::string::npos) {
                continue;
            }
            ++*count;
            // The folder, the target's name, 16 random hex digits, ".tmp".
            const std::string named = l.substr(at + prefix.size());
            ASSERT_EQ(named.size(), folder.size() + 16 + 4) << l;
            EXPECT_EQ(named.substr(0, folder.size()), folder) << l;
            EXPECT_EQ(named.substr(folder.size() + 16), ".tmp") << l;
            EXPECT_EQ(named.substr(folder.size(), 16).find_first_not_of("0123456789abcdef"), std::string::npos) << l;
        }
    }
    EXPECT_EQ(pathLines, 1) << dumpLog();
    EXPECT_EQ(createLines, 1) << dumpLog();
    EXPECT_TRUE(logged(2, "cWebupdater::downloadFile", "Error: " + std::to_string(lastError))) << dumpLog();
    EXPECT_EQ(readBytes(target), "old build");
}

// --- The swap ----------------------------------------------------------------------------------

TEST_F(Webupdater, SwapCarriesAttributesAndAccessList)
{
    ASSERT_TRUE(writeBytes(target, "old"));
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

    ASSERT_EQ(update(body(1999)), cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(readBytes(target), programBytes(1999));
    EXPECT_TRUE(::GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(sddlOf(target), oldSddl);
    EXPECT_TRUE(logged(5, "cWebupdater::switchFiles", "File attributes set!"));
    EXPECT_TRUE(logged(5, "cWebupdater::switchFiles", "File security set!"));
    ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::SetFileAttributesW((target + cWebupdater::BACKUP_SUFFIX).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Webupdater, FailedFinalMoveRestoresTheTarget)
{
    ASSERT_TRUE(writeBytes(target, "old"));
    // The rename of the download into place fails: the previous version goes back to its name.
    updater->failMoveIntoPlace = ERROR_ACCESS_DENIED;
    EXPECT_EQ(update(body(1999)), cWebupdater::UPDATE_SWITCH_FAILED) << dumpLog();
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(readBytes(target), "old") << "the previous version is back under its name";
    EXPECT_FALSE(testsupport::fileExists(target + cWebupdater::BACKUP_SUFFIX));
    bool restoredLine = false;
    for (const auto& l : logLines()) {
        restoredLine |= l.rfind("ERROR   - ", 0) == 0 && l.find("previous version restored") != std::string::npos;
    }
    EXPECT_TRUE(restoredLine) << dumpLog();
    EXPECT_EQ(leftovers(), 0) << "the download is deleted";
}

TEST_F(Webupdater, BackupThatCannotBeDeletedStopsBeforeTheTarget)
{
    ASSERT_TRUE(writeBytes(target, "old"));
    const std::wstring backup = target + cWebupdater::BACKUP_SUFFIX;
    ASSERT_TRUE(writeBytes(backup, "older"));
    handles::Kernel hold(::CreateFileW(backup.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(hold.valid());
    EXPECT_EQ(update(body(1999)), cWebupdater::UPDATE_SWITCH_FAILED);
    EXPECT_EQ(readBytes(target), "old");
    EXPECT_EQ(readBytes(backup), "older");
    EXPECT_FALSE(logged(5, "cWebupdater::switchFiles", "File backup created at: " + narrow(backup)));
}

TEST_F(Webupdater, MissingTargetCannotBeSwapped)
{
    // The swap starts by moving the target to its backup name; without a target nothing is put in place.
    ASSERT_TRUE(::DeleteFileW(target.c_str()));
    EXPECT_EQ(update(body(1999)), cWebupdater::UPDATE_SWITCH_FAILED);
    EXPECT_FALSE(testsupport::fileExists(target));
    EXPECT_FALSE(testsupport::fileExists(target + cWebupdater::BACKUP_SUFFIX));
}

// --- Certificates --------------------------------------------------------------------------------

TEST_F(Webupdater, UntrustedCertificateDeclinedInTheDialog)
{
    DialogAnswerer answer(false);
    EXPECT_EQ(update(body(1999), 0, L"https", std::to_wstring(server->https)), cWebupdater::UPDATE_SEND_FAILED);
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INTERNET_INVALID_CA));
    EXPECT_EQ(updater->prompts, 1);
    EXPECT_EQ(answer.answered(), 1);
    EXPECT_EQ(updater->sends, 1);
    EXPECT_TRUE(logged(3, UPD, "Unable to send request!"));
    EXPECT_TRUE(logged(3, UPD, "Something is wrong about the server certificate (retry)"));
    EXPECT_TRUE(logged(3, UPD, "Unhandled reason"));
    EXPECT_TRUE(logged(2, UPD, "Unable to send the request to the server"));
    EXPECT_EQ(readBytes(target), "old build");
}

TEST_F(Webupdater, SecondCertificateFailureEndsWithoutASecondDialog)
{
    // A prompt that says "retry" without changing anything: the resend meets the same problem.
    updater->prompt = [](HINTERNET, DWORD) -> DWORD { return ERROR_INTERNET_FORCE_RETRY; };
    EXPECT_EQ(update(body(1999), 0, L"https", std::to_wstring(server->https)), cWebupdater::UPDATE_SEND_FAILED);
    EXPECT_EQ(updater->prompts, 1);
    EXPECT_EQ(updater->sends, 2);
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INTERNET_INVALID_CA));
    EXPECT_TRUE(logged(3, UPD, "Unhandled reason"));
}

TEST_F(Webupdater, PresentedCertificateIsLogged)
{
    updater->prompt = [](HINTERNET, DWORD) -> DWORD { return ERROR_CANCELLED; };
    EXPECT_EQ(update(body(1999), 0, L"https", std::to_wstring(server->https)), cWebupdater::UPDATE_SEND_FAILED);
    const auto lines = logLines();
    ASSERT_EQ(countLevel(lines, "WARNING - ", "Server certificate: "), 1) << dumpLog();
    std::string line;
    for (const auto& l : lines) {
        if (l.find("Server certificate: ") != std::string::npos) {
            line = l;
        }
    }
    EXPECT_NE(line.find("subject \"127.0.0.1\""), std::string::npos) << line;
    EXPECT_NE(line.find("issuer \"127.0.0.1\""), std::string::npos) << line;
    EXPECT_NE(line.find("valid from 20"), std::string::npos) << line;
    EXPECT_NE(line.find(" UTC to 20"), std::string::npos) << line;
    // Before the dialog.
    size_t certAt = 0;
    size_t retryAt = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        certAt = lines[i].find("Server certificate: ") != std::string::npos ? i : certAt;
        retryAt = lines[i].find("(retry)") != std::string::npos ? i : retryAt;
    }
    EXPECT_LT(certAt, retryAt);
    // Plain http has no certificate line.
    ASSERT_EQ(update(body(1999)), cWebupdater::UPDATE_DONE);
    EXPECT_EQ(countLevel(logLines(), "WARNING - ", "Server certificate: "), 1);
}

// --- Certificates of a trusted authority: name and date ------------------------------------------
// The server's throwaway authority is trusted in this prefix, so that WinINet's own checks are the
// ones in question: a certificate for wrong.example, one for localhost past its date, and one valid
// for localhost (the control). WinINet keeps a verified connection for the next request to the same
// server, so the strict runs, which must meet the checks, come first.

namespace {

// The web client's cookie for the https listeners (cookies are kept per host name).
void storeClientCookie()
{
    ASSERT_TRUE(::InternetSetCookieW(L"https://localhost/", L"TRBCreds", L"client-secret; path=/"));
}

bool carriesCookie(const Request& r)
{
    const std::string* cookie = r.header("Cookie");
    return cookie != nullptr && cookie->find("TRBCreds=client-secret") != std::string::npos;
}

// A prompt that stands in for a user who accepts a certificate of an unknown authority.
DWORD acceptUnknownAuthority(HINTERNET request, DWORD)
{
    DWORD flags = 0;
    DWORD size = sizeof(flags);
    ::InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size);
    flags |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    ::InternetSetOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
    return ERROR_INTERNET_FORCE_RETRY;
}

// The update request answered with a redirect to location (more headers as JSON list members);
// every other path gets a program of 130000 bytes.
std::string redirectAnswer(const std::string& location, const std::string& moreHeaders = "")
{
    return "{\"body_size\": 130000, \"routes\": {\"" + narrow(OBJECT) +
           "\": {\"status\": 302, \"body_text\": \"\", \"headers\": [[\"Location\", \"" + location + "\"]" +
           moreHeaders + "]}}}";
}

int requestsTo(const std::vector<Request>& requests, int port)
{
    return static_cast<int>(
        std::count_if(requests.begin(), requests.end(), [port](const Request& r) { return r.port == port; }));
}

} // namespace

TEST_F(Webupdater, StrictTlsRefusesCertificateProblemsBeforeAnythingIsSent)
{
    storeClientCookie();
    host = L"localhost";
    updater->setStrictTls(true);
    int prompts = 0;
    updater->prompt = [&prompts](HINTERNET, DWORD) -> DWORD {
        ++prompts;
        return ERROR_INTERNET_FORCE_RETRY;
    };
    const struct {
        int port;
        DWORD error;
        const char* subject;
    } refused[] = {
        {server->tlsName, ERROR_INTERNET_SEC_CERT_CN_INVALID, "subject \"Callvane Test, wrong.example\""},
        {server->tlsExpired, ERROR_INTERNET_SEC_CERT_DATE_INVALID, "subject \"Callvane Test, localhost\""},
        {server->tlsOther, ERROR_INTERNET_INVALID_CA, "subject \"localhost\""},
    };
    for (const auto& c : refused) {
        const size_t before = logLines().size();
        EXPECT_EQ(update(body(1999), 0, L"https", std::to_wstring(c.port)), cWebupdater::UPDATE_SEND_FAILED)
            << c.port << "\n"
            << dumpLog();
        EXPECT_EQ(lastError, c.error);
        EXPECT_EQ(requestsTo(requests(), c.port), 0) << "nothing, no cookie, reached the server";
        EXPECT_EQ(updater->securityFlagsAtLastSend &
                      (SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                       SECURITY_FLAG_IGNORE_REVOCATION),
                  0u);
        const std::vector<std::string> all = logLines();
        const std::vector<std::string> lines(all.begin() + static_cast<long>(before), all.end());
        EXPECT_EQ(countLevel(lines, "WARNING - ", "Unable to send request!"), 1) << dumpLog();
        EXPECT_EQ(countLevel(lines, "WARNING - ", "Server certificate: " + std::string(c.subject)), 1) << dumpLog();
        EXPECT_EQ(countLevel(lines, "WARNING - ", "Strict TLS: the certificate problem is not accepted"), 1);
        EXPECT_EQ(countLevel(lines, "ERROR   - ", "Unable to send the request to the server"), 1);
        EXPECT_EQ(countLevel(lines, "WARNING - ", "(retry)"), 0);
    }
    EXPECT_EQ(prompts, 0) << "strict TLS shows no certificate dialog, also not for a self-signed certificate";
    EXPECT_EQ(readBytes(target), "old build");

    // An unreachable revocation server is not worked around either.
    updater->failFirstSendWith = ERROR_INTERNET_SEC_CERT_REV_FAILED;
    updater->sends = 0;
    EXPECT_EQ(update(body(1999), 0, L"https", std::to_wstring(server->tlsValid)), cWebupdater::UPDATE_SEND_FAILED);
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INTERNET_SEC_CERT_REV_FAILED));
    EXPECT_EQ(updater->sends, 1) << "revocation checking is never switched off";
    updater->failFirstSendWith = 0;

    // The control: the certificate valid for localhost is taken, and only then is the cookie sent.
    ASSERT_EQ(update(body(1999), 0, L"https", std::to_wstring(server->tlsValid)), cWebupdater::UPDATE_DONE)
        << dumpLog();
    const auto reqs = requests();
    ASSERT_EQ(requestsTo(reqs, server->tlsValid), 1);
    EXPECT_TRUE(carriesCookie(reqs.back()));
    EXPECT_EQ(readBytes(target), programBytes(1999));
    EXPECT_EQ(countLevel(logLines(), "WARNING - ", "does not fit"), 0) << dumpLog();
}

TEST_F(Webupdater, NameAndDateProblemsAreLoggedAndPassByDefault)
{
    storeClientCookie();
    host = L"localhost";
    const struct {
        int port;
        const char* line;
    } cases[] = {
        {server->tlsName, "Server certificate does not fit localhost (name not covered): subject \"Callvane Test, "
                          "wrong.example\", issuer \"Callvane Test, Callvane Throwaway Test CA\", valid from 20"},
        {server->tlsExpired, "Server certificate does not fit localhost (expired on 2020-02-01 00:00:00 UTC): subject "
                             "\"Callvane Test, localhost\", issuer \"Callvane Test, Callvane Throwaway Test CA\", "
                             "valid from 2020-01-01 00:00:00 UTC to 2020-02-01 00:00:00 UTC"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(writeBytes(target, "old build"));
        const size_t before = logLines().size();
        // As before: the flags let the problem through, and the request with the cookie is sent.
        ASSERT_EQ(update(body(1999), 0, L"https", std::to_wstring(c.port)), cWebupdater::UPDATE_DONE) << dumpLog();
        EXPECT_EQ(updater->securityFlagsAtLastSend &
                      (SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID),
                  static_cast<DWORD>(SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID));
        const auto reqs = requests();
        ASSERT_EQ(requestsTo(reqs, c.port), 1);
        EXPECT_TRUE(carriesCookie(reqs.back()));
        EXPECT_EQ(readBytes(target), programBytes(1999));
        // Now with one line that says so.
        const std::vector<std::string> all = logLines();
        const std::vector<std::string> lines(all.begin() + static_cast<long>(before), all.end());
        EXPECT_EQ(countLevel(lines, "WARNING - ", "Server certificate does not fit"), 1) << dumpLog();
        EXPECT_EQ(countLevel(lines, "WARNING - ", c.line), 1) << dumpLog();
        EXPECT_EQ(countLevel(lines, "ERROR   - ", ""), 0) << dumpLog();
    }
    // The control: the valid certificate gives no such line.
    ASSERT_TRUE(writeBytes(target, "old build"));
    const size_t before = logLines().size();
    ASSERT_EQ(update(body(1999), 0, L"https", std::to_wstring(server->tlsValid)), cWebupdater::UPDATE_DONE);
    const std::vector<std::string> all = logLines();
    EXPECT_EQ(
        countLevel(std::vector<std::string>(all.begin() + static_cast<long>(before), all.end()), "WARNING - ", ""), 0)
        << dumpLog();
}

TEST_F(Webupdater, MissingRevocationInformationIsACertificateProblem)
{
    host = L"localhost";
    for (const bool strict : {false, true}) {
        updater->setStrictTls(strict);
        updater->sends = 0;
        updater->failFirstSendWith = ERROR_INTERNET_SEC_CERT_NO_REV;
        updater->sendBeforeFailing = true;
        const size_t before = logLines().size();
        EXPECT_EQ(update(body(1999), 0, L"https", std::to_wstring(server->tlsValid)), cWebupdater::UPDATE_SEND_FAILED);
        EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INTERNET_SEC_CERT_NO_REV));
        EXPECT_EQ(updater->sends, 1);
        const std::vector<std::string> all = logLines();
        const std::vector<std::string> lines(all.begin() + static_cast<long>(before), all.end());
        EXPECT_EQ(countLevel(lines, "WARNING - ", "Server certificate: subject \"Callvane Test, localhost\""), 1)
            << dumpLog();
        EXPECT_EQ(countLevel(lines, "WARNING - ", "Strict TLS: the certificate problem is not accepted"),
                  strict ? 1 : 0);
        EXPECT_EQ(countLevel(lines, "WARNING - ", "Unhandled reason"), strict ? 0 : 1);
        EXPECT_EQ(countLevel(lines, "ERROR   - ", "Unable to send the request to the server"), 1);
    }
}

TEST_F(Webupdater, OneDialogPerCallAcrossRedirects)
{
    // Both servers present a self-signed certificate; the second is another host name. The user
    // accepts.
    host = L"localhost";
    updater->prompt = acceptUnknownAuthority;
    const std::string next = "https://127.0.0.1:" + std::to_string(server->tlsOther) + "/next";
    EXPECT_EQ(update(redirectAnswer(next), 0, L"https", std::to_wstring(server->https)),
              cWebupdater::UPDATE_SEND_FAILED)
        << dumpLog();
    EXPECT_EQ(updater->prompts, 1) << "the dialog once in the call, not once per hop";
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INTERNET_INVALID_CA));
    EXPECT_EQ(countLevel(logLines(), "debug   - ", "Following redirect to: " + next), 1) << dumpLog();
    EXPECT_EQ(countLevel(logLines(), "WARNING - ", "(retry)"), 1);
    EXPECT_TRUE(logged(3, UPD, "Unhandled reason"));
    EXPECT_TRUE(logged(2, UPD, "Unable to send the request to the server"));
    EXPECT_EQ(requestsTo(requests(), server->tlsOther), 0);
    EXPECT_EQ(readBytes(target), "old build");

    // The control: a new call starts with its own dialog (declined here).
    updater->prompt = [](HINTERNET, DWORD) -> DWORD { return ERROR_CANCELLED; };
    host = L"127.0.0.1";
    EXPECT_EQ(update(body(1999), 0, L"https", std::to_wstring(server->tlsOther)), cWebupdater::UPDATE_SEND_FAILED);
    EXPECT_EQ(updater->prompts, 2);
}

TEST_F(Webupdater, AcceptedCertificateHoldsForARedirectBackToItsServer)
{
    // The server closes the connection after its redirect, so the next hop makes a new one and
    // meets the same unknown authority: the user's answer stands, no second dialog.
    host = L"localhost";
    updater->prompt = acceptUnknownAuthority;
    const std::string again = "https://localhost:" + std::to_string(server->tlsOther) + "/again";
    ASSERT_EQ(
        update(redirectAnswer(again, ", [\"Connection\", \"close\"]"), 0, L"https", std::to_wstring(server->tlsOther)),
        cWebupdater::UPDATE_DONE)
        << dumpLog();
    EXPECT_EQ(updater->prompts, 1);
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[1].line, "GET /again HTTP/1.1");
    EXPECT_EQ(readBytes(target), programBytes(130000));
}

// Last of the certificate tests: WinINet may remember an accepted certificate for the rest of the
// process.
TEST_F(Webupdater, UntrustedCertificateAcceptedInTheDialog)
{
    DialogAnswerer answer(true);
    const int32_t r = update(body(1999), 0, L"HTTPS", std::to_wstring(server->https));
    ASSERT_EQ(r, cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(updater->prompts, 1);
    EXPECT_EQ(answer.answered(), 1);
    EXPECT_EQ(updater->sends, 2);
    EXPECT_TRUE(logged(3, UPD, "Unable to send request!"));
    EXPECT_TRUE(logged(3, UPD, "Something is wrong about the server certificate (retry)"));
    const auto reqs = requests();
    ASSERT_FALSE(reqs.empty());
    EXPECT_TRUE(reqs.back().tls);
    EXPECT_EQ(reqs.back().port, server->https);
    EXPECT_EQ(readBytes(target), programBytes(1999));
}

TEST_F(Webupdater, UnreachableRevocationServerResendsOnceWithoutTheCheck)
{
    updater->failFirstSendWith = ERROR_INTERNET_SEC_CERT_REV_FAILED;
    ASSERT_EQ(update(body(1999)), cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(updater->sends, 2);
    EXPECT_EQ(updater->prompts, 0);
    EXPECT_TRUE(updater->securityFlagsAtLastSend & SECURITY_FLAG_IGNORE_REVOCATION);
    EXPECT_TRUE(logged(3, UPD, "Something is wrong about the server certificate revocation (retry)"));

    delete updater;
    updater = new TestUpdater(logger, AGENT);
    updater->failFirstSendWith = ERROR_INTERNET_SEC_CERT_REVOKED;
    EXPECT_EQ(update(body(1999)), cWebupdater::UPDATE_SEND_FAILED);
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INTERNET_SEC_CERT_REVOKED));
    EXPECT_EQ(updater->sends, 1);
    EXPECT_TRUE(logged(3, UPD, "Certificate is revoked"));
}

TEST_F(Webupdater, ConnectionRefusedIsASendFailure)
{
    // A port nobody listens on: the send fails with a code that is no certificate problem.
    EXPECT_EQ(update(body(1999), 0, L"http", L"1"), cWebupdater::UPDATE_SEND_FAILED);
    EXPECT_NE(lastError, 0u);
    EXPECT_TRUE(logged(3, UPD, "Unhandled reason"));
}

TEST(WebupdaterDate, FormatsHttpDates)
{
    TestUpdater u(nullptr, AGENT);
    EXPECT_EQ(u.formatHttpDate(1362492429), L"Tue, 05 Mar 2013 14:07:09 GMT");
    EXPECT_EQ(u.formatHttpDate(0), L"Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(u.formatHttpDate(951782400), L"Tue, 29 Feb 2000 00:00:00 GMT");
}

// --- Hostile or broken answers -------------------------------------------------------------------

TEST_F(Webupdater, BodiesThatAreNoProgramLeaveTheTargetAlone)
{
    ASSERT_TRUE(writeBytes(target, "old"));
    ASSERT_TRUE(writeBytes(target + cWebupdater::BACKUP_SUFFIX, "older"));
    const std::string json500 = "{\"error\": \"" + std::string(487, 'x') + "\"}";
    ASSERT_EQ(json500.size(), 500u);
    std::string html = "<html><body>";
    while (html.size() < 300000) {
        html += "<p>Maintenance</p>";
    }
    struct Case {
        std::string answer;
        const char* failed;
        std::string size;
    };
    const Case cases[] = {
        {"{\"body_text\": \"\"}", "no MZ signature", " of 0 bytes "},
        {"{\"content_type\": \"application/json\", \"body_text\": \"" + escaped(json500) + "\"}", "no MZ signature",
         " of 500 bytes "},
        {"{\"body_text\": \"" + html + "\"}", "no MZ signature", " of " + std::to_string(html.size()) + " bytes "},
        {"{" + programBody(200000, 1) + "}", "a DLL, not a program", " of 200000 bytes "},
        {"{" + programBody(200000, 2) + "}", "a section's raw data ends beyond the file (section 0)",
         " of 200000 bytes "},
    };
    for (const Case& c : cases) {
        const size_t before = logLines().size();
        EXPECT_EQ(update(c.answer), cWebupdater::UPDATE_NOT_A_PROGRAM) << c.failed << "\n" << dumpLog();
        EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
        EXPECT_EQ(readBytes(target), "old");
        EXPECT_EQ(readBytes(target + cWebupdater::BACKUP_SUFFIX), "older");
        EXPECT_EQ(leftovers(), 0);
        const std::vector<std::string> all = logLines();
        const std::vector<std::string> lines(all.begin() + static_cast<long>(before), all.end());
        EXPECT_EQ(countLevel(lines, "ERROR   - ", "is not a program"), 1) << dumpLog();
        EXPECT_EQ(countLevel(lines, "ERROR   - ", c.size + "is not a program: " + c.failed), 1) << dumpLog();
    }
    // The control: a program of the same size goes in.
    ASSERT_EQ(update(body(200000)), cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(readBytes(target), programBytes(200000));
}

TEST_F(Webupdater, TheCurrentBuildIsNotSwitchedAgain)
{
    ASSERT_TRUE(writeBytes(target, programBytes(200000)));
    EXPECT_EQ(update(body(200000)), cWebupdater::UPDATE_ALREADY_CURRENT) << dumpLog();
    EXPECT_EQ(readBytes(target), programBytes(200000));
    EXPECT_FALSE(testsupport::fileExists(target + cWebupdater::BACKUP_SUFFIX)) << "nothing was switched";
    EXPECT_EQ(leftovers(), 0);
    EXPECT_EQ(countLevel(logLines(), "WARNING - ", "is the current version already"), 1) << dumpLog();
    EXPECT_EQ(countLevel(logLines(), "ERROR   - ", ""), 0);

    // One byte different (the last one): a new build.
    std::string other = programBytes(200000);
    other.back() = static_cast<char>(other.back() ^ 1);
    ASSERT_TRUE(writeBytes(target, other));
    EXPECT_EQ(update(body(200000)), cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(readBytes(target), programBytes(200000));
}

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
    // A Transfer-Encoding other than chunked does not hide a short Content-Length body.
    EXPECT_EQ(update("{\"body_size\": 300000, \"truncate_after\": 200000, \"headers\": [[\"Transfer-Encoding\", "
                     "\"identity\"]]}"),
              cWebupdater::UPDATE_DOWNLOAD_FAILED)
        << dumpLog();
    EXPECT_EQ(readBytes(target), "old");
}

TEST_F(Webupdater, StalledTransfersEndWithinTheBound)
{
    ASSERT_TRUE(writeBytes(target, "old"));
    updater->setStallBound(3000);
    struct Case {
        const char* answer;
        const char* what;
    };
    const Case cases[] = {
        {"{\"body_size\": 300000, \"trickle\": [1, 0.5]}", "a byte every half second"},
        {"{\"body_size\": 300000, \"trickle\": [1000, 1.0]}", "1000 bytes a second, less than a block at a time"},
        {"{\"body_size\": 300000, \"stall_after\": 70000, \"stall_seconds\": 30}", "silence after 70000 bytes"},
        {"{\"body_size\": 300000, \"chunked\": true, \"trickle\": [300, 0.5]}", "chunks of 300 bytes"},
        // Steady but below 64 KiB a window: the bound covers the whole transfer, not only silence.
        {"{\"body_size\": 300000, \"trickle\": [2048, 3.0]}", "2 KiB a window"},
        {"{\"body_size\": 300000, \"trickle\": [4096, 0.4]}", "about 30 KiB a window, in 4 KiB pieces"},
    };
    for (const Case& c : cases) {
        const ULONGLONG start = ::GetTickCount64();
        EXPECT_EQ(update(c.answer), cWebupdater::UPDATE_DOWNLOAD_FAILED) << c.what << "\n" << dumpLog();
        const ULONGLONG took = ::GetTickCount64() - start;
        EXPECT_LT(took, 9000u) << c.what;
        EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_TIMEOUT)) << c.what;
        EXPECT_EQ(readBytes(target), "old");
        EXPECT_EQ(leftovers(), 0);
    }
    EXPECT_EQ(countLevel(logLines(), "ERROR   - ", "Download stalled: "), 6) << dumpLog();
    // The control: slow but steady (about 80 KiB/s in 8 KiB pieces, above 64 KiB a window) is no stall.
    ASSERT_EQ(update("{\"body_size\": 400000, \"trickle\": [8192, 0.1]}"), cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(readBytes(target), programBytes(400000));
}

TEST_F(Webupdater, ReadOnlyTargetIsUpdatedTwiceInARow)
{
    ASSERT_TRUE(writeBytes(target, "old"));
    ASSERT_TRUE(::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_EQ(update(body(130000)), cWebupdater::UPDATE_DONE) << dumpLog();
    const std::wstring backup = target + cWebupdater::BACKUP_SUFFIX;
    ASSERT_TRUE(::GetFileAttributesW(backup.c_str()) & FILE_ATTRIBUTE_READONLY)
        << "the backup of the first update is read-only, which blocked the next one";
    ASSERT_EQ(update(body(140000)), cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(readBytes(target), programBytes(140000));
    EXPECT_EQ(readBytes(backup), programBytes(130000));
    ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::SetFileAttributesW(backup.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Webupdater, DownloadOnAnotherVolumeIsCopiedBesideTheTargetFirst)
{
    // Drive Z: (the Unix root) against the target on the prefix's drive C:.
    ASSERT_EQ(::towupper(dir.path()[0]), L'C') << narrow(dir.path());
    updater->tempFolderOverride = server->control;
    ASSERT_TRUE(writeBytes(target, "old"));
    ASSERT_EQ(update(body(200000)), cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(readBytes(target), programBytes(200000));
    EXPECT_EQ(readBytes(target + cWebupdater::BACKUP_SUFFIX), "old");
    EXPECT_EQ(normalizePath(updater->lastDownloadPath).rfind(normalizePath(dir.path()) + L"/", 0), 0u)
        << "renamed into place from beside the target: " << narrow(updater->lastDownloadPath);
    EXPECT_EQ(countLevel(logLines(), "debug   - ", "Download copied beside the target: "), 1) << dumpLog();
    EXPECT_EQ(leftovers(), 0);

    // A failure after the copy: the previous version stays, the staged copy goes.
    updater->failMoveIntoPlace = ERROR_ACCESS_DENIED;
    EXPECT_EQ(update(body(210000)), cWebupdater::UPDATE_SWITCH_FAILED) << dumpLog();
    EXPECT_EQ(readBytes(target), programBytes(200000));
    EXPECT_EQ(leftovers(), 0);

    // The same volume: no copy.
    updater->failMoveIntoPlace = 0;
    updater->tempFolderOverride.clear();
    ASSERT_EQ(update(body(220000)), cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(countLevel(logLines(), "debug   - ", "Download copied beside the target: "), 2);
}

TEST_F(Webupdater, RedirectsAreFollowedExceptFromHttpsToHttp)
{
    ASSERT_TRUE(writeBytes(target, "old"));
    const std::string http = "http://127.0.0.1:" + std::to_string(server->http);
    const std::string https = "https://127.0.0.1:" + std::to_string(server->https);
    // The self-signed certificate is accepted for these requests.
    updater->prompt = acceptUnknownAuthority;
    // https to http: refused before anything reaches the plain listener.
    EXPECT_EQ(update(redirectAnswer(http + "/moved"), 0, L"https", std::to_wstring(server->https)),
              cWebupdater::UPDATE_SEND_FAILED)
        << dumpLog();
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR));
    auto reqs = requests();
    ASSERT_EQ(reqs.size(), 1u) << "only the first request";
    EXPECT_TRUE(reqs[0].tls);
    EXPECT_EQ(countLevel(logLines(), "ERROR   - ", "refused: " + http + "/moved"), 1) << dumpLog();
    EXPECT_TRUE(logged(2, UPD, "Unable to send the request to the server")) << dumpLog();
    EXPECT_EQ(countLevel(logLines(), "ERROR   - ", "Unable to send the request to the server"), 1);
    EXPECT_EQ(readBytes(target), "old");

    // http to http, and https to https: followed.
    ASSERT_EQ(update(redirectAnswer(http + "/moved")), cWebupdater::UPDATE_DONE) << dumpLog();
    reqs = requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[1].line, "GET /moved HTTP/1.1");
    ASSERT_TRUE(writeBytes(target, "old"));
    ASSERT_EQ(update(redirectAnswer(https + "/secured"), 0, L"https", std::to_wstring(server->https)),
              cWebupdater::UPDATE_DONE)
        << dumpLog();
    reqs = requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_TRUE(reqs[1].tls);
    EXPECT_EQ(reqs[1].line, "GET /secured HTTP/1.1");
}
