#include "Loguser.h"

#include "Logger.h"

Loguser::Loguser(Logger* logger) : logger(logger) {}

Loguser::~Loguser() = default;

void Loguser::log(int32_t level, const std::wstring& functionName, const std::wstring& message) const
{
    if (logger != nullptr) {
        logger->log(level, functionName, message);
    }
}
