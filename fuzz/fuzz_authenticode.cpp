// Fuzz target: the signature side of the portable core on arbitrary files. The input is taken as
// a whole PE file (layout, image digest in memory and streamed in odd chunks, the certificate
// table, the signature of every PKCS#7 entry, growing the last entry by a block) and as a bare
// DER signature. Beyond not crashing, it checks what must hold for any input: the digest ranges
// lie inside the file in order and leave out exactly the checksum, the directory entry and the
// table; both digest paths agree; spans of a read signature lie inside its bytes; a grown file
// keeps its digest, ends with its table and carries a correct checksum.
#include "authenticode.h"

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

void checkSignature(const uint8_t* der, size_t size)
{
    SignatureInfo info;
    std::string why;
    if (!parseSignature(der, size, &info, &why)) {
        require(!why.empty());
        return;
    }
    for (const ByteSpan& s : {info.imageDigest, info.signedContent, info.messageDigest, info.signerCertificate,
                              info.signerPublicKey}) {
        require(inside(s, der, size));
    }
    require(!info.messageDigest.empty() && !info.signerPublicKey.empty());
    require(info.signerPublicKey.data >= info.signerCertificate.data &&
            info.signerPublicKey.data + info.signerPublicKey.size <=
                info.signerCertificate.data + info.signerCertificate.size);
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

void checkGrowing(const uint8_t* data, size_t size, const Sha256::Digest& before)
{
    std::string file(reinterpret_cast<const char*>(data), size);
    bool replaced = false;
    std::string why;
    if (!placeInCertificateTable(&file, "MARK:entry<value>\r\n", "MARK:", &replaced, &why)) {
        require(file.size() == size && std::memcmp(file.data(), data, size) == 0);
        return;
    }
    const auto* grown = reinterpret_cast<const uint8_t*>(file.data());
    PeLayout layout;
    require(readPeLayout(grown, file.size(), file.size(), &layout, &why));
    require(layout.certTableOffset + static_cast<uint64_t>(layout.certTableSize) == file.size());
    Sha256::Digest after;
    require(imageDigest(grown, file.size(), &after, &why) && after == before);
    uint32_t stored;
    std::memcpy(&stored, grown + layout.checksumOffset, 4); // little-endian hosts only
    require(stored == peChecksum(grown, file.size(), layout.checksumOffset));
    std::vector<CertificateEntry> entries;
    require(listCertificates(grown + layout.certTableOffset, layout.certTableSize, &entries, &why));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    checkSignature(data, size);

    PeLayout layout;
    std::string why;
    if (!readPeLayout(data, size, size, &layout, &why)) {
        return 0;
    }
    checkRanges(layout);
    Sha256::Digest whole, streamed;
    require(imageDigest(data, size, &whole, &why));
    const bool read = imageDigest(
        layout,
        [&](uint64_t offset, uint8_t* buffer, size_t length) {
            require(offset + length <= size);
            std::memcpy(buffer, data + offset, length);
            return true;
        },
        &streamed, 1 + size % 97);
    require(read && streamed == whole);

    if (layout.hasCertTable()) {
        const uint8_t* table = data + layout.certTableOffset;
        std::vector<CertificateEntry> entries;
        if (listCertificates(table, layout.certTableSize, &entries, &why)) {
            for (const CertificateEntry& e : entries) {
                require(e.length >= 8 && e.offset + static_cast<uint64_t>(e.length) <= layout.certTableSize);
                const size_t der = derElementLength(table + e.offset + 8, e.length - 8);
                require(der <= e.length - 8u);
                checkSignature(table + e.offset + 8, der);
            }
        }
    }
    checkGrowing(data, size, whole);
    return 0;
}
