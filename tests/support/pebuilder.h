// pebuilder: PE files built byte by byte for the tests and the fuzz seeds, the one builder they
// all share: PE32 and PE32+ headers with the machine, subsystem, characteristics (the DLL flag),
// data directories and section table asked for, section data, and a certificate table placed
// where a test needs it (behind the sections as a signing tool puts it, or anywhere else, as an
// attacker would). It writes fields only; it reads nothing back, so that the code under test is
// never used to build its own input. Portable C++: no platform headers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pebuilder {

constexpr uint16_t MACHINE_I386 = 0x014C;
constexpr uint16_t MACHINE_AMD64 = 0x8664;
constexpr uint16_t MACHINE_ARM64 = 0xAA64;
constexpr uint16_t SUBSYSTEM_WINDOWS_GUI = 2;
constexpr uint16_t SUBSYSTEM_WINDOWS_CUI = 3;
constexpr uint16_t SUBSYSTEM_EFI_APPLICATION = 10;
constexpr uint16_t FILE_EXECUTABLE_IMAGE = 0x0002;
constexpr uint16_t FILE_32BIT_MACHINE = 0x0100;
constexpr uint16_t FILE_DLL = 0x2000;
constexpr uint16_t WIN_CERT_REVISION_2_0 = 0x0200;
constexpr uint16_t WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002;

// Little-endian fields of bytes.
void put16(std::string& bytes, size_t at, uint16_t value);
void put32(std::string& bytes, size_t at, uint32_t value);
uint32_t get32(const std::string& bytes, size_t at);

struct Section {
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
    uint32_t virtualAddress = 0; // where it is mapped (an RVA) and its mapped size; 0 leaves them 0
    uint32_t virtualSize = 0;
};

struct Options {
    bool pe32plus = true;
    uint32_t peOffset = 0x40;
    uint16_t machine = 0; // 0: AMD64 for PE32+, i386 for PE32
    uint16_t characteristics = FILE_EXECUTABLE_IMAGE | FILE_32BIT_MACHINE;
    bool dll = false; // adds FILE_DLL
    uint16_t subsystem = SUBSYSTEM_WINDOWS_GUI;
    uint32_t directories = 16; // NumberOfRvaAndSizes
    uint32_t sizeOfHeaders = 0;
    uint32_t checksum = 0;
    // Section headers; their raw data is filled with a pattern where it lies inside the file.
    std::vector<Section> sections;
    // Bytes behind the headers (or the sections' data), filled with a pattern.
    size_t body = 0;
    // The file's exact size when not 0: cut there, or grown with zero bytes.
    size_t size = 0;
};

// A built file and where its fields lie.
struct Image {
    std::string bytes;
    size_t peOffset = 0;
    size_t optionalOffset = 0;
    size_t optionalSize = 0;
    size_t checksumOffset = 0;
    size_t securityEntryOffset = 0; // the certificate-table directory entry
    size_t sectionTableOffset = 0;

    const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(bytes.data()); }
    size_t size() const { return bytes.size(); }
    void put16(size_t at, uint16_t value) { pebuilder::put16(bytes, at, value); }
    void put32(size_t at, uint32_t value) { pebuilder::put32(bytes, at, value); }
    uint32_t get32(size_t at) const { return pebuilder::get32(bytes, at); }
    // The header of section index: where its raw data lies.
    void section(uint32_t index, uint32_t rawOffset, uint32_t rawSize);
    // Data directory entry index (2: resources) pointing at rva, size.
    void pointDirectory(uint32_t index, uint32_t rva, uint32_t size);
    // The certificate-table directory entry alone.
    void pointCertificateTable(uint32_t offset, uint32_t size);
    // The table put at offset (inserted there, the bytes from offset on move behind it; or over
    // the bytes there) and the directory entry pointing at it. No alignment is added.
    void insertCertificateTable(const std::string& table, size_t offset);
    void overwriteCertificateTable(const std::string& table, size_t offset);
    // As a signing tool does it: zero bytes up to a multiple of 8, then the table, ending the file.
    void appendCertificateTable(const std::string& table);
};

Image build(const Options& options);

// One WIN_CERTIFICATE entry: the 8-byte header (its length counting the padding), contents,
// then behind (bytes nobody signed), zero-padded to a multiple of 8.
std::string certificateEntry(const std::string& contents, const std::string& behind = std::string(),
                             uint16_t revision = WIN_CERT_REVISION_2_0, uint16_t type = WIN_CERT_TYPE_PKCS_SIGNED_DATA);

// A program as a linker lays it out: PE32+ headers up to SizeOfHeaders 0x400, two sections of
// 0x200 bytes behind them, no certificate table yet.
constexpr uint32_t PROGRAM_SECTIONS_AT = 0x400;
constexpr uint32_t PROGRAM_SECTION_SIZE = 0x200;
Options programOptions();

// The placement attack on the certificate table: the entry moved to the start of the sections'
// data, padded over all of it with the attacker's bytes (which Windows maps, since the section
// headers still point there), and the original section data moved behind it, where the image
// digest still finds it. program: programOptions() built without a table.
Image tableMovedOverSections(const Image& program, const std::string& entry);

// A PE32 program whose only section holds a version resource as a linker writes it: the resource
// tree RT_VERSION (16) / id 1 / language 0x409, one data entry and a VS_VERSIONINFO with its
// VS_FIXEDFILEINFO (fixed file version file, product version product), no strings. The section
// lies at file offset RESOURCE_RAW, RVA RESOURCE_RVA, RESOURCE_SIZE bytes, and ends the file; the
// parts of the tree lie at these offsets in it.
namespace versionlayout {
constexpr uint32_t RESOURCE_RAW = 0x400;
constexpr uint32_t RESOURCE_RVA = 0x1000;
constexpr uint32_t RESOURCE_SIZE = 0x200;
constexpr uint32_t ROOT = 0x00, NAMES = 0x18, LANGUAGES = 0x30, DATA_ENTRY = 0x48, VERSION = 0x58;
constexpr uint32_t VERSION_SIZE = 92;
} // namespace versionlayout
using VersionParts = std::array<uint16_t, 4>;
Image versionedProgram(const VersionParts& file, const VersionParts& product);

} // namespace pebuilder
