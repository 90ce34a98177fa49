// make_seeds: writes the synthetic seeds of the fuzz targets fuzz_authenticode, fuzz_programimage
// and fuzz_certname, built with the tests' PE, signature and certificate builders (tests/support):
// small PE32 and PE32+ files with a certificate table that holds a structurally complete
// Authenticode SignedData (made-up digests, certificates and signature bytes: no key is involved),
// one of them carrying a block behind its signature, one dual-signed (a SHA-1 signature nesting
// two SHA-256 ones), and the bare SignedData; certificates with alternative names, with a common
// name only and with a zero character inside a name; and a program with sections as
// a linker lays it out, signed, with the files an attacker builds against the placement rules of
// the certificate table (the table moved over the sections, not ending the file, two entries,
// bytes behind the signature, a section reaching into the table), which also seed the program
// image check, with an EFI application. Built into build/host-tools/; run it again after
// changing it:
//
//   build/host-tools/make_seeds fuzz/corpus
#include "certbuilder.h"
#include "pebuilder.h"
#include "signaturebuilder.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>

namespace fs = std::filesystem;
using pebuilder::Image;

namespace {

Image plainPe(bool pe32plus, size_t body)
{
    pebuilder::Options o;
    o.pe32plus = pe32plus;
    o.body = body;
    return pebuilder::build(o);
}

std::string signedPe(bool pe32plus, size_t body, const std::string& entry)
{
    Image im = plainPe(pe32plus, body);
    im.appendCertificateTable(entry);
    return im.bytes;
}

std::string withTable(Image image, const std::string& table)
{
    image.appendCertificateTable(table);
    return image.bytes;
}

// The signed program and the placement attacks on it.
std::map<std::string, std::string> placementSeeds(const std::string& signature)
{
    const Image program = pebuilder::build(pebuilder::programOptions());
    const std::string entry = pebuilder::certificateEntry(signature);
    Image overlapping = program;
    overlapping.section(1, pebuilder::PROGRAM_SECTIONS_AT + pebuilder::PROGRAM_SECTION_SIZE,
                        pebuilder::PROGRAM_SECTION_SIZE + 0x10);
    return {
        {"program_signed", withTable(program, entry)},
        {"program_table_moved", pebuilder::tableMovedOverSections(program, entry).bytes},
        {"program_table_not_last", withTable(program, entry) + std::string(8, '\0')},
        {"program_two_entries", withTable(program, entry + pebuilder::certificateEntry(signature))},
        {"program_bytes_behind_signature",
         withTable(program, pebuilder::certificateEntry(signature, "MARK:entry<old>\r\n"))},
        {"program_section_in_table", withTable(overlapping, entry)},
    };
}

// A program signed SHA-1, with SHA-256 signatures of two keys nested in its signature.
std::string dualSigned()
{
    signaturebuilder::SignatureParts primary;
    primary.imageAlg = primary.signerAlg = signaturebuilder::SHA1_OID;
    primary.imageDigest = std::string(20, '\x11');
    const std::string ours = signaturebuilder::signedData();
    signaturebuilder::SignatureParts other;
    other.signerKey = 'd';
    primary.unsignedAttributes = signaturebuilder::nestedSignatures({ours, signaturebuilder::signedData(other)});
    Image program = pebuilder::build(pebuilder::programOptions());
    program.appendCertificateTable(pebuilder::certificateEntry(signaturebuilder::signedData(primary)));
    return program.bytes;
}

// Certificates for the name reader; the fuzz target also reads each as a name and a host.
std::map<std::string, std::string> certificateSeeds()
{
    using certbuilder::der;
    const std::string alt = der(0x82, "localhost") + der(0x87, std::string("\x7F\0\0\x01", 4)) +
                            der(0x82, "*.example.com") + der(0x81, "ops@example.com");
    const std::string nul = der(0x82, std::string("localhost\0.evil.example", 23));
    return {
        {"cert_alternative_names", certbuilder::certificate(certbuilder::commonName("cv.example.com"), &alt)},
        {"cert_common_name", certbuilder::certificate(certbuilder::commonName("localhost"), nullptr)},
        {"cert_zero_in_name", certbuilder::certificate(certbuilder::commonName("localhost"), &nul)},
        {"name_wildcard", "\x0d*.example.comcv.example.com"},
    };
}

bool write(const fs::path& file, const std::string& bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::cerr << "make_seeds: cannot write " << file.string() << "\n";
    }
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: make_seeds CORPUS_FOLDER   (writes CORPUS_FOLDER/authenticode, .../programimage,"
                     " .../certname)\n";
        return 2;
    }
    const fs::path authenticode = fs::path(argv[1]) / "authenticode";
    const fs::path image = fs::path(argv[1]) / "programimage";
    const fs::path certname = fs::path(argv[1]) / "certname";
    fs::create_directories(authenticode);
    fs::create_directories(image);
    fs::create_directories(certname);
    const std::string signature = signaturebuilder::signedData();
    std::map<std::string, std::string> seeds = placementSeeds(signature);
    const std::map<std::string, std::string> placed = seeds;
    seeds["signed_pe32plus"] = signedPe(true, 512, pebuilder::certificateEntry(signature));
    seeds["signed_pe32"] = signedPe(false, 200, pebuilder::certificateEntry(signature));
    seeds["signed_with_block"] = signedPe(true, 300, pebuilder::certificateEntry(signature, "MARK:entry<old>\r\n"));
    seeds["signeddata"] = signature;
    seeds["signed_dual"] = dualSigned();
    bool ok = true;
    for (const auto& [name, bytes] : seeds) {
        ok = write(authenticode / name, bytes) && ok;
    }
    for (const auto& [name, bytes] : certificateSeeds()) {
        ok = write(certname / name, bytes) && ok;
    }
    for (const char* name : {"program_signed", "program_table_moved", "program_section_in_table"}) {
        ok = write(image / (std::string(name) + ".bin"), placed.at(name)) && ok;
    }
    pebuilder::Options efi = pebuilder::programOptions();
    efi.subsystem = pebuilder::SUBSYSTEM_EFI_APPLICATION;
    ok = write(image / "efi_application.bin", pebuilder::build(efi).bytes) && ok;
    return ok ? 0 : 1;
}
