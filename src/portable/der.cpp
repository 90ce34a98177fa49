#include "der.h"

#include <cstring>

namespace portable {

bool readTlv(const uint8_t* p, size_t avail, Tlv* out)
{
    if (avail < 2 || (p[0] & 0x1F) == 0x1F) {
        return false; // multi-byte tags do not occur in what is read here
    }
    size_t header = 2;
    size_t length = p[1];
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        if (count == 0 || count > 4 || avail < 2 + count) {
            return false; // indefinite length is not DER
        }
        length = 0;
        for (size_t i = 0; i < count; ++i) {
            length = (length << 8) | p[2 + i];
        }
        header += count;
    }
    if (length > avail - header) {
        return false;
    }
    out->tag = p[0];
    out->whole = {p, header + length};
    out->contents = {p + header, length};
    return true;
}

size_t derElementLength(const uint8_t* data, size_t size)
{
    Tlv t;
    return readTlv(data, size, &t) ? t.whole.size : 0;
}

bool sameBytes(ByteSpan a, ByteSpan b)
{
    return a.size == b.size && (a.size == 0 || std::memcmp(a.data, b.data, a.size) == 0);
}

} // namespace portable
