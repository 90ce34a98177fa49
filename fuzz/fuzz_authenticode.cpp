// Fuzz target: the signature side of the portable core on arbitrary files. The input is taken as
// a whole PE file (layout, image digest in memory and streamed in odd chunks, the placement rules
// of the certificate table and its signature, growing the entry by a block), as a bare DER
// signature, and as a download fed in pieces to the streaming digest. Beyond not crashing, it
// checks what must hold for any input: the digest ranges lie inside the file in order and leave
// out exactly the checksum, the directory entry and the table; all digest paths agree; spans of a
// read signature lie inside its bytes; a table that passes the placement rules is aligned, ends
// the file, lies behind the headers and every section (so the image check never finds a section
// in it) and holds the signature and fewer than 8 zero bytes; a grown file keeps its digest, ends with its table,
// carries a correct checksum, holds nothing but the signature and zero padding in its last entry,
// and its signature reads with the same signer.
#include "authenticode.h"
#include "programimage.h"
#include "rsasignature.h"
#include "signaturestamp.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace portable;

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

bool inside(const ByteSpan& s, const uint8_t* data, size_t size)
{
    return s.size == 0 || (s.data >= data && s.data + s.size <= data + size);
}

// The signer's key of a signature that reads; empty otherwise.
std::string checkSignature(const uint8_t* der, size_t size)
{
    SignatureInfo info;
    if (const Result r = parseSignature(der, size, &info); !r) {
        require(!r.reason.empty());
        return {};
    }
    for (const ByteSpan& s : {info.imageDigest, info.signedContent, info.messageDigest, info.signerCertificate,
                              info.signerPublicKey, info.signedAttributes, info.signature}) {
        require(inside(s, der, size));
    }
    // The installer's own RSA check on whatever key and signature the input carries.
    const Result rsa = verifyRsaSha256(info.signerPublicKey, info.signature, signedAttributesDigest(info));
    require(rsa.code == RSA_KEY_NOT_TAKEN || rsa.code == RSA_SIGNATURE_BAD || rsa.ok());
    require(!info.messageDigest.empty() && !info.signerPublicKey.empty());
    require(info.signerPublicKey.data >= info.signerCertificate.data &&
            info.signerPublicKey.data + info.signerPublicKey.size <=
                info.signerCertificate.data + info.signerCertificate.size);
    return std::string(reinterpret_cast<const char*>(info.signerPublicKey.data), info.signerPublicKey.size);
}

void checkRanges(const PeLayout& layout)
{
    uint64_t covered = 0;
    uint64_t previousEnd = 0;
    for (const FileRange& r : imageDigestRanges(layout)) {
        require(r.offset >= previousEnd && r.offset + r.length <= layout.fileSize);
        previousEnd = r.offset + r.length;
        covered += r.length;
    }
    require(covered == layout.fileSize - 12 - layout.certTableSize);
}

// signerKey: the signer's key read from the last entry before, empty when it did not read.
void checkGrowing(const uint8_t* data, size_t size, const Sha256::Digest& before, const std::string& signerKey)
{
    std::string file(reinterpret_cast<const char*>(data), size);
    bool replaced = false;
    if (!placeInCertificateTable(&file, "MARK:entry<value>\r\n", &replaced)) {
        require(file.size() == size && std::memcmp(file.data(), data, size) == 0);
        return;
    }
    const auto* grown = reinterpret_cast<const uint8_t*>(file.data());
    PeLayout layout;
    require(readPeLayout(grown, file.size(), file.size(), &layout).ok());
    require(layout.certTableOffset + static_cast<uint64_t>(layout.certTableSize) == file.size());
    Sha256::Digest after;
    require(imageDigest(grown, file.size(), &after).ok() && after == before);
    uint32_t stored;
    std::memcpy(&stored, grown + layout.checksumOffset, 4); // little-endian hosts only
    require(stored == peChecksum(grown, file.size(), layout.checksumOffset));
    // The grown table meets the placement rules as the input did, and the signature reads as it
    // did, now carrying the block.
    ByteSpan der;
    require(certificateTableSignature(layout, grown + layout.certTableOffset, layout.certTableSize, &der).ok());
    require(file.find("MARK:entry<value>\r\n") != std::string::npos);
    SignatureInfo info;
    if (signerKey.empty()) {
        return;
    }
    require(parseSignature(der.data, der.size, &info).ok());
    require(std::string(reinterpret_cast<const char*>(info.signerPublicKey.data), info.signerPublicKey.size) ==
            signerKey);
}

} // namespace

// The digest of the bytes fed in pieces equals the digest over the layout of the first 64 KiB.
void checkStream(const uint8_t* data, size_t size)
{
    ImageDigestStream stream;
    const size_t step = 1 + (size > 0 ? data[size - 1] : 0) * 37;
    for (size_t done = 0; done < size;) {
        const size_t take = std::min(step, size - done);
        stream.update(data + done, take);
        done += take;
    }
    Sha256::Digest streamed;
    const bool ok = stream.finish(&streamed).ok();
    PeLayout layout;
    const size_t head = std::min(size, ImageDigestStream::HEAD_BYTES);
    require(ok == readPeLayout(data, head, size, &layout).ok());
    if (!ok) {
        return;
    }
    Sha256::Digest whole;
    require(imageDigest(
                layout,
                [&](uint64_t offset, uint8_t* buffer, size_t length) {
                    std::memcpy(buffer, data + offset, length);
                    return true;
                },
                &whole)
                .ok());
    require(whole == streamed);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    checkSignature(data, size);
    checkStream(data, size);

    PeLayout layout;
    FileSignature fileSignature;
    const Result readWhole = readFileSignature(data, size, &fileSignature);
    if (!readPeLayout(data, size, size, &layout)) {
        require(readWhole.code == SIGNATURE_NO_PROGRAM);
        return 0;
    }
    checkRanges(layout);
    Sha256::Digest whole, streamed;
    require(imageDigest(data, size, &whole).ok());
    const bool read = imageDigest(
                          layout,
                          [&](uint64_t offset, uint8_t* buffer, size_t length) {
                              require(offset + length <= size);
                              std::memcpy(buffer, data + offset, length);
                              return true;
                          },
                          &streamed, 1 + size % 97)
                          .ok();
    require(read && streamed == whole);

    std::string signer;
    if (layout.hasCertTable()) {
        const uint8_t* table = data + layout.certTableOffset;
        ByteSpan der;
        const Result placed = certificateTableSignature(layout, table, layout.certTableSize, &der);
        if (placed) {
            require(layout.certTableOffset % 8 == 0 && layout.certTableOffset + uint64_t{layout.certTableSize} == size);
            require(layout.certTableOffset >= layout.sizeOfHeaders && layout.certTableOffset >= layout.sectionsEnd);
            require(der.data == table + 8 && layout.certTableSize - 8 - der.size < 8);
            for (const uint8_t* p = der.data + der.size; p < table + layout.certTableSize; ++p) {
                require(*p == 0);
            }
            require(checkProgramImage(data, size, size).fault != ImageFault::SectionInCertTable);
            signer = checkSignature(der.data, der.size);
            // The file's signature read in one go agrees with the steps taken one by one.
            require(readWhole.ok() == !signer.empty());
            require(!readWhole.ok() || signerKeyHash(fileSignature.info) == fileSignature.signerKey);
        } else {
            require(!placed.reason.empty() && readWhole.code == SIGNATURE_PLACEMENT &&
                    readWhole.reason == placed.reason);
        }
    } else {
        require(readWhole.code == SIGNATURE_NONE);
    }
    checkGrowing(data, size, whole, signer);
    return 0;
}
