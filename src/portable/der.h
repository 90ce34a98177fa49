// der: the reading side of DER (the encoding of signatures and certificates) that the signature
// check and the stamper share: one element's tag, extent and contents, and a cursor over the
// elements inside a constructed one. Portable code: no platform headers. It never reads past the
// bytes it is given.
#pragma once

#include "bytespan.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace portable {

constexpr uint8_t TAG_INTEGER = 0x02;
constexpr uint8_t TAG_BIT_STRING = 0x03;
constexpr uint8_t TAG_OCTET_STRING = 0x04;
constexpr uint8_t TAG_NULL = 0x05;
constexpr uint8_t TAG_OID = 0x06;
constexpr uint8_t TAG_SEQUENCE = 0x30;
constexpr uint8_t TAG_SET = 0x31;
constexpr uint8_t TAG_CONTEXT0 = 0xA0;
constexpr uint8_t TAG_CONTEXT1 = 0xA1;

// PKCS#7 SignedData, the content type of every Authenticode signature.
constexpr uint8_t OID_SIGNED_DATA[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};

// One DER element: tag, the whole element and its contents.
struct Tlv {
    uint8_t tag = 0;
    ByteSpan whole;
    ByteSpan contents;
};

// Reads the element at p (single-byte tags, definite lengths of at most 4 bytes); false when it
// is none or does not fit in avail bytes.
bool readTlv(const uint8_t* p, size_t avail, Tlv* out);

// Total length (header and contents) of the DER element at data, 0 when it is not one that fits.
size_t derElementLength(const uint8_t* data, size_t size);

// The same bytes in both spans.
bool sameBytes(ByteSpan a, ByteSpan b);

// Walks the elements inside a constructed element's contents.
class DerCursor {
public:
    explicit DerCursor(ByteSpan span) : p(span.data), end(span.data + span.size) {}
    bool atEnd() const { return p == end; }
    bool peekTag(uint8_t tag) const { return p != end && *p == tag; }
    bool next(Tlv* out)
    {
        if (p == end || !readTlv(p, static_cast<size_t>(end - p), out)) {
            return false;
        }
        p += out->whole.size;
        return true;
    }
    bool expect(uint8_t tag, Tlv* out) { return next(out) && out->tag == tag; }

private:
    const uint8_t* p;
    const uint8_t* end;
};

template <size_t N>
bool isOid(const Tlv& t, const uint8_t (&oid)[N])
{
    return t.tag == TAG_OID && t.contents.size == N && std::memcmp(t.contents.data, oid, N) == 0;
}

} // namespace portable
