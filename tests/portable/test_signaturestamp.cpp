// What the stamper alone does (cv_stamping): the PE checksum, and a deployment block carried
// inside a signature's unsigned attributes, placed and replaced, of both header kinds, beside an
// earlier unsigned attribute; files it cannot grow safely, and input that breaks the placement
// rules, are refused and left as they were.
#include "der.h"
#include "signaturestamp.h"

#include "signedprogram.h"

#include <gtest/gtest.h>

using namespace portable;
using namespace signaturebuilder;
using namespace signedprogram;
using pebuilder::get32;
using pebuilder::put32;

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

TEST(SignatureStamp, CarriesTheBlockInsideTheSignature)
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

TEST(SignatureStamp, StampingHoldsTheInputToThePlacementRules)
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

TEST(SignatureStamp, RefusesFilesItCannotGrowSafely)
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
