#include "pebuilder.h"

#include <algorithm>

namespace pebuilder {

namespace {

constexpr size_t FILE_HEADER_SIZE = 20;
constexpr size_t SECTION_HEADER_SIZE = 40;

// Fills [from, to) of bytes with a pattern that differs from byte to byte.
void fill(std::string* bytes, size_t from, size_t to, unsigned step, unsigned start)
{
    for (size_t i = from; i < to && i < bytes->size(); ++i) {
        (*bytes)[i] = static_cast<char>((i - from) * step + start);
    }
}

void writeHeaders(const Options& o, Image* im)
{
    im->put16(0, 0x5A4D); // "MZ"
    im->put32(0x3C, o.peOffset);
    im->put32(o.peOffset, 0x00004550); // "PE\0\0"
    const size_t fileHeader = o.peOffset + 4;
    const uint16_t machine = o.machine != 0 ? o.machine : (o.pe32plus ? MACHINE_AMD64 : MACHINE_I386);
    im->put16(fileHeader, machine);
    im->put16(fileHeader + 2, static_cast<uint16_t>(o.sections.size()));
    im->put16(fileHeader + 16, static_cast<uint16_t>(im->optionalSize));
    im->put16(fileHeader + 18, static_cast<uint16_t>(o.characteristics | (o.dll ? FILE_DLL : 0)));
    const size_t opt = im->optionalOffset;
    im->put16(opt, o.pe32plus ? 0x20B : 0x10B);
    im->put32(opt + 60, o.sizeOfHeaders);
    im->put32(im->checksumOffset, o.checksum);
    im->put16(opt + 68, o.subsystem);
    im->put32(opt + (o.pe32plus ? 108 : 92), o.directories);
    for (uint32_t i = 0; i < o.sections.size(); ++i) {
        im->section(i, o.sections[i].rawOffset, o.sections[i].rawSize);
        im->put32(im->sectionTableOffset + i * SECTION_HEADER_SIZE + 8, o.sections[i].virtualSize);
        im->put32(im->sectionTableOffset + i * SECTION_HEADER_SIZE + 12, o.sections[i].virtualAddress);
    }
}

} // namespace

void put16(std::string& bytes, size_t at, uint16_t value)
{
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8);
}

void put32(std::string& bytes, size_t at, uint32_t value)
{
    put16(bytes, at, static_cast<uint16_t>(value & 0xFFFF));
    put16(bytes, at + 2, static_cast<uint16_t>(value >> 16));
}

uint32_t get32(const std::string& bytes, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
    }
    return v;
}

void Image::section(uint32_t index, uint32_t rawOffset, uint32_t rawSize)
{
    const size_t header = sectionTableOffset + index * SECTION_HEADER_SIZE;
    put32(header + 16, rawSize);
    put32(header + 20, rawOffset);
}

void Image::pointDirectory(uint32_t index, uint32_t rva, uint32_t size)
{
    const size_t entry = securityEntryOffset + (static_cast<size_t>(index) - 4) * 8;
    put32(entry, rva);
    put32(entry + 4, size);
}

void Image::pointCertificateTable(uint32_t offset, uint32_t size)
{
    put32(securityEntryOffset, offset);
    put32(securityEntryOffset + 4, size);
}

void Image::insertCertificateTable(const std::string& table, size_t offset)
{
    bytes.insert(offset, table);
    pointCertificateTable(static_cast<uint32_t>(offset), static_cast<uint32_t>(table.size()));
}

void Image::overwriteCertificateTable(const std::string& table, size_t offset)
{
    bytes.resize(std::max(bytes.size(), offset + table.size()), '\0');
    bytes.replace(offset, table.size(), table);
    pointCertificateTable(static_cast<uint32_t>(offset), static_cast<uint32_t>(table.size()));
}

void Image::appendCertificateTable(const std::string& table)
{
    bytes.append((8 - bytes.size() % 8) % 8, '\0');
    insertCertificateTable(table, bytes.size());
}

Image build(const Options& o)
{
    Image im;
    im.peOffset = o.peOffset;
    im.optionalOffset = o.peOffset + 4 + FILE_HEADER_SIZE;
    im.optionalSize = o.pe32plus ? 240 : 224; // room for 16 data directories
    im.checksumOffset = im.optionalOffset + 64;
    im.securityEntryOffset = im.optionalOffset + (o.pe32plus ? 112 : 96) + 4 * 8;
    im.sectionTableOffset = im.optionalOffset + im.optionalSize;
    const size_t headersEnd = im.sectionTableOffset + o.sections.size() * SECTION_HEADER_SIZE;
    const size_t headers = std::max<size_t>(headersEnd, o.sizeOfHeaders);
    size_t dataEnd = headers;
    for (const Section& s : o.sections) {
        if (s.rawSize != 0) {
            dataEnd = std::max<size_t>(dataEnd, static_cast<size_t>(s.rawOffset) + s.rawSize);
        }
    }
    // Sections that lie beyond an exact size are cut with it, not written first.
    if (o.size != 0) {
        dataEnd = std::min(dataEnd, std::max(o.size, headers));
    }
    im.bytes.assign(dataEnd, '\0');
    writeHeaders(o, &im);
    for (const Section& s : o.sections) {
        if (s.rawSize != 0 && s.rawOffset < dataEnd) {
            fill(&im.bytes, std::max<size_t>(s.rawOffset, headers), static_cast<size_t>(s.rawOffset) + s.rawSize, 13,
                 1);
        }
    }
    const size_t bodyAt = im.bytes.size();
    im.bytes.resize(bodyAt + o.body, '\0');
    fill(&im.bytes, bodyAt, im.bytes.size(), 7, 3);
    if (o.size != 0) {
        im.bytes.resize(o.size, '\0');
    }
    return im;
}

std::string certificateEntry(const std::string& contents, const std::string& behind, uint16_t revision, uint16_t type)
{
    Image entry;
    entry.bytes.assign(8, '\0');
    entry.bytes += contents + behind;
    entry.bytes.append((8 - entry.bytes.size() % 8) % 8, '\0');
    entry.put32(0, static_cast<uint32_t>(entry.bytes.size()));
    entry.put16(4, revision);
    entry.put16(6, type);
    return entry.bytes;
}

Options programOptions()
{
    Options o;
    o.pe32plus = true;
    o.machine = MACHINE_AMD64;
    o.sizeOfHeaders = PROGRAM_SECTIONS_AT;
    o.sections = {{PROGRAM_SECTIONS_AT, PROGRAM_SECTION_SIZE},
                  {PROGRAM_SECTIONS_AT + PROGRAM_SECTION_SIZE, PROGRAM_SECTION_SIZE}};
    return o;
}

Image tableMovedOverSections(const Image& program, const std::string& entry)
{
    Image moved = program;
    std::string table = entry;
    table.append(2 * PROGRAM_SECTION_SIZE - std::min<size_t>(table.size(), 2 * PROGRAM_SECTION_SIZE), '\xCC');
    moved.insertCertificateTable(table, PROGRAM_SECTIONS_AT);
    return moved;
}

namespace {

// A resource directory at the section offset at with one id entry pointing at target.
void resourceDirectory(Image& im, uint32_t at, uint32_t id, uint32_t target)
{
    const uint32_t raw = versionlayout::RESOURCE_RAW;
    im.put16(raw + at + 14, 1); // one id entry, no named ones
    im.put32(raw + at + 16, id);
    im.put32(raw + at + 20, target);
}

uint32_t high(const VersionParts& v) { return static_cast<uint32_t>(v[0]) << 16 | v[1]; }
uint32_t low(const VersionParts& v) { return static_cast<uint32_t>(v[2]) << 16 | v[3]; }

} // namespace

Image versionedProgram(const VersionParts& file, const VersionParts& product)
{
    using namespace versionlayout;
    constexpr uint32_t SUBDIRECTORY = 0x80000000u;
    Options o;
    o.pe32plus = false;
    o.sizeOfHeaders = RESOURCE_RAW;
    o.sections = {{RESOURCE_RAW, RESOURCE_SIZE, RESOURCE_RVA, RESOURCE_SIZE}};
    Image im = build(o);
    im.bytes.replace(RESOURCE_RAW, RESOURCE_SIZE, std::string(RESOURCE_SIZE, '\0'));
    im.pointDirectory(2, RESOURCE_RVA, RESOURCE_SIZE);
    resourceDirectory(im, ROOT, 16, SUBDIRECTORY | NAMES);
    resourceDirectory(im, NAMES, 1, SUBDIRECTORY | LANGUAGES);
    resourceDirectory(im, LANGUAGES, 0x409, DATA_ENTRY);
    im.put32(RESOURCE_RAW + DATA_ENTRY, RESOURCE_RVA + VERSION);
    im.put32(RESOURCE_RAW + DATA_ENTRY + 4, VERSION_SIZE);
    const uint32_t v = RESOURCE_RAW + VERSION;
    im.put16(v, VERSION_SIZE);
    im.put16(v + 2, 52); // the value: VS_FIXEDFILEINFO
    const std::u16string key = u"VS_VERSION_INFO";
    for (size_t i = 0; i < key.size(); ++i) {
        im.put16(v + 6 + 2 * i, key[i]);
    }
    // Signature, structure version, file and product versions, flags mask, flags, OS, type.
    const uint32_t fixed[] = {0xFEEF04BD,   0x10000, high(file), low(file), high(product),
                              low(product), 0x3F,    0x22,       0x40004,   1};
    for (size_t i = 0; i < sizeof(fixed) / sizeof(fixed[0]); ++i) {
        im.put32(v + 40 + 4 * i, fixed[i]);
    }
    return im;
}

} // namespace pebuilder
