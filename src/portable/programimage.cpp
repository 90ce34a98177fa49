#include "programimage.h"

#include "littleendian.h"

namespace portable {

namespace {

constexpr size_t DOS_HEADER_SIZE = 64;
constexpr size_t PE_OFFSET_FIELD = 0x3C;
constexpr size_t FILE_HEADER_SIZE = 20; // after the 4-byte signature
constexpr size_t SECTION_HEADER_SIZE = 40;
constexpr uint16_t IMAGE_EXECUTABLE = 0x0002;
constexpr uint16_t IMAGE_DLL = 0x2000;
constexpr uint16_t OPTIONAL_MAGIC_PE32 = 0x10B;
constexpr uint16_t OPTIONAL_MAGIC_PE32_PLUS = 0x20B;

// [offset, offset + length) lies within limit; no overflow for any input.
bool within(uint64_t offset, uint64_t length, uint64_t limit) { return offset <= limit && length <= limit - offset; }

ImageCheck fault(ImageFault f, uint32_t section = 0)
{
    ImageCheck c;
    c.fault = f;
    c.section = section;
    return c;
}

} // namespace

ImageCheck checkProgramImage(const uint8_t* head, size_t headSize, uint64_t fileSize)
{
    // What was read can never be more than the file.
    const uint64_t available = headSize < fileSize ? headSize : fileSize;
    if (head == nullptr || available < DOS_HEADER_SIZE || head[0] != 'M' || head[1] != 'Z') {
        return fault(ImageFault::NoMzSignature);
    }
    const uint32_t peOffset = readLe32(head + PE_OFFSET_FIELD);
    if (!within(peOffset, 4 + FILE_HEADER_SIZE, available)) {
        return fault(ImageFault::NoPeHeader);
    }
    const uint8_t* pe = head + peOffset;
    if (pe[0] != 'P' || pe[1] != 'E' || pe[2] != 0 || pe[3] != 0) {
        return fault(ImageFault::NoPeHeader);
    }
    const uint8_t* fileHeader = pe + 4;
    const uint32_t sections = readLe16(fileHeader + 2);
    const uint32_t optionalSize = readLe16(fileHeader + 16);
    const uint16_t characteristics = readLe16(fileHeader + 18);
    const uint64_t optionalOffset = static_cast<uint64_t>(peOffset) + 4 + FILE_HEADER_SIZE;
    if (optionalSize < 2 || !within(optionalOffset, optionalSize, available)) {
        return fault(ImageFault::NoOptionalHeader);
    }
    const uint16_t magic = readLe16(head + optionalOffset);
    if (magic != OPTIONAL_MAGIC_PE32 && magic != OPTIONAL_MAGIC_PE32_PLUS) {
        return fault(ImageFault::NoOptionalHeader);
    }
    if ((characteristics & IMAGE_EXECUTABLE) == 0) {
        return fault(ImageFault::NotExecutable);
    }
    if ((characteristics & IMAGE_DLL) != 0) {
        return fault(ImageFault::IsDll);
    }
    if (sections == 0 || sections > MAX_IMAGE_SECTIONS) {
        return fault(ImageFault::NoSections);
    }
    const uint64_t tableOffset = optionalOffset + optionalSize;
    if (!within(tableOffset, static_cast<uint64_t>(sections) * SECTION_HEADER_SIZE, available)) {
        return fault(ImageFault::SectionTableOutside);
    }
    for (uint32_t i = 0; i < sections; ++i) {
        const uint8_t* section = head + tableOffset + static_cast<uint64_t>(i) * SECTION_HEADER_SIZE;
        const uint32_t rawSize = readLe32(section + 16);
        const uint32_t rawOffset = readLe32(section + 20);
        if (rawSize != 0 && !within(rawOffset, rawSize, fileSize)) {
            return fault(ImageFault::SectionOutside, i);
        }
    }
    return {};
}

const wchar_t* describeImageFault(ImageFault f)
{
    switch (f) {
    case ImageFault::None:
        return L"a complete program";
    case ImageFault::NoMzSignature:
        return L"no MZ signature";
    case ImageFault::NoPeHeader:
        return L"no PE header inside the file";
    case ImageFault::NoOptionalHeader:
        return L"no valid optional header";
    case ImageFault::NotExecutable:
        return L"not an executable image";
    case ImageFault::IsDll:
        return L"a DLL, not a program";
    case ImageFault::NoSections:
        return L"no usable section table";
    case ImageFault::SectionTableOutside:
        return L"section table outside the headers read";
    case ImageFault::SectionOutside:
        return L"a section's raw data ends beyond the file";
    }
    return L"unknown fault";
}

} // namespace portable
