// Helpers shared by the unit tests: scratch folders, file contents, child processes, paths of
// the built programs. The tests run under Wine, so Unix paths of the build are reached via Z:.
#pragma once

#include "handles.h"

#include <windows.h>

#include <string>
#include <vector>

namespace testsupport {

// A fresh, empty scratch folder under the temp folder, removed with its contents by the destructor.
class TempDir {
public:
    explicit TempDir(const std::wstring& tag = L"t");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"/" + name; }

private:
    std::wstring path_;
};

void removeTree(const std::wstring& folder);
std::string readBytes(const std::wstring& path);
bool writeBytes(const std::wstring& path, const std::string& bytes);
bool fileExists(const std::wstring& path);
std::vector<std::string> splitLines(const std::string& text); // on "\r\n"

// A built program of the project: CV_setup.exe or a fixture.
std::wstring builtProgram(const std::wstring& name);
std::wstring fixture(const std::wstring& exeName);

struct RunResult {
    bool started = false;
    bool finished = false;
    DWORD exitCode = 0;
};
// Starts "exe" args in folder (or the exe's folder) with extra environment overrides
// ("NAME=value"; "NAME=" removes NAME) and waits up to timeoutMs.
RunResult runProgram(const std::wstring& exe, const std::wstring& args, DWORD timeoutMs,
                     const std::vector<std::wstring>& env = {});

// A started program that is killed by the destructor if it still runs.
class Child {
public:
    Child(const std::wstring& exe, const std::wstring& args, const std::vector<std::wstring>& env = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    bool started() const { return process_ != nullptr; }
    DWORD pid() const { return pid_; }
    HANDLE process() const { return process_; }
    bool wait(DWORD timeoutMs, DWORD* exitCode = nullptr);
    bool running() const;

private:
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
};

// Polls cond every 10 ms up to timeoutMs.
template <typename F>
bool waitFor(F cond, DWORD timeoutMs)
{
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (cond()) {
            return true;
        }
        if (::GetTickCount64() > end) {
            return false;
        }
        ::Sleep(10);
    }
}

std::wstring appDataFolder();
std::wstring widen(const std::string& s);
std::string narrow(const std::wstring& s);

} // namespace testsupport

// Closes a kernel handle a test got from the platform (through the one owner type that closes).
inline void closeHandle(HANDLE h) { handles::Kernel owner(h); }
