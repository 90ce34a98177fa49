// Logger: writes the installer's diagnostic log, one text file shared by every run of the
// installer and every thread of a run. Filters by level, opens each run with a header block,
// stamps lines with local date and time, aligns the function-name column, rotates the file past
// 1 MiB (five copies) and serialises writers in the process and across processes. The
// cross-process lock is waited for at most CROSS_PROCESS_WAIT_MS: a run that does not get it in
// that time (another process keeps it) writes that line and the rest of its log without waiting
// for it again (it takes the lock only when it is free at the first try), and
// says so once in the log.
// Exactly one exists per run; the application object creates and owns it.
#pragma once

#include "LogLevel.h"
#include "Threadsafeobject.h"

#include <cstdint>
#include <memory>
#include <string>

class Fileobject;

class Logger : public Threadsafeobject {
public:
    // The function names its log lines carry.
    static constexpr const wchar_t* FN_LOG = L"Logger::log";

    static constexpr uint64_t ROTATE_SIZE = 1048576;
    static constexpr int32_t ROTATED_COPIES = 5;
    static const wchar_t* const LOG_LEVEL_NAMES[6];
    static constexpr uint32_t CROSS_PROCESS_WAIT_MS = 10000;

    Logger(const std::wstring& folder, const std::wstring& filename, const std::wstring& instanceName);
    ~Logger() override;
    int32_t getClassKind() const override { return 0; }

    void log(int32_t level, const std::wstring& functionName, const std::wstring& message);

    std::wstring getLogFilePath() const;
    // Tests shorten the wait for the cross-process lock.
    void setCrossProcessWait(uint32_t milliseconds) { crossProcessWaitMs = milliseconds; }
    // 1 once this run has given up the cross-process lock.
    int32_t isWritingWithoutCrossProcessLock() const { return crossProcessLockAbandoned; }
    int32_t getNameColumnWidth() const { return nameColumnWidth; }

private:
    // The line as written: level, instance, local date and time, padded function name (the
    // column only grows), message, CR LF.
    std::wstring composeLine(int32_t callLevel, const std::wstring& functionName, const std::wstring& message);
    // Rotation and append of one line, under the cross-process lock unless this run gave it up.
    void writeLine(const std::wstring& line);
    void rotate();

    int32_t nameColumnWidth;
    int32_t active;
    int32_t headerWritten;
    int32_t level;
    std::wstring instanceName;
    std::unique_ptr<Fileobject> logFile;
    uint32_t crossProcessWaitMs = CROSS_PROCESS_WAIT_MS;
    int32_t crossProcessLockAbandoned = 0; // 1: lines are written without the cross-process lock
    int32_t abandonNoticeDue = 0;          // 1: the line saying so is still to be written
};
