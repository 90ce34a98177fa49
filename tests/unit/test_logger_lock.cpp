// The bounded wait for the cross-process lock of the log: a holder that never lets go (here a
// second object of this process holding the same named mutex, as another process would) costs a
// run one wait of the limit, after which the run writes without the lock and says so once.
#include "Fileobject.h"
#include "Logger.h"
#include "Processsaferesourceuser.h"
#include "logcapture.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class Lockable : public Processsaferesourceuser {
public:
    int32_t getClassKind() const override { return 0; }
};

ULONGLONG elapsedMs(ULONGLONG since) { return ::GetTickCount64() - since; }

} // namespace

TEST(CrossProcessLock, LimitedWaitGivesUpAndEntersWithoutTheMutex)
{
    testsupport::TempDir dir;
    const std::wstring name = dir.file(L"resource.log");
    Lockable first;
    Lockable second;

    // Free: the limited wait takes the mutex at once.
    EXPECT_TRUE(first.beginProcesssaveSection(name, 1, 200));
    EXPECT_EQ(first.isMutexHeld(), 1);

    // Held by another: false after the limit, entered without the mutex, left as usual.
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_FALSE(second.beginProcesssaveSection(name, 1, 200));
    const ULONGLONG waited = elapsedMs(start);
    EXPECT_GE(waited, 190u);
    EXPECT_LT(waited, 5000u);
    EXPECT_EQ(second.isMutexHeld(), 0);
    EXPECT_EQ(second.getProcessSectionCount(), 1);
    EXPECT_TRUE(second.endProcesssaveSection());
    EXPECT_EQ(second.getProcessSectionCount(), 0);

    // Released: the next limited wait gets it.
    EXPECT_TRUE(first.endProcesssaveSection());
    EXPECT_TRUE(second.beginProcesssaveSection(name, 1, 200));
    EXPECT_EQ(second.isMutexHeld(), 1);
    EXPECT_TRUE(second.endProcesssaveSection());
}

TEST(CrossProcessLock, LoggerWritesOnWithoutTheLockAndSaysSoOnce)
{
    logcapture::Capture log;
    Logger* logger = log.logger();
    logger->setCrossProcessWait(300);
    const std::wstring notice = L"Waited 300 ms in vain for the log lock " +
                                Processsaferesourceuser::mutexName(logger->getLogFilePath(), 1) +
                                L": this run writes its log without it";

    // Control: nobody holds the lock, nothing is said.
    logger->log(LOG_DEBUG, L"cTest::run", L"first");
    EXPECT_EQ(logger->isWritingWithoutCrossProcessLock(), 0);

    Lockable holder;
    holder.beginProcesssaveSection(logger->getLogFilePath(), 1);
    ASSERT_EQ(holder.isMutexHeld(), 1);

    ULONGLONG start = ::GetTickCount64();
    logger->log(LOG_DEBUG, L"cTest::run", L"second");
    const ULONGLONG firstWait = elapsedMs(start);
    start = ::GetTickCount64();
    logger->log(LOG_DEBUG, L"cTest::run", L"third");
    logger->log(LOG_DEBUG, L"cTest::run", L"fourth");
    const ULONGLONG laterWaits = elapsedMs(start);
    holder.endProcesssaveSection();
    logger->log(LOG_DEBUG, L"cTest::run", L"fifth");

    EXPECT_GE(firstWait, 290u);
    EXPECT_LT(firstWait, 5000u);
    EXPECT_LT(laterWaits, 290u) << "the rest of the run does not wait again";
    EXPECT_EQ(logger->isWritingWithoutCrossProcessLock(), 1);

    std::vector<std::wstring> messages;
    for (const auto& l : log.lines()) {
        if (l.level > 0) {
            messages.push_back(l.message);
        }
    }
    EXPECT_EQ(messages, (std::vector<std::wstring>{L"first", L"second", notice, L"third", L"fourth", L"fifth"}));
    const auto own = log.of(Logger::FN_LOG);
    ASSERT_FALSE(own.empty());
    EXPECT_EQ(own.back().level, 2);
    EXPECT_EQ(own.back().message, notice);
}

TEST(CrossProcessLock, HeldFromTheFirstLineTheNoticeFollowsTheHeader)
{
    logcapture::Capture log;
    Logger* logger = log.logger();
    logger->setCrossProcessWait(200);
    Lockable holder;
    holder.beginProcesssaveSection(logger->getLogFilePath(), 1);
    ASSERT_EQ(holder.isMutexHeld(), 1);

    const ULONGLONG start = ::GetTickCount64();
    logger->log(LOG_DEBUG, L"cTest::run", L"first");
    EXPECT_LT(elapsedMs(start), 5000u) << "one wait for the whole header block and line";
    holder.endProcesssaveSection();

    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 6u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(lines[i].level, 0) << i;
    }
    EXPECT_EQ(lines[4].message, L"first");
    EXPECT_EQ(lines[5].level, 2);
    EXPECT_EQ(lines[5].message.rfind(L"Waited 200 ms in vain for the log lock Global\\", 0), 0u);
}
