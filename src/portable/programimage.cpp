#include "programimage.h"

#include "peheaders.h"

namespace portable {

namespace {

constexpr uint16_t IMAGE_EXECUTABLE = 0x0002;
constexpr uint16_t IMAGE_DLL = 0x2000;
constexpr uint16_t MACHINE_I386 = 0x014C;
constexpr uint16_t MACHINE_AMD64 = 0x8664;
constexpr uint16_t MACHINE_ARM64 = 0xAA64;
constexpr uint16_t SUBSYSTEM_WINDOWS_GUI = 2;
constexpr uint16_t SUBSYSTEM_WINDOWS_CUI = 3;

ImageCheck fault(ImageFault f, uint32_t section = 0)
{
    ImageCheck c;
    c.fault = f;
    c.section = section;
    return c;
}

// [a, a + al) and [b, b + bl) share a byte; no overflow for any input.
bool overlaps(uint64_t a, uint64_t al, uint64_t b, uint64_t bl)
{
    return al != 0 && bl != 0 && a < b + bl && b < a + al;
}

} // namespace

ImageCheck checkProgramImage(const uint8_t* head, size_t headSize, uint64_t fileSize)
{
    PeHeaders h;
    switch (static_cast<PeHeaderFault>(readPeHeaders(head, headSize, fileSize, &h).code)) {
    case PeHeaderFault::NoMzSignature:
        return fault(ImageFault::NoMzSignature);
    case PeHeaderFault::NoPeHeader:
        return fault(ImageFault::NoPeHeader);
    case PeHeaderFault::NoOptionalHeader:
        return fault(ImageFault::NoOptionalHeader);
    case PeHeaderFault::None:
        break;
    }
    if ((h.characteristics & IMAGE_EXECUTABLE) == 0) {
        return fault(ImageFault::NotExecutable);
    }
    if ((h.characteristics & IMAGE_DLL) != 0) {
        return fault(ImageFault::IsDll);
    }
    if (h.machine != MACHINE_I386 && h.machine != MACHINE_AMD64 && h.machine != MACHINE_ARM64) {
        return fault(ImageFault::WrongMachine);
    }
    if (!h.hasWindowsFields || (h.subsystem != SUBSYSTEM_WINDOWS_GUI && h.subsystem != SUBSYSTEM_WINDOWS_CUI)) {
        return fault(ImageFault::WrongSubsystem);
    }
    if (h.sectionCount == 0 || h.sectionCount > MAX_IMAGE_SECTIONS) {
        return fault(ImageFault::NoSections);
    }
    if (!h.sectionTableRead) {
        return fault(ImageFault::SectionTableOutside);
    }
    for (uint32_t i = 0; i < h.sectionCount; ++i) {
        const PeSection& s = h.sections[i];
        if (s.rawSize != 0 && !rangeWithin(s.rawOffset, s.rawSize, fileSize)) {
            return fault(ImageFault::SectionOutside, i);
        }
    }
    for (uint32_t i = 0; i < h.sectionCount; ++i) {
        const PeSection& s = h.sections[i];
        if (overlaps(s.rawOffset, s.rawSize, h.certTableOffset, h.certTableSize)) {
            return fault(ImageFault::SectionInCertTable, i);
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
    case ImageFault::WrongMachine:
        return L"built for a processor other than i386, AMD64 or ARM64";
    case ImageFault::WrongSubsystem:
        return L"neither a Windows GUI nor a console program";
    case ImageFault::NoSections:
        return L"no usable section table";
    case ImageFault::SectionTableOutside:
        return L"section table outside the headers read";
    case ImageFault::SectionOutside:
        return L"a section's raw data ends beyond the file";
    case ImageFault::SectionInCertTable:
        return L"a section's raw data overlaps the certificate table";
    }
    return L"unknown fault";
}

} // namespace portable
