#include "Workerthread.h"

#include "FPSkeeper.h"

namespace {
constexpr UINT PUMP_LAST_MESSAGE = 0x8000;
} // namespace

Workerthread::Workerthread()
    : uiThread(0), logger(nullptr), queueCreated(0), running(0), state(STATE_CREATED), className(CLASS_NAME),
      initSucceeded(1)
{
}

// ExitInstance deletes the pacer; a thread that never ran leaves it unset.
Workerthread::~Workerthread() = default;

void Workerthread::logFor(Logger* logger, int32_t level, const std::wstring& message)
{
    if (logger != nullptr) {
        logger->log(level, FN_CREATE, message);
    }
}

void Workerthread::setUp(Logger* newLogger, int32_t newUiThread, const wchar_t* name)
{
    state.store(STATE_CREATED);
    logger = newLogger;
    uiThread = newUiThread;
    className = name;
    queueCreated.store(0);
    // The loop is to run from now on: a WM_QUIT that the owner's pumpMessages takes before the
    // thread reaches its loop then still stops it.
    running.store(1);
}

void Workerthread::logLine(int32_t level, const wchar_t* function, const std::wstring& message) const
{
    if (logger != nullptr) {
        logger->log(level, function, className + L" - " + message);
    }
}

void Workerthread::ensureQueue()
{
    if (queueCreated.load() == 0) {
        MSG msg;
        ::PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
        queueCreated.store(1);
    }
}

BOOL Workerthread::InitInstance()
{
    state.store(STATE_INITIALISING);
    logLine(LOG_DEBUG, FN_INIT_INSTANCE, L"Starting FPSkeeper");
    fpsKeeper = std::make_unique<FPSkeeper>(logger);
    fpsKeeper->setDesiredFPS(25);
    initSucceeded = init() ? 1 : 0;
    // The flag is shared with the owner's pumpMessages, which may have set it for the owner's
    // queue: the worker makes sure of its own queue regardless, so that a message posted to it
    // once it reports the running state is never lost.
    MSG msg;
    ::PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    queueCreated.store(1);
    state.store(STATE_INITIALISED);
    return TRUE;
}

int Workerthread::Run()
{
    if (initSucceeded == 0) {
        running.store(0);
    }
    int exit = 0;
    logLine(LOG_DEBUG, FN_RUN, L"Entering running state");
    state.store(STATE_RUNNING);
    bool idle = true;
    LONG idleCount = 0;

    while (running.load() == 1) {
        if (uiThread == 1) {
            while (idle && running.load() == 1) {
                MSG msg;
                if (::PeekMessageW(&msg, nullptr, 0, PUMP_LAST_MESSAGE, PM_NOREMOVE)) {
                    break;
                }
                if (!OnIdle(idleCount++)) {
                    idle = false;
                } else {
                    ::Sleep(1);
                }
            }
            if (pumpMessages()) {
                idle = true;
                idleCount = 0;
            } else {
                ::Sleep(1);
            }
        } else {
            fpsKeeper->beginFrame();
            pumpMessages();
            exit = runFrame();
            if (exit != 0) {
                running.store(0);
            }
            fpsKeeper->waitForNextFrame();
        }
    }

    logLine(exit > 0 ? LOG_ERROR : LOG_DEBUG, FN_RUN,
            textutil::format(L"Entering shutdown state - Exit code is: %i", exit));
    state.store(STATE_SHUTTING_DOWN);
    setAutoDelete(false);
    ExitInstance();
    state.store(STATE_ENDED);
    return exit;
}

bool Workerthread::pumpMessages()
{
    ensureQueue();
    MSG msg;
    if (!::PeekMessageW(&msg, nullptr, 0, PUMP_LAST_MESSAGE, PM_REMOVE)) {
        return false;
    }
    do {
        if (msg.message == WM_QUIT) {
            running.store(0);
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    } while (::PeekMessageW(&msg, nullptr, 0, PUMP_LAST_MESSAGE, PM_REMOVE));
    ::Sleep(1);
    return true;
}

int Workerthread::ExitInstance()
{
    deInit();
    logLine(LOG_DEBUG, FN_EXIT_INSTANCE, L"Stopping FPSkeeper");
    fpsKeeper.reset();
    return Thread::ExitInstance();
}

void Workerthread::waitUntilThreadIsRunning()
{
    logLine(LOG_DEBUG, FN_WAIT_UNTIL_THREAD_IS_RUNNING, L"Waiting for the thread to be in manageable state");
    do {
        resumeThread();
        pumpMessages();
        ::Sleep(1);
    } while (state.load() < STATE_RUNNING);
}

void Workerthread::destroy()
{
    waitUntilThreadIsRunning();
    logLine(LOG_DEBUG, FN_DESTROY, L"Sending stop message");
    if (state.load() == STATE_RUNNING) {
        running.store(0);
    }
    logLine(LOG_DEBUG, FN_DESTROY, L"Waiting for the thread to stop");
    while (state.load() != STATE_ENDED) {
        resumeThread();
        pumpMessages();
        ::Sleep(1);
    }
    while (!hasEnded()) {
        ::Sleep(1);
    }
    logLine(LOG_DEBUG, FN_DESTROY, L"Done");
}

bool Workerthread::init() { return true; }

void Workerthread::deInit() {}

int Workerthread::runFrame() { return 0; }
