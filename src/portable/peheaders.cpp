#include "peheaders.h"

#include "littleendian.h"

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
constexpr uint32_t SECURITY_DIRECTORY = 4;

} // namespace

PeHeaderFault readPeHeaders(const uint8_t* head, size_t headSize, uint64_t fileSize, PeHeaders* out)
{
    *out = PeHeaders{};
    // What was read can never be more than the file.
    const uint64_t available = headSize < fileSize ? headSize : fileSize;
    if (head == nullptr || available < DOS_HEADER_SIZE || head[0] != 'M' || head[1] != 'Z') {
        return PeHeaderFault::NoMzSignature;
    }
    const uint32_t peOffset = readLe32(head + PE_OFFSET_FIELD);
    if (!rangeWithin(peOffset, 4 + FILE_HEADER_SIZE, available)) {
        return PeHeaderFault::NoPeHeader;
    }
    const uint8_t* pe = head + peOffset;
    if (pe[0] != 'P' || pe[1] != 'E' || pe[2] != 0 || pe[3] != 0) {
        return PeHeaderFault::NoPeHeader;
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
        return PeHeaderFault::NoOptionalHeader;
    }
    const uint8_t* optional = head + h.optionalOffset;
    h.magic = readLe16(optional);
    if (h.magic != PE_MAGIC_PE32 && h.magic != PE_MAGIC_PE32_PLUS) {
        return PeHeaderFault::NoOptionalHeader;
    }
    if (h.optionalSize >= SUBSYSTEM_FIELD + 2) {
        h.hasWindowsFields = true;
        h.sizeOfHeaders = readLe32(optional + SIZE_OF_HEADERS_FIELD);
        h.checksumOffset = h.optionalOffset + CHECKSUM_FIELD;
        h.subsystem = readLe16(optional + SUBSYSTEM_FIELD);
    }
    const uint32_t countField = h.magic == PE_MAGIC_PE32 ? DIRECTORY_COUNT_PE32 : DIRECTORY_COUNT_PE32_PLUS;
    const uint32_t entry = countField + 4 + SECURITY_DIRECTORY * 8;
    if (h.optionalSize >= entry + 8 && readLe32(optional + countField) > SECURITY_DIRECTORY) {
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
            h.sections.push_back({readLe32(s + 20), readLe32(s + 16)});
        }
    }
    *out = std::move(h);
    return PeHeaderFault::None;
}

} // namespace portable
