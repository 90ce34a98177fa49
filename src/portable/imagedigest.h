// imagedigest: the Authenticode image digest of a PE file, SHA-256 over the file without the
// checksum field, the certificate-table directory entry and the certificate table. One range
// computation (imageDigestRanges) says which bytes count; the three ways the digest is taken all
// hash exactly those: a file in memory, a file read through ReadAt, and a file whose bytes come
// in order, in pieces (a download as it arrives). Portable code: no platform headers.
#pragma once

#include "peheaders.h"
#include "readat.h"
#include "result.h"
#include "sha256.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace portable {

struct FileRange {
    uint64_t offset;
    uint64_t length;
};

// The parts of the file the image digest covers, in file order.
std::vector<FileRange> imageDigestRanges(const PeLayout& layout);

// The digest over the ranges, read through read in pieces of at most chunk bytes; fails when the
// file cannot deliver them.
Result imageDigest(const PeLayout& layout, const ReadAt& read, Sha256::Digest* out, size_t chunk = 1 << 20);

// The same for a file held in memory (its layout read from it; fails as readPeLayout does).
Result imageDigest(const uint8_t* data, size_t size, Sha256::Digest* out);

// The digest of a file fed in order, in pieces: the first 64 KiB are kept until the headers can
// be read, then every piece is hashed as it comes. Gives the same digest as imageDigest over the
// whole file.
class ImageDigestStream {
public:
    static constexpr size_t HEAD_BYTES = 65536;

    void update(const uint8_t* data, size_t size);
    // After the last piece: fails when the file is no usable PE image (as readPeLayout judges it)
    // or its certificate table reaches past the end.
    Result finish(Sha256::Digest* out);

private:
    void readLayout(uint64_t fileSize);

    std::vector<uint8_t> head;
    bool layoutRead = false;
    Result usable;
    PeLayout layout;
    std::vector<FileRange> ranges;
    uint64_t position = 0;
    Sha256 hash;
};

} // namespace portable
