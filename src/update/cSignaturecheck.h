// cSignaturecheck: decides whether a downloaded program comes from a pinned publisher before the
// updater puts it in place. A file passes when it carries an Authenticode signature that (a) signs
// exactly these bytes (the image digest computed here equals the digest inside the signature),
// (b) is a valid PKCS#7 signature (the signed attributes' messageDigest is the hash of the signed
// content, and the platform's crypto library verifies the signature over the signed attributes
// with the signer certificate's key) and (c) was made by a key whose SHA-256 public-key hash is in
// the pin. The pin is the whole trust decision: no chain to a root, no time stamp, no expiry.
// The updater makes one check per download; crypt32 is linked by delay-import, so it is loaded
// (from the system folder only) on the first check.
#pragma once

#include "authenticode.h"

#include <string>
#include <vector>

class cSignaturecheck {
public:
    // Which requirement a file failed.
    enum Failure { PASSED = 0, FAILED_IMAGE_DIGEST, FAILED_SIGNATURE, FAILED_SIGNER };

    struct Outcome {
        Failure failure = PASSED;
        std::wstring detail; // what failed, in words
        std::wstring signer; // hex SHA-256 of the signer's public key; empty when none was found
        bool accepted() const { return failure == PASSED; }
        // "a", "b" or "c" (empty when passed)
        std::wstring requirement() const;
    };

    explicit cSignaturecheck(std::vector<portable::Sha256::Digest> pin);

    // The pin as the deployment block carries it: hashes separated by ",". False when malformed.
    static bool parsePin(const std::wstring& text, std::vector<portable::Sha256::Digest>* out);

    // The check of a file of fileSize bytes read through read (the updater hands in its private
    // download); checkFile opens a file by its path for it. imageDigest: the digest of the file's
    // bytes computed as they were written (portable::ImageDigestStream), so that they need not be
    // read again; null computes it here from the file.
    Outcome check(uint64_t fileSize, const portable::ReadAt& read,
                  const portable::Sha256::Digest* imageDigest = nullptr) const;
    Outcome checkFile(const std::wstring& path) const;

private:
    std::vector<portable::Sha256::Digest> pin;
};
