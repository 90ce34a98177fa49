// Loguser: capability base that gives an object the run's Logger. The pointer is not owned
// (the application object owns the one Logger of a run) and never changes.
#pragma once

#include "LogLevel.h"
#include "cAbstract.h"

#include <cstdint>
#include <string>

class Logger;

class Loguser : public virtual cAbstract {
public:
    explicit Loguser(Logger* logger);
    ~Loguser() override;

    void log(int32_t level, const std::wstring& functionName, const std::wstring& message) const;
    Logger* getLogger() const { return logger; }

protected:
    Logger* const logger;
};
