// The image digest on synthetic files: its ranges leave out the checksum, the certificate table's
// directory entry and the table, for both header kinds; in memory, read through ReadAt in chunks
// that split every range, and streamed in pieces of any size, it is one digest.
#include "imagedigest.h"

#include "signedprogram.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace portable;
using namespace signedprogram;
using pebuilder::put32;
using signaturebuilder::signedData;

TEST(ImageDigest, RangesLeaveOutChecksumEntryAndTableOfBothHeaderKinds)
{
    for (bool plus : {true, false}) {
        const Image im = makePe(plus, 1000);
        const PeLayout l = layoutOf(withTable(im, pebuilder::certificateEntry(signedData())));
        const auto ranges = imageDigestRanges(l);
        ASSERT_EQ(ranges.size(), 3u);
        EXPECT_EQ(ranges[0].offset, 0u);
        EXPECT_EQ(ranges[0].length, im.optionalOffset + 64);
        EXPECT_EQ(ranges[1].offset, im.optionalOffset + 68);
        EXPECT_EQ(ranges[1].offset + ranges[1].length, im.securityEntryOffset);
        EXPECT_EQ(ranges[2].offset, im.securityEntryOffset + 8);
        EXPECT_EQ(ranges[2].offset + ranges[2].length, l.certTableOffset);
    }
    // Bytes behind a table that does not end the file are digested (the placement rules refuse
    // such a file, the digest does not decide that).
    const Bytes file = withTable(makePe(true, 1000), pebuilder::certificateEntry(signedData())) + Bytes(16, 'x');
    const auto ranges = imageDigestRanges(layoutOf(file));
    ASSERT_EQ(ranges.size(), 4u);
    EXPECT_EQ(ranges[3].offset, file.size() - 16);
    EXPECT_EQ(ranges[3].length, 16u);
}

TEST(ImageDigest, CoversEverythingButChecksumEntryAndTable)
{
    const Bytes b = makeSignedPe(true, 5000, signedData());
    const auto base = digestOf(b);
    const PeLayout l = layoutOf(b);

    // The expected digest, concatenated by hand.
    Bytes covered = b.substr(0, l.checksumOffset) +
                    b.substr(l.checksumOffset + 4, l.securityEntryOffset - l.checksumOffset - 4) +
                    b.substr(l.securityEntryOffset + 8, l.certTableOffset - l.securityEntryOffset - 8);
    EXPECT_EQ(hex(base), hex(Sha256::of(covered.data(), covered.size())));

    Bytes checksum = b;
    put32(checksum, l.checksumOffset, 0xCAFEBABE);
    EXPECT_EQ(hex(digestOf(checksum)), hex(base));
    Bytes table = b;
    table[l.certTableOffset + 20] ^= 0x40;
    EXPECT_EQ(hex(digestOf(table)), hex(base));
    Bytes code = b;
    code[2000] ^= 1;
    EXPECT_NE(hex(digestOf(code)), hex(base));
    Bytes header = b;
    header[l.checksumOffset - 1] ^= 1;
    EXPECT_NE(hex(digestOf(header)), hex(base));

    // The streaming form, with a chunk size that splits every range, gives the same digest.
    Sha256::Digest streamed{};
    ASSERT_TRUE(imageDigest(
        l,
        [&](uint64_t off, uint8_t* buf, size_t n) {
            if (off + n > b.size()) {
                return false;
            }
            std::memcpy(buf, b.data() + off, n);
            return true;
        },
        &streamed, 7));
    EXPECT_EQ(hex(streamed), hex(base));
    // A reader that fails ends the digest with a failure.
    EXPECT_FALSE(imageDigest(
        l, [](uint64_t, uint8_t*, size_t) { return false; }, &streamed, 7));
}

TEST(ImageDigestStream, GivesTheWholeFileDigestForAnyPieces)
{
    // Small (headers read at the end) and large (headers read after the first 64 KiB) files, with
    // and without a table; pieces of changing sizes, so that skipped fields straddle pieces.
    for (size_t body : {500u, 200000u}) {
        for (bool withTable : {false, true}) {
            const Bytes file = withTable ? makeSignedPe(true, body, signedData()) : makePe(false, body).bytes;
            const auto expected = digestOf(file);
            for (size_t step : {1u, 3u, 4096u, 70000u}) {
                ImageDigestStream stream;
                size_t done = 0;
                for (size_t k = 0; done < file.size(); ++k) {
                    const size_t take = std::min(file.size() - done, step + k % 5);
                    stream.update(u8(file) + done, take);
                    done += take;
                }
                Sha256::Digest d{};
                ASSERT_TRUE(stream.finish(&d)) << body << " " << step;
                EXPECT_EQ(hex(d), hex(expected)) << body << " " << withTable << " " << step;
            }
        }
    }
}

TEST(ImageDigestStream, RefusesWhatTheLayoutRefuses)
{
    // A table that reaches past the end only shows at the end of a large file.
    Bytes cut = makeSignedPe(true, 200000, signedData());
    cut.resize(cut.size() - 8);
    ImageDigestStream stream;
    stream.update(u8(cut), cut.size());
    Sha256::Digest d{};
    EXPECT_EQ(failure(stream.finish(&d)), "failed: the certificate table reaches past the end of the file");
    const Bytes letters(100000, 'x');
    ImageDigestStream noPe;
    noPe.update(u8(letters), letters.size());
    EXPECT_EQ(failure(noPe.finish(&d)), "failed: no MZ header");
    ImageDigestStream empty;
    EXPECT_FALSE(empty.finish(&d));
}
