// Fuzz target: the HTTP date against the C library's gmtime_r and strftime in the C locale, for
// any 64-bit moment (the range ends give the empty text); a date with a four-digit year reads back
// as its moment, and the reader takes any text without harm.
#include "httpdate.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 8) {
        return 0;
    }
    int64_t seconds;
    std::memcpy(&seconds, data, sizeof seconds);
    int64_t read = 0;
    portable::parseHttpDate(std::wstring(data + 8, data + size), &read);
    // Half of the inputs fold into the formattable range, so that most runs compare dates.
    if (size > 8 && (data[8] & 1) != 0) {
        const uint64_t span = static_cast<uint64_t>(portable::HTTP_DATE_LAST - portable::HTTP_DATE_FIRST) + 1;
        seconds = portable::HTTP_DATE_FIRST + static_cast<int64_t>(static_cast<uint64_t>(seconds) % span);
    }
    const std::wstring formatted = portable::formatHttpDate(seconds);
    if (seconds < portable::HTTP_DATE_FIRST || seconds > portable::HTTP_DATE_LAST) {
        require(formatted.empty());
        return 0;
    }
    const time_t t = static_cast<time_t>(seconds);
    struct tm parts;
    require(gmtime_r(&t, &parts) != nullptr);
    char expected[128];
    const size_t n = std::strftime(expected, sizeof expected, "%a, %d %b %Y %H:%M:%S GMT", &parts);
    require(n > 0);
    require(formatted == std::wstring(expected, expected + n));
    if (seconds < 253402300800LL) { // years 1601 to 9999
        require(portable::parseHttpDate(formatted, &read) && read == seconds);
    }
    return 0;
}
