// The portable signature code on synthetic PE files (tests/support/pebuilder) and signatures
// (tests/support/signaturebuilder) built byte by byte: SHA-256 against published vectors, the PE
// layout and the digest's ranges, the certificate table and its placement rules, the DER reading
// of a SignedData and a file's signature read in one go, growing the last certificate entry, the
// checksum and the publisher pin. (Real signatures made by osslsigncode are checked end to end in
// tests/e2e.)
#include "authenticode.h"
#include "programimage.h"
#include "sha256.h"
#include "signaturestamp.h"

#include "pebuilder.h"
#include "signaturebuilder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace portable;
using namespace signaturebuilder;
using pebuilder::Image;
using pebuilder::PROGRAM_SECTION_SIZE;
using pebuilder::PROGRAM_SECTIONS_AT;

namespace {

using Bytes = std::string;

std::string hex(const Sha256::Digest& d) { return toHex(d); }

using pebuilder::get32;
using pebuilder::put32;

// A PE file's headers (PE32+ or PE32) followed by body bytes; no certificate table.
Image makePe(bool pe32plus, size_t bodySize)
{
    pebuilder::Options o;
    o.pe32plus = pe32plus;
    o.body = bodySize;
    o.checksum = 0x12345678; // a checksum to be ignored
    return pebuilder::build(o);
}

// makePe plus a certificate table at its end holding one PKCS#7 entry (8-byte aligned).
Bytes makeSignedPe(bool pe32plus, size_t bodySize, const Bytes& pkcs7)
{
    Image im = makePe(pe32plus, bodySize);
    im.appendCertificateTable(pebuilder::certificateEntry(pkcs7));
    return im.bytes;
}

const uint8_t* u8(const Bytes& b) { return reinterpret_cast<const uint8_t*>(b.data()); }

Bytes text(const ByteSpan& s) { return Bytes(reinterpret_cast<const char*>(s.data), s.size); }

// The reason a step failed, "" when it did its work.
std::string failure(const Result& r) { return r ? std::string() : "failed: " + r.reason; }

Sha256::Digest digestOf(const Bytes& b)
{
    Sha256::Digest d{};
    const Result r = imageDigest(u8(b), b.size(), &d);
    EXPECT_TRUE(r) << r.reason;
    return d;
}

PeLayout layoutOf(const Bytes& b)
{
    PeLayout l;
    const Result r = readPeLayout(u8(b), b.size(), b.size(), &l);
    EXPECT_TRUE(r) << r.reason;
    return l;
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
        Image im = makePe(plus, 1000);
        im.appendCertificateTable(pebuilder::certificateEntry(signedData()));
        const PeLayout l = layoutOf(im.bytes);
        EXPECT_EQ(l.checksumOffset, im.optionalOffset + 64);
        EXPECT_EQ(l.securityEntryOffset, im.securityEntryOffset);
        EXPECT_EQ(l.certTableOffset, im.get32(im.securityEntryOffset));
        EXPECT_EQ(l.certTableOffset + l.certTableSize, im.size());
        const auto ranges = imageDigestRanges(l);
        ASSERT_EQ(ranges.size(), 3u);
        EXPECT_EQ(ranges[0].length, im.optionalOffset + 64);
        EXPECT_EQ(ranges[1].offset, im.optionalOffset + 68);
        EXPECT_EQ(ranges[2].offset + ranges[2].length, l.certTableOffset);
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

// A program as a linker writes it: headers up to SizeOfHeaders (0x400), two sections of 0x200
// bytes each behind them, then the certificate table with one PKCS#7 entry, ending the file.
struct Program {
    Image image; // without the table
    Bytes file;
    Bytes entry; // the certificate entry (header, signature, zero padding)
};

Image programImage() { return pebuilder::build(pebuilder::programOptions()); }

// image followed by the table, the directory entry pointing at it.
Bytes withTable(Image image, const Bytes& table)
{
    image.appendCertificateTable(table);
    return image.bytes;
}

Program signedProgram()
{
    Program p;
    p.entry = pebuilder::certificateEntry(signedData());
    p.image = programImage();
    p.file = withTable(p.image, p.entry);
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
    return signedData();
}

// A file's signature read in one go, as the installer and cvstamp read it: the reason, or ""
// when the table passes the placement rules and its signature reads.
std::string placement(const Bytes& file)
{
    FileSignature signature;
    const Result r = readFileSignature(u8(file), file.size(), &signature);
    switch (r.code) {
    case 0:
        return "";
    case SIGNATURE_NO_PROGRAM:
        return "layout: " + r.reason;
    case SIGNATURE_MALFORMED:
        return "signature: " + r.reason;
    default:
        return r.reason;
    }
}

TEST(CertificateTable, TheSignedProgramUntouchedPasses)
{
    const Program p = signedProgram();
    EXPECT_EQ(placement(p.file), "");
    EXPECT_TRUE(checkProgramImage(u8(p.file), p.file.size(), p.file.size()).ok());
    // The signature read from the file names the signer's key and its hash.
    FileSignature signature;
    ASSERT_TRUE(readFileSignature(u8(p.file), p.file.size(), &signature));
    EXPECT_EQ(text(signature.info.signerPublicKey), publicKey('b'));
    EXPECT_EQ(hex(signature.signerKey), hex(Sha256::of(publicKey('b').data(), publicKey('b').size())));
    EXPECT_EQ(signature.layout.certTableOffset, p.image.size());
    // An entry with zero padding behind its signature meets the rules as well, also when its
    // length field leaves the padding out.
    const Bytes der = signatureNeedingPadding();
    Bytes entry = pebuilder::certificateEntry(der);
    EXPECT_EQ(placement(withTable(p.image, entry)), "");
    put32(entry, 0, static_cast<uint32_t>(8 + der.size()));
    EXPECT_EQ(placement(withTable(p.image, entry)), "");
}

TEST(CertificateTable, MovedOverTheSectionsIsRefused)
{
    // The attack: the unchanged entry at the start of the section data, followed by the attacker's
    // copies of the sections (which Windows maps, since the section headers still point there),
    // and the original section bytes moved behind the table, where the digest still finds them.
    const Program p = signedProgram();
    const Bytes moved = pebuilder::tableMovedOverSections(p.image, p.entry).bytes;
    ASSERT_EQ(moved.substr(PROGRAM_SECTIONS_AT, p.entry.size()), p.entry);
    EXPECT_EQ(hex(digestOf(moved)), hex(digestOf(p.file))) << "the digested bytes are unchanged";
    EXPECT_EQ(placement(moved), "the certificate table starts before the end of a section's raw data");
    const ImageCheck image1 = checkProgramImage(u8(moved), moved.size(), moved.size());
    EXPECT_EQ(image1.fault, ImageFault::SectionInCertTable);
    EXPECT_EQ(image1.section, 0u);
}

TEST(CertificateTable, EachPlacementRuleNamesItself)
{
    const Program p = signedProgram();
    const Image& image = p.image;
    const Bytes der = signedData();

    EXPECT_EQ(placement(p.file + Bytes(8, '\0')), "the certificate table does not end the file");

    const Bytes two = p.entry + pebuilder::certificateEntry(der);
    EXPECT_EQ(placement(withTable(image, two)), "the certificate table holds more than one entry");

    // Bytes behind the signature inside the entry: a whole block's worth, or a few non-zero ones
    // in the padding.
    const Bytes stuffed = pebuilder::certificateEntry(der, "BLOCK:x<1>\r\n");
    EXPECT_EQ(placement(withTable(image, stuffed)),
              "the certificate entry holds more than the signature and its padding");
    Bytes dirtyPadding = pebuilder::certificateEntry(signatureNeedingPadding());
    dirtyPadding.back() = 'x';
    EXPECT_EQ(placement(withTable(image, dirtyPadding)),
              "the certificate entry holds non-zero bytes behind the signature");

    const Bytes oldRevision = pebuilder::certificateEntry(der, "", 0x0100);
    EXPECT_EQ(placement(withTable(image, oldRevision)), "the certificate entry is not of revision 2.0");
    const Bytes x509 = pebuilder::certificateEntry(der, "", 0x0200, 1);
    EXPECT_EQ(placement(withTable(image, x509)), "the certificate entry is no PKCS#7 signature");

    // Not aligned: the table moved by 4 bytes behind the sections.
    Image unaligned = image;
    unaligned.bytes.append(4, '\0');
    unaligned.insertCertificateTable(p.entry, unaligned.size());
    EXPECT_EQ(placement(unaligned.bytes), "the certificate table is not 8-byte aligned");

    // In the headers' slack, before SizeOfHeaders (the sections follow, so the table does not end
    // the file either; the first rule broken is named).
    Image inHeaders = image;
    inHeaders.overwriteCertificateTable(p.entry, PROGRAM_SECTIONS_AT - 0x100);
    EXPECT_EQ(placement(inHeaders.bytes), "the certificate table starts inside the headers (before SizeOfHeaders)");

    // A section whose raw data reaches into the table.
    Image overlapping = image;
    overlapping.section(1, PROGRAM_SECTIONS_AT + PROGRAM_SECTION_SIZE, PROGRAM_SECTION_SIZE + 0x10);
    overlapping.appendCertificateTable(p.entry);
    EXPECT_EQ(placement(overlapping.bytes), "the certificate table starts before the end of a section's raw data");
    const ImageCheck c = checkProgramImage(overlapping.data(), overlapping.size(), overlapping.size());
    EXPECT_EQ(c.fault, ImageFault::SectionInCertTable);
    EXPECT_EQ(c.section, 1u);

    // Each step before the rules names its own failure.
    EXPECT_EQ(placement(image.bytes), "the file carries no signature");
    EXPECT_EQ(placement("MZ"), "layout: no MZ header");
    const Bytes noSignedData = withTable(image, pebuilder::certificateEntry(seq(oid("\x2A"))));
    EXPECT_EQ(placement(noSignedData), "signature: the signature is no PKCS#7 SignedData");
}

TEST(Signature, ReadsDigestsAndTheNamedSignersKey)
{
    SignatureParts p;
    const Bytes der = signedData(p);
    SignatureInfo s;
    ASSERT_EQ(failure(parseSignature(u8(der), der.size(), &s)), "");
    EXPECT_EQ(Bytes(reinterpret_cast<const char*>(s.imageDigest.data), s.imageDigest.size), p.imageDigest);
    EXPECT_EQ(s.imageDigestAlgorithm, DigestAlgorithm::Sha256);
    EXPECT_EQ(s.signerDigestAlgorithm, DigestAlgorithm::Sha256);
    EXPECT_EQ(Bytes(reinterpret_cast<const char*>(s.messageDigest.data), s.messageDigest.size), p.messageDigest);
    // Serial 5 issued by "Test CA": the second certificate, not the first (serial 4) nor the third
    // (serial 5 of another issuer).
    EXPECT_EQ(Bytes(reinterpret_cast<const char*>(s.signerPublicKey.data), s.signerPublicKey.size), publicKey('b'));
    const Bytes content = indirectData(p).substr(2);
    EXPECT_EQ(Bytes(reinterpret_cast<const char*>(s.signedContent.data), s.signedContent.size), content);

    SignatureParts sha1 = p;
    sha1.imageAlg = SHA1_OID;
    const Bytes der1 = signedData(sha1);
    ASSERT_EQ(failure(parseSignature(u8(der1), der1.size(), &s)), "");
    EXPECT_EQ(s.imageDigestAlgorithm, DigestAlgorithm::Sha1);
}

TEST(Signature, RefusesWhatItCannotTrust)
{
    SignatureInfo s;
    SignatureParts unknownSigner;
    unknownSigner.signerSerial = "\x09";
    Bytes der = signedData(unknownSigner);
    EXPECT_EQ(failure(parseSignature(u8(der), der.size(), &s)),
              "failed: the signer's certificate is not in the signature");
    SignatureParts twoSigners;
    twoSigners.signers = 2;
    der = signedData(twoSigners);
    EXPECT_EQ(failure(parseSignature(u8(der), der.size(), &s)), "failed: the signature must have exactly one signer");
    SignatureParts noAttributes;
    noAttributes.signedAttributes = false;
    der = signedData(noAttributes);
    EXPECT_EQ(failure(parseSignature(u8(der), der.size(), &s)), "failed: the signer has no signed attributes");

    // Every prefix of a good signature is refused (and read without touching bytes past it).
    const Bytes good = signedData();
    for (size_t n = 0; n < good.size(); ++n) {
        const Bytes cut = good.substr(0, n);
        std::vector<uint8_t> exact(cut.begin(), cut.end());
        EXPECT_FALSE(parseSignature(exact.data(), exact.size(), &s)) << n;
    }
    // A length that claims more than the data holds.
    Bytes longer = good;
    longer[1] = '\x84';
    EXPECT_FALSE(parseSignature(u8(longer), longer.size(), &s));
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
    ASSERT_EQ(failure(readPeLayout(u8(file), file.size(), file.size(), &l)), "");
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
    ASSERT_EQ(failure(parseSignature(u8(file) + l.certTableOffset + 8, der, &s)), "");
    EXPECT_EQ(Bytes(reinterpret_cast<const char*>(s.signerPublicKey.data), s.signerPublicKey.size), publicKey('b'));
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
            const Bytes first = marker + "first<1>\r\n";
            ASSERT_EQ(failure(placeInCertificateTable(&file, first, &replaced)), "");
            EXPECT_FALSE(replaced);
            expectBlockInsideSignature(file, first, before);
            if (!earlier.empty()) {
                EXPECT_NE(file.find("stamp"), std::string::npos) << "other unsigned attributes are kept";
            }

            // A long block (lengths of more than one byte everywhere up the structure) replaces it.
            const Bytes second = marker + "second<" + Bytes(300, 'v') + ">\r\n";
            ASSERT_EQ(failure(placeInCertificateTable(&file, second, &replaced)), "");
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
    Bytes file = makeSignedPe(true, 100, signedData());
    const PeLayout l = layoutOf(file);
    file += "BLOCK:old<x>\r\n";
    file.append((8 - file.size() % 8) % 8, '\0');
    put32(file, l.certTableOffset, static_cast<uint32_t>(file.size() - l.certTableOffset));
    put32(file, l.securityEntryOffset + 4, static_cast<uint32_t>(file.size() - l.certTableOffset));
    const Bytes before = file;
    bool replaced = false;
    EXPECT_EQ(failure(placeInCertificateTable(&file, "BLOCK:new<y>\r\n", &replaced)),
              "failed: the certificate entry holds more than the signature and its padding");
    EXPECT_EQ(file, before);
    // The moved table of the attack above is refused as well.
    const Program p = signedProgram();
    Bytes moved = pebuilder::tableMovedOverSections(p.image, p.entry).bytes;
    EXPECT_EQ(failure(placeInCertificateTable(&moved, "BLOCK:new<y>\r\n", &replaced)),
              "failed: the certificate table starts before the end of a section's raw data");
    // The untouched program takes the block.
    Bytes good = p.file;
    EXPECT_EQ(failure(placeInCertificateTable(&good, "BLOCK:new<y>\r\n", &replaced)), "");
    EXPECT_EQ(placement(good), "");
}

TEST(CertificateTable, RefusesFilesItCannotGrowSafely)
{
    bool replaced = false;
    Bytes unsigned_ = makePe(true, 100).bytes;
    EXPECT_EQ(failure(placeInCertificateTable(&unsigned_, "B:", &replaced)),
              "failed: the file has no certificate table");
    Bytes trailing = makeSignedPe(true, 100, signedData());
    trailing += "overlay!";
    const Bytes before = trailing;
    EXPECT_EQ(failure(placeInCertificateTable(&trailing, "B:", &replaced)),
              "failed: the certificate table does not end the file");
    EXPECT_EQ(trailing, before);
    Bytes noDer = makeSignedPe(true, 100, Bytes(16, '\xFF'));
    EXPECT_EQ(failure(placeInCertificateTable(&noDer, "B:", &replaced)),
              "failed: the certificate entry holds no DER structure");
    SignatureParts two;
    two.signers = 2;
    Bytes twoSigners = makeSignedPe(true, 100, signedData(two));
    EXPECT_EQ(failure(placeInCertificateTable(&twoSigners, "B:", &replaced)),
              "failed: the signature must have exactly one signer");
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

// Signatures over something else than a PE image, or whose signed contentType names something
// else than the content they carry, are refused: the digest would bind, but not to what is signed.
TEST(Signature, RefusesOtherContentAndContentTypes)
{
    const std::string cabData("\x2B\x06\x01\x04\x01\x82\x37\x02\x01\x19", 10); // SpcLink, as CAB files carry
    const std::string pkcs7Data("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x01", 9);
    const struct {
        const char* what;
        std::string dataType;
        std::vector<std::string> contentTypes;
        std::string reason;
    } cases[] = {
        {"PE image data", SPC_PE_IMAGE_DATA_OID, {SPC_INDIRECT_DATA_OID}, ""},
        {"other data", cabData, {SPC_INDIRECT_DATA_OID}, "failed: the signed content is not of PE image data"},
        {"no contentType", SPC_PE_IMAGE_DATA_OID, {}, "failed: the signed attributes hold no contentType"},
        {"other contentType",
         SPC_PE_IMAGE_DATA_OID,
         {pkcs7Data},
         "failed: the signed contentType is not SpcIndirectData"},
        {"two contentTypes",
         SPC_PE_IMAGE_DATA_OID,
         {SPC_INDIRECT_DATA_OID, pkcs7Data},
         "failed: the contentType attribute is malformed"},
    };
    for (const auto& c : cases) {
        SignatureParts parts;
        parts.dataType = c.dataType;
        parts.contentTypes = c.contentTypes;
        const Bytes der = signedData(parts);
        SignatureInfo s;
        EXPECT_EQ(failure(parseSignature(u8(der), der.size(), &s)), c.reason) << c.what;
    }
}

// A dual-signed file: a SHA-1 primary signature with SHA-256 signatures nested in it (an unsigned
// attribute of the primary signer). Each nested one is read on its own, one level deep.
TEST(Signature, ReadsNestedSignaturesOneLevelDeep)
{
    const Image image = programImage();
    const Sha256::Digest d = digestOf(withTable(image, pebuilder::certificateEntry(signedData())));
    const Bytes digest(d.begin(), d.end());
    const Bytes ours = signedData(partsFor(digest));
    const Bytes stranger = signedData(partsFor(digest, SHA256_OID, 'd'));
    SignatureParts nesting = partsFor(digest);
    nesting.unsignedAttributes = nestedSignatures({stranger});
    const Bytes garbage = seq(oid("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x01"));

    SignatureParts primary = partsFor(Bytes(20, '\x44'), SHA1_OID);
    primary.unsignedAttributes = nestedSignatures({ours, stranger, garbage, signedData(nesting)});
    FileSignature file;
    const Bytes bytes = withTable(image, pebuilder::certificateEntry(signedData(primary)));
    ASSERT_EQ(failure(readFileSignature(u8(bytes), bytes.size(), &file)), "");
    EXPECT_EQ(file.info.imageDigestAlgorithm, DigestAlgorithm::Sha1);
    ASSERT_EQ(file.nested.size(), 4u) << "what a nested signature nests is not read";
    const auto key = [](char fill) { return hex(Sha256::of(publicKey(fill).data(), publicKey(fill).size())); };
    EXPECT_EQ(hex(file.signerKey), key('b'));
    EXPECT_EQ(hex(file.nested[0].signerKey), key('b'));
    EXPECT_EQ(hex(file.nested[1].signerKey), key('d'));
    EXPECT_EQ(failure(file.nested[2].read), "failed: the signature is no PKCS#7 SignedData");
    EXPECT_EQ(file.nested[3].info.nestedSignatures.size(), 1u);

    // The candidates in order, and which of them are by the primary signer's key.
    const auto candidates = signatureCandidates(file);
    ASSERT_EQ(candidates.size(), 5u);
    const bool byPrimary[] = {true, true, false, false, true};
    for (size_t i = 0; i < candidates.size(); ++i) {
        EXPECT_EQ(candidates[i].index, i);
        EXPECT_EQ(candidates[i].byPrimarySigner, byPrimary[i]) << i;
        EXPECT_EQ(candidates[i].info == nullptr, i == 3) << i;
    }
    EXPECT_EQ(text(candidates[1].der), ours);
    EXPECT_EQ(signatureName(0), "the primary signature");
    EXPECT_EQ(signatureName(2), "nested signature 2");

    // At most eight nested signatures, in one attribute or spread over several.
    for (size_t n : {8u, 9u}) {
        SignatureParts many = primary;
        many.unsignedAttributes = nestedSignatures(std::vector<Bytes>(n - 1, ours)) + nestedSignatures({stranger});
        const Bytes der = signedData(many);
        SignatureInfo s;
        EXPECT_EQ(failure(parseSignature(u8(der), der.size(), &s)),
                  n == 8 ? "" : "failed: the signature nests more than 8 signatures");
    }
}

TEST(SignatureChoice, DigestChecksNameTheirFault)
{
    const Sha256::Digest d = digestOf(withTable(programImage(), pebuilder::certificateEntry(signedData())));
    const Bytes digest(d.begin(), d.end());
    const std::string sha384("\x60\x86\x48\x01\x65\x03\x04\x02\x02", 9);
    SignatureParts signerSha1 = partsFor(digest);
    signerSha1.signerAlg = SHA1_OID;
    SignatureParts contentChanged = partsFor(digest);
    contentChanged.messageDigest[0] ^= 1;
    const struct {
        const char* what;
        SignatureParts parts;
        int32_t fault;
        DigestAlgorithm image;
    } cases[] = {
        {"sha256", partsFor(digest), 0, DigestAlgorithm::Sha256},
        {"sha1", partsFor(Bytes(20, '\x11'), SHA1_OID), DIGEST_IMAGE_NOT_SHA256, DigestAlgorithm::Sha1},
        {"sha384", partsFor(Bytes(48, '\x11'), sha384), DIGEST_IMAGE_NOT_SHA256, DigestAlgorithm::Sha384},
        {"other image", partsFor(Bytes(32, '\x11')), DIGEST_IMAGE_DIFFERS, DigestAlgorithm::Sha256},
        {"signer sha1", signerSha1, DIGEST_SIGNER_NOT_SHA256, DigestAlgorithm::Sha256},
        {"content changed", contentChanged, DIGEST_CONTENT_DIFFERS, DigestAlgorithm::Sha256},
    };
    for (const auto& c : cases) {
        const Bytes der = signedData(c.parts);
        SignatureInfo s;
        ASSERT_EQ(failure(parseSignature(u8(der), der.size(), &s)), "") << c.what;
        EXPECT_EQ(s.imageDigestAlgorithm, c.image) << c.what;
        const Result r = checkSignatureDigests(s, d);
        EXPECT_EQ(r.code, c.fault) << c.what << ": " << r.reason;
    }
    EXPECT_STREQ(digestAlgorithmName(DigestAlgorithm::Sha384), "sha384");
}
