// peheaders: the one reader of a PE file's headers, for everything that looks at them: the
// program image check (is this a complete program Windows can start) and the signature code
// (where the checksum, the certificate-table entry, the table itself and the sections lie). It
// reads the fields from the bytes it is given and records where each lies; it judges nothing but
// whether the headers can be read at all, so that each caller applies its own rules in its own
// order. Every offset from the file is checked against the bytes at hand before it is used.
// The signature code takes its view of the headers, PeLayout, from here as well. Portable code:
// no platform headers.
#pragma once

#include "result.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace portable {

// The code of a failed readPeHeaders.
enum class PeHeaderFault : int32_t {
    None,
    NoMzSignature,    // shorter than a DOS header or not starting with "MZ"
    NoPeHeader,       // the PE header offset points outside what was read, or no "PE\0\0" there
    NoOptionalHeader, // the optional header is missing, cut or of an unknown kind
};

struct PeSection {
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
    uint32_t virtualAddress = 0; // where the section is mapped (an RVA), and its mapped size
    uint32_t virtualSize = 0;
};

struct PeHeaders {
    uint32_t peOffset = 0;
    uint16_t machine = 0;
    uint16_t characteristics = 0;
    uint32_t sectionCount = 0; // as the file header states it
    uint32_t optionalOffset = 0;
    uint32_t optionalSize = 0;
    uint16_t magic = 0; // 0x10B (PE32) or 0x20B (PE32+)
    // Fields of the optional header; false/0 when the header is too short to hold them.
    bool hasWindowsFields = false; // SizeOfHeaders, CheckSum and Subsystem
    uint32_t sizeOfHeaders = 0;
    uint32_t checksumOffset = 0; // file offset of the CheckSum field
    uint16_t subsystem = 0;
    // The certificate-table data directory entry (the fifth); 0 when the header has none.
    uint32_t securityEntryOffset = 0;
    uint32_t certTableOffset = 0; // as the entry states them (not yet checked against the file)
    uint32_t certTableSize = 0;
    // The resource data directory entry (the third): an RVA and a size; 0 when the header has none.
    uint32_t resourceRva = 0;
    uint32_t resourceSize = 0;
    // The section table: its file offset, and the sections when it lies wholly in the bytes read.
    uint64_t sectionTableOffset = 0;
    bool sectionTableRead = false;
    std::vector<PeSection> sections;
};

constexpr uint16_t PE_MAGIC_PE32 = 0x10B;
constexpr uint16_t PE_MAGIC_PE32_PLUS = 0x20B;

// head: the file's first headSize bytes (the whole file when smaller); fileSize: the whole file's
// size. Reads the DOS, file and optional headers and the section table as far as they lie in head.
// Fails with a PeHeaderFault as its code ("no MZ header", "no PE header", "no usable optional
// header").
Result readPeHeaders(const uint8_t* head, size_t headSize, uint64_t fileSize, PeHeaders* out);

// Where the signature-related fields of a PE file lie (file offsets), as the image digest and the
// placement rules of the certificate table need them.
struct PeLayout {
    uint64_t fileSize = 0;
    uint32_t checksumOffset = 0;      // the optional header's CheckSum (4 bytes)
    uint32_t securityEntryOffset = 0; // the certificate-table data directory entry (8 bytes)
    uint32_t certTableOffset = 0;     // the certificate table; 0 with size 0 when there is none
    uint32_t certTableSize = 0;
    uint32_t sizeOfHeaders = 0;
    bool sectionsRead = false; // the section table lay within the headers read
    uint64_t sectionsEnd = 0;  // the end of the last byte of any section's raw data
    bool hasCertTable() const { return certTableSize != 0; }
};

// The layout from the file's first headSize bytes (the DOS, COFF and optional headers must lie
// within them). Fails for a file that is no usable PE image (readPeHeaders' code and reason) or
// whose certificate table lies outside the file or inside the headers.
Result readPeLayout(const uint8_t* head, size_t headSize, uint64_t fileSize, PeLayout* out);

// [offset, offset + length) lies within limit; no overflow for any input.
inline bool rangeWithin(uint64_t offset, uint64_t length, uint64_t limit)
{
    return offset <= limit && length <= limit - offset;
}

} // namespace portable
