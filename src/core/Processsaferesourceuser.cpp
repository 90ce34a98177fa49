#include "Processsaferesourceuser.h"

#include "filepath.h"
#include "handles.h"
#include "textutil.h"

namespace {

// The three diagnostics are composed with the error code and go to the debugger only.
void traceFailure(const wchar_t* fmt, DWORD error) { ::OutputDebugStringW(textutil::format(fmt, error).c_str()); }

} // namespace

Processsaferesourceuser::Processsaferesourceuser() : mutexHeld(0), processSectionCount(0), processSectionOwner(0) {}

Processsaferesourceuser::~Processsaferesourceuser()
{
    if (mutexHeld == 1) {
        endProcesssaveSection();
    }
}

std::wstring Processsaferesourceuser::mutexName(const std::wstring& name, int32_t global)
{
    const std::wstring cleaned = withForwardSlashes(name);
    std::wstring result = global == 1 ? L"Global\\" : L"";
    const size_t length = cleaned.size();
    const size_t keep = length >= 260 ? 0 : 260 - length;
    result += cleaned.substr(0, keep < length ? keep : length);
    return result;
}

void Processsaferesourceuser::beginProcesssaveSection(const std::wstring& name, int32_t global)
{
    beginProcesssaveSection(name, global, NO_LIMIT);
}

bool Processsaferesourceuser::beginProcesssaveSection(const std::wstring& name, int32_t global, uint32_t limitMs)
{
    sectionlock::enter(processSectionCount, processSectionOwner);
    beginThreadsaveSection();

    // A nested entry of the owning thread joins the outer one: it holds the mutex already, or
    // went on without it (after its limit or a failed creation) and must not wait again here.
    bool withinLimit = true;
    if (mutexHeld == 0 && processSectionCount.load() == 1) {
        SECURITY_DESCRIPTOR descriptor;
        ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        ::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
        withinLimit = claimMutex(mutexName(name, global), attributes, limitMs);
    }

    endThreadsaveSection();
    return withinLimit;
}

bool Processsaferesourceuser::claimMutex(const std::wstring& mutex, SECURITY_ATTRIBUTES& attributes, uint32_t limitMs)
{
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        mutexHandle.reset(::CreateMutexW(&attributes, TRUE, mutex.c_str()));
        const DWORD error = ::GetLastError();
        if (!mutexHandle.valid()) {
            traceFailure(L"\nProcesssaferesourceuser::beginProcesssaveSection could not create handle to mutex "
                         L"(reason: %d)\n",
                         error);
            mutexHandle.release();
            return true;
        }
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED) {
            mutexHeld = 1;
            return true;
        }
        DWORD closeError = 0;
        if (!mutexHandle.reset(&closeError)) {
            traceFailure(L"\nProcesssaferesourceuser::beginProcesssaveSection could not close handle to mutex "
                         L"(reason: %d)\n",
                         closeError);
        }
        if (limitMs != NO_LIMIT && ::GetTickCount64() - start >= limitMs) {
            return false;
        }
        ::Sleep(1);
    }
}

bool Processsaferesourceuser::endProcesssaveSection()
{
    beginThreadsaveSection();
    bool result = false;
    if (processSectionCount.load() > 0) {
        if (sectionlock::leave(processSectionCount, processSectionOwner)) {
            result = true;
            if (mutexHeld == 1) {
                DWORD closeError = 0;
                if (mutexHandle.reset(&closeError)) {
                    mutexHeld = 0;
                } else {
                    traceFailure(L"\nProcesssaferesourceuser::endProcesssaveSection could not close handle to mutex "
                                 L"(reason: %d)\n",
                                 closeError);
                    result = false;
                }
            }
        }
    }
    endThreadsaveSection();
    return result;
}
