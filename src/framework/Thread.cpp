#include "Thread.h"

#include <process.h>

namespace {
thread_local Thread* currentThread = nullptr;
} // namespace

Thread::Thread() : autoDelete(true) {}

Thread::~Thread() = default;

Thread* Thread::current() { return currentThread; }

bool Thread::createThread(DWORD flags, unsigned stackSize)
{
    if (threadHandle.valid()) {
        return false;
    }
    unsigned id = 0;
    const uintptr_t handle = ::_beginthreadex(nullptr, stackSize, &Thread::entry, this,
                                              static_cast<unsigned>(flags & CREATE_SUSPENDED), &id);
    if (handle == 0) {
        return false;
    }
    threadHandle.reset(reinterpret_cast<HANDLE>(handle));
    threadId = id;
    return true;
}

DWORD Thread::resumeThread()
{
    return threadHandle.valid() ? ::ResumeThread(threadHandle.get()) : static_cast<DWORD>(-1);
}

bool Thread::setThreadPriority(int priority)
{
    return threadHandle.valid() && ::SetThreadPriority(threadHandle.get(), priority) != FALSE;
}

bool Thread::hasEnded() const
{
    return !threadHandle.valid() || ::WaitForSingleObject(threadHandle.get(), 0) != WAIT_TIMEOUT;
}

BOOL Thread::InitInstance() { return TRUE; }

BOOL Thread::OnIdle(LONG) { return FALSE; }

int Thread::Run()
{
    MSG msg{};
    LONG idleCount = 0;
    bool idle = true;
    for (;;) {
        while (idle && !::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
            if (!OnIdle(idleCount++)) {
                idle = false;
            }
        }
        do {
            const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
            if (got == 0 || got == -1) {
                exitCode = got == 0 ? static_cast<int>(msg.wParam) : -1;
                return ExitInstance();
            }
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
            idle = true;
            idleCount = 0;
        } while (::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
    }
}

int Thread::ExitInstance() { return exitCode; }

unsigned __stdcall Thread::entry(void* parameter)
{
    Thread* self = static_cast<Thread*>(parameter);
    currentThread = self;
    int result = 1;
    try {
        result = self->InitInstance() ? self->Run() : self->ExitInstance();
    } catch (...) {
        // Nothing may leave a thread's entry; the thread ends with a failure code.
        result = 1;
    }
    currentThread = nullptr;
    if (self->autoDelete.load()) {
        // Auto-delete: the thread owns its object and ends its life here.
        delete self;
    }
    return static_cast<unsigned>(result);
}
