#include "Killpoint.h"

#if defined(CV_TEST_KILL_POINTS) && CV_TEST_KILL_POINTS

#include "handles.h"

#include <atomic>
#include <cwchar>
#include <string>

namespace {

std::wstring environmentText(const wchar_t* name)
{
    wchar_t text[MAX_PATH + 1] = {};
    const DWORD got = ::GetEnvironmentVariableW(name, text, MAX_PATH);
    return got > 0 && got < MAX_PATH ? std::wstring(text, got) : std::wstring();
}

// The step number after which the process ends (CV_TEST_KILL_AFTER_STEP); 0: never.
long stepToKillAfter()
{
    static const long step = std::wcstol(environmentText(L"CV_TEST_KILL_AFTER_STEP").c_str(), nullptr, 10);
    return step;
}

// The names of the steps done, for the test that asks for them (CV_TEST_KILL_REPORT names the file).
void report(const std::wstring& steps)
{
    const std::wstring path = environmentText(L"CV_TEST_KILL_REPORT");
    if (path.empty()) {
        return;
    }
    handles::Kernel file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string text;
    for (const wchar_t c : steps) {
        text += static_cast<char>(c);
    }
    DWORD written = 0;
    ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::atomic<long> stepsDone{0};
std::wstring stepNames; // one update runs at a time

} // namespace

void Killpoint::after(const wchar_t* step)
{
    const long killAfter = stepToKillAfter();
    if (killAfter <= 0) {
        return;
    }
    stepNames += (stepNames.empty() ? L"" : L",") + std::wstring(step);
    // CV_TEST_KILL_SKIP names a step that is not counted (the blocks, whose number varies).
    static const std::wstring skipped = environmentText(L"CV_TEST_KILL_SKIP");
    if (skipped == step) {
        return;
    }
    if (++stepsDone == killAfter) {
        report(stepNames);
        ::TerminateProcess(::GetCurrentProcess(), KILLED_EXIT_CODE);
    }
}

#else

void Killpoint::after(const wchar_t*) {}

#endif
