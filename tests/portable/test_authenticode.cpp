// The portable signature code on synthetic PE files and signatures built here byte by byte:
// SHA-256 against published vectors, the PE layout and the digest's ranges, the certificate
// table, the DER reading of a SignedData, growing the last certificate entry, the checksum and
// the publisher pin. (Real signatures made by osslsigncode are checked end to end in tests/e2e.)
#include "authenticode.h"
#include "programimage.h"
#include "sha256.h"
#include "signaturestamp.h"

#include "derbuilder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace portable;
using portable::checkProgramImage;
using portable::ImageCheck;
using portable::ImageFault;

namespace {

using Bytes = std::string;

std::string hex(const Sha256::Digest& d) { return toHex(d); }

void put16(Bytes& b, size_t at, uint16_t v)
{
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8);
}
void put32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}
uint32_t get32(const Bytes& b, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<uint8_t>(b[at + i]);
    }
    return v;
}

constexpr size_t PE = 0x40;
constexpr size_t OPT = PE + 24;

// A PE file's headers (PE32+ or PE32) followed by body bytes; no certificate table.
Bytes makePe(bool pe32plus, size_t bodySize)
{
    const uint16_t optionalSize = pe32plus ? 240 : 224;
    Bytes b(OPT + optionalSize, '\0');
    b[0] = 'M';
    b[1] = 'Z';
    put32(b, 0x3C, PE);
    std::memcpy(&b[PE], "PE\0\0", 4);
    put16(b, PE + 20, optionalSize);
    put16(b, OPT, pe32plus ? 0x20B : 0x10B);
    put32(b, OPT + (pe32plus ? 108 : 92), 16);
    put32(b, OPT + 64, 0x12345678); // a checksum to be ignored
    for (size_t i = 0; i < bodySize; ++i) {
        b += static_cast<char>(i * 7 + 3);
    }
    return b;
}

size_t securityEntry(bool pe32plus) { return OPT + (pe32plus ? 112 : 96) + 32; }

Bytes tlv(uint8_t tag, const Bytes& contents) { return dertest::element(tag, contents); }
Bytes seq(const Bytes& c) { return tlv(0x30, c); }
Bytes oid(const Bytes& c) { return tlv(0x06, c); }
const Bytes SHA256_OID("\x60\x86\x48\x01\x65\x03\x04\x02\x01", 9);
const Bytes SHA1_OID("\x2B\x0E\x03\x02\x1A", 5);
Bytes alg(const Bytes& o) { return seq(oid(o) + tlv(0x05, "")); }
Bytes name(const std::string& cn) { return seq(tlv(0x31, seq(oid("\x55\x04\x03") + tlv(0x0C, cn)))); }

struct SignatureParts {
    Bytes imageDigest = Bytes(32, '\x11');
    Bytes imageAlg = SHA256_OID;
    Bytes messageDigest = Bytes(32, '\x22');
    Bytes signerSerial = "\x05";
    int signers = 1;
    bool signedAttributes = true;
    Bytes unsignedAttributes; // contents of [1], none when empty
};

Bytes spki(char fill) { return seq(alg("\x2A\x86\x48\x86\xF7\x0D\x01\x01\x01") + tlv(0x03, Bytes(20, fill))); }

Bytes certificate(const Bytes& serial, const std::string& issuer, char keyFill)
{
    const Bytes tbs =
        seq(tlv(0xA0, tlv(0x02, "\x02")) + tlv(0x02, serial) + alg(SHA256_OID) + name(issuer) +
            seq(tlv(0x17, "260101000000Z") + tlv(0x17, "270101000000Z")) + name("signer") + spki(keyFill));
    return seq(tbs + alg(SHA256_OID) + tlv(0x03, Bytes(10, '\x01')));
}

Bytes indirectData(const SignatureParts& p)
{
    return seq(seq(oid("\x2B\x06\x01\x04\x01\x82\x37\x02\x01\x0F") + seq("")) +
               seq(alg(p.imageAlg) + tlv(0x04, p.imageDigest)));
}

Bytes signedData(const SignatureParts& p)
{
    const Bytes attributes =
        tlv(0xA0, seq(oid("\x2A\x86\x48\x86\xF7\x0D\x01\x09\x03") +
                      tlv(0x31, oid("\x2B\x06\x01\x04\x01\x82\x37\x02\x01\x04"))) +
                      seq(oid("\x2A\x86\x48\x86\xF7\x0D\x01\x09\x04") + tlv(0x31, tlv(0x04, p.messageDigest))));
    Bytes signer =
        seq(tlv(0x02, "\x01") + seq(name("Test CA") + tlv(0x02, p.signerSerial)) + alg(SHA256_OID) +
            (p.signedAttributes ? attributes : Bytes()) + alg("\x2A\x86\x48\x86\xF7\x0D\x01\x01\x01") +
            tlv(0x04, Bytes(16, '\x33')) + (p.unsignedAttributes.empty() ? Bytes() : tlv(0xA1, p.unsignedAttributes)));
    Bytes signers;
    for (int i = 0; i < p.signers; ++i) {
        signers += signer;
    }
    const Bytes certificates = tlv(0xA0, certificate("\x04", "Test CA", 'a') + certificate("\x05", "Test CA", 'b') +
                                             certificate("\x05", "Other CA", 'c'));
    const Bytes content = seq(oid("\x2B\x06\x01\x04\x01\x82\x37\x02\x01\x04") + tlv(0xA0, indirectData(p)));
    const Bytes sd = seq(tlv(0x02, "\x01") + tlv(0x31, alg(SHA256_OID)) + content + certificates + tlv(0x31, signers));
    return seq(oid("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02") + tlv(0xA0, sd));
}

// makePe plus a certificate table at its end holding one PKCS#7 entry (8-byte aligned).
Bytes makeSignedPe(bool pe32plus, size_t bodySize, const Bytes& pkcs7)
{
    Bytes b = makePe(pe32plus, bodySize);
    b.append((8 - b.size() % 8) % 8, '\0');
    const size_t table = b.size();
    Bytes entry(8, '\0');
    entry += pkcs7;
    entry.append((8 - entry.size() % 8) % 8, '\0');
    put32(entry, 0, static_cast<uint32_t>(entry.size()));
    put16(entry, 4, 0x0200);
    put16(entry, 6, WIN_CERT_TYPE_PKCS_SIGNED_DATA);
    b += entry;
    put32(b, securityEntry(pe32plus), static_cast<uint32_t>(table));
    put32(b, securityEntry(pe32plus) + 4, static_cast<uint32_t>(entry.size()));
    return b;
}

const uint8_t* u8(const Bytes& b) { return reinterpret_cast<const uint8_t*>(b.data()); }

Sha256::Digest digestOf(const Bytes& b)
{
    Sha256::Digest d{};
    std::string why;
    EXPECT_TRUE(imageDigest(u8(b), b.size(), &d, &why)) << why;
    return d;
}

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

TEST(PeLayout, FindsTheFieldsOfBothHeaderKinds)
{
    for (bool plus : {true, false}) {
        const Bytes b = makeSignedPe(plus, 1000, signedData({}));
        PeLayout l;
        std::string why;
        ASSERT_TRUE(readPeLayout(u8(b), b.size(), b.size(), &l, &why)) << why;
        EXPECT_EQ(l.checksumOffset, OPT + 64);
        EXPECT_EQ(l.securityEntryOffset, securityEntry(plus));
        EXPECT_EQ(l.certTableOffset, get32(b, securityEntry(plus)));
        EXPECT_EQ(l.certTableOffset + l.certTableSize, b.size());
        const auto ranges = imageDigestRanges(l);
        ASSERT_EQ(ranges.size(), 3u);
        EXPECT_EQ(ranges[0].length, OPT + 64);
        EXPECT_EQ(ranges[1].offset, OPT + 68);
        EXPECT_EQ(ranges[2].offset + ranges[2].length, l.certTableOffset);
    }
}

TEST(PeLayout, RefusesBrokenHeaders)
{
    PeLayout l;
    std::string why;
    Bytes b = makePe(true, 100);
    EXPECT_FALSE(readPeLayout(u8(b), 0x3F, b.size(), &l, &why));
    Bytes noMz = b;
    noMz[0] = 'X';
    EXPECT_FALSE(readPeLayout(u8(noMz), noMz.size(), noMz.size(), &l, &why));
    Bytes farPe = b;
    put32(farPe, 0x3C, 0xFFFFFFF0u); // offset arithmetic must not wrap
    EXPECT_FALSE(readPeLayout(u8(farPe), farPe.size(), farPe.size(), &l, &why));
    Bytes badMagic = b;
    put16(badMagic, OPT, 0x107);
    EXPECT_FALSE(readPeLayout(u8(badMagic), badMagic.size(), badMagic.size(), &l, &why));
    Bytes fewDirectories = b;
    put32(fewDirectories, OPT + 108, 4);
    EXPECT_FALSE(readPeLayout(u8(fewDirectories), fewDirectories.size(), fewDirectories.size(), &l, &why));
    Bytes shortOptional = b;
    put16(shortOptional, PE + 20, 0xFFFF);
    EXPECT_FALSE(readPeLayout(u8(shortOptional), shortOptional.size(), shortOptional.size(), &l, &why));
    Bytes outside = b;
    put32(outside, securityEntry(true), static_cast<uint32_t>(b.size() - 8));
    put32(outside, securityEntry(true) + 4, 16);
    EXPECT_FALSE(readPeLayout(u8(outside), outside.size(), outside.size(), &l, &why));
    Bytes wrapping = b;
    put32(wrapping, securityEntry(true), 0xFFFFFFF8u);
    put32(wrapping, securityEntry(true) + 4, 0x10);
    EXPECT_FALSE(readPeLayout(u8(wrapping), wrapping.size(), wrapping.size(), &l, &why));
    Bytes inHeaders = b;
    put32(inHeaders, securityEntry(true), 0x10);
    put32(inHeaders, securityEntry(true) + 4, 0x10);
    EXPECT_FALSE(readPeLayout(u8(inHeaders), inHeaders.size(), inHeaders.size(), &l, &why));
    EXPECT_TRUE(readPeLayout(u8(b), b.size(), b.size(), &l, &why)) << why;
    EXPECT_FALSE(l.hasCertTable());
}

TEST(ImageDigest, CoversEverythingButChecksumEntryAndTable)
{
    const Bytes b = makeSignedPe(true, 5000, signedData({}));
    const auto base = digestOf(b);
    PeLayout l;
    ASSERT_TRUE(readPeLayout(u8(b), b.size(), b.size(), &l, nullptr));

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
    // A reader that fails ends the digest with false.
    EXPECT_FALSE(imageDigest(
        l, [](uint64_t, uint8_t*, size_t) { return false; }, &streamed, 7));
}

// A program as a linker writes it: headers up to SizeOfHeaders (0x400), two sections of 0x200
// bytes each behind them, then the certificate table with one PKCS#7 entry, ending the file.
struct Program {
    Bytes file;
    PeLayout layout;
    Bytes entry; // the certificate entry (header, signature, zero padding)
};

constexpr size_t SECTIONS_AT = 0x400;
constexpr size_t SECTION_SIZE = 0x200;

Bytes certificateEntry(const Bytes& pkcs7, const Bytes& behind = Bytes(), uint16_t revision = 0x0200,
                       uint16_t type = WIN_CERT_TYPE_PKCS_SIGNED_DATA)
{
    Bytes entry(8, '\0');
    entry += pkcs7 + behind;
    entry.append((8 - entry.size() % 8) % 8, '\0');
    put32(entry, 0, static_cast<uint32_t>(entry.size()));
    put16(entry, 4, revision);
    put16(entry, 6, type);
    return entry;
}

// The headers and sections of a program (no table yet).
Bytes programImage()
{
    Bytes b = makePe(true, 0);
    put16(b, PE + 4, 0x8664);
    put16(b, PE + 6, 2);
    put16(b, PE + 22, 0x0102);
    put32(b, OPT + 60, SECTIONS_AT);
    put16(b, OPT + 68, 2);
    const size_t table = b.size();
    b.resize(SECTIONS_AT, '\0');
    for (uint32_t i = 0; i < 2; ++i) {
        put32(b, table + i * 40 + 16, SECTION_SIZE);
        put32(b, table + i * 40 + 20, static_cast<uint32_t>(SECTIONS_AT + i * SECTION_SIZE));
    }
    for (size_t i = 0; i < 2 * SECTION_SIZE; ++i) {
        b += static_cast<char>(i * 13 + 1);
    }
    return b;
}

// image followed by the table, the directory entry pointing at it.
Bytes withTable(Bytes image, const Bytes& table, size_t at)
{
    put32(image, securityEntry(true), static_cast<uint32_t>(at));
    put32(image, securityEntry(true) + 4, static_cast<uint32_t>(table.size()));
    return image;
}

Program signedProgram()
{
    Program p;
    p.entry = certificateEntry(signedData({}));
    const Bytes image = programImage();
    p.file = withTable(image, p.entry, image.size()) + p.entry;
    readPeLayout(u8(p.file), p.file.size(), p.file.size(), &p.layout, nullptr);
    return p;
}

// A signature whose entry needs zero padding (its length is no multiple of 8).
Bytes signatureNeedingPadding()
{
    SignatureParts parts;
    for (size_t n = 30; n < 38; ++n) {
        parts.messageDigest = Bytes(n, '\x22');
        const Bytes der = signedData(parts);
        if (der.size() % 8 != 0) {
            return der;
        }
    }
    ADD_FAILURE() << "no signature length that needs padding";
    return signedData({});
}

// The placement rules on a file in memory: the reason, or "" when the table passes.
std::string placement(const Bytes& file)
{
    PeLayout l;
    std::string why;
    if (!readPeLayout(u8(file), file.size(), file.size(), &l, &why)) {
        return "layout: " + why;
    }
    ByteSpan der;
    if (!certificateTableSignature(l, u8(file) + l.certTableOffset, l.certTableSize, &der, &why)) {
        return why;
    }
    SignatureInfo info;
    return parseSignature(der.data, der.size, &info, &why) ? "" : "signature: " + why;
}

TEST(CertificateTable, TheSignedProgramUntouchedPasses)
{
    const Program p = signedProgram();
    EXPECT_EQ(placement(p.file), "");
    EXPECT_TRUE(checkProgramImage(u8(p.file), p.file.size(), p.file.size()).ok());
    // An entry with zero padding behind its signature meets the rules as well, also when its
    // length field leaves the padding out.
    const Bytes der = signatureNeedingPadding();
    Bytes entry = certificateEntry(der);
    const Bytes image = programImage();
    EXPECT_EQ(placement(withTable(image, entry, image.size()) + entry), "");
    put32(entry, 0, static_cast<uint32_t>(8 + der.size()));
    EXPECT_EQ(placement(withTable(image, entry, image.size()) + entry), "");
}

TEST(CertificateTable, MovedOverTheSectionsIsRefused)
{
    // The attack: the unchanged entry at the start of the section data, followed by the attacker's
    // copies of the sections (which Windows maps, since the section headers still point there),
    // and the original section bytes moved behind the table, where the digest still finds them.
    const Program p = signedProgram();
    const Bytes image = programImage();
    Bytes table = p.entry;
    table.append(2 * SECTION_SIZE - table.size(), '\xCC'); // "rewritten sections"
    const Bytes moved = withTable(image, table, SECTIONS_AT).substr(0, SECTIONS_AT) + table + image.substr(SECTIONS_AT);
    EXPECT_EQ(hex(digestOf(moved)), hex(digestOf(p.file))) << "the digested bytes are unchanged";
    EXPECT_EQ(placement(moved), "the certificate table starts before the end of a section's raw data");
    const ImageCheck image1 = checkProgramImage(u8(moved), moved.size(), moved.size());
    EXPECT_EQ(image1.fault, ImageFault::SectionInCertTable);
    EXPECT_EQ(image1.section, 0u);
}

TEST(CertificateTable, EachPlacementRuleNamesItself)
{
    const Program p = signedProgram();
    const Bytes image = programImage();
    const Bytes der = signedData({});

    EXPECT_EQ(placement(p.file + Bytes(8, '\0')), "the certificate table does not end the file");

    const Bytes second = certificateEntry(der);
    const Bytes two = p.entry + second;
    EXPECT_EQ(placement(withTable(image, two, image.size()) + two), "the certificate table holds more than one entry");

    // Bytes behind the signature inside the entry: a whole block's worth, or a few non-zero ones
    // in the padding.
    const Bytes stuffed = certificateEntry(der, "BLOCK:x<1>\r\n");
    EXPECT_EQ(placement(withTable(image, stuffed, image.size()) + stuffed),
              "the certificate entry holds more than the signature and its padding");
    Bytes dirtyPadding = certificateEntry(signatureNeedingPadding());
    dirtyPadding.back() = 'x';
    EXPECT_EQ(placement(withTable(image, dirtyPadding, image.size()) + dirtyPadding),
              "the certificate entry holds non-zero bytes behind the signature");

    const Bytes oldRevision = certificateEntry(der, "", 0x0100);
    EXPECT_EQ(placement(withTable(image, oldRevision, image.size()) + oldRevision),
              "the certificate entry is not of revision 2.0");
    const Bytes x509 = certificateEntry(der, "", 0x0200, 1);
    EXPECT_EQ(placement(withTable(image, x509, image.size()) + x509), "the certificate entry is no PKCS#7 signature");

    // Not aligned: the table moved by 4 bytes behind the sections.
    const Bytes unaligned = withTable(image, p.entry, image.size() + 4) + Bytes(4, '\0') + p.entry;
    EXPECT_EQ(placement(unaligned), "the certificate table is not 8-byte aligned");

    // In the headers' slack, before SizeOfHeaders (the sections follow, so the table does not end
    // the file either; the first rule broken is named).
    const size_t slack = SECTIONS_AT - 0x100;
    Bytes inHeaders = withTable(image, p.entry, slack);
    inHeaders.replace(slack, p.entry.size(), p.entry);
    EXPECT_EQ(placement(inHeaders), "the certificate table starts inside the headers (before SizeOfHeaders)");

    // A section whose raw data reaches into the table.
    Bytes overlapping = p.file;
    put32(overlapping, OPT + 240 + 40 + 16, SECTION_SIZE + 0x10);
    EXPECT_EQ(placement(overlapping), "the certificate table starts before the end of a section's raw data");
    const ImageCheck c = checkProgramImage(u8(overlapping), overlapping.size(), overlapping.size());
    EXPECT_EQ(c.fault, ImageFault::SectionInCertTable);
    EXPECT_EQ(c.section, 1u);
}

TEST(Signature, ReadsDigestsAndTheNamedSignersKey)
{
    SignatureParts p;
    const Bytes der = signedData(p);
    SignatureInfo s;
    std::string why;
    ASSERT_TRUE(parseSignature(u8(der), der.size(), &s, &why)) << why;
    EXPECT_EQ(Bytes(reinterpret_cast<const char*>(s.imageDigest.data), s.imageDigest.size), p.imageDigest);
    EXPECT_TRUE(s.imageDigestIsSha256);
    EXPECT_TRUE(s.signerDigestIsSha256);
    EXPECT_EQ(Bytes(reinterpret_cast<const char*>(s.messageDigest.data), s.messageDigest.size), p.messageDigest);
    // Serial 5 issued by "Test CA": the second certificate, not the first (serial 4) nor the third
    // (serial 5 of another issuer).
    EXPECT_EQ(Bytes(reinterpret_cast<const char*>(s.signerPublicKey.data), s.signerPublicKey.size), spki('b'));
    const Bytes content = indirectData(p).substr(2);
    EXPECT_EQ(Bytes(reinterpret_cast<const char*>(s.signedContent.data), s.signedContent.size), content);

    SignatureParts sha1 = p;
    sha1.imageAlg = SHA1_OID;
    const Bytes der1 = signedData(sha1);
    ASSERT_TRUE(parseSignature(u8(der1), der1.size(), &s, &why)) << why;
    EXPECT_FALSE(s.imageDigestIsSha256);
}

TEST(Signature, RefusesWhatItCannotTrust)
{
    SignatureInfo s;
    std::string why;
    SignatureParts unknownSigner;
    unknownSigner.signerSerial = "\x09";
    Bytes der = signedData(unknownSigner);
    EXPECT_FALSE(parseSignature(u8(der), der.size(), &s, &why));
    EXPECT_EQ(why, "the signer's certificate is not in the signature");
    SignatureParts twoSigners;
    twoSigners.signers = 2;
    der = signedData(twoSigners);
    EXPECT_FALSE(parseSignature(u8(der), der.size(), &s, &why));
    SignatureParts noAttributes;
    noAttributes.signedAttributes = false;
    der = signedData(noAttributes);
    EXPECT_FALSE(parseSignature(u8(der), der.size(), &s, &why));

    // Every prefix of a good signature is refused (and read without touching bytes past it).
    const Bytes good = signedData({});
    for (size_t n = 0; n < good.size(); ++n) {
        const Bytes cut = good.substr(0, n);
        std::vector<uint8_t> exact(cut.begin(), cut.end());
        EXPECT_FALSE(parseSignature(exact.data(), exact.size(), &s, &why)) << n;
    }
    // A length that claims more than the data holds.
    Bytes longer = good;
    longer[1] = '\x84';
    EXPECT_FALSE(parseSignature(u8(longer), longer.size(), &s, &why));
}

TEST(Checksum, FoldsCarriesAddsLengthAndSkipsItsField)
{
    const uint8_t small[] = {0x01, 0x00, 0x02, 0x00};
    EXPECT_EQ(peChecksum(small, 4, 100), 3u + 4u);
    const uint8_t carry[] = {0xFF, 0xFF, 0x02, 0x00, 0x05};
    EXPECT_EQ(peChecksum(carry, 5, 100), 0x0002u + 0x0005u + 5u);
    const uint8_t skipped[] = {0x01, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0x02, 0x00};
    EXPECT_EQ(peChecksum(skipped, 8, 2), 3u + 8u);
}

// The entry holds the signature and zero padding only (what a strict padding check demands), the
// signature still reads the same, and the block stands once, inside it.
void expectBlockInsideSignature(const Bytes& file, const Bytes& block, const Sha256::Digest& digestBefore)
{
    PeLayout l;
    std::string why;
    ASSERT_TRUE(readPeLayout(u8(file), file.size(), file.size(), &l, &why)) << why;
    EXPECT_EQ(l.certTableOffset + l.certTableSize, file.size());
    EXPECT_EQ(get32(file, l.certTableOffset), l.certTableSize) << "one entry spans the table";
    EXPECT_EQ(l.certTableSize % 8, 0u);
    const size_t der = derElementLength(u8(file) + l.certTableOffset + 8, l.certTableSize - 8);
    ASSERT_GT(der, 0u);
    EXPECT_LT(l.certTableSize - 8 - der, 8u);
    EXPECT_EQ(file.find_first_not_of('\0', l.certTableOffset + 8 + der), std::string::npos);
    const size_t at = file.find(block);
    EXPECT_GT(at, l.certTableOffset + 8u);
    EXPECT_LE(at + block.size(), l.certTableOffset + 8 + der);
    EXPECT_EQ(file.find(block, at + 1), std::string::npos);
    EXPECT_EQ(get32(file, l.checksumOffset), peChecksum(u8(file), file.size(), l.checksumOffset));
    EXPECT_EQ(hex(digestOf(file)), hex(digestBefore));
    SignatureInfo s;
    ASSERT_TRUE(parseSignature(u8(file) + l.certTableOffset + 8, der, &s, &why)) << why;
    EXPECT_EQ(Bytes(reinterpret_cast<const char*>(s.signerPublicKey.data), s.signerPublicKey.size), spki('b'));
    EXPECT_EQ(Bytes(reinterpret_cast<const char*>(s.messageDigest.data), s.messageDigest.size), Bytes(32, '\x22'));
}

TEST(CertificateTable, CarriesTheBlockInsideTheSignature)
{
    const Bytes timestamp = seq(oid("\x2B\x06\x01\x04\x01\x82\x37\x03\x03\x01") + tlv(0x31, tlv(0x04, "stamp")));
    for (bool plus : {true, false}) {
        for (const Bytes& earlier : {Bytes(), timestamp}) {
            SignatureParts parts;
            parts.unsignedAttributes = earlier;
            const Bytes original = makeSignedPe(plus, 3001, signedData(parts));
            const auto before = digestOf(original);
            const std::string marker = "BLOCK:";
            Bytes file = original;
            bool replaced = true;
            std::string why;
            const Bytes first = marker + "first<1>\r\n";
            ASSERT_TRUE(placeInCertificateTable(&file, first, &replaced, &why)) << why;
            EXPECT_FALSE(replaced);
            expectBlockInsideSignature(file, first, before);
            if (!earlier.empty()) {
                EXPECT_NE(file.find("stamp"), std::string::npos) << "other unsigned attributes are kept";
            }

            // A long block (lengths of more than one byte everywhere up the structure) replaces it.
            const Bytes second = marker + "second<" + Bytes(300, 'v') + ">\r\n";
            ASSERT_TRUE(placeInCertificateTable(&file, second, &replaced, &why)) << why;
            EXPECT_TRUE(replaced);
            EXPECT_EQ(file.find("first"), std::string::npos);
            expectBlockInsideSignature(file, second, before);
            if (!earlier.empty()) {
                EXPECT_NE(file.find("stamp"), std::string::npos);
            }
        }
    }
}

TEST(CertificateTable, StampingHoldsTheInputToThePlacementRules)
{
    // An entry with bytes behind the signature (a block put there by other means) breaks a
    // placement rule: the stamper refuses it rather than carrying it on.
    Bytes file = makeSignedPe(true, 100, signedData({}));
    PeLayout l;
    ASSERT_TRUE(readPeLayout(u8(file), file.size(), file.size(), &l, nullptr));
    file += "BLOCK:old<x>\r\n";
    file.append((8 - file.size() % 8) % 8, '\0');
    put32(file, l.certTableOffset, static_cast<uint32_t>(file.size() - l.certTableOffset));
    put32(file, l.securityEntryOffset + 4, static_cast<uint32_t>(file.size() - l.certTableOffset));
    const Bytes before = file;
    bool replaced = false;
    std::string why;
    EXPECT_FALSE(placeInCertificateTable(&file, "BLOCK:new<y>\r\n", &replaced, &why));
    EXPECT_EQ(why, "the certificate entry holds more than the signature and its padding");
    EXPECT_EQ(file, before);
    // The moved table of the attack above is refused as well.
    const Program p = signedProgram();
    const Bytes image = programImage();
    Bytes table = p.entry;
    table.append(2 * SECTION_SIZE - table.size(), '\xCC');
    Bytes moved = withTable(image, table, SECTIONS_AT).substr(0, SECTIONS_AT) + table + image.substr(SECTIONS_AT);
    EXPECT_FALSE(placeInCertificateTable(&moved, "BLOCK:new<y>\r\n", &replaced, &why));
    EXPECT_EQ(why, "the certificate table starts before the end of a section's raw data");
    // The untouched program takes the block.
    Bytes good = p.file;
    EXPECT_TRUE(placeInCertificateTable(&good, "BLOCK:new<y>\r\n", &replaced, &why)) << why;
    EXPECT_EQ(placement(good), "");
}

TEST(CertificateTable, RefusesFilesItCannotGrowSafely)
{
    std::string why;
    bool replaced = false;
    Bytes unsigned_ = makePe(true, 100);
    EXPECT_FALSE(placeInCertificateTable(&unsigned_, "B:", &replaced, &why));
    Bytes trailing = makeSignedPe(true, 100, signedData({}));
    trailing += "overlay!";
    const Bytes before = trailing;
    EXPECT_FALSE(placeInCertificateTable(&trailing, "B:", &replaced, &why));
    EXPECT_EQ(why, "the certificate table does not end the file");
    EXPECT_EQ(trailing, before);
    Bytes noDer = makeSignedPe(true, 100, Bytes(16, '\xFF'));
    EXPECT_FALSE(placeInCertificateTable(&noDer, "B:", &replaced, &why));
    EXPECT_EQ(why, "the certificate entry holds no DER structure");
    SignatureParts two;
    two.signers = 2;
    Bytes twoSigners = makeSignedPe(true, 100, signedData(two));
    EXPECT_FALSE(placeInCertificateTable(&twoSigners, "B:", &replaced, &why));
    EXPECT_EQ(why, "the signature must have exactly one signer");
}

TEST(SignerPin, AcceptsHashListsOnly)
{
    const std::string a(64, 'a');
    const std::string b = "0123456789ABCDEF0123456789abcdef0123456789ABCDEF0123456789abcdef";
    std::vector<Sha256::Digest> pin;
    ASSERT_TRUE(parseSignerPin(a, &pin));
    ASSERT_EQ(pin.size(), 1u);
    EXPECT_EQ(pin[0][0], 0xAA);
    ASSERT_TRUE(parseSignerPin(a + "," + b, &pin));
    ASSERT_EQ(pin.size(), 2u);
    EXPECT_EQ(toHex(pin[1]), "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
    for (const std::string& bad : {std::string(), a.substr(1), a + "0", a + ",", "," + a, a + ", " + b,
                                   std::string(63, 'a') + "g", a + ",," + b}) {
        EXPECT_FALSE(parseSignerPin(bad, &pin)) << bad;
        EXPECT_TRUE(pin.empty());
    }
}

TEST(ImageDigestStream, GivesTheWholeFileDigestForAnyPieces)
{
    // Small (headers read at the end) and large (headers read after the first 64 KiB) files, with
    // and without a table; pieces of changing sizes, so that skipped fields straddle pieces.
    for (size_t body : {500u, 200000u}) {
        for (bool withTable : {false, true}) {
            const Bytes file = withTable ? makeSignedPe(true, body, signedData({})) : makePe(false, body);
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
    Bytes cut = makeSignedPe(true, 200000, signedData({}));
    cut.resize(cut.size() - 8);
    ImageDigestStream stream;
    stream.update(u8(cut), cut.size());
    Sha256::Digest d{};
    EXPECT_FALSE(stream.finish(&d));
    const Bytes text(100000, 'x');
    ImageDigestStream noPe;
    noPe.update(u8(text), text.size());
    EXPECT_FALSE(noPe.finish(&d));
    ImageDigestStream empty;
    EXPECT_FALSE(empty.finish(&d));
}
