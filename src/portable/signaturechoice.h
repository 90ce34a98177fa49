// signaturechoice: the signatures of a file that may carry a trust decision, and the digest
// checks of one of them. A dual-signed program carries a primary signature (often SHA-1, for old
// Windows versions) and signatures nested in it (SHA-256). A nested signature is an unsigned
// attribute of the primary signer: anyone can add one to a signed file without touching what the
// primary signature covers, so a nested signature counts only on its own merits, never on the
// primary's. Only SHA-256 signatures are usable: the image digest is computed with SHA-256 alone,
// and a SHA-1 signature never carries a decision. The installer's check (cSignaturecheck) and
// cvstamp share this; the platform's verification of the signature itself is the caller's.
// Portable code: no platform headers.
#pragma once

#include "result.h"
#include "sha256.h"
#include "signeddata.h"

#include <cstddef>
#include <string>
#include <vector>

namespace portable {

// One signature of a file. Points into the FileSignature it was taken from.
struct SignatureCandidate {
    size_t index = 0;                    // 0: the primary signature; n: the n-th nested one
    ByteSpan der;                        // its ContentInfo
    const SignatureInfo* info = nullptr; // null when it does not read
    const Result* read = nullptr;        // why it does not read (for a nested one)
    Sha256::Digest signerKey{};          // signerKeyHash(*info) when it reads
    // Whether its signer's key is the primary signer's: only such a signature may name the
    // publisher of the file itself.
    bool byPrimarySigner = false;
};

// The primary signature, then the nested ones in their order.
std::vector<SignatureCandidate> signatureCandidates(const FileSignature& file);

// "the primary signature", "nested signature 1", ...
std::string signatureName(size_t index);

// Why checkSignatureDigests failed: its code.
enum SignatureDigestFault : int32_t {
    DIGEST_IMAGE_NOT_SHA256 = 1, // the signed image digest is of another algorithm: not usable
    DIGEST_IMAGE_DIFFERS,        // the signed image digest is not the file's: (a)
    DIGEST_SIGNER_NOT_SHA256,    // the signer hashed with another algorithm: not usable
    DIGEST_CONTENT_DIFFERS,      // messageDigest is not the hash of the signed content: (b)
};

// Whether the fault means that the signature's algorithms rule it out (rather than that it fails).
bool isUnusableAlgorithm(int32_t fault);

// (a) and the digest half of (b) for one signature of a file whose SHA-256 image digest is
// imageDigest: both digests SHA-256, the signed image digest equal to it, the signed
// messageDigest equal to the hash of the signed content. Fails with a SignatureDigestFault.
Result checkSignatureDigests(const SignatureInfo& info, const Sha256::Digest& imageDigest);

} // namespace portable
