// The placement rules of the certificate table on a program as a linker writes it: the untouched
// program passes (with and without padding behind its signature), the table moved over the
// sections (the attack that keeps the digest and lets Windows map other bytes) is refused, and each
// other rule names itself when broken.
#include "certificatetable.h"
#include "programimage.h"

#include "signedprogram.h"

#include <gtest/gtest.h>

using namespace portable;
using namespace signedprogram;
using pebuilder::PROGRAM_SECTION_SIZE;
using pebuilder::PROGRAM_SECTIONS_AT;
using pebuilder::put32;
using signaturebuilder::signedData;

TEST(CertificateTable, TheSignedProgramUntouchedPasses)
{
    const Program p = signedProgram();
    EXPECT_EQ(placement(p.file), "");
    EXPECT_TRUE(checkProgramImage(u8(p.file), p.file.size(), p.file.size()).ok());
    // An entry with zero padding behind its signature meets the rules as well, also when its
    // length field leaves the padding out.
    const Bytes der = signatureNeedingPadding();
    Bytes entry = pebuilder::certificateEntry(der);
    EXPECT_EQ(placement(withTable(p.image, entry)), "");
    put32(entry, 0, static_cast<uint32_t>(8 + der.size()));
    EXPECT_EQ(placement(withTable(p.image, entry)), "");
}

TEST(CertificateTable, MovedOverTheSectionsIsRefused)
{
    // The attack: the unchanged entry at the start of the section data, followed by the attacker's
    // copies of the sections (which Windows maps, since the section headers still point there),
    // and the original section bytes moved behind the table, where the digest still finds them.
    const Program p = signedProgram();
    const Bytes moved = pebuilder::tableMovedOverSections(p.image, p.entry).bytes;
    ASSERT_EQ(moved.substr(PROGRAM_SECTIONS_AT, p.entry.size()), p.entry);
    EXPECT_EQ(hex(digestOf(moved)), hex(digestOf(p.file))) << "the digested bytes are unchanged";
    EXPECT_EQ(placement(moved), "the certificate table starts before the end of a section's raw data");
    const ImageCheck image1 = checkProgramImage(u8(moved), moved.size(), moved.size());
    EXPECT_EQ(image1.fault, ImageFault::SectionInCertTable);
    EXPECT_EQ(image1.section, 0u);
}

TEST(CertificateTable, EachPlacementRuleNamesItself)
{
    const Program p = signedProgram();
    const Image& image = p.image;
    const Bytes der = signedData();

    EXPECT_EQ(placement(p.file + Bytes(8, '\0')), "the certificate table does not end the file");

    const Bytes two = p.entry + pebuilder::certificateEntry(der);
    EXPECT_EQ(placement(withTable(image, two)), "the certificate table holds more than one entry");

    // Bytes behind the signature inside the entry: a whole block's worth, or a few non-zero ones
    // in the padding.
    const Bytes stuffed = pebuilder::certificateEntry(der, "BLOCK:x<1>\r\n");
    EXPECT_EQ(placement(withTable(image, stuffed)),
              "the certificate entry holds more than the signature and its padding");
    Bytes dirtyPadding = pebuilder::certificateEntry(signatureNeedingPadding());
    dirtyPadding.back() = 'x';
    EXPECT_EQ(placement(withTable(image, dirtyPadding)),
              "the certificate entry holds non-zero bytes behind the signature");

    const Bytes oldRevision = pebuilder::certificateEntry(der, "", 0x0100);
    EXPECT_EQ(placement(withTable(image, oldRevision)), "the certificate entry is not of revision 2.0");
    const Bytes x509 = pebuilder::certificateEntry(der, "", 0x0200, 1);
    EXPECT_EQ(placement(withTable(image, x509)), "the certificate entry is no PKCS#7 signature");

    // Not aligned: the table moved by 4 bytes behind the sections.
    Image unaligned = image;
    unaligned.bytes.append(4, '\0');
    unaligned.insertCertificateTable(p.entry, unaligned.size());
    EXPECT_EQ(placement(unaligned.bytes), "the certificate table is not 8-byte aligned");

    // In the headers' slack, before SizeOfHeaders (the sections follow, so the table does not end
    // the file either; the first rule broken is named).
    Image inHeaders = image;
    inHeaders.overwriteCertificateTable(p.entry, PROGRAM_SECTIONS_AT - 0x100);
    EXPECT_EQ(placement(inHeaders.bytes), "the certificate table starts inside the headers (before SizeOfHeaders)");

    // A section whose raw data reaches into the table.
    Image overlapping = image;
    overlapping.section(1, PROGRAM_SECTIONS_AT + PROGRAM_SECTION_SIZE, PROGRAM_SECTION_SIZE + 0x10);
    overlapping.appendCertificateTable(p.entry);
    EXPECT_EQ(placement(overlapping.bytes), "the certificate table starts before the end of a section's raw data");
    const ImageCheck c = checkProgramImage(overlapping.data(), overlapping.size(), overlapping.size());
    EXPECT_EQ(c.fault, ImageFault::SectionInCertTable);
    EXPECT_EQ(c.section, 1u);
}
