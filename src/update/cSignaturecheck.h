// cSignaturecheck: decides whether a downloaded program comes from a pinned publisher before the
// updater puts it in place. A file passes when it carries an Authenticode signature that (a) signs
// exactly these bytes (the image digest computed here equals the digest inside the signature),
// (b) is a valid PKCS#7 signature (the signed attributes' messageDigest is the hash of the signed
// content, and the platform's crypto library verifies the signature over the signed attributes
// with the signer certificate's key) and (c) was made by a key whose SHA-256 public-key hash is in
// the pin. (a) includes the placement rules of the certificate table (certificateTableSignature).
// A dual-signed file passes when any one of its SHA-256 signatures, the primary or one nested in
// it (portable::signatureCandidates), meets (a) to (c) on its own; a SHA-1 signature never does.
// A download that carries a deployment block (an installer) must also (d) keep the pin: its block
// has a signer entry whose keys are all in the pin, so that the pin only ever narrows. The
// installer's own signature is checked with the same code, (a) and (b) only (verify), on the
// primary signature and the signatures nested in it by the primary signer's key only (anyone can
// nest a signature of their own in a signed file); that key becomes part of the pin. The pin is the whole trust
// decision: no chain to a root, no time stamp, no expiry. The updater makes one check per download; crypt32 is linked
// by delay-import, so it is loaded (from the system folder only) on the first check.
#pragma once

#include "authenticode.h"
#include "signerentryscan.h"

#include <string>
#include <vector>

class cSignaturecheck {
public:
    // Which requirement a file failed.
    enum Failure { PASSED = 0, FAILED_IMAGE_DIGEST, FAILED_SIGNATURE, FAILED_SIGNER, FAILED_WIDENS_PIN };

    struct Outcome {
        Failure failure = PASSED;
        std::wstring detail;                  // what failed, in words
        std::wstring signer;                  // hex SHA-256 of the signer's public key; empty when none was found
        portable::Sha256::Digest signerKey{}; // the same as bytes (when signer is not empty)
        bool accepted() const { return failure == PASSED; }
        // "a", "b", "c" or "d" (empty when passed)
        std::wstring requirement() const;
    };

    explicit cSignaturecheck(std::vector<portable::Sha256::Digest> pin);

    // The pin as the deployment block carries it: hashes separated by ",". False when malformed.
    static bool parsePin(const std::wstring& text, std::vector<portable::Sha256::Digest>* out);

    // The check of a file of fileSize bytes read through read (the updater hands in its private
    // download); checkFile opens a file by its path for it (and scans its block for (d)). imageDigest: the digest of
    // the file's bytes computed as they were written (portable::ImageDigestStream), so that they need not be read
    // again; null computes it here from the file. blockScan: what the file's deployment block says about the pin
    // (portable::SignerEntryScan fed with the file's bytes as they were written); with it, a file that carries a block
    // must also keep the pin (d). Null leaves (d) out.
    Outcome check(uint64_t fileSize, const portable::ReadAt& read,
                  const portable::Sha256::Digest* imageDigest = nullptr,
                  const portable::SignerEntryScan* blockScan = nullptr) const;
    Outcome checkFile(const std::wstring& path) const;

    // (a) and (b) alone, no pin: whether a file carries a valid signature by its primary signer's
    // key (the primary signature or one nested by the same key), and that key. For the installer's
    // own file at start-up.
    static Outcome verify(uint64_t fileSize, const portable::ReadAt& read,
                          const portable::Sha256::Digest* imageDigest = nullptr);
    // Whether the file at path has a certificate-table entry at all, valid or not (false when it
    // cannot be read).
    static bool hasSignature(const std::wstring& path);
    static Outcome verifyFile(const std::wstring& path);

    // The scan of a file's bytes read through read (when they were not scanned as they came).
    static bool scanFile(uint64_t fileSize, const portable::ReadAt& read, portable::SignerEntryScan* scan);

private:
    std::vector<portable::Sha256::Digest> pin;
};
