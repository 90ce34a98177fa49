#include "versionresource.h"

#include "littleendian.h"
#include "peheaders.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace portable {

namespace {

constexpr size_t HEAD_LIMIT = 64 * 1024; // the headers and the section table lie in the first 64 KiB
constexpr uint32_t RT_VERSION = 16;
constexpr uint32_t VERSION_RESOURCE_ID = 1;
constexpr uint32_t SUBDIRECTORY = 0x80000000u;
constexpr uint32_t DIRECTORY_SIZE = 16;
constexpr uint32_t ENTRY_SIZE = 8;
constexpr uint32_t DATA_ENTRY_SIZE = 16;
// VS_VERSIONINFO: wLength, wValueLength, wType, L"VS_VERSION_INFO" and its NUL, padding to 4
// bytes, then VS_FIXEDFILEINFO.
constexpr uint32_t KEY_AT = 6;
constexpr char16_t KEY[] = u"VS_VERSION_INFO";
constexpr uint32_t FIXED_AT = 40;
constexpr uint32_t FIXED_SIZE = 52;
constexpr uint32_t HEAD_SIZE = FIXED_AT + FIXED_SIZE;
constexpr uint32_t FIXED_SIGNATURE = 0xFEEF04BDu;

// The resource directory in the file: where it starts and how many bytes it holds.
struct Tree {
    const ReadAt& read;
    uint64_t base = 0;
    uint32_t size = 0;
};

// The file offset of [rva, rva + length) when it lies wholly inside one section's data in the
// file (within both its raw size and its mapped size).
bool fileOffsetOf(const PeHeaders& h, uint64_t fileSize, uint32_t rva, uint32_t length, uint64_t* offset)
{
    for (const PeSection& s : h.sections) {
        const uint32_t mapped = s.virtualSize != 0 ? std::min(s.rawSize, s.virtualSize) : s.rawSize;
        if (rva < s.virtualAddress || !rangeWithin(rva - s.virtualAddress, length, mapped)) {
            continue;
        }
        const uint64_t at = static_cast<uint64_t>(s.rawOffset) + (rva - s.virtualAddress);
        if (rangeWithin(at, length, fileSize)) {
            *offset = at;
            return true;
        }
    }
    return false;
}

// The data field of the entry for `id` (any id when anyId) in the directory `at` bytes into the
// resource directory; named entries are passed over.
Result findEntry(const Tree& tree, uint32_t at, uint32_t id, bool anyId, uint32_t* target)
{
    uint8_t directory[DIRECTORY_SIZE];
    if (!rangeWithin(at, DIRECTORY_SIZE, tree.size) || !tree.read(tree.base + at, directory, DIRECTORY_SIZE)) {
        return Result::failed("a resource directory lies outside the resource data");
    }
    const uint32_t named = readLe16(directory + 12);
    const uint32_t count = named + readLe16(directory + 14);
    const uint64_t entriesAt = static_cast<uint64_t>(at) + DIRECTORY_SIZE;
    std::vector<uint8_t> entries(static_cast<size_t>(count) * ENTRY_SIZE);
    if (!rangeWithin(entriesAt, entries.size(), tree.size) ||
        (!entries.empty() && !tree.read(tree.base + entriesAt, entries.data(), entries.size()))) {
        return Result::failed("resource directory entries lie outside the resource data");
    }
    for (uint32_t i = named; i < count; ++i) {
        const uint8_t* entry = entries.data() + static_cast<size_t>(i) * ENTRY_SIZE;
        if (anyId || readLe32(entry) == id) {
            *target = readLe32(entry + 4);
            return Result::done();
        }
    }
    return Result::failed("no version resource");
}

// Walks type, id and language down to the data entry's RVA and size.
Result findVersionData(const Tree& tree, uint32_t* rva, uint32_t* size)
{
    uint32_t target = 0;
    const uint32_t ids[] = {RT_VERSION, VERSION_RESOURCE_ID, 0};
    for (uint32_t level = 0; level < 3; ++level) {
        if (Result r = findEntry(tree, target & ~SUBDIRECTORY, ids[level], level == 2, &target); !r) {
            return r;
        }
        if (((target & SUBDIRECTORY) != 0) != (level < 2)) {
            return Result::failed("the version resource's directory tree is malformed");
        }
    }
    uint8_t entry[DATA_ENTRY_SIZE];
    if (!rangeWithin(target, DATA_ENTRY_SIZE, tree.size) || !tree.read(tree.base + target, entry, DATA_ENTRY_SIZE)) {
        return Result::failed("the version resource's data entry lies outside the resource data");
    }
    *rva = readLe32(entry);
    *size = readLe32(entry + 4);
    return Result::done();
}

Result parseHead(const uint8_t* head, uint32_t dataSize, FixedFileVersion* out)
{
    const uint32_t length = readLe16(head);
    if (length < HEAD_SIZE || length > dataSize || readLe16(head + 2) < FIXED_SIZE) {
        return Result::failed("the version resource's lengths do not hold its fixed part");
    }
    for (size_t i = 0; i < sizeof(KEY) / sizeof(KEY[0]); ++i) {
        if (readLe16(head + KEY_AT + 2 * i) != KEY[i]) {
            return Result::failed("the version resource does not start with VS_VERSION_INFO");
        }
    }
    const uint8_t* fixed = head + FIXED_AT;
    if (readLe32(fixed) != FIXED_SIGNATURE) {
        return Result::failed("the fixed version has no VS_FIXEDFILEINFO signature");
    }
    auto parts = [&](uint32_t at) {
        const uint32_t high = readLe32(fixed + at);
        const uint32_t low = readLe32(fixed + at + 4);
        return FixedFileVersion::Parts{static_cast<uint16_t>(high >> 16), static_cast<uint16_t>(high),
                                       static_cast<uint16_t>(low >> 16), static_cast<uint16_t>(low)};
    };
    FixedFileVersion v;
    v.file = parts(8);
    v.product = parts(16);
    v.fileFlags = readLe32(fixed + 24) & readLe32(fixed + 28);
    v.fileOs = readLe32(fixed + 32);
    v.fileType = readLe32(fixed + 36);
    *out = v;
    return Result::done();
}

} // namespace

Result readFixedFileVersion(const ReadAt& read, uint64_t fileSize, FixedFileVersion* out)
{
    *out = FixedFileVersion{};
    std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(fileSize, HEAD_LIMIT)));
    PeHeaders h;
    if (!read(0, head.data(), head.size())) {
        return Result::failed("the file cannot be read");
    }
    if (Result r = readPeHeaders(head.data(), head.size(), fileSize, &h); !r) {
        return r;
    }
    Tree tree{read};
    if (h.resourceSize == 0) {
        return Result::failed("no version resource");
    }
    if (!fileOffsetOf(h, fileSize, h.resourceRva, h.resourceSize, &tree.base)) {
        return Result::failed("the resource data lies outside the file's sections");
    }
    tree.size = h.resourceSize;
    uint32_t rva = 0;
    uint32_t size = 0;
    if (Result r = findVersionData(tree, &rva, &size); !r) {
        return r;
    }
    uint64_t at = 0;
    if (size < HEAD_SIZE || !fileOffsetOf(h, fileSize, rva, size, &at)) {
        return Result::failed("the version resource lies outside the file's sections or is too short");
    }
    uint8_t versionHead[HEAD_SIZE];
    if (!read(at, versionHead, HEAD_SIZE)) {
        return Result::failed("the file cannot be read");
    }
    return parseHead(versionHead, size, out);
}

Result readFixedFileVersion(const uint8_t* file, size_t size, FixedFileVersion* out)
{
    const ReadAt inMemory = [file, size](uint64_t offset, uint8_t* buffer, size_t length) {
        if (!rangeWithin(offset, length, size)) {
            return false;
        }
        if (length == 0) {
            return true;
        }
        std::memcpy(buffer, file + offset, length);
        return true;
    };
    return readFixedFileVersion(inMemory, size, out);
}

} // namespace portable
