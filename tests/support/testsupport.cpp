#include "testsupport.h"

#include "handles.h"
#include "textutil.h"

#include <atomic>
#include <fstream>
#include <sstream>

namespace testsupport {

namespace {
std::atomic<int> counter{0};

std::wstring tempBase()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH, buffer);
    std::wstring base(buffer);
    for (auto& c : base) {
        if (c == L'\\') {
            c = L'/';
        }
    }
    while (!base.empty() && base.back() == L'/') {
        base.pop_back();
    }
    return base;
}

std::vector<wchar_t> buildEnvironment(const std::vector<std::wstring>& overrides)
{
    std::vector<std::wstring> vars;
    wchar_t* block = ::GetEnvironmentStringsW();
    for (wchar_t* p = block; *p; p += wcslen(p) + 1) {
        vars.emplace_back(p);
    }
    ::FreeEnvironmentStringsW(block);
    for (const auto& o : overrides) {
        const size_t eq = o.find(L'=');
        const std::wstring name = o.substr(0, eq);
        for (size_t i = 0; i < vars.size();) {
            const std::wstring& v = vars[i];
            if (v.size() > name.size() && v[name.size()] == L'=' &&
                _wcsnicmp(v.c_str(), name.c_str(), name.size()) == 0) {
                vars.erase(vars.begin() + static_cast<long>(i));
            } else {
                ++i;
            }
        }
        if (eq != std::wstring::npos && eq + 1 < o.size()) {
            vars.push_back(o);
        }
    }
    std::vector<wchar_t> out;
    for (const auto& v : vars) {
        out.insert(out.end(), v.begin(), v.end());
        out.push_back(L'\0');
    }
    out.push_back(L'\0');
    return out;
}

HANDLE startProcess(const std::wstring& exe, const std::wstring& args, const std::vector<std::wstring>& env, DWORD* pid)
{
    std::wstring cmd = L"\"" + exe + L"\"";
    if (!args.empty()) {
        cmd += L" " + args;
    }
    std::wstring folder = exe.substr(0, exe.find_last_of(L"/\\"));
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::vector<wchar_t> envBlock;
    if (!env.empty()) {
        envBlock = buildEnvironment(env);
    }
    if (!::CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                          env.empty() ? nullptr : envBlock.data(), folder.c_str(), &si, &pi)) {
        return nullptr;
    }
    closeHandle(pi.hThread);
    *pid = pi.dwProcessId;
    return pi.hProcess;
}
} // namespace

std::wstring widen(const std::string& s) { return textutil::fromUtf8(s); }

std::string narrow(const std::wstring& s) { return textutil::toUtf8(s); }

TempDir::TempDir(const std::wstring& tag)
{
    path_ = tempBase() + L"/cvtest-" + tag + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(counter.fetch_add(1)) + L"-" + std::to_wstring(::GetTickCount64());
    removeTree(path_);
    ::CreateDirectoryW(path_.c_str(), nullptr);
}

TempDir::~TempDir() { removeTree(path_); }

void removeTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((folder + L"/*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring full = folder + L"/" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                removeTree(full);
            } else {
                ::SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(full.c_str());
            }
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(folder.c_str());
}

std::string readBytes(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool writeBytes(const std::wstring& path, const std::string& bytes)
{
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool fileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            if (start < text.size()) {
                lines.push_back(text.substr(start));
            }
            return lines;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
}

std::wstring builtProgram(const std::wstring& name) { return L"Z:" + widen(CV_BINARY_DIR) + L"/" + name; }

std::wstring fixture(const std::wstring& exeName) { return L"Z:" + widen(CV_FIXTURE_DIR) + L"/" + exeName; }

RunResult runProgram(const std::wstring& exe, const std::wstring& args, DWORD timeoutMs,
                     const std::vector<std::wstring>& env)
{
    RunResult r;
    DWORD pid = 0;
    HANDLE process = startProcess(exe, args, env, &pid);
    if (process == nullptr) {
        return r;
    }
    r.started = true;
    if (::WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0) {
        r.finished = true;
        ::GetExitCodeProcess(process, &r.exitCode);
    } else {
        ::TerminateProcess(process, 99);
        ::WaitForSingleObject(process, 5000);
    }
    closeHandle(process);
    return r;
}

Child::Child(const std::wstring& exe, const std::wstring& args, const std::vector<std::wstring>& env)
{
    process_ = startProcess(exe, args, env, &pid_);
}

Child::~Child()
{
    if (process_ != nullptr) {
        if (running()) {
            ::TerminateProcess(process_, 99);
            ::WaitForSingleObject(process_, 5000);
        }
        closeHandle(process_);
    }
}

bool Child::wait(DWORD timeoutMs, DWORD* exitCode)
{
    if (process_ == nullptr) {
        return false;
    }
    if (::WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    if (exitCode != nullptr) {
        ::GetExitCodeProcess(process_, exitCode);
    }
    return true;
}

bool Child::running() const { return process_ != nullptr && ::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

std::wstring appDataFolder()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    ::GetEnvironmentVariableW(L"APPDATA", buffer, MAX_PATH);
    std::wstring s(buffer);
    for (auto& c : s) {
        if (c == L'\\') {
            c = L'/';
        }
    }
    return s;
}

} // namespace testsupport
