#include "peheaders.h"

#include "littleendian.h"

#include <algorithm>

namespace portable {

namespace {

constexpr size_t DOS_HEADER_SIZE = 64;
constexpr size_t PE_OFFSET_FIELD = 0x3C;
constexpr size_t FILE_HEADER_SIZE = 20; // after the 4-byte signature
constexpr size_t SECTION_HEADER_SIZE = 40;
// Offsets inside the optional header (the same for PE32 and PE32+ up to Subsystem).
constexpr uint32_t SIZE_OF_HEADERS_FIELD = 60;
constexpr uint32_t CHECKSUM_FIELD = 64;
constexpr uint32_t SUBSYSTEM_FIELD = 68;
constexpr uint32_t DIRECTORY_COUNT_PE32 = 92;
constexpr uint32_t DIRECTORY_COUNT_PE32_PLUS = 108;
constexpr uint32_t RESOURCE_DIRECTORY = 2;
constexpr uint32_t SECURITY_DIRECTORY = 4;

Result fault(PeHeaderFault f)
{
    switch (f) {
    case PeHeaderFault::NoMzSignature:
        return Result::failed("no MZ header", static_cast<int32_t>(f));
    case PeHeaderFault::NoPeHeader:
        return Result::failed("no PE header", static_cast<int32_t>(f));
    default:
        return Result::failed("no usable optional header", static_cast<int32_t>(PeHeaderFault::NoOptionalHeader));
    }
}

// Where data directory entry `index` lies in the optional header; 0 when the header has none.
uint32_t directoryEntry(const PeHeaders& h, const uint8_t* optional, uint32_t index)
{
    const uint32_t countField = h.magic == PE_MAGIC_PE32 ? DIRECTORY_COUNT_PE32 : DIRECTORY_COUNT_PE32_PLUS;
    const uint32_t entry = countField + 4 + index * 8;
    return h.optionalSize >= entry + 8 && readLe32(optional + countField) > index ? entry : 0;
}

} // namespace

Result readPeHeaders(const uint8_t* head, size_t headSize, uint64_t fileSize, PeHeaders* out)
{
    *out = PeHeaders{};
    // What was read can never be more than the file.
    const uint64_t available = headSize < fileSize ? headSize : fileSize;
    if (head == nullptr || available < DOS_HEADER_SIZE || head[0] != 'M' || head[1] != 'Z') {
        return fault(PeHeaderFault::NoMzSignature);
    }
    const uint32_t peOffset = readLe32(head + PE_OFFSET_FIELD);
    if (!rangeWithin(peOffset, 4 + FILE_HEADER_SIZE, available)) {
        return fault(PeHeaderFault::NoPeHeader);
    }
    const uint8_t* pe = head + peOffset;
    if (pe[0] != 'P' || pe[1] != 'E' || pe[2] != 0 || pe[3] != 0) {
        return fault(PeHeaderFault::NoPeHeader);
    }
    PeHeaders h;
    h.peOffset = peOffset;
    const uint8_t* fileHeader = pe + 4;
    h.machine = readLe16(fileHeader);
    h.sectionCount = readLe16(fileHeader + 2);
    h.optionalSize = readLe16(fileHeader + 16);
    h.characteristics = readLe16(fileHeader + 18);
    h.optionalOffset = peOffset + 4 + FILE_HEADER_SIZE; // cannot wrap: checked above
    if (h.optionalSize < 2 || !rangeWithin(h.optionalOffset, h.optionalSize, available)) {
        return fault(PeHeaderFault::NoOptionalHeader);
    }
    const uint8_t* optional = head + h.optionalOffset;
    h.magic = readLe16(optional);
    if (h.magic != PE_MAGIC_PE32 && h.magic != PE_MAGIC_PE32_PLUS) {
        return fault(PeHeaderFault::NoOptionalHeader);
    }
    if (h.optionalSize >= SUBSYSTEM_FIELD + 2) {
        h.hasWindowsFields = true;
        h.sizeOfHeaders = readLe32(optional + SIZE_OF_HEADERS_FIELD);
        h.checksumOffset = h.optionalOffset + CHECKSUM_FIELD;
        h.subsystem = readLe16(optional + SUBSYSTEM_FIELD);
    }
    if (const uint32_t entry = directoryEntry(h, optional, RESOURCE_DIRECTORY); entry != 0) {
        h.resourceRva = readLe32(optional + entry);
        h.resourceSize = readLe32(optional + entry + 4);
    }
    if (const uint32_t entry = directoryEntry(h, optional, SECURITY_DIRECTORY); entry != 0) {
        h.securityEntryOffset = h.optionalOffset + entry;
        h.certTableOffset = readLe32(optional + entry);
        h.certTableSize = readLe32(optional + entry + 4);
    }
    h.sectionTableOffset = static_cast<uint64_t>(h.optionalOffset) + h.optionalSize;
    if (rangeWithin(h.sectionTableOffset, static_cast<uint64_t>(h.sectionCount) * SECTION_HEADER_SIZE, available)) {
        h.sectionTableRead = true;
        h.sections.reserve(h.sectionCount);
        for (uint32_t i = 0; i < h.sectionCount; ++i) {
            const uint8_t* s = head + h.sectionTableOffset + static_cast<uint64_t>(i) * SECTION_HEADER_SIZE;
            h.sections.push_back({readLe32(s + 20), readLe32(s + 16), readLe32(s + 12), readLe32(s + 8)});
        }
    }
    *out = std::move(h);
    return Result::done();
}

Result readPeLayout(const uint8_t* head, size_t headSize, uint64_t fileSize, PeLayout* out)
{
    PeHeaders h;
    if (Result r = readPeHeaders(head, headSize, fileSize, &h); !r) {
        return r;
    }
    if (h.securityEntryOffset == 0) {
        return Result::failed("the optional header has no certificate table entry");
    }
    PeLayout layout;
    layout.fileSize = fileSize;
    layout.checksumOffset = h.checksumOffset;
    layout.securityEntryOffset = h.securityEntryOffset;
    layout.certTableOffset = h.certTableOffset;
    layout.certTableSize = h.certTableSize;
    layout.sizeOfHeaders = h.sizeOfHeaders;
    layout.sectionsRead = h.sectionTableRead;
    for (const PeSection& s : h.sections) {
        if (s.rawSize != 0) {
            layout.sectionsEnd = std::max<uint64_t>(layout.sectionsEnd, static_cast<uint64_t>(s.rawOffset) + s.rawSize);
        }
    }
    if (layout.certTableSize == 0) {
        layout.certTableOffset = 0;
    } else if (layout.certTableOffset < layout.securityEntryOffset + 8 ||
               static_cast<uint64_t>(layout.certTableOffset) + layout.certTableSize > fileSize) {
        return Result::failed("the certificate table lies outside the file");
    }
    *out = layout;
    return Result::done();
}

} // namespace portable
