#include "signaturechoice.h"

#include <cstring>

namespace portable {

namespace {

bool equal(const ByteSpan& a, const Sha256::Digest& b)
{
    return a.size == b.size() && std::memcmp(a.data, b.data(), b.size()) == 0;
}

} // namespace

std::vector<SignatureCandidate> signatureCandidates(const FileSignature& file)
{
    std::vector<SignatureCandidate> out;
    SignatureCandidate primary;
    primary.der = file.der;
    primary.info = &file.info;
    primary.signerKey = file.signerKey;
    primary.byPrimarySigner = true;
    out.push_back(primary);
    for (size_t i = 0; i < file.nested.size(); ++i) {
        const NestedSignature& nested = file.nested[i];
        SignatureCandidate c;
        c.index = i + 1;
        c.der = nested.der;
        c.read = &nested.read;
        if (nested.read) {
            c.info = &nested.info;
            c.signerKey = nested.signerKey;
            c.byPrimarySigner = nested.signerKey == file.signerKey;
        }
        out.push_back(c);
    }
    return out;
}

std::string signatureName(size_t index)
{
    return index == 0 ? std::string("the primary signature") : "nested signature " + std::to_string(index);
}

bool isUnusableAlgorithm(int32_t fault)
{
    return fault == DIGEST_IMAGE_NOT_SHA256 || fault == DIGEST_SIGNER_NOT_SHA256;
}

Result checkSignatureDigests(const SignatureInfo& info, const Sha256::Digest& imageDigest)
{
    if (info.imageDigestAlgorithm != DigestAlgorithm::Sha256) {
        return Result::failed("the signed image digest is not a SHA-256 digest", DIGEST_IMAGE_NOT_SHA256);
    }
    if (!equal(info.imageDigest, imageDigest)) {
        return Result::failed("the image digest of the file differs from the signed digest", DIGEST_IMAGE_DIFFERS);
    }
    if (info.signerDigestAlgorithm != DigestAlgorithm::Sha256) {
        return Result::failed("the signer's digest algorithm is not SHA-256", DIGEST_SIGNER_NOT_SHA256);
    }
    if (!equal(info.messageDigest, Sha256::of(info.signedContent.data, info.signedContent.size))) {
        return Result::failed("the signed messageDigest differs from the hash of the signed content",
                              DIGEST_CONTENT_DIFFERS);
    }
    return Result::done();
}

} // namespace portable
