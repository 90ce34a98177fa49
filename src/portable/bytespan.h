// bytespan: a view of bytes someone else holds, as the portable parsers hand out what they find.
#pragma once

#include <cstddef>
#include <cstdint>

namespace portable {

struct ByteSpan {
    const uint8_t* data = nullptr;
    size_t size = 0;
    bool empty() const { return size == 0; }
};

} // namespace portable
