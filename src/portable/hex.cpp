#include "hex.h"

namespace portable {

std::string toHex(const uint8_t* data, size_t size)
{
    static const char DIGITS[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += DIGITS[data[i] >> 4];
        out += DIGITS[data[i] & 15];
    }
    return out;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace portable
