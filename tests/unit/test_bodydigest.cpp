// Bodydigest on its own thread against the digest of the whole file: a real program of the build
// (with a certificate table grafted on, and without), fed in pieces of changing size across
// many batches; a body that is no program; a digest dropped unfinished (the thread ends); the scan
// for a deployment block's signer entry on the same thread, with the block straddling batches.
#include "Bodydigest.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string program(size_t atLeast)
{
    std::string data = testsupport::readBytes(testsupport::fixture(L"democlient.exe"));
    data.resize(std::max(data.size(), atLeast), '\0');
    return data;
}

// The program with an 8-byte-aligned certificate table of junk behind it, named in its headers.
std::string withTable(std::string data)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    portable::PeLayout layout;
    EXPECT_TRUE(portable::readPeLayout(bytes, data.size(), data.size(), &layout, nullptr));
    data.resize((data.size() + 7) / 8 * 8, '\0');
    const uint32_t offset = static_cast<uint32_t>(data.size());
    const uint32_t size = 4096;
    data += std::string(size, 'T');
    std::memcpy(&data[layout.securityEntryOffset], &offset, 4);
    std::memcpy(&data[layout.securityEntryOffset + 4], &size, 4);
    return data;
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
    for (const std::string& data :
         {program(0), program(9 * Bodydigest::BATCH + 123), withTable(program(3 * Bodydigest::BATCH))}) {
        portable::Sha256::Digest expected{};
        std::string why;
        ASSERT_TRUE(portable::imageDigest(reinterpret_cast<const uint8_t*>(data.data()), data.size(), &expected, &why))
            << why;
        bool ok = false;
        const auto got = fed(data, &ok);
        ASSERT_TRUE(ok);
        EXPECT_EQ(portable::toHex(got), portable::toHex(expected)) << data.size();
    }
}

TEST(Bodydigest, RefusesBodiesThatAreNoProgramAndEndsUnfinished)
{
    bool ok = true;
    fed(std::string(3 * Bodydigest::BATCH, 'x'), &ok);
    EXPECT_FALSE(ok);
    // A table reaching past the end of the body.
    std::string cut = withTable(program(2 * Bodydigest::BATCH));
    cut.resize(cut.size() - 100);
    fed(cut, &ok);
    EXPECT_FALSE(ok);
    {
        Bodydigest dropped;
        const std::string data = program(6 * Bodydigest::BATCH);
        dropped.update(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    } // the destructor ends the thread without finish
    SUCCEED();
}

TEST(Bodydigest, ScansForTheBlocksSignerEntryOnTheWay)
{
    const std::string key(64, 'a');
    std::vector<portable::Sha256::Digest> pin;
    ASSERT_TRUE(portable::parseSignerPin(key, &pin));
    std::string data = program(2 * Bodydigest::BATCH - 40); // the block straddles two batches
    const std::string marker = std::string("ADDED_SERVERPARAMETERS") + ":";
    for (const std::string& signer : {key, std::string(64, 'b')}) {
        std::string withBlock = data + marker + "ADDED_SERVERPARAMETER_SIGNER<" + signer + ">\r\n";
        Bodydigest digest;
        digest.update(reinterpret_cast<const uint8_t*>(withBlock.data()), withBlock.size());
        portable::Sha256::Digest out{};
        digest.finish(&out);
        ASSERT_TRUE(digest.blockScan().hasBlock());
        std::string why;
        EXPECT_EQ(digest.blockScan().narrows(pin, &why), signer == key) << why;
    }
    Bodydigest plain;
    plain.update(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    portable::Sha256::Digest out{};
    plain.finish(&out);
    EXPECT_FALSE(plain.blockScan().hasBlock());
}
