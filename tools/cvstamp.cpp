// cvstamp: the server side's deployment stamper. It writes a copy of the installer with a
// deployment block appended behind the executable image: the marker, then one tagged entry per
// value, then CR LF, all in the ANSI code page 1252 that the installer reads it with. A block
// that the input carries already is replaced, never followed by a second one (the installer
// reads only the first). Values the block cannot carry are refused: a ">" (it ends an entry),
// control characters, characters outside code page 1252, and the entry prefix itself. --show
// prints the values that the installer would read from a stamped file.
//
//   cvstamp --protocol https --host cv.example.com --port 8443 --portal /vazu/portal/req?loadPortal
//           --client /vazu/portal/req?loadPortal --events /vazu/webportlets/portal/eventViewer
//           --product "Brightel RudEvuvor" --loglevel 3 CV_setup.exe stamped/CV_setup.exe
//   cvstamp --show stamped/CV_setup.exe
//
// A signed installer (Authenticode) keeps its signature: the block goes inside the certificate
// table, into the signature itself as an unsigned attribute of its signer, a part of the file the
// signature does not cover (the entry, the table's directory size and the file grow, and the PE
// checksum is recomputed). The optional --signer HASH[,HASH] writes a publisher pin: the SHA-256
// hashes of the public keys whose signatures the installer accepts on the program it downloads;
// --print-signer FILE prints that hash for a signed file (--list-signatures FILE lists every
// signature of a dual-signed file, usable or not). The optional --tls strict makes every
// certificate problem of the update exchange end the update (strict TLS); it is refused with any
// protocol but https.
//
// The block's format and the rules for values live in the portable core (deploymentblock), which
// the installer reads the block with as well; the options, the rules of their values and what the
// usage text says about them come from the key table (deploymentkeytable).
#include "authenticode.h"
#include "deploymentblock.h"
#include "deploymentkeytable.h"
#include "signaturestamp.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Exit statuses: a wrong command line, or a file that cannot be read, stamped or written.
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_FAILED = 1;

struct StampRequest {
    portable::DeploymentValues values;
    std::vector<std::string> files;
};

// The usage line holds at most this many characters; continuation lines start under the first option.
constexpr size_t USAGE_WIDTH = 100;
constexpr size_t USAGE_INDENT = 15;

// The synopsis of a stamping run, from the key table: the required options, then on a line of
// their own the optional ones in brackets, then the two files.
std::string stampSynopsis()
{
    std::string text = "usage: cvstamp";
    size_t lineStart = 0;
    const auto add = [&text, &lineStart](const std::string& word, bool newLine) {
        if (newLine || text.size() - lineStart + 1 + word.size() > USAGE_WIDTH) {
            text += "\n";
            lineStart = text.size();
            text += std::string(USAGE_INDENT - 1, ' ');
        }
        text += " " + word;
    };
    bool firstOptional = true;
    for (const portable::DeploymentKey& key : portable::deploymentKeys()) {
        const std::string option = std::string(key.option) + " " + key.placeholder;
        add(key.optional() ? "[" + option + "]" : option, key.optional() && firstOptional);
        firstOptional = firstOptional && !key.optional();
    }
    add("INSTALLER OUTPUT", false);
    return text + "\n";
}

// Which options may be left out ("--signer and --tls"), then what the table says about each.
std::string optionalOptionsHelp()
{
    std::vector<const portable::DeploymentKey*> optional;
    for (const portable::DeploymentKey& key : portable::deploymentKeys()) {
        if (key.optional()) {
            optional.push_back(&key);
        }
    }
    std::string text = "Every option";
    for (size_t i = 0; i < optional.size(); ++i) {
        text += i == 0 ? " but " : i + 1 == optional.size() ? " and " : ", ";
        text += optional[i]->option;
    }
    text += " is required; a value may be empty\n(\"\").";
    bool first = true;
    for (const portable::DeploymentKey* key : optional) {
        if (*key->help != '\0') {
            text += (first ? " " : "") + std::string(key->help) + "\n";
            first = false;
        }
    }
    return first ? text + "\n" : text;
}

void usage()
{
    std::cerr << stampSynopsis()
              << "       cvstamp --show FILE\n"
                 "       cvstamp --print-signer FILE\n"
                 "       cvstamp --list-signatures FILE\n"
                 "Writes OUTPUT as a copy of INSTALLER with the deployment block appended (an existing block\n"
                 "is replaced); a signed INSTALLER gets the block inside its certificate table, so that the\n"
                 "signature stays valid. "
              << optionalOptionsHelp()
              << "--print-signer prints one line: the key of the primary signer when the primary signature or a\n"
                 "SHA-256 signature nested by the same key is usable. --list-signatures prints every signature\n"
                 "(primary and nested): digest algorithm, signer key hash, usable or not (SHA-256, digests\n"
                 "matching the file).\n";
}

// The whole file; false (with the reason in *why) for a folder, a file that cannot be opened or
// one whose reading fails.
bool readAll(const fs::path& path, std::string& data, std::string* why)
{
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        *why = "it is a folder";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *why = std::strerror(errno);
        return false;
    }
    // Reading a file that fails underneath (for example a folder on some systems) throws from
    // inside the stream buffer; it is a failure like any other here.
    try {
        data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::exception& e) {
        *why = e.what();
        return false;
    }
    if (in.bad()) {
        *why = "read error";
        return false;
    }
    return true;
}

// The certificate entry of a file in memory (its SignedData read too when whole); the code says
// how far it was read (a file without a table stops at SIGNATURE_NO_PROGRAM or SIGNATURE_NONE).
portable::Result fileSignature(const std::string& data, portable::FileSignature* signature, bool whole = false)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    return whole ? portable::readFileSignature(bytes, data.size(), signature)
                 : portable::readCertificateEntry(bytes, data.size(), signature);
}

// Whether the file is a PE image with a certificate table.
bool isSigned(const portable::Result& read)
{
    return read.code != portable::SIGNATURE_NO_PROGRAM && read.code != portable::SIGNATURE_NONE;
}

int show(const fs::path& file)
{
    std::string data;
    std::string why;
    if (!readAll(file, data, &why)) {
        std::cerr << "cvstamp: cannot read " << file.string() << ": " << why << "\n";
        return EXIT_FAILED;
    }
    portable::FileSignature signature;
    const portable::Result read = fileSignature(data, &signature);
    const bool hasTable = isSigned(read);
    if (read.code == portable::SIGNATURE_PLACEMENT) {
        std::cerr << "cvstamp: the certificate table of " << file.string() << " breaks a placement rule ("
                  << read.reason << "): the installer refuses its signature\n";
        return EXIT_FAILED;
    }
    // The block as the installer reads it.
    const std::wstring content = portable::deploymentBlockOfBytes(data);
    if (content.empty()) {
        std::cerr << "cvstamp: " << file.string() << " has no deployment block\n";
        return EXIT_FAILED;
    }
    const size_t at = data.size() - content.size();
    const bool inTable = hasTable && at >= signature.layout.certTableOffset;
    std::cout << "deployment block of " << file.string() << " at byte " << at
              << (inTable ? " (inside the certificate table)" : "") << ":\n";
    for (const portable::DeploymentKey& key : portable::deploymentKeys()) {
        const auto value = portable::readDeploymentEntry(content, key.word);
        if (!value && key.optional()) {
            continue;
        }
        std::cout << portable::toUtf8(key.word) << "=" << (value ? portable::toUtf8(*value) : "")
                  << (value ? "" : "    (missing: read as empty)") << "\n";
    }
    const size_t blocks = portable::countDeploymentMarkers(content);
    if (blocks > 1) {
        std::cout << "note: " << blocks << " markers in the file; the installer reads only the first\n";
    }
    return 0;
}

// One option with its value at args[*i]; *i moves past the value. 0 or an exit status.
int takeValue(const std::vector<std::string>& args, size_t* i, const portable::DeploymentKey& key,
              StampRequest* request)
{
    const std::string& option = args[*i];
    if (*i + 1 >= args.size()) {
        std::cerr << "cvstamp: " << option << " needs a value\n";
        return EXIT_USAGE;
    }
    if (request->values.count(key.word) != 0) {
        std::cerr << "cvstamp: " << option << " is given twice\n";
        return EXIT_USAGE;
    }
    std::wstring value;
    if (const portable::Result checked = portable::checkDeploymentKeyValue(key, args[*i + 1], &value); !checked) {
        std::cerr << "cvstamp: refusing the value of " << option << ": " << checked.reason << "\n";
        return EXIT_USAGE;
    }
    request->values[key.word] = value;
    ++*i;
    return 0;
}

// The options and the two file names of a stamping run. 0 or an exit status.
int parseArguments(const std::vector<std::string>& args, StampRequest* request)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const portable::DeploymentKey* matched = nullptr;
        for (const portable::DeploymentKey& key : portable::deploymentKeys()) {
            if (args[i] == key.option) {
                matched = &key;
            }
        }
        if (matched != nullptr) {
            if (const int status = takeValue(args, &i, *matched, request)) {
                return status;
            }
        } else if (args[i].rfind("--", 0) == 0) {
            std::cerr << "cvstamp: unknown option " << args[i] << "\n";
            usage();
            return EXIT_USAGE;
        } else {
            request->files.push_back(args[i]);
        }
    }
    return 0;
}

// Every key that is not optional has a value, and two files are named. 0 or an exit status.
int checkComplete(const StampRequest& request)
{
    if (const portable::DeploymentKey* missing = portable::firstMissingDeploymentKey(request.values)) {
        std::cerr << "cvstamp: " << missing->option << " is missing (give \"\" for an empty value)\n";
        return EXIT_USAGE;
    }
    const auto tls = request.values.find(L"TLS");
    if (tls != request.values.end() && !portable::strictTlsFits(request.values.at(L"PROTOCOL"))) {
        std::cerr << "cvstamp: refusing --tls strict with --protocol \""
                  << portable::toUtf8(request.values.at(L"PROTOCOL")) << "\": strict TLS holds only over https\n";
        return EXIT_USAGE;
    }
    if (request.files.size() != 2) {
        std::cerr << "cvstamp: give the installer and the output file\n";
        usage();
        return EXIT_USAGE;
    }
    return 0;
}

// A signed installer: the block goes inside the certificate table, which the signature does not
// cover. A block in the signed part (stamped before signing) cannot be replaced without breaking
// the signature, and the installer would read that one first: refused. 0 or an exit status.
int stampSigned(const fs::path& input, uint32_t certTableOffset, const std::string& block, std::string* data,
                bool* replaced)
{
    std::string marker;
    portable::toCp1252(portable::deploymentMarker(), &marker);
    const size_t first = data->find(marker);
    if (first != std::string::npos && first < certTableOffset) {
        std::cerr << "cvstamp: " << input.string()
                  << " is signed with a deployment block inside the signed part; sign the unstamped installer,"
                     " then stamp it\n";
        return EXIT_FAILED;
    }
    if (const portable::Result placed = portable::placeInCertificateTable(data, block, replaced); !placed) {
        std::cerr << "cvstamp: cannot stamp the signed " << input.string() << ": " << placed.reason << "\n";
        return EXIT_FAILED;
    }
    return 0;
}

// The installer's bytes with the block in place of any block it carries. 0 or an exit status.
int stampImage(const fs::path& input, const portable::DeploymentValues& values, std::string* data, bool* replaced)
{
    std::string why;
    if (!readAll(input, *data, &why)) {
        std::cerr << "cvstamp: cannot read " << input.string() << ": " << why << "\n";
        return EXIT_FAILED;
    }
    if (data->size() < 2 || (*data)[0] != 'M' || (*data)[1] != 'Z') {
        std::cerr << "cvstamp: " << input.string() << " is not a Windows executable\n";
        return EXIT_FAILED;
    }
    std::string block;
    // Checked values are all in code page 1252, so this cannot fail.
    portable::toCp1252(portable::writeDeploymentBlock(values), &block);
    portable::FileSignature signature;
    if (isSigned(fileSignature(*data, &signature))) {
        return stampSigned(input, signature.layout.certTableOffset, block, data, replaced);
    }
    const auto end = portable::deploymentImageEnd(portable::fromCp1252(*data));
    if (!end) {
        std::cerr << "cvstamp: " << input.string()
                  << " holds the deployment marker followed by something that is not a deployment block;"
                     " refusing to cut it\n";
        return EXIT_FAILED;
    }
    *replaced = *end < data->size();
    data->resize(*end);
    *data += block;
    return 0;
}

// Written beside the output and renamed over it: a failed run never leaves half a file, and the
// output may be the input itself. 0 or an exit status.
int writeOutput(const fs::path& input, const fs::path& output, const std::string& data)
{
    std::error_code ec;
    const fs::path dir = output.has_parent_path() ? output.parent_path() : fs::path(".");
    const fs::path temp = dir / (output.filename().string() + ".cvstamp-tmp");
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        out.close();
        if (!out) {
            std::cerr << "cvstamp: cannot write " << temp.string() << "\n";
            fs::remove(temp, ec);
            return EXIT_FAILED;
        }
    }
    fs::permissions(temp, fs::status(input, ec).permissions(), ec);
    fs::rename(temp, output, ec);
    if (ec) {
        std::cerr << "cvstamp: cannot write " << output.string() << ": " << ec.message() << "\n";
        fs::remove(temp, ec);
        return EXIT_FAILED;
    }
    return 0;
}

int stamp(const std::vector<std::string>& args)
{
    StampRequest request;
    if (const int status = parseArguments(args, &request)) {
        return status;
    }
    if (const int status = checkComplete(request)) {
        return status;
    }
    const fs::path input = request.files[0];
    const fs::path output = request.files[1];
    std::string data;
    bool replaced = false;
    if (const int status = stampImage(input, request.values, &data, &replaced)) {
        return status;
    }
    if (const int status = writeOutput(input, output, data)) {
        return status;
    }
    std::cout << (replaced ? "replaced the deployment block: " : "stamped: ") << output.string() << "\n";
    return 0;
}

// A signed file's signature read whole (the placement rules of its table held) and its SHA-256
// image digest. 0 or an exit status (the message printed).
int readSignatures(const fs::path& file, portable::FileSignature* signature, portable::Sha256::Digest* digest)
{
    std::string data;
    std::string why;
    if (!readAll(file, data, &why)) {
        std::cerr << "cvstamp: cannot read " << file.string() << ": " << why << "\n";
        return EXIT_FAILED;
    }
    const portable::Result read = fileSignature(data, signature, true);
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    portable::Result digested = read ? portable::imageDigest(bytes, data.size(), digest) : read;
    if (!digested) {
        std::cerr << "cvstamp: no signer in " << file.string() << ": "
                  << (isSigned(read) ? digested.reason : "it carries no Authenticode signature") << "\n";
        return EXIT_FAILED;
    }
    return 0;
}

// "usable" when the signature's digests hold for the file (SHA-256, the image digest and the
// messageDigest); "not usable: " and the reason otherwise. The signature over the signed
// attributes is the installer's to verify (with the platform's crypto library).
std::string standing(const portable::SignatureCandidate& c, const portable::Sha256::Digest& digest)
{
    if (c.info == nullptr) {
        return "not usable: " + c.read->reason;
    }
    const portable::Result r = portable::checkSignatureDigests(*c.info, digest);
    return r ? "usable" : "not usable: " + r.reason;
}

// The SHA-256 hash of the public key of a signed file's publisher, as a signed installer pins it:
// the primary signer's key, when the primary signature or one nested by the same key is usable
// (a dual-signed file's SHA-1 primary is not). One line, for scripts.
int printSigner(const fs::path& file)
{
    portable::FileSignature signature;
    portable::Sha256::Digest digest;
    if (const int status = readSignatures(file, &signature, &digest)) {
        return status;
    }
    const auto candidates = portable::signatureCandidates(signature);
    for (const portable::SignatureCandidate& c : candidates) {
        if (c.byPrimarySigner && standing(c, digest) == "usable") {
            std::cout << portable::toHex(signature.signerKey) << "\n";
            return 0;
        }
    }
    std::cerr << "cvstamp: no usable signer in " << file.string() << ": the primary signature is "
              << standing(candidates[0], digest)
              << ", and no usable SHA-256 signature by the same key is nested in it (--list-signatures lists every"
                 " signature)\n";
    return EXIT_FAILED;
}

// Every signature of a signed file, one line each: which (primary, nested N), its digest
// algorithm, its signer's key hash and whether it is usable.
int listSignatures(const fs::path& file)
{
    portable::FileSignature signature;
    portable::Sha256::Digest digest;
    if (const int status = readSignatures(file, &signature, &digest)) {
        return status;
    }
    for (const portable::SignatureCandidate& c : portable::signatureCandidates(signature)) {
        std::cout << (c.index == 0 ? std::string("primary") : "nested " + std::to_string(c.index)) << "\t"
                  << (c.info != nullptr ? portable::digestAlgorithmName(c.info->imageDigestAlgorithm) : "-") << "\t"
                  << (c.info != nullptr ? portable::toHex(c.signerKey) : std::string("none")) << "\t"
                  << standing(c, digest)
                  << (c.info != nullptr && !c.byPrimarySigner ? " (another key than the primary signer's)" : "")
                  << "\n";
    }
    return 0;
}

// The command line without the program name: one of the three modes. 0 or an exit status.
int run(const std::vector<std::string>& args)
{
    if (args.size() == 2 && args[0] == "--show") {
        return show(args[1]);
    }
    if (args.size() == 2 && args[0] == "--print-signer") {
        return printSigner(args[1]);
    }
    if (args.size() == 2 && args[0] == "--list-signatures") {
        return listSignatures(args[1]);
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        usage();
        return args.empty() ? EXIT_USAGE : 0;
    }
    return stamp(args);
}

} // namespace

int main(int argc, char** argv)
{
    // Every failure is a message and an exit status, never an abort.
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::cerr << "cvstamp: " << e.what() << "\n";
        return EXIT_FAILED;
    }
}
