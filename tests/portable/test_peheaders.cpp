// The one walk of the PE headers, on synthetic files (tests/support/pebuilder): the layout the
// signature code needs, of PE32+ and PE32 files alike, and headers broken in each way an attacker
// or a cut download can break them, each refused with the header it misses.
#include "peheaders.h"

#include "signedprogram.h"

#include <gtest/gtest.h>

using namespace portable;
using namespace signedprogram;

TEST(PeLayout, FindsTheFieldsOfBothHeaderKinds)
{
    for (bool plus : {true, false}) {
        Image im = makePe(plus, 1000);
        im.appendCertificateTable(pebuilder::certificateEntry(signaturebuilder::signedData()));
        const PeLayout l = layoutOf(im.bytes);
        EXPECT_EQ(l.checksumOffset, im.optionalOffset + 64);
        EXPECT_EQ(l.securityEntryOffset, im.securityEntryOffset);
        EXPECT_EQ(l.certTableOffset, im.get32(im.securityEntryOffset));
        EXPECT_EQ(l.certTableOffset + l.certTableSize, im.size());
    }
}

TEST(PeLayout, RefusesBrokenHeaders)
{
    PeLayout l;
    const Image b = makePe(true, 100);
    const auto refused = [&l](const Image& im, size_t head = 0) {
        return !readPeLayout(im.data(), head != 0 ? head : im.size(), im.size(), &l).ok();
    };
    EXPECT_TRUE(refused(b, 0x3F));
    Image noMz = b;
    noMz.bytes[0] = 'X';
    EXPECT_TRUE(refused(noMz));
    Image farPe = b;
    farPe.put32(0x3C, 0xFFFFFFF0u); // offset arithmetic must not wrap
    EXPECT_TRUE(refused(farPe));
    Image badMagic = b;
    badMagic.put16(b.optionalOffset, 0x107);
    EXPECT_TRUE(refused(badMagic));
    Image fewDirectories = b;
    fewDirectories.put32(b.optionalOffset + 108, 4);
    EXPECT_TRUE(refused(fewDirectories));
    Image shortOptional = b;
    shortOptional.put16(b.peOffset + 20, 0xFFFF);
    EXPECT_TRUE(refused(shortOptional));
    Image outside = b;
    outside.pointCertificateTable(static_cast<uint32_t>(b.size() - 8), 16);
    EXPECT_TRUE(refused(outside));
    Image wrapping = b;
    wrapping.pointCertificateTable(0xFFFFFFF8u, 0x10);
    EXPECT_TRUE(refused(wrapping));
    Image inHeaders = b;
    inHeaders.pointCertificateTable(0x10, 0x10);
    EXPECT_TRUE(refused(inHeaders));
    // The reasons name the header that is missing.
    EXPECT_EQ(readPeLayout(noMz.data(), noMz.size(), noMz.size(), &l).reason, "no MZ header");
    EXPECT_EQ(readPeLayout(farPe.data(), farPe.size(), farPe.size(), &l).reason, "no PE header");
    EXPECT_EQ(readPeLayout(badMagic.data(), badMagic.size(), badMagic.size(), &l).reason, "no usable optional header");
    const Result r = readPeLayout(b.data(), b.size(), b.size(), &l);
    EXPECT_TRUE(r) << r.reason;
    EXPECT_FALSE(l.hasCertTable());
}
