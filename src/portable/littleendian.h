// littleendian: reading the little-endian fields of file formats (PE headers, certificate
// tables) from bytes, the one place both portable PE parsers take them from.
#pragma once

#include <cstdint>

namespace portable {

inline uint16_t readLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline uint32_t readLe32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

} // namespace portable
