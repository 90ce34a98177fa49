// Workerthread and FPSkeeper: real threads, real message queues, the log file they write.
#include "FPSkeeper.h"
#include "Logger.h"
#include "Workerthread.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

using testsupport::TempDir;

namespace {

struct LogFile {
    TempDir dir{L"wt"};
    std::unique_ptr<Logger> logger{new Logger(dir.path(), L"wt.log", L"wttest")};

    std::vector<std::string> lines() const
    {
        return testsupport::splitLines(testsupport::readBytes(dir.file(L"wt.log")));
    }
    // Index of the first line at or after `from` with this level prefix and text; -1 if none.
    int find(const std::string& levelPrefix, const std::string& text, int from = 0) const
    {
        const auto all = lines();
        for (int i = from; i < static_cast<int>(all.size()); ++i) {
            if (all[i].rfind(levelPrefix, 0) == 0 && all[i].find(text) != std::string::npos) {
                return i;
            }
        }
        return -1;
    }
    int count(const std::string& text) const
    {
        int n = 0;
        for (const auto& l : lines()) {
            n += l.find(text) != std::string::npos ? 1 : 0;
        }
        return n;
    }
};

const std::string DEBUG = "debug   - ";
const std::string ERR = "ERROR   - ";

class PumpWorker : public Workerthread {
public:
    static constexpr const wchar_t* CLASS_NAME = L"PumpWorker";
    std::atomic<DWORD> initThread{0};
    std::atomic<int> deInits{0};
    std::atomic<int> idleCalls{0};
    std::atomic<int> initResult{1};

    bool init() override
    {
        initThread = ::GetCurrentThreadId();
        return initResult.load() == 1;
    }
    void deInit() override { deInits.fetch_add(1); }
    BOOL OnIdle(LONG count) override
    {
        idleCalls.fetch_add(1);
        return count < 2;
    }
};

class PacedWorker : public Workerthread {
public:
    static constexpr const wchar_t* CLASS_NAME = L"PacedWorker";
    static std::atomic<int> finalCode;
    std::atomic<int> frames{0};
    int runFrame() override { return ++frames >= 3 ? finalCode.load() : 0; }
};
std::atomic<int> PacedWorker::finalCode{3};

DWORD threadExitCode(Workerthread* t)
{
    DWORD code = 12345;
    ::GetExitCodeThread(t->getThreadHandle(), &code);
    return code;
}

} // namespace

TEST(Workerthread, MessagePumpStartAndDestroy)
{
    LogFile log;
    PumpWorker* t = Workerthread::create<PumpWorker>(log.logger.get(), 1);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->getState(), Workerthread::STATE_CREATED);
    ::Sleep(50);
    EXPECT_EQ(t->getState(), Workerthread::STATE_CREATED) << "the thread is created suspended";
    EXPECT_EQ(t->initThread.load(), 0u);

    t->waitUntilThreadIsRunning();
    EXPECT_GE(t->getState(), Workerthread::STATE_RUNNING);
    EXPECT_NE(t->initThread.load(), 0u);
    EXPECT_NE(t->initThread.load(), ::GetCurrentThreadId()) << "init runs on the worker thread";
    EXPECT_TRUE(testsupport::waitFor([&] { return t->idleCalls.load() >= 3; }, 5000)) << "idle hook is called";
    EXPECT_EQ(t->isRunning(), 1);

    t->destroy();
    EXPECT_EQ(t->getState(), Workerthread::STATE_ENDED);
    EXPECT_TRUE(t->hasEnded()) << "destroy returns only after the thread has ended";
    EXPECT_EQ(t->deInits.load(), 1);
    EXPECT_EQ(threadExitCode(t), 0u);
    EXPECT_FALSE(t->getAutoDelete()) << "the owner deletes the object";
    delete t;

    // Every line, in order, with the class-name prefix.
    int at = 0;
    for (const char* text :
         {"Workerthread::create", "PumpWorker - Creating Workerthread thread", "PumpWorker - Running as UIthread: 1",
          "PumpWorker - Starting FPSkeeper", "Desired framerate set to 25", "PumpWorker - Entering running state"}) {
        at = log.find(DEBUG, text, at);
        ASSERT_GE(at, 0) << text;
    }
    at = log.find(DEBUG, "PumpWorker - Waiting for the thread to be in manageable state");
    ASSERT_GE(at, 0);
    for (const char* text : {"PumpWorker - Sending stop message", "PumpWorker - Waiting for the thread to stop",
                             "PumpWorker - Entering shutdown state - Exit code is: 0",
                             "PumpWorker - Stopping FPSkeeper", "PumpWorker - Done"}) {
        at = log.find(DEBUG, text, at);
        ASSERT_GE(at, 0) << text;
    }
    EXPECT_GE(log.find(DEBUG, "FPSkeeper::setDesiredFPS"), 0);
    EXPECT_EQ(log.count("FPSkeeper - Desired"), 0) << "the pacer logs without the class prefix";
}

TEST(Workerthread, QuitMessageEndsLoopAndDestroyOnEndedThread)
{
    LogFile log;
    PumpWorker* t = Workerthread::create<PumpWorker>(log.logger.get(), 1);
    t->waitUntilThreadIsRunning();
    ASSERT_TRUE(::PostThreadMessageW(t->getThreadId(), WM_QUIT, 0, 0));
    ASSERT_TRUE(testsupport::waitFor([&] { return t->getState() == Workerthread::STATE_ENDED; }, 5000));
    EXPECT_EQ(t->isRunning(), 0);
    EXPECT_GE(log.find(DEBUG, "PumpWorker - Entering shutdown state - Exit code is: 0"), 0);
    EXPECT_EQ(log.find(ERR, "Exit code"), -1);

    t->destroy();
    EXPECT_TRUE(t->hasEnded());
    EXPECT_EQ(threadExitCode(t), 0u);
    EXPECT_EQ(t->deInits.load(), 1);
    const int stop = log.find(DEBUG, "PumpWorker - Sending stop message");
    const int wait = log.find(DEBUG, "PumpWorker - Waiting for the thread to stop", stop);
    const int done = log.find(DEBUG, "PumpWorker - Done", wait);
    EXPECT_TRUE(stop >= 0 && wait > stop && done > wait);
    delete t;
}

TEST(Workerthread, QuitTakenFromOwnersQueueWhileWaitingStopsWorker)
{
    LogFile log;
    ::PostQuitMessage(0); // lands in this (the owner's) queue
    PumpWorker* t = Workerthread::create<PumpWorker>(log.logger.get(), 1);
    t->waitUntilThreadIsRunning();
    ASSERT_TRUE(testsupport::waitFor([&] { return t->getState() == Workerthread::STATE_ENDED; }, 5000))
        << "the quit message taken by the owner's pump stops the worker";
    MSG msg;
    EXPECT_FALSE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "and never reaches the owner";
    t->destroy();
    delete t;
}

TEST(Workerthread, InitFailureSkipsLoopButRunsDeInit)
{
    LogFile log;
    PumpWorker* t = Workerthread::create<PumpWorker>(log.logger.get(), 1);
    t->initResult = 0;
    t->waitUntilThreadIsRunning();
    t->destroy();
    EXPECT_EQ(t->deInits.load(), 1);
    EXPECT_EQ(t->idleCalls.load(), 0) << "the loop is not entered";
    EXPECT_GE(log.find(DEBUG, "PumpWorker - Entering shutdown state - Exit code is: 0"), 0);
    delete t;
}

TEST(Workerthread, PacedModeExitCodes)
{
    {
        LogFile log;
        PacedWorker::finalCode = 3;
        const int64_t start = FPSkeeper::nowNanoseconds();
        PacedWorker* t = Workerthread::create<PacedWorker>(log.logger.get(), 0);
        EXPECT_GE(log.find(DEBUG, "PacedWorker - Running as UIthread: 0"), 0);
        t->waitUntilThreadIsRunning();
        ASSERT_TRUE(testsupport::waitFor([&] { return t->getState() == Workerthread::STATE_ENDED; }, 5000));
        const int64_t elapsedMs = (FPSkeeper::nowNanoseconds() - start) / 1000000;
        EXPECT_EQ(t->frames.load(), 3) << "the loop ends after the frame that returned non-zero";
        // Three paced frames: at least two slots of 40 ms were slept out.
        EXPECT_GE(elapsedMs, 70);
        t->destroy();
        EXPECT_EQ(threadExitCode(t), 3u);
        EXPECT_GE(log.find(ERR, "PacedWorker - Entering shutdown state - Exit code is: 3"), 0);
        delete t;
    }
    {
        LogFile log;
        PacedWorker::finalCode = -2;
        PacedWorker* t = Workerthread::create<PacedWorker>(log.logger.get(), 0);
        t->resumeThread();
        ASSERT_TRUE(testsupport::waitFor([&] { return t->getState() == Workerthread::STATE_ENDED; }, 5000));
        t->destroy();
        EXPECT_EQ(t->frames.load(), 3);
        EXPECT_GE(log.find(DEBUG, "PacedWorker - Entering shutdown state - Exit code is: -2"), 0);
        EXPECT_EQ(log.find(ERR, "Exit code"), -1);
        delete t;
    }
}

TEST(FPSkeeper, SleepArithmetic)
{
    constexpr int64_t MS = 1000000;
    EXPECT_EQ(FPSkeeper::sleepMilliseconds(0, 0, 25), 40);
    EXPECT_EQ(FPSkeeper::sleepMilliseconds(0, 10 * MS, 25), 30);
    EXPECT_EQ(FPSkeeper::sleepMilliseconds(5 * MS, 15 * MS + 1, 25), 29) << "integer division rounds down";
    EXPECT_EQ(FPSkeeper::sleepMilliseconds(0, 40 * MS, 25), 1) << "a full slot still sleeps 1 ms";
    EXPECT_EQ(FPSkeeper::sleepMilliseconds(0, 400 * MS, 25), 1) << "an overrun sleeps 1 ms";
    EXPECT_EQ(FPSkeeper::sleepMilliseconds(0, 39 * MS + 500000, 25), 1) << "half a millisecond left: 1 ms";
    EXPECT_EQ(FPSkeeper::sleepMilliseconds(0, 0, 1000), 1);
    EXPECT_EQ(FPSkeeper::sleepMilliseconds(0, 0, 0), 1) << "no rate set: no slot, no division by zero";
}

TEST(FPSkeeper, ClockAndWaitWithoutFrame)
{
    LogFile log;
    const int64_t now = FPSkeeper::nowNanoseconds();
    const int64_t unixNow = static_cast<int64_t>(std::time(nullptr)) * 1000000000LL;
    EXPECT_LT(now > unixNow ? now - unixNow : unixNow - now, 3000000000LL);

    FPSkeeper keeper(log.logger.get());
    keeper.setDesiredFPS(2); // a 500 ms slot
    EXPECT_GE(log.find(DEBUG, "Desired framerate set to 2"), 0);
    const ULONGLONG before = ::GetTickCount64();
    keeper.waitForNextFrame();
    EXPECT_LT(::GetTickCount64() - before, 200u) << "without beginFrame there is nothing to wait for";

    keeper.beginFrame();
    keeper.waitForNextFrame();
    EXPECT_GE(::GetTickCount64() - before, 400u) << "a frame that took nothing sleeps out its slot";
    const ULONGLONG second = ::GetTickCount64();
    keeper.waitForNextFrame();
    EXPECT_LT(::GetTickCount64() - second, 200u) << "the frame flag is cleared after a wait";
}
