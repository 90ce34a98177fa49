// programimage: the updater's judgement whether a downloaded file is a complete Windows program
// before it may replace the installer: the "MZ" stub, a PE header inside the file, an image that
// is executable and no DLL, built for a processor and subsystem that CreateProcess starts (i386,
// AMD64 or ARM64; Windows GUI or console), the raw data of every section inside the file and
// outside the certificate table. The headers come from the one PE header reader (peheaders); it
// reads only the bytes it is given and never trusts an offset from the file. Portable code: no platform headers,
// built for Windows and for the native tests and fuzz targets alike.
#pragma once

#include <cstddef>
#include <cstdint>

namespace portable {

enum class ImageFault {
    None,
    NoMzSignature,       // shorter than a DOS header or not starting with "MZ"
    NoPeHeader,          // the PE header offset points outside what was read, or no "PE\0\0" there
    NoOptionalHeader,    // the optional header is missing, cut or of an unknown kind
    NotExecutable,       // the image is not marked executable (an object file, a broken link)
    IsDll,               // a library, not a program
    WrongMachine,        // built for a processor other than i386, AMD64 or ARM64
    WrongSubsystem,      // neither a Windows GUI nor a console program (a driver, an EFI application)
    NoSections,          // no section at all, or more than the loader takes
    SectionTableOutside, // the section table does not lie within what was read
    SectionOutside,      // a section's raw data ends beyond the end of the file
    SectionInCertTable,  // a section's raw data overlaps the certificate table
};

struct ImageCheck {
    ImageFault fault = ImageFault::None;
    uint32_t section = 0; // the first offending section (SectionOutside, SectionInCertTable), from 0
    bool ok() const { return fault == ImageFault::None; }
};

// The largest number of sections the platform's loader accepts.
constexpr uint32_t MAX_IMAGE_SECTIONS = 96;
// How much of the start of a file the headers may take; callers read this much (or the whole file).
constexpr size_t IMAGE_HEAD_BYTES = 65536;

// head: the file's first headSize bytes (all of them for a smaller file); fileSize: the whole
// file's size in bytes. Every header must lie within head.
ImageCheck checkProgramImage(const uint8_t* head, size_t headSize, uint64_t fileSize);

// A short English description of a fault for the log ("not an executable image", ...).
const wchar_t* describeImageFault(ImageFault fault);

} // namespace portable
