// DER elements built by hand for the native tests: one tag, the definite length (short form, or
// long form with one or two bytes) and the contents. Enough for the certificates and signatures
// the tests build, including broken ones.
#pragma once

#include <cstdint>
#include <string>

namespace dertest {

inline std::string element(uint8_t tag, const std::string& contents)
{
    std::string out(1, static_cast<char>(tag));
    const size_t n = contents.size();
    if (n < 0x80) {
        out += static_cast<char>(n);
    } else if (n < 0x100) {
        out += '\x81';
        out += static_cast<char>(n);
    } else {
        out += '\x82';
        out += static_cast<char>(n >> 8);
        out += static_cast<char>(n & 0xFF);
    }
    return out + contents;
}

} // namespace dertest
