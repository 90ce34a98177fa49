// httpdate: the date of an HTTP header (If-Modified-Since) from a moment in seconds since
// 1970-01-01 00:00:00 UTC, in the fixed English form "Tue, 05 Mar 2013 14:07:09 GMT". Pure
// calendar arithmetic (proleptic Gregorian calendar), no platform calls. Portable code.
#pragma once

#include <cstdint>
#include <string>

namespace portable {

// The first and last moment that can be formatted: 1601-01-01 00:00:00 and 30828-09-14 02:48:05,
// the range of a Windows file time.
inline constexpr int64_t HTTP_DATE_FIRST = -11644473600LL;
inline constexpr int64_t HTTP_DATE_LAST = 910692730085LL;

// The formatted date; empty outside [HTTP_DATE_FIRST, HTTP_DATE_LAST].
std::wstring formatHttpDate(int64_t seconds);

} // namespace portable
