// Workerthread: a thread with a run loop of its own that another thread starts, watches and
// stops. The owner creates it suspended with create<T>, waits with waitUntilThreadIsRunning until
// the loop runs, and stops it with destroy, which returns only after the thread has ended; then
// the owner deletes the object (the thread never deletes itself). Subclasses put their work into
// init (before the loop), deInit (after it) and runFrame (once per frame in paced mode), all run
// on the thread. In message-pump mode the loop serves the thread's message queue and the idle
// hook; in paced mode it calls runFrame at 25 frames per second. Each subclass names itself in a
// static CLASS_NAME, which prefixes the thread's log lines.
#pragma once

#include "Logger.h"
#include "Thread.h"
#include "Threadsafeobject.h"
#include "textutil.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

class FPSkeeper;

class Workerthread : public Thread, public Threadsafeobject {
public:
    // The function names its log lines carry.
    static constexpr const wchar_t* FN_CREATE = L"Workerthread::create";
    static constexpr const wchar_t* FN_DESTROY = L"Workerthread::destroy";
    static constexpr const wchar_t* FN_EXIT_INSTANCE = L"Workerthread::ExitInstance";
    static constexpr const wchar_t* FN_INIT_INSTANCE = L"Workerthread::InitInstance";
    static constexpr const wchar_t* FN_RUN = L"Workerthread::Run";
    static constexpr const wchar_t* FN_WAIT_UNTIL_THREAD_IS_RUNNING = L"Workerthread::waitUntilThreadIsRunning";

    static constexpr const wchar_t* CLASS_NAME = L"Workerthread";

    // Lifecycle states, compared by the owner.
    static constexpr int32_t STATE_CREATED = 1;
    static constexpr int32_t STATE_INITIALISING = 2;
    static constexpr int32_t STATE_INITIALISED = 3;
    static constexpr int32_t STATE_RUNNING = 4;
    static constexpr int32_t STATE_SHUTTING_DOWN = 5;
    static constexpr int32_t STATE_ENDED = 6;

    Workerthread();
    ~Workerthread() override;
    int32_t getClassKind() const override { return 0; }

    // Creates an object of T and its thread, suspended, in message-pump mode (uiThread 1) or paced
    // mode (0). A thread that cannot be created ends the process with exit code 1.
    template <typename T>
    static T* create(Logger* logger, int32_t uiThread)
    {
        // The derivation is checked when the program is built, so the run-time failure of
        // "is not derieved from Workerthread!" cannot occur.
        static_assert(std::is_base_of_v<Workerthread, T>, "Workerthread::create: T must derive from Workerthread");
        const std::wstring name = T::CLASS_NAME;
        logFor(logger, LOG_DEBUG, name + L" - Creating Workerthread thread");
        T* thread = Thread::beginThread<T>(THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
        if (thread == nullptr) {
            logFor(logger, LOG_FATAL, name + L" - Unable to create controlling thread!");
            ::ExitProcess(1);
        }
        logFor(logger, LOG_DEBUG, name + textutil::format(L" - Running as UIthread: %i", uiThread));
        thread->setUp(logger, uiThread, T::CLASS_NAME);
        return thread;
    }

    void waitUntilThreadIsRunning();
    void destroy();
    // Serves the calling thread's queue (messages 0 to 0x8000); a WM_QUIT stops this object's loop.
    bool pumpMessages();

    int32_t getState() const { return state.load(); }
    int32_t isRunning() const { return running.load(); }
    int32_t isUIthread() const { return uiThread; }
    const std::wstring& getClassName() const { return className; }

    BOOL InitInstance() override;
    int Run() override;
    int ExitInstance() override;

    virtual bool init();
    virtual void deInit();
    virtual int runFrame();

protected:
    // A log line of this thread: class name, " - ", message.
    void logLine(int32_t level, const wchar_t* function, const std::wstring& message) const;

    int32_t uiThread;
    Logger* logger;
    std::unique_ptr<FPSkeeper> fpsKeeper;
    std::atomic<int32_t> queueCreated;
    std::atomic<int32_t> running;
    std::atomic<int32_t> state;
    std::wstring className;

private:
    void setUp(Logger* logger, int32_t uiThread, const wchar_t* name);
    void ensureQueue();
    static void logFor(Logger* logger, int32_t level, const std::wstring& message);

    int32_t initSucceeded;
};
