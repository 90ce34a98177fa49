#include "imagedigest.h"

#include <algorithm>

namespace portable {

namespace {

// Hashes the bytes of the piece [offset, offset + size) that lie inside the ranges.
void hashCovered(const std::vector<FileRange>& ranges, Sha256* hash, const uint8_t* data, size_t size, uint64_t offset)
{
    const uint64_t end = offset + size;
    for (const FileRange& r : ranges) {
        const uint64_t from = std::max(offset, r.offset);
        const uint64_t to = std::min(end, r.offset + r.length);
        if (from < to) {
            hash->update(data + (from - offset), static_cast<size_t>(to - from));
        }
    }
}

} // namespace

std::vector<FileRange> imageDigestRanges(const PeLayout& layout)
{
    std::vector<FileRange> ranges;
    ranges.push_back({0, layout.checksumOffset});
    ranges.push_back({layout.checksumOffset + 4u, layout.securityEntryOffset - (layout.checksumOffset + 4u)});
    const uint64_t rest = layout.securityEntryOffset + 8u;
    if (!layout.hasCertTable()) {
        ranges.push_back({rest, layout.fileSize - rest});
        return ranges;
    }
    ranges.push_back({rest, layout.certTableOffset - rest});
    const uint64_t after = static_cast<uint64_t>(layout.certTableOffset) + layout.certTableSize;
    if (after < layout.fileSize) {
        ranges.push_back({after, layout.fileSize - after});
    }
    return ranges;
}

Result imageDigest(const PeLayout& layout, const ReadAt& read, Sha256::Digest* out, size_t chunk)
{
    std::vector<uint8_t> buffer(chunk);
    Sha256 hash;
    for (const FileRange& range : imageDigestRanges(layout)) {
        for (uint64_t done = 0; done < range.length;) {
            const size_t take = static_cast<size_t>(std::min<uint64_t>(chunk, range.length - done));
            if (!read(range.offset + done, buffer.data(), take)) {
                return Result::failed("the file cannot be read for its image digest");
            }
            hash.update(buffer.data(), take);
            done += take;
        }
    }
    *out = hash.finish();
    return Result::done();
}

Result imageDigest(const uint8_t* data, size_t size, Sha256::Digest* out)
{
    PeLayout layout;
    if (Result r = readPeLayout(data, size, size, &layout); !r) {
        return r;
    }
    Sha256 hash;
    hashCovered(imageDigestRanges(layout), &hash, data, size, 0);
    *out = hash.finish();
    return Result::done();
}

void ImageDigestStream::readLayout(uint64_t fileSize)
{
    layoutRead = true;
    usable = readPeLayout(head.data(), head.size(), fileSize, &layout);
    if (usable) {
        ranges = imageDigestRanges(layout);
        hashCovered(ranges, &hash, head.data(), head.size(), 0);
    }
    head.clear();
    head.shrink_to_fit();
}

void ImageDigestStream::update(const uint8_t* data, size_t size)
{
    if (!layoutRead) {
        const size_t take = std::min(size, HEAD_BYTES - head.size());
        head.insert(head.end(), data, data + take);
        position += take;
        data += take;
        size -= take;
        if (head.size() < HEAD_BYTES) {
            return;
        }
        // The file's size is not known yet: the ranges reach to the largest offset, and the
        // table's end is checked in finish.
        readLayout(UINT64_MAX);
    }
    if (usable && size > 0) {
        hashCovered(ranges, &hash, data, size, position);
    }
    position += size;
}

Result ImageDigestStream::finish(Sha256::Digest* out)
{
    if (!layoutRead) {
        readLayout(position);
    }
    if (!usable) {
        return usable;
    }
    if (static_cast<uint64_t>(layout.certTableOffset) + layout.certTableSize > position) {
        return Result::failed("the certificate table reaches past the end of the file");
    }
    *out = hash.finish();
    return Result::done();
}

} // namespace portable
