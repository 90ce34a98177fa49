// Bodydigest on its own thread against the digest of the whole file: a real program of the build,
// and programs built here (pebuilder) with and without a certificate table, fed in pieces of
// changing size across many batches; a body that is no program; a digest dropped unfinished (the
// thread ends); the scan for a deployment block's signer entry on the same thread, with the block
// straddling batches.
#include "Bodydigest.h"

#include "pebuilder.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t MIB = 1048576;

// A PE32 program of at least atLeast bytes: two sections, then body bytes.
pebuilder::Image program(size_t atLeast)
{
    pebuilder::Options o = pebuilder::programOptions();
    o.pe32plus = false;
    o.machine = pebuilder::MACHINE_I386;
    o.body = atLeast > 0x800 ? atLeast - 0x800 : 0;
    return pebuilder::build(o);
}

// The program with an 8-byte-aligned certificate table of junk behind it, named in its headers.
std::string withTable(pebuilder::Image image)
{
    image.appendCertificateTable(std::string(4096, 'T'));
    return image.bytes;
}

portable::Sha256::Digest fed(const std::string& data, bool* ok)
{
    Bodydigest digest;
    size_t done = 0;
    for (size_t k = 0; done < data.size(); ++k) {
        const size_t take = std::min(data.size() - done, static_cast<size_t>(4096 + (k % 7) * 1000));
        digest.update(reinterpret_cast<const uint8_t*>(data.data()) + done, take);
        done += take;
    }
    portable::Sha256::Digest out{};
    *ok = digest.finish(&out);
    return out;
}

} // namespace

TEST(Bodydigest, MatchesTheWholeFileDigest)
{
    for (const std::string& data : {testsupport::readBytes(testsupport::fixture(L"democlient.exe")), program(0).bytes,
                                    program(9 * MIB + 123).bytes, withTable(program(3 * MIB))}) {
        portable::Sha256::Digest expected{};
        const portable::Result r =
            portable::imageDigest(reinterpret_cast<const uint8_t*>(data.data()), data.size(), &expected);
        ASSERT_TRUE(r) << r.reason;
        bool ok = false;
        const auto got = fed(data, &ok);
        ASSERT_TRUE(ok);
        EXPECT_EQ(portable::toHex(got), portable::toHex(expected)) << data.size();
    }
}

TEST(Bodydigest, RefusesBodiesThatAreNoProgram)
{
    bool ok = true;
    fed(std::string(3 * MIB, 'x'), &ok);
    EXPECT_FALSE(ok);
    // A table reaching past the end of the body.
    std::string cut = withTable(program(2 * MIB));
    cut.resize(cut.size() - 100);
    fed(cut, &ok);
    EXPECT_FALSE(ok);
}

TEST(Bodydigest, ScansForTheBlocksSignerEntryOnTheWay)
{
    const std::string key(64, 'a');
    std::vector<portable::Sha256::Digest> pin;
    ASSERT_TRUE(portable::parseSignerPin(key, &pin));
    std::string data = program(2 * MIB - 40).bytes;
    const std::string marker = std::string("ADDED_SERVERPARAMETERS") + ":";
    for (const std::string& signer : {key, std::string(64, 'b')}) {
        std::string withBlock = data + marker + "ADDED_SERVERPARAMETER_SIGNER<" + signer + ">\r\n";
        Bodydigest digest;
        // Two pieces, split inside the marker.
        const size_t split = data.size() + 10;
        digest.update(reinterpret_cast<const uint8_t*>(withBlock.data()), split);
        digest.update(reinterpret_cast<const uint8_t*>(withBlock.data()) + split, withBlock.size() - split);
        portable::Sha256::Digest out{};
        digest.finish(&out);
        ASSERT_TRUE(digest.blockScan().hasBlock());
        const portable::Result narrows = digest.blockScan().narrows(pin);
        EXPECT_EQ(narrows.ok(), signer == key) << narrows.reason;
    }
    Bodydigest plain;
    plain.update(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    portable::Sha256::Digest out{};
    plain.finish(&out);
    EXPECT_FALSE(plain.blockScan().hasBlock());
}
