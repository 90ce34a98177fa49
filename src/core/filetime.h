// filetime: the one place that converts the platform's FILETIME (100-ns units since 1601 UTC)
// to and from the installer's own time scales (seconds or nanoseconds since 1970 UTC).
#pragma once

#include <windows.h>

#include <cstdint>

namespace filetime {

constexpr int64_t UNITS_PER_SECOND = 10000000LL;
constexpr int64_t UNIX_EPOCH_UNITS = 116444736000000000LL; // 100-ns units from 1601 to 1970

inline uint64_t units(const FILETIME& ft)
{
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

inline FILETIME fromUnits(uint64_t value)
{
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return ft;
}

// Whole seconds since 1970 UTC (towards zero).
inline int64_t toUnixSeconds(const FILETIME& ft)
{
    return (static_cast<int64_t>(units(ft)) - UNIX_EPOCH_UNITS) / UNITS_PER_SECOND;
}

inline FILETIME fromUnixSeconds(int64_t seconds)
{
    return fromUnits(static_cast<uint64_t>(seconds * UNITS_PER_SECOND + UNIX_EPOCH_UNITS));
}

// Nanoseconds since 1970 UTC, modulo 2^64 as the platform's clock gives them.
inline uint64_t toUnixNanoseconds(const FILETIME& ft)
{
    return units(ft) * 100ULL - static_cast<uint64_t>(UNIX_EPOCH_UNITS) * 100ULL;
}

// A local broken-down time (milliseconds ignored) as whole seconds since 1970 UTC; daylight
// saving is decided by the platform's rules for the current time zone. The installer's one
// local-time conversion: the updater's newer test and the file times both use it.
inline bool localToUnixSeconds(const SYSTEMTIME& local, int64_t* out)
{
    SYSTEMTIME whole = local;
    whole.wMilliseconds = 0;
    SYSTEMTIME utc;
    FILETIME ft;
    if (!::TzSpecificLocalTimeToSystemTime(nullptr, &whole, &utc) || !::SystemTimeToFileTime(&utc, &ft)) {
        return false;
    }
    *out = toUnixSeconds(ft);
    return true;
}

// The system clock now, in nanoseconds since 1970 UTC.
inline uint64_t nowUnixNanoseconds()
{
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    return toUnixNanoseconds(ft);
}

} // namespace filetime
