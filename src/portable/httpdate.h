// httpdate: the date of an HTTP header (If-Modified-Since) from a moment in seconds since
// 1970-01-01 00:00:00 UTC, in the fixed English form "Tue, 05 Mar 2013 14:07:09 GMT", and the
// moment of a date a server sent (Date, Retry-After). Pure calendar arithmetic (proleptic
// Gregorian calendar), no platform calls. Portable code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace portable {

// The first and last moment that can be formatted: 1601-01-01 00:00:00 and 30828-09-14 02:48:05,
// the range of a Windows file time.
inline constexpr int64_t HTTP_DATE_FIRST = -11644473600LL;
inline constexpr int64_t HTTP_DATE_LAST = 910692730085LL;

// The formatted date; empty outside [HTTP_DATE_FIRST, HTTP_DATE_LAST].
std::wstring formatHttpDate(int64_t seconds);

// The moment of an HTTP date in any of the three forms a recipient must read:
// "Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT" (a two-digit year below 70
// is of the 2000s) and "Sun Nov  6 08:49:37 1994". Blanks around it are allowed, the weekday is
// not checked against the date. False for anything else, or a day the month does not have.
bool parseHttpDate(std::wstring_view text, int64_t* seconds);

} // namespace portable
