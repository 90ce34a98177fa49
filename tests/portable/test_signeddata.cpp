// The SignedData reader on synthetic signatures (tests/support/signaturebuilder): the digests and
// the named signer's key, what it cannot trust (an unknown signer, two signers, no signed
// attributes, every cut, other content or content types), nested signatures one level deep; and a
// file's signature read in one go, each step naming its own failure.
#include "signeddata.h"

#include "signedprogram.h"

#include <gtest/gtest.h>

#include <vector>

using namespace portable;
using namespace signaturebuilder;
using namespace signedprogram;

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

TEST(FileSignature, ReadsTheSignerOfTheTableAndNamesTheStepThatFailed)
{
    const Program p = signedProgram();
    FileSignature signature;
    ASSERT_EQ(failure(readFileSignature(u8(p.file), p.file.size(), &signature)), "");
    EXPECT_EQ(text(signature.info.signerPublicKey), publicKey('b'));
    EXPECT_EQ(hex(signature.signerKey), keyHash('b'));
    EXPECT_EQ(signature.layout.certTableOffset, p.image.size());

    EXPECT_EQ(placement(p.image.bytes), "the file carries no signature");
    EXPECT_EQ(placement("MZ"), "layout: no MZ header");
    const Bytes noSignedData = withTable(p.image, pebuilder::certificateEntry(seq(oid("\x2A"))));
    EXPECT_EQ(placement(noSignedData), "signature: the signature is no PKCS#7 SignedData");
}

// A dual-signed file: each nested signature is read on its own, one level deep.
TEST(FileSignature, ReadsNestedSignaturesOneLevelDeep)
{
    const DualSigned dual = dualSignedProgram();
    FileSignature file;
    ASSERT_EQ(failure(readFileSignature(u8(dual.file), dual.file.size(), &file)), "");
    EXPECT_EQ(file.info.imageDigestAlgorithm, DigestAlgorithm::Sha1);
    ASSERT_EQ(file.nested.size(), 4u) << "what a nested signature nests is not read";
    EXPECT_EQ(hex(file.signerKey), keyHash('b'));
    EXPECT_EQ(hex(file.nested[0].signerKey), keyHash('b'));
    EXPECT_EQ(hex(file.nested[1].signerKey), keyHash('d'));
    EXPECT_EQ(failure(file.nested[2].read), "failed: the signature is no PKCS#7 SignedData");
    EXPECT_EQ(file.nested[3].info.nestedSignatures.size(), 1u);

    // At most eight nested signatures, in one attribute or spread over several.
    for (size_t n : {8u, 9u}) {
        SignatureParts many = dual.primary;
        many.unsignedAttributes =
            nestedSignatures(std::vector<Bytes>(n - 1, dual.ours)) + nestedSignatures({dual.stranger});
        const Bytes der = signedData(many);
        SignatureInfo s;
        EXPECT_EQ(failure(parseSignature(u8(der), der.size(), &s)),
                  n == 8 ? "" : "failed: the signature nests more than 8 signatures");
    }
}
