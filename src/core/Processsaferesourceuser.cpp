#include "Processsaferesourceuser.h"

#include "handles.h"
#include "textutil.h"

namespace {

bool usableHandle(HANDLE h) { return h != nullptr && reinterpret_cast<uintptr_t>(h) != handles::FREED_FILL; }

// The three diagnostics are composed with the error code and go to the debugger only.
void traceFailure(const wchar_t* fmt, DWORD error) { ::OutputDebugStringW(textutil::format(fmt, error).c_str()); }

} // namespace

Processsaferesourceuser::Processsaferesourceuser()
    : mutexHeld(0), mutexHandle(nullptr), processSectionCount(0), processSectionOwner(0)
{
}

Processsaferesourceuser::~Processsaferesourceuser()
{
    if (mutexHeld == 1) {
        endProcesssaveSection();
    }
}

std::wstring Processsaferesourceuser::mutexName(const std::wstring& name, int32_t global)
{
    std::wstring cleaned = name;
    for (auto& c : cleaned) {
        if (c == L'\\') {
            c = L'/';
        }
    }
    std::wstring result = global == 1 ? L"Global\\" : L"";
    const size_t length = cleaned.size();
    const size_t keep = length >= 260 ? 0 : 260 - length;
    result += cleaned.substr(0, keep < length ? keep : length);
    return result;
}

void Processsaferesourceuser::beginProcesssaveSection(const std::wstring& name, int32_t global)
{
    sectionlock::enter(processSectionCount, processSectionOwner);
    beginThreadsaveSection();

    const std::wstring mutex = mutexName(name, global);
    if (mutexHeld == 0) {
        SECURITY_DESCRIPTOR descriptor;
        ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        ::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
        for (;;) {
            mutexHandle = ::CreateMutexW(&attributes, TRUE, mutex.c_str());
            const DWORD error = ::GetLastError();
            if (!usableHandle(mutexHandle)) {
                traceFailure(L"\nProcesssaferesourceuser::beginProcesssaveSection could not create handle to mutex "
                             L"(reason: %d)\n",
                             error);
                mutexHandle = nullptr;
                break;
            }
            if (error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED) {
                mutexHeld = 1;
                break;
            }
            if (!handles::closeKernel(mutexHandle)) {
                traceFailure(L"\nProcesssaferesourceuser::beginProcesssaveSection could not close handle to mutex "
                             L"(reason: %d)\n",
                             ::GetLastError());
            }
            mutexHandle = nullptr;
            ::Sleep(1);
        }
    }

    endThreadsaveSection();
}

bool Processsaferesourceuser::endProcesssaveSection()
{
    beginThreadsaveSection();
    bool result = false;
    if (processSectionCount.load() > 0) {
        if (sectionlock::leave(processSectionCount, processSectionOwner)) {
            result = true;
            if (mutexHeld == 1) {
                if (handles::closeKernel(mutexHandle)) {
                    mutexHandle = nullptr;
                    mutexHeld = 0;
                } else {
                    traceFailure(L"\nProcesssaferesourceuser::endProcesssaveSection could not close handle to mutex "
                                 L"(reason: %d)\n",
                                 ::GetLastError());
                    result = false;
                }
            }
        }
    }
    endThreadsaveSection();
    return result;
}
