// LogLevel: the names of the log levels, shared by the Logger and every class that logs through
// Loguser.
#pragma once

#include <cstdint>

// The log levels: a line is written when its level is at most the configured one (5). Level 0
// marks the header block only.
enum LogLevel : int32_t {
    LOG_OFF = 0,
    LOG_FATAL = 1,
    LOG_ERROR = 2,
    LOG_WARNING = 3,
    LOG_MESSAGE = 4,
    LOG_DEBUG = 5,
};
