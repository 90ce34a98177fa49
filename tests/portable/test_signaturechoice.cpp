// Which signatures of a file may carry a decision, on a dual-signed program: the primary one and
// the nested ones in order, which of them are by the primary signer's key; and the digest checks
// of one signature, each naming its fault.
#include "signaturechoice.h"

#include "signedprogram.h"

#include <gtest/gtest.h>

using namespace portable;
using namespace signaturebuilder;
using namespace signedprogram;

TEST(SignatureChoice, CandidatesAreThePrimaryAndTheNestedSignaturesInOrder)
{
    const DualSigned dual = dualSignedProgram();
    FileSignature file;
    ASSERT_EQ(failure(readFileSignature(u8(dual.file), dual.file.size(), &file)), "");
    const auto candidates = signatureCandidates(file);
    ASSERT_EQ(candidates.size(), 5u);
    // ours and the primary are by the primary signer's key, the stranger's is not, the garbage is
    // by nobody, and the one that nests again is by the primary signer.
    const bool byPrimary[] = {true, true, false, false, true};
    for (size_t i = 0; i < candidates.size(); ++i) {
        EXPECT_EQ(candidates[i].index, i);
        EXPECT_EQ(candidates[i].byPrimarySigner, byPrimary[i]) << i;
        EXPECT_EQ(candidates[i].info == nullptr, i == 3) << i;
    }
    EXPECT_EQ(text(candidates[1].der), dual.ours);
    EXPECT_EQ(signatureName(0), "the primary signature");
    EXPECT_EQ(signatureName(2), "nested signature 2");
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
