// decimal: the installer's one parser of decimal numbers in text (ports, Content-Length,
// deployment values). Portable code: no platform headers, built for Windows and for the host
// tools and native tests alike.
#pragma once

#include <cstdint>
#include <string_view>

namespace portable {

struct DecimalValue {
    bool negative = false;
    bool overflow = false; // more than 64 bits; value then holds the low 64 bits
    uint64_t value = 0;
};

// Leading blanks (space, tab, CR, LF, VT, FF) and one sign, then decimal digits up to the first
// other character. False when no digit follows.
bool parseDecimal(std::wstring_view text, DecimalValue* out);

// A TCP port as the updater reads it from the deployment block: the parsed number modulo 2^16
// (a negative number counts down from 65536), 0 for text without digits.
uint16_t parsePort(std::wstring_view text);

} // namespace portable
