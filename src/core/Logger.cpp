#include "Logger.h"

#include "Fileobject.h"
#include "textutil.h"

#include <windows.h>

const wchar_t* const Logger::LOG_LEVEL_NAMES[6] = {L"off     - ", L"FATAL   - ", L"ERROR   - ",
                                                   L"WARNING - ", L"message - ", L"debug   - "};

namespace {
// Debug-heap fill of memory that was never initialised.
constexpr uintptr_t UNINITIALISED_FILL = 0xCDCDCDCD;
} // namespace

Logger::Logger(const std::wstring& folder, const std::wstring& filename, const std::wstring& instanceName)
    : nameColumnWidth(4), active(0), headerWritten(0), level(LOG_DEBUG), instanceName(instanceName),
      logFile(std::make_unique<Fileobject>(folder, filename))
{
    active = 1;
}

Logger::~Logger()
{
    active = 0;
    logFile.reset();
}

std::wstring Logger::getLogFilePath() const { return logFile != nullptr ? logFile->getFullPath() : std::wstring(); }

void Logger::log(int32_t callLevel, const std::wstring& functionName, const std::wstring& message)
{
    if (active != 1) {
        return;
    }
    beginThreadsaveSection();
    if (callLevel <= level && level > 0 && callLevel >= LOG_OFF && callLevel <= LOG_DEBUG) {
        if (headerWritten == 0) {
            headerWritten = 1;
            log(LOG_OFF, FN_LOG, L"====================");
            log(LOG_OFF, FN_LOG, textutil::format(L"Logging started for: %ls", instanceName.c_str()));
            log(LOG_OFF, FN_LOG,
                textutil::format(L"      with loglevel: %d - %ls", level,
                                 LOG_LEVEL_NAMES[level < 0 || level > 5 ? 0 : level]));
            log(LOG_OFF, FN_LOG, L"--------------------");
        }

        const std::wstring line = composeLine(callLevel, functionName, message);
        if (logFile != nullptr && reinterpret_cast<uintptr_t>(logFile.get()) != UNINITIALISED_FILL) {
            writeLine(line);
        }
        // Once per run, after the line that waited in vain (and after a header block it opened).
        if (abandonNoticeDue == 1 && sectionCount.load() == 1) {
            abandonNoticeDue = 0;
            log(LOG_ERROR, FN_LOG,
                textutil::format(L"Waited %u ms in vain for the log lock %ls: this run writes its log without it",
                                 crossProcessWaitMs,
                                 Processsaferesourceuser::mutexName(logFile->getFullPath(), 1).c_str()));
        }
    }
    endThreadsaveSection();
}

std::wstring Logger::composeLine(int32_t callLevel, const std::wstring& functionName, const std::wstring& message)
{
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    const std::wstring date = textutil::format(L"%02u.%02u.%04u", now.wDay, now.wMonth, now.wYear);
    const std::wstring time =
        textutil::format(L"%02u:%02u:%02u.%03u", now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);

    std::wstring name = functionName;
    if (static_cast<int64_t>(name.size()) >= static_cast<int64_t>(nameColumnWidth) - 4) {
        nameColumnWidth = static_cast<int32_t>(name.size()) + 4;
    }
    if (name.size() < static_cast<size_t>(nameColumnWidth)) {
        name.append(static_cast<size_t>(nameColumnWidth) - name.size(), L' ');
    }

    std::wstring line;
    line.reserve(64 + name.size() + message.size());
    line += LOG_LEVEL_NAMES[callLevel];
    line += instanceName;
    line += L'\t';
    line += date;
    line += L'\t';
    line += time;
    line += L"\t\t";
    line += name;
    line += message;
    line += L"\r\n";
    return line;
}

void Logger::writeLine(const std::wstring& line)
{
    // Once given up, the lock is only taken when it is free at the first try: no more waiting.
    const uint32_t limit = crossProcessLockAbandoned == 1 ? 0 : crossProcessWaitMs;
    if (!logFile->beginProcesssaveSection(logFile->getFullPath(), 1, limit) && crossProcessLockAbandoned == 0) {
        // Another process keeps the lock: this line and the rest of the run go without it.
        crossProcessLockAbandoned = 1;
        abandonNoticeDue = 1;
    }
    rotate();
    logFile->appendToFile(line);
    logFile->endProcesssaveSection();
}

void Logger::rotate()
{
    const std::wstring full = logFile->getFullPath();
    if (!pathExists(full)) {
        logFile->createFile();
        return;
    }
    if (logFile->getFilesize() <= ROTATE_SIZE) {
        return;
    }
    for (int i = ROTATED_COPIES - 1; i > 0; --i) {
        const std::wstring from = full + textutil::format(L".last.%d.log", i - 1);
        const std::wstring to = full + textutil::format(L".last.%d.log", i);
        ::CopyFileW(from.c_str(), to.c_str(), FALSE);
    }
    ::CopyFileW(full.c_str(), (full + L".last.0.log").c_str(), FALSE);
    logFile->deleteFile();
    logFile->createFile();
}
