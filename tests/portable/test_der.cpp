// The DER reader on hand-made elements: short and long lengths, and every element it must refuse
// (indefinite or over-long lengths, multi-byte tags, contents or length bytes past the end); the
// cursor over a constructed element's contents; OIDs and spans compared byte for byte.
#include "der.h"

#include "signaturebuilder.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

using namespace portable;
using signaturebuilder::tlv;

namespace {

std::string b(std::initializer_list<int> bytes)
{
    std::string out;
    for (int v : bytes) {
        out.push_back(static_cast<char>(v));
    }
    return out;
}

// The length of the element at the start of bytes (0: refused); whole and contents must agree.
size_t elementLength(const std::string& bytes)
{
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    Tlv t;
    if (!readTlv(p, bytes.size(), &t)) {
        EXPECT_EQ(derElementLength(p, bytes.size()), 0u);
        return 0;
    }
    EXPECT_EQ(t.tag, p[0]);
    EXPECT_EQ(t.whole.data, p);
    EXPECT_EQ(t.contents.data + t.contents.size, t.whole.data + t.whole.size);
    EXPECT_EQ(derElementLength(p, bytes.size()), t.whole.size);
    return t.whole.size;
}

} // namespace

TEST(Der, ReadsDefiniteLengthsAndRefusesWhatIsNoDer)
{
    const std::string x300(300, 'x');
    const struct {
        const char* what;
        std::string bytes;
        size_t length;
    } cases[] = {
        {"empty contents", b({0x05, 0x00}), 2},
        {"short length", b({0x04, 0x03}) + "abc", 5},
        {"bytes behind the element", b({0x04, 0x01}) + "ab", 3},
        {"one length byte", b({0x04, 0x81, 0x03}) + "abc", 6},
        {"two length bytes", b({0x04, 0x82, 0x01, 0x2C}) + x300, 304},
        {"four length bytes", b({0x04, 0x84, 0x00, 0x00, 0x00, 0x01}) + "a", 7},
        {"one byte", b({0x04}), 0},
        {"contents cut", b({0x04, 0x04}) + "abc", 0},
        {"indefinite length", b({0x30, 0x80, 0x00, 0x00}), 0},
        {"five length bytes", b({0x04, 0x85, 0x00, 0x00, 0x00, 0x00, 0x01}) + "a", 0},
        {"length bytes cut", b({0x04, 0x82, 0x01}), 0},
        {"length past the end", b({0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xF0}) + x300, 0},
        {"multi-byte tag", b({0x1F, 0x01, 0x01}) + "a", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(elementLength(c.bytes), c.length) << c.what;
    }
}

TEST(Der, CursorWalksTheElementsOfAConstructedOne)
{
    // SEQUENCE { OID 1.2.840.113549.1.7.2, OCTET STRING "ab", [0] {} }.
    const std::string oid(reinterpret_cast<const char*>(OID_SIGNED_DATA), sizeof OID_SIGNED_DATA);
    const std::string seq = tlv(TAG_SEQUENCE, tlv(TAG_OID, oid) + tlv(TAG_OCTET_STRING, "ab") + tlv(TAG_CONTEXT0, ""));
    Tlv whole;
    ASSERT_TRUE(readTlv(reinterpret_cast<const uint8_t*>(seq.data()), seq.size(), &whole));
    EXPECT_EQ(whole.tag, TAG_SEQUENCE);
    DerCursor cursor(whole.contents);
    Tlv t;
    EXPECT_TRUE(cursor.peekTag(TAG_OID));
    ASSERT_TRUE(cursor.expect(TAG_OID, &t));
    EXPECT_TRUE(isOid(t, OID_SIGNED_DATA));
    const uint8_t other[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
    EXPECT_FALSE(isOid(t, other));
    EXPECT_FALSE(cursor.expect(TAG_SET, &t)) << "the octet string is no set";
    EXPECT_TRUE(sameBytes(t.contents, {reinterpret_cast<const uint8_t*>("ab"), 2}));
    EXPECT_FALSE(sameBytes(t.contents, {reinterpret_cast<const uint8_t*>("ac"), 2}));
    ASSERT_TRUE(cursor.expect(TAG_CONTEXT0, &t));
    EXPECT_EQ(t.contents.size, 0u);
    EXPECT_TRUE(cursor.atEnd());
    EXPECT_FALSE(cursor.next(&t));

    const std::string cut = b({0x04, 0x05}) + "ab";
    DerCursor broken({reinterpret_cast<const uint8_t*>(cut.data()), cut.size()});
    EXPECT_FALSE(broken.next(&t));
    EXPECT_FALSE(broken.atEnd()) << "a refused element is not stepped over";
}
