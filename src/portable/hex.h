// hex: bytes as lower-case hex digits and back, as hashes stand in logs, pins and cvstamp's output.
// Portable code: no platform headers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace portable {

std::string toHex(const uint8_t* data, size_t size);
template <size_t N>
std::string toHex(const std::array<uint8_t, N>& bytes)
{
    return toHex(bytes.data(), N);
}

// Reads exactly out.size() * 2 hex digits (either case); false for any other text.
template <size_t N>
bool fromHex(std::string_view text, std::array<uint8_t, N>* out);

// The value of one hex digit (either case), -1 for any other character.
int hexDigit(char c);

template <size_t N>
bool fromHex(std::string_view text, std::array<uint8_t, N>* out)
{
    if (text.size() != 2 * N) {
        return false;
    }
    for (size_t i = 0; i < N; ++i) {
        const int high = hexDigit(text[2 * i]);
        const int low = hexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        (*out)[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
}

} // namespace portable
