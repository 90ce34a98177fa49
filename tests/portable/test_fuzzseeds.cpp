// The committed seeds of fuzz_authenticode, fuzz_programimage and fuzz_certname (written by
// fuzz/make_seeds) are what their names say: the signed programs pass (the dual-signed one with its
// nested signatures), every placement attack is refused by the rule it attacks, both by the
// signature code and by the program image check, and the certificates read with their names. A seed that drifted
// into something else would leave that attack unfuzzed.
#include "authenticode.h"
#include "certname.h"
#include "programimage.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

using namespace portable;

namespace {

std::string seed(const std::string& name)
{
    std::ifstream in(std::string(CV_SOURCE_DIR) + "/fuzz/corpus/" + name, std::ios::binary);
    EXPECT_TRUE(in) << name;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// "" when the file's signature reads, the reason otherwise.
std::string signatureOf(const std::string& file)
{
    FileSignature signature;
    const Result r = readFileSignature(reinterpret_cast<const uint8_t*>(file.data()), file.size(), &signature);
    return r ? "" : r.reason;
}

ImageFault imageFault(const std::string& file)
{
    return checkProgramImage(reinterpret_cast<const uint8_t*>(file.data()), file.size(), file.size()).fault;
}

} // namespace

TEST(FuzzSeeds, SignedFilesPass)
{
    for (const char* name : {"signed_pe32", "signed_pe32plus", "program_signed", "signed_dual"}) {
        EXPECT_EQ(signatureOf(seed(std::string("authenticode/") + name)), "") << name;
    }
    EXPECT_EQ(imageFault(seed("authenticode/program_signed")), ImageFault::None);
    EXPECT_EQ(seed("programimage/program_signed.bin"), seed("authenticode/program_signed"));
    const std::string der = seed("authenticode/signeddata");
    SignatureInfo info;
    EXPECT_TRUE(parseSignature(reinterpret_cast<const uint8_t*>(der.data()), der.size(), &info));
}

TEST(FuzzSeeds, PlacementAttacksAreRefusedByTheirRule)
{
    const std::string beforeSectionsEnd = "the certificate table starts before the end of a section's raw data";
    const struct {
        const char* name;
        std::string reason;
    } attacks[] = {
        {"program_table_moved", beforeSectionsEnd},
        {"program_section_in_table", beforeSectionsEnd},
        {"program_table_not_last", "the certificate table does not end the file"},
        {"program_two_entries", "the certificate table holds more than one entry"},
        {"program_bytes_behind_signature", "the certificate entry holds more than the signature and its padding"},
        {"signed_with_block", "the certificate entry holds more than the signature and its padding"},
    };
    for (const auto& attack : attacks) {
        EXPECT_EQ(signatureOf(seed(std::string("authenticode/") + attack.name)), attack.reason) << attack.name;
    }
    for (const char* name : {"program_table_moved", "program_section_in_table"}) {
        EXPECT_EQ(imageFault(seed(std::string("programimage/") + name + ".bin")), ImageFault::SectionInCertTable)
            << name;
    }
    EXPECT_EQ(imageFault(seed("programimage/efi_application.bin")), ImageFault::WrongSubsystem);
}

TEST(FuzzSeeds, DualSignedFileNestsTwoSignatures)
{
    const std::string file = seed("authenticode/signed_dual");
    FileSignature signature;
    ASSERT_TRUE(readFileSignature(reinterpret_cast<const uint8_t*>(file.data()), file.size(), &signature));
    EXPECT_EQ(signature.info.imageDigestAlgorithm, DigestAlgorithm::Sha1);
    ASSERT_EQ(signature.nested.size(), 2u);
    EXPECT_EQ(signature.nested[0].signerKey, signature.signerKey);
    EXPECT_NE(signature.nested[1].signerKey, signature.signerKey);
    EXPECT_EQ(signature.nested[1].info.imageDigestAlgorithm, DigestAlgorithm::Sha256);
}

TEST(FuzzSeeds, CertificatesReadWithTheirNames)
{
    const auto names = [](const std::string& name) {
        const std::string der = seed("certname/" + name);
        CertificateNames out;
        EXPECT_TRUE(readCertificateNames(reinterpret_cast<const uint8_t*>(der.data()), der.size(), &out)) << name;
        return out;
    };
    const CertificateNames alt = names("cert_alternative_names");
    EXPECT_EQ(alt.alternative, (std::vector<std::wstring>{L"localhost", L"127.0.0.1", L"*.example.com"}));
    EXPECT_TRUE(certificateCoversHost(alt, L"cv.example.com"));
    EXPECT_FALSE(certificateCoversHost(alt, L"cv.example.org"));
    const CertificateNames common = names("cert_common_name");
    EXPECT_TRUE(common.alternative.empty());
    EXPECT_TRUE(certificateCoversHost(common, L"localhost"));
    EXPECT_FALSE(certificateCoversHost(names("cert_zero_in_name"), L"localhost"));
}
