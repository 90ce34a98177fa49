// signeddata: the reader of an Authenticode signature, the PKCS#7 SignedData in a PE file's
// certificate table, far enough to name the digest it signs, the signed attributes'
// messageDigest and the signer's certificate and public key, and the signatures nested in it (the
// unsigned attribute 1.3.6.1.4.1.311.2.4.1 that dual-signed programs carry); and the one sequence that takes a
// file's signature from its bytes (readFileSignature: the layout, the certificate table held to
// its placement rules, its one entry's DER, the SignedData, the hash of the signer's key), which
// the installer's check and cvstamp both use. Everything works on bytes handed in: it never
// trusts a length it has not checked against the data it has. Portable code: no platform headers.
#pragma once

#include "bytespan.h"
#include "der.h"
#include "peheaders.h"
#include "readat.h"
#include "result.h"
#include "sha256.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace portable {

// The digest algorithms a signature names.
enum class DigestAlgorithm { Other, Sha1, Sha256, Sha384, Sha512 };
// "sha1", "sha256", ... ("other" for any other).
const char* digestAlgorithmName(DigestAlgorithm algorithm);

// The most signatures nested in one signature that are read; a signature that nests more is refused.
constexpr size_t MAX_NESTED_SIGNATURES = 8;

// What an Authenticode SignedData says. All spans point into the bytes given to parseSignature.
struct SignatureInfo {
    ByteSpan imageDigest; // the digest of the program that the signer signed
    DigestAlgorithm imageDigestAlgorithm = DigestAlgorithm::Other;
    ByteSpan signedContent; // the SpcIndirectDataContent's contents: what messageDigest hashes
    DigestAlgorithm signerDigestAlgorithm = DigestAlgorithm::Other;
    ByteSpan messageDigest;     // the signed attribute; empty when the signer has no signed attributes
    ByteSpan signerCertificate; // DER of the certificate named by the signer (issuer and serial number)
    ByteSpan signerPublicKey;   // DER of that certificate's SubjectPublicKeyInfo
    ByteSpan signedAttributes;  // the signer's [0] IMPLICIT SET OF Attribute, tag included
    bool signedWithRsa = false; // the signature algorithm is rsaEncryption or sha256WithRSAEncryption
    ByteSpan signature;         // the signature over the signed attributes (encryptedDigest)
    // The DER ContentInfo of each signature nested in this one (an unsigned attribute of the
    // signer, outside what it signs: anyone can add one), in their order; not read further here.
    std::vector<ByteSpan> nestedSignatures;
};

// Reads the SignedData (exactly one signer, its certificate among those carried, Authenticode
// content for a PE image named by the signed contentType attribute, at most
// MAX_NESTED_SIGNATURES nested signatures); fails with the reason for anything else.
Result parseSignature(const uint8_t* der, size_t size, SignatureInfo* out);

// The digest the signer signed: SHA-256 of the signed attributes as a SET OF (their DER with the
// universal SET tag in place of [0]).
Sha256::Digest signedAttributesDigest(const SignatureInfo& info);
// The publisher's identity: SHA-256 of the signer certificate's DER SubjectPublicKeyInfo.
Sha256::Digest signerKeyHash(const SignatureInfo& info);

// The nesting around a SignedData: ContentInfo { OID signedData, [0] EXPLICIT SignedData }.
struct SignedDataFrame {
    Tlv contentInfo;
    Tlv explicitData;
    Tlv signedData;
};
enum SignedDataFrameFault : int32_t { FRAME_NO_DER = 1, FRAME_NO_SIGNED_DATA = 2 };
// Fails with a SignedDataFrameFault as its code.
Result readSignedDataFrame(ByteSpan der, SignedDataFrame* out);

// The only element of a SET OF SignerInfo; false when it holds none or more than one.
bool onlySigner(const Tlv& signers, Tlv* signer);

// A signature nested in a file's signature (one level deep: what such a signature nests in turn
// is never looked at).
struct NestedSignature {
    ByteSpan der;
    Result read; // whether it reads as a SignedData parseSignature takes; info and signerKey only then
    SignatureInfo info;
    Sha256::Digest signerKey{};
};

// A file's signature, read by readFileSignature. The spans point into table.
struct FileSignature {
    PeLayout layout;
    std::vector<uint8_t> table; // the certificate table's bytes
    ByteSpan der;               // the signature of its one entry: the primary signature
    SignatureInfo info;
    Sha256::Digest signerKey{};          // signerKeyHash(info)
    std::vector<NestedSignature> nested; // the signatures nested in the primary one, in their order

    FileSignature() = default;
    FileSignature(const FileSignature&) = delete;
    FileSignature& operator=(const FileSignature&) = delete;
};

// The step at which readFileSignature failed: its code.
enum FileSignatureFault : int32_t {
    SIGNATURE_NO_PROGRAM = 1,  // the headers cannot be read (no usable PE image)
    SIGNATURE_NONE,            // no certificate table
    SIGNATURE_TABLE_TOO_LARGE, // larger than the caller takes
    SIGNATURE_TABLE_UNREAD,    // the table cannot be read
    SIGNATURE_PLACEMENT,       // the table breaks a placement rule
    SIGNATURE_MALFORMED,       // its signature is no SignedData this reader takes
};

struct FileSignatureLimits {
    size_t headBytes = 65536; // read for the headers
    size_t maxTable = SIZE_MAX;
};

// The first steps alone: the layout, the certificate table held to its placement rules and its
// one entry's DER (out->info, out->signerKey and out->nested are left empty). For the stamper, which rewrites
// the signature rather than judging it.
Result readCertificateEntry(uint64_t fileSize, const ReadAt& read, FileSignature* out,
                            const FileSignatureLimits& limits = {});
Result readCertificateEntry(const uint8_t* data, size_t size, FileSignature* out);

// The signature of a file of fileSize bytes read through read. Fails with a FileSignatureFault
// as its code and the reason of the step (readPeLayout's, the placement rule, parseSignature's of
// the primary signature). A nested signature that does not read fails nothing: it is kept with
// its reason.
Result readFileSignature(uint64_t fileSize, const ReadAt& read, FileSignature* out,
                         const FileSignatureLimits& limits = {});
// The same for a file held in memory (its headers read from the whole of it).
Result readFileSignature(const uint8_t* data, size_t size, FileSignature* out);

} // namespace portable
