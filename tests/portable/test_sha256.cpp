// SHA-256 against published vectors, with and without the processor's SHA extensions, fed in one
// piece and in pieces of every size around the block and padding boundaries.
#include "hex.h"
#include "sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using portable::Sha256;

namespace {

std::string hex(const Sha256::Digest& d) { return portable::toHex(d); }

} // namespace

class Sha256Both : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { Sha256::useProcessorExtensions(GetParam()); }
    void TearDown() override { Sha256::useProcessorExtensions(true); }
};
INSTANTIATE_TEST_SUITE_P(ProcessorExtensions, Sha256Both, ::testing::Values(true, false));

TEST_P(Sha256Both, PublishedVectorsAndPiecewiseFeeding)
{
    EXPECT_EQ(hex(Sha256::of("", 0)), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex(Sha256::of("abc", 3)), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(hex(Sha256::of(two.data(), two.size())),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // One million "a", fed in pieces of changing size so that every buffering path runs.
    const std::string million(1000000, 'a');
    Sha256 h;
    size_t done = 0;
    for (size_t step = 1; done < million.size(); step = step * 3 % 1021 + 1) {
        const size_t take = std::min(step, million.size() - done);
        h.update(million.data() + done, take);
        done += take;
    }
    EXPECT_EQ(hex(h.finish()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // Lengths around the padding boundaries give the one-shot result when fed byte by byte.
    for (size_t n : {55u, 56u, 63u, 64u, 65u, 119u, 120u}) {
        const std::string s(n, 'x');
        Sha256 bytewise;
        for (char c : s) {
            bytewise.update(&c, 1);
        }
        EXPECT_EQ(hex(bytewise.finish()), hex(Sha256::of(s.data(), s.size()))) << n;
    }
}
