// Logger: writes the installer's diagnostic log, one text file shared by every run of the
// installer and every thread of a run. Filters by level, opens each run with a header block,
// stamps lines with local date and time, aligns the function-name column, rotates the file past
// 1 MiB (five copies) and serialises writers in the process and across processes.
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
    static constexpr uint64_t ROTATE_SIZE = 1048576;
    static constexpr int32_t ROTATED_COPIES = 5;
    static const wchar_t* const LOG_LEVEL_NAMES[6];

    Logger(const std::wstring& folder, const std::wstring& filename, const std::wstring& instanceName);
    ~Logger() override;
    int32_t getClassKind() const override { return 0; }

    void log(int32_t level, const std::wstring& functionName, const std::wstring& message);

    std::wstring getLogFilePath() const;
    int32_t getNameColumnWidth() const { return nameColumnWidth; }

private:
    void rotate();

    int32_t nameColumnWidth;
    int32_t active;
    int32_t headerWritten;
    int32_t level;
    std::wstring instanceName;
    std::unique_ptr<Fileobject> logFile;
};
