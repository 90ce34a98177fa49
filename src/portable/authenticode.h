// authenticode: the parts of a signed Windows program that the installer's signature check and
// the host stamper both need, as portable code without platform headers. It finds the checksum
// field, the certificate-table entry and the certificate table in the PE headers; computes the
// image digest (SHA-256 over the file without those three); holds the table to its placement
// rules and gives its one signature; reads the PKCS#7 SignedData of an Authenticode signature far enough to name the
// digest it signs, the signed attributes' messageDigest and the signer's certificate and public
// key; and reads a publisher pin (SHA-256 hashes of public keys). Everything works on bytes handed in:
// it never trusts a length it has not checked against the data it has.
#pragma once

#include "bytespan.h"
#include "sha256.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace portable {

// Where the signature-related fields of a PE file lie (file offsets), read by the one PE header
// reader (peheaders).
struct PeLayout {
    uint64_t fileSize = 0;
    uint32_t checksumOffset = 0;      // the optional header's CheckSum (4 bytes)
    uint32_t securityEntryOffset = 0; // the certificate-table data directory entry (8 bytes)
    uint32_t certTableOffset = 0;     // the certificate table; 0 with size 0 when there is none
    uint32_t certTableSize = 0;
    uint32_t sizeOfHeaders = 0;
    bool sectionsRead = false; // the section table lay within the headers read
    uint64_t sectionsEnd = 0;  // the end of the last byte of any section's raw data
    bool hasCertTable() const { return certTableSize != 0; }
};

// Reads the layout from the file's first headSize bytes (the DOS, COFF and optional headers must
// lie within them). False, with the reason in why, for a file that is no usable PE image or whose
// certificate table lies outside the file or inside the headers.
bool readPeLayout(const uint8_t* head, size_t headSize, uint64_t fileSize, PeLayout* out, std::string* why);

// The placement rules of a certificate table, part of every signature check: the table is 8-byte
// aligned, starts at or after SizeOfHeaders and the end of every section's raw data, ends the
// file, and holds exactly one entry (WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA) whose
// contents are one DER structure followed by fewer than 8 zero bytes of padding. table: the
// table's size bytes as the layout names them. Gives the DER signature (pointing into table), or
// false with the rule that was broken in why. The installer's check, cvstamp's --show,
// --print-signer and stamping all read a signature through this one rule.
bool certificateTableSignature(const PeLayout& layout, const uint8_t* table, size_t size, ByteSpan* der,
                               std::string* why);

struct FileRange {
    uint64_t offset;
    uint64_t length;
};

// The parts of the file the image digest covers, in file order.
std::vector<FileRange> imageDigestRanges(const PeLayout& layout);

// Reads length bytes at offset into buffer; false when the file cannot deliver them.
using ReadAt = std::function<bool(uint64_t offset, uint8_t* buffer, size_t length)>;

// The SHA-256 image digest over the ranges, read through read in pieces of at most chunk bytes.
bool imageDigest(const PeLayout& layout, const ReadAt& read, Sha256::Digest* out, size_t chunk = 1 << 20);

// The same for a file held in memory (layout read from it).
bool imageDigest(const uint8_t* data, size_t size, Sha256::Digest* out, std::string* why);

// The image digest of a file whose bytes come in order, in pieces (a download as it arrives): the
// first 64 KiB are kept until the headers can be read, then every piece is hashed as it comes,
// without the checksum field, the certificate-table entry and the table. Gives the same digest as
// imageDigest over the whole file.
class ImageDigestStream {
public:
    static constexpr size_t HEAD_BYTES = 65536;

    void update(const uint8_t* data, size_t size);
    // After the last piece: false when the file is no usable PE image (as readPeLayout judges it)
    // or its certificate table reaches past the end.
    bool finish(Sha256::Digest* out);

private:
    void readLayout(uint64_t fileSize);
    void hashCovered(const uint8_t* data, size_t size, uint64_t offset);

    std::vector<uint8_t> head;
    bool layoutRead = false;
    bool usable = false;
    PeLayout layout;
    uint64_t position = 0;
    Sha256 hash;
};

constexpr uint16_t WIN_CERT_REVISION_2_0 = 0x0200;
constexpr uint16_t WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002;

// Total length (header and contents) of the DER element at data, 0 when it is not one that fits.
size_t derElementLength(const uint8_t* data, size_t size);

// What an Authenticode PKCS#7 SignedData says. All spans point into the bytes given to
// parseSignature.
struct SignatureInfo {
    ByteSpan imageDigest; // the digest of the program that the signer signed
    bool imageDigestIsSha256 = false;
    ByteSpan signedContent; // the SpcIndirectDataContent's contents: what messageDigest hashes
    bool signerDigestIsSha256 = false;
    ByteSpan messageDigest;     // the signed attribute; empty when the signer has no signed attributes
    ByteSpan signerCertificate; // DER of the certificate named by the signer (issuer and serial number)
    ByteSpan signerPublicKey;   // DER of that certificate's SubjectPublicKeyInfo
};

// Reads the SignedData (exactly one signer, its certificate among those carried). False with the
// reason for anything else.
bool parseSignature(const uint8_t* der, size_t size, SignatureInfo* out, std::string* why);

// A publisher pin: one or more SHA-256 hashes, 64 hex digits each, separated by ",". False for
// anything else (no blanks, no empty items).
bool parseSignerPin(const std::string& text, std::vector<Sha256::Digest>* out);

std::string toHex(const uint8_t* data, size_t size);
inline std::string toHex(const Sha256::Digest& d) { return toHex(d.data(), d.size()); }

} // namespace portable
