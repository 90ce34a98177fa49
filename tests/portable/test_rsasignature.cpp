// The RSA signature check against keys and signatures made by openssl: real signatures pass,
// the public operation agrees with openssl's, and blocks an attacker builds with the private key
// (padding and DigestInfo variants, the forgeries aimed at lax parsers) are refused.
#include "rsasignature.h"

#include "hostscratch.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

using namespace portable;

namespace {

using Bytes = std::vector<uint8_t>;

ByteSpan span(const Bytes& b) { return {b.data(), b.size()}; }

struct Key {
    std::string name; // the private key's file in the scratch folder
    Bytes spki;
    size_t bytes = 0; // the modulus' length
};

// Keys made once for all tests (a 4096-bit key takes openssl a moment).
class RsaSignature : public ::testing::Test {
protected:
    static HostScratch* scratch;
    static std::map<std::string, Key>* keys;

    static void SetUpTestSuite()
    {
        scratch = new HostScratch("rsasignature-test");
        keys = new std::map<std::string, Key>;
        const struct {
            const char* name;
            int bits;
            int exponent;
        } made[] = {{"r1024", 1024, 65537},
                    {"r2048e3", 2048, 3},
                    {"r3072", 3072, 65537},
                    {"r4096", 4096, 65537},
                    {"r512", 512, 65537}};
        for (const auto& m : made) {
            const std::string n = m.name;
            if (scratch->run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" + std::to_string(m.bits) +
                             " -pkeyopt rsa_keygen_pubexp:" + std::to_string(m.exponent) + " -out " + n +
                             ".pem && openssl pkey -in " + n + ".pem -pubout -outform DER -out " + n + ".der")) {
                (*keys)[n] = Key{n + ".pem", scratch->read(n + ".der"), static_cast<size_t>(m.bits / 8)};
            }
        }
        if (scratch->run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ec.pem && openssl pkey "
                         "-in ec.pem -pubout -outform DER -out ec.der")) {
            (*keys)["ec"] = Key{"ec.pem", scratch->read("ec.der"), 0};
        }
    }
    static void TearDownTestSuite()
    {
        delete keys;
        delete scratch;
    }

    static const Key& key(const std::string& name)
    {
        const auto it = keys->find(name);
        if (it == keys->end()) {
            ADD_FAILURE() << "openssl made no key " << name;
            static const Key none;
            return none;
        }
        return it->second;
    }

    // openssl's PKCS #1 v1.5 signature of digest (the DigestInfo made by openssl).
    static Bytes sign(const Key& k, const Sha256::Digest& digest)
    {
        scratch->write("d.bin", Bytes(digest.begin(), digest.end()));
        EXPECT_TRUE(
            scratch->run("openssl pkeyutl -sign -inkey " + k.name + " -pkeyopt digest:sha256 -in d.bin -out s.bin"));
        return scratch->read("s.bin");
    }
    // The private-key operation on a block of the modulus' length, with no padding: what an
    // attacker holding the key (or a lax signer) can make of any block.
    static Bytes signRaw(const Key& k, const Bytes& block)
    {
        scratch->write("b.bin", block);
        EXPECT_TRUE(scratch->run("openssl pkeyutl -decrypt -inkey " + k.name +
                                 " -pkeyopt rsa_padding_mode:none -in b.bin -out s.bin"));
        return scratch->read("s.bin");
    }
    // The public-key operation by openssl.
    static Bytes recoverRaw(const Key& k, const Bytes& signature)
    {
        scratch->write("v.bin", signature);
        EXPECT_TRUE(scratch->run("openssl pkeyutl -verifyrecover -inkey " + k.name +
                                 " -pkeyopt rsa_padding_mode:none -in v.bin -out r.bin"));
        return scratch->read("r.bin");
    }
};

HostScratch* RsaSignature::scratch = nullptr;
std::map<std::string, Key>* RsaSignature::keys = nullptr;

const Bytes DIGEST_INFO = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                           0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};

Sha256::Digest digestOf(const std::string& text) { return Sha256::of(text.data(), text.size()); }

// 00 01 FF.. 00 || info || digest || trailer, filled to k bytes with FF in the padding.
Bytes block(size_t k, const Bytes& info, const Sha256::Digest& digest, const Bytes& trailer = {}, uint8_t type = 0x01)
{
    Bytes tail = info;
    tail.insert(tail.end(), digest.begin(), digest.end());
    tail.insert(tail.end(), trailer.begin(), trailer.end());
    Bytes out(k, 0xFF);
    out[0] = 0x00;
    out[1] = type;
    out[k - tail.size() - 1] = 0x00;
    std::copy(tail.begin(), tail.end(), out.end() - static_cast<std::ptrdiff_t>(tail.size()));
    return out;
}

} // namespace

TEST_F(RsaSignature, OpensslSignaturesPassAndAnyChangeFails)
{
    const Sha256::Digest digest = digestOf("signed attributes");
    for (const char* name : {"r1024", "r2048e3", "r3072", "r4096"}) {
        SCOPED_TRACE(name);
        const Key& k = key(name);
        const Bytes signature = sign(k, digest);
        ASSERT_EQ(signature.size(), k.bytes);
        EXPECT_TRUE(verifyRsaSha256(span(k.spki), span(signature), digest).ok());
        EXPECT_EQ(verifyRsaSha256(span(k.spki), span(signature), digestOf("other attributes")).code, RSA_SIGNATURE_BAD);
        for (size_t at : {size_t{0}, k.bytes / 2, k.bytes - 1}) {
            Bytes changed = signature;
            changed[at] ^= 0x01;
            EXPECT_EQ(verifyRsaSha256(span(k.spki), span(changed), digest).code, RSA_SIGNATURE_BAD) << at;
        }
        // Another key's signature of the same digest.
        const Bytes foreign = sign(key(std::string(name) == "r3072" ? "r4096" : "r3072"), digest);
        EXPECT_EQ(verifyRsaSha256(span(k.spki), span(foreign), digest).code, RSA_SIGNATURE_BAD);
    }
}

TEST_F(RsaSignature, PublicOperationAgreesWithOpenssl)
{
    std::mt19937 random(7);
    for (const char* name : {"r1024", "r2048e3", "r4096"}) {
        SCOPED_TRACE(name);
        const Key& k = key(name);
        RsaPublicKey pub;
        ASSERT_TRUE(readRsaPublicKey(span(k.spki), &pub).ok());
        Bytes n(pub.modulus.data, pub.modulus.data + pub.modulus.size);
        Bytes nMinusOne = n;
        nMinusOne.back() ^= 0x01; // the modulus is odd
        Bytes two(k.bytes, 0);
        two.back() = 2;
        Bytes randomValue(k.bytes);
        for (uint8_t& b : randomValue) {
            b = static_cast<uint8_t>(random());
        }
        randomValue[0] = 0x00;
        for (const Bytes& s : {two, nMinusOne, randomValue}) {
            Bytes ours;
            ASSERT_TRUE(rsaPublicOperation(pub, span(s), &ours));
            EXPECT_EQ(ours, recoverRaw(k, s));
        }
        // Not below the modulus, or not of its length: no result at all.
        Bytes ours;
        EXPECT_FALSE(rsaPublicOperation(pub, span(n), &ours));
        EXPECT_FALSE(rsaPublicOperation(pub, span(Bytes(k.bytes, 0xFF)), &ours));
        EXPECT_FALSE(rsaPublicOperation(pub, span(Bytes(randomValue.begin() + 1, randomValue.end())), &ours));
        Bytes longer = randomValue;
        longer.insert(longer.begin(), 0x00);
        EXPECT_FALSE(rsaPublicOperation(pub, span(longer), &ours));
    }
}

// Blocks signed with the private key that a parser of the decoded block could be fooled by; only
// the exact encoding passes. The control (the exact block, signed raw) shows the route works.
TEST_F(RsaSignature, CraftedBlocksAreRefused)
{
    const Sha256::Digest digest = digestOf("signed attributes");
    Bytes noNull = {0x30, 0x2F, 0x30, 0x0B, 0x06, 0x09, 0x60, 0x86, 0x48,
                    0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x04, 0x20};
    Bytes longLength = DIGEST_INFO; // the OCTET STRING's length in long form
    longLength.back() = 0x81;
    longLength.push_back(0x20);
    longLength[1] = 0x32;
    Bytes sha1Info = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
    for (const char* name : {"r2048e3", "r3072"}) {
        SCOPED_TRACE(name);
        const Key& k = key(name);
        const size_t n = k.bytes;
        const Bytes exact = block(n, DIGEST_INFO, digest);
        EXPECT_TRUE(verifyRsaSha256(span(k.spki), span(signRaw(k, exact)), digest).ok()) << "control";

        Bytes shortPadding = exact; // fewer FF, garbage after the digest (the e = 3 forgery's shape)
        const Bytes garbage(40, 0x5A);
        shortPadding = block(n, DIGEST_INFO, digest, garbage);
        Bytes notFf = exact;
        notFf[5] = 0xFE;
        Bytes leadingByte = exact;
        leadingByte[0] = 0x01;
        Bytes shortPs(n, 0x00); // a padding of fewer than eight FF, the rest zeros in front
        {
            const Bytes b = block(2 + 7 + 1 + DIGEST_INFO.size() + 32, DIGEST_INFO, digest);
            std::copy(b.begin(), b.end(), shortPs.end() - static_cast<std::ptrdiff_t>(b.size()));
        }
        Sha256::Digest sha1Like{};
        const struct {
            const char* what;
            Bytes block;
        } cases[] = {
            {"garbage after the digest", shortPadding},
            {"DigestInfo without NULL parameters", block(n, noNull, digest)},
            {"DigestInfo length in long form", block(n, longLength, digest)},
            {"block type 2", block(n, DIGEST_INFO, digest, {}, 0x02)},
            {"a padding byte not FF", notFf},
            {"first byte not zero", leadingByte},
            {"padding shorter than the key", shortPs},
            {"another digest", block(n, DIGEST_INFO, digestOf("other"))},
            {"a SHA-1 DigestInfo",
             [&] {
                 Bytes b = block(n, sha1Info, sha1Like);
                 return b;
             }()},
        };
        for (const auto& c : cases) {
            const Bytes signature = signRaw(k, c.block);
            ASSERT_EQ(signature.size(), n) << c.what;
            EXPECT_EQ(verifyRsaSha256(span(k.spki), span(signature), digest).code, RSA_SIGNATURE_BAD) << c.what;
        }
        // Values whose power is known without the key.
        Bytes zero(n, 0x00), one(n, 0x00);
        one.back() = 1;
        EXPECT_EQ(verifyRsaSha256(span(k.spki), span(zero), digest).code, RSA_SIGNATURE_BAD);
        EXPECT_EQ(verifyRsaSha256(span(k.spki), span(one), digest).code, RSA_SIGNATURE_BAD);
    }
}

// Keys this check leaves to the platform, and keys that do not read.
TEST_F(RsaSignature, KeysNotTakenAreLeftToTheCaller)
{
    const Sha256::Digest digest = digestOf("signed attributes");
    const Key& small = key("r512");
    EXPECT_EQ(verifyRsaSha256(span(small.spki), span(sign(small, digest)), digest).code, RSA_KEY_NOT_TAKEN);
    EXPECT_EQ(verifyRsaSha256(span(key("ec").spki), span(Bytes(64, 1)), digest).code, RSA_KEY_NOT_TAKEN);

    const Bytes good = key("r2048e3").spki;
    RsaPublicKey pub;
    ASSERT_TRUE(readRsaPublicKey(span(good), &pub).ok());
    EXPECT_EQ(pub.exponent, 3u);
    EXPECT_EQ(pub.modulus.size, 256u);
    Bytes truncated(good.begin(), good.end() - 1);
    Bytes trailing = good;
    trailing.push_back(0x00);
    Bytes otherOid = good; // rsaEncryption's last arc changed (1.2.840.113549.1.1.1 -> .1.1.10, PSS)
    for (size_t i = 0; i + 9 <= otherOid.size(); ++i) {
        if (otherOid[i] == 0x2A && otherOid[i + 8] == 0x01 && otherOid[i + 7] == 0x01) {
            otherOid[i + 8] = 0x0A;
            break;
        }
    }
    for (const Bytes& spki : {truncated, trailing, otherOid, Bytes{}}) {
        EXPECT_EQ(verifyRsaSha256(span(spki), span(Bytes(256, 1)), digest).code, RSA_KEY_NOT_TAKEN);
    }
}
