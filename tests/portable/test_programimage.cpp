// The program image check against hand-made headers at every edge: each fault, the limits of the
// section count, sums of offsets that wrap, heads shorter than the file.
#include "programimage.h"

#include "pebuilder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

using portable::checkProgramImage;
using portable::ImageFault;

namespace {

using pebuilder::Image;

// A PE32+ (or PE32) program of n bytes, its PE header at peOffset, with sections of 0x200 bytes
// from 0x400 on.
Image program(size_t n, bool pe32 = false, uint16_t sections = 2, uint32_t peOffset = 0x80)
{
    pebuilder::Options o;
    o.pe32plus = !pe32;
    o.peOffset = peOffset;
    o.size = n;
    for (uint32_t i = 0; i < sections; ++i) {
        o.sections.push_back({0x400 + i * 0x200, 0x200});
    }
    return pebuilder::build(o);
}

ImageFault check(const Image& im) { return checkProgramImage(im.data(), im.size(), im.size()).fault; }

} // namespace

TEST(ProgramImage, CompleteProgramsPass)
{
    EXPECT_EQ(check(program(0x800)), ImageFault::None);
    EXPECT_EQ(check(program(0x800, true)), ImageFault::None) << "PE32 as the shipped 32-bit build";
    // Raw data ending exactly at the end of the file; an empty section anywhere.
    Image im = program(0x800);
    im.section(1, 0x600, 0x200);
    EXPECT_EQ(check(im), ImageFault::None);
    im.section(1, 0xFFFFFFFF, 0);
    EXPECT_EQ(check(im), ImageFault::None);
    // Data appended after the last section (a deployment block) changes nothing.
    im.bytes.resize(0x900, 'x');
    EXPECT_EQ(check(im), ImageFault::None);
}

TEST(ProgramImage, EachFaultIsNamed)
{
    EXPECT_EQ(checkProgramImage(nullptr, 0, 0).fault, ImageFault::NoMzSignature);
    Image im = program(0x800);
    im.bytes[1] = 'Y';
    EXPECT_EQ(check(im), ImageFault::NoMzSignature);
    EXPECT_EQ(checkProgramImage(program(0x800).data(), 63, 0x800).fault, ImageFault::NoMzSignature);

    im = program(0x800);
    im.put32(0x3C, 0x7F0); // the signature fits, the file header does not
    EXPECT_EQ(check(im), ImageFault::NoPeHeader);
    im.put32(0x3C, 0xFFFFFFF0); // an offset that wraps
    EXPECT_EQ(check(im), ImageFault::NoPeHeader);
    im = program(0x800);
    im.bytes[0x81] = 'X';
    EXPECT_EQ(check(im), ImageFault::NoPeHeader);

    im = program(0x800);
    im.put16(im.optionalOffset, 0x107); // ROM image
    EXPECT_EQ(check(im), ImageFault::NoOptionalHeader);
    im = program(0x800);
    im.put16(0x80 + 20, 0);
    EXPECT_EQ(check(im), ImageFault::NoOptionalHeader);
    im = program(0x800);
    im.put16(0x80 + 20, 0xFFFF); // beyond the file
    EXPECT_EQ(check(im), ImageFault::NoOptionalHeader);

    im = program(0x800);
    im.put16(0x80 + 22, 0x0100); // no IMAGE_FILE_EXECUTABLE_IMAGE
    EXPECT_EQ(check(im), ImageFault::NotExecutable);
    im.put16(0x80 + 22, 0x2102);
    EXPECT_EQ(check(im), ImageFault::IsDll);

    // Only what CreateProcess starts: i386, AMD64 or ARM64; a Windows GUI or console program.
    for (uint16_t machine : {0x14C, 0x8664, 0xAA64}) {
        im = program(0x800);
        im.put16(0x80 + 4, machine);
        EXPECT_EQ(check(im), ImageFault::None) << machine;
    }
    for (uint16_t machine : {0x0, 0x1C4, 0x200, 0xEBC}) {
        im = program(0x800);
        im.put16(0x80 + 4, machine);
        EXPECT_EQ(check(im), ImageFault::WrongMachine) << machine;
    }
    im = program(0x800);
    im.put16(im.optionalOffset + 68, 3);
    EXPECT_EQ(check(im), ImageFault::None) << "console";
    for (uint16_t subsystem : {0, 1, 9, 10, 16}) { // none, native, CE, EFI application, boot application
        im = program(0x800);
        im.put16(im.optionalOffset + 68, subsystem);
        EXPECT_EQ(check(im), ImageFault::WrongSubsystem) << subsystem;
    }
    // An optional header too short to name its subsystem.
    im = program(0x800, false, 0);
    im.put16(0x80 + 20, 68);
    EXPECT_EQ(check(im), ImageFault::WrongSubsystem);

    EXPECT_EQ(check(program(0x800, false, 0)), ImageFault::NoSections);
    Image many = program(0x2000, false, 97);
    EXPECT_EQ(check(many), ImageFault::NoSections);
    Image most = program(0x2000, false, 96);
    for (uint32_t i = 0; i < 96; ++i) {
        most.section(i, 0x1800, 0x800);
    }
    EXPECT_EQ(check(most), ImageFault::None);

    // The table within the file, but not within the bytes read.
    Image cut = program(0x800);
    EXPECT_EQ(checkProgramImage(cut.data(), cut.sectionTableOffset + 40, 0x800).fault, ImageFault::SectionTableOutside);
    EXPECT_EQ(checkProgramImage(cut.data(), cut.sectionTableOffset + 80, 0x800).fault, ImageFault::None);
}

TEST(ProgramImage, SectionsMustStayOutOfTheCertificateTable)
{
    // PE32+: 16 data directories, the certificate-table entry at optional header + 144.
    Image im = program(0x900);
    im.pointCertificateTable(0x800, 0x100);
    EXPECT_EQ(check(im), ImageFault::None) << "the table behind the sections";
    im.section(1, 0x600, 0x208);
    const portable::ImageCheck c = checkProgramImage(im.data(), im.bytes.size(), im.bytes.size());
    EXPECT_EQ(c.fault, ImageFault::SectionInCertTable);
    EXPECT_EQ(c.section, 1u);
    // A section lying wholly inside the table, and one starting inside it.
    im.section(1, 0x840, 0x10);
    EXPECT_EQ(check(im), ImageFault::SectionInCertTable);
    im.section(1, 0x8F0, 0x10);
    EXPECT_EQ(check(im), ImageFault::SectionInCertTable);
    // Touching is not overlapping; an empty section takes no room.
    im.section(1, 0x600, 0x200);
    EXPECT_EQ(check(im), ImageFault::None);
    im.section(1, 0x800, 0);
    EXPECT_EQ(check(im), ImageFault::None);
}

TEST(ProgramImage, SectionsMustEndInsideTheFile)
{
    Image im = program(0x800);
    im.section(1, 0x600, 0x201);
    const portable::ImageCheck c = checkProgramImage(im.data(), im.bytes.size(), im.bytes.size());
    EXPECT_EQ(c.fault, ImageFault::SectionOutside);
    EXPECT_EQ(c.section, 1u);
    // 32-bit sums that wrap around must not pass.
    im.section(1, 0xFFFFFF00, 0x200);
    EXPECT_EQ(check(im), ImageFault::SectionOutside);
    im.section(1, 0x10, 0xFFFFFFF8);
    EXPECT_EQ(check(im), ImageFault::SectionOutside);
    // A file cut after its headers: the first section lies beyond it.
    Image whole = program(0x800);
    EXPECT_EQ(checkProgramImage(whole.data(), 0x500, 0x500).fault, ImageFault::SectionOutside);
    // The head given is never taken for more than the file.
    EXPECT_EQ(checkProgramImage(whole.data(), 0x800, 0x100).fault, ImageFault::NoOptionalHeader);
}
