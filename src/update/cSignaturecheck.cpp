#include "cSignaturecheck.h"

#include "Fileobject.h"
#include "handles.h"

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>

namespace {

// Largest certificate table read: signatures are a few KiB, a deployment block a few hundred bytes.
constexpr DWORD MAX_CERT_TABLE = 4 * 1048576;
// Headers read to find the layout; PE headers of real programs fit easily.
constexpr DWORD HEAD_SIZE = 65536;
constexpr size_t DIGEST_CHUNK = 1048576;

std::wstring widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

bool readAt(HANDLE file, uint64_t offset, uint8_t* buffer, size_t length)
{
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
        return false;
    }
    size_t got = 0;
    return readFully(file, buffer, length, &got) && got == length;
}

// The platform verifies the signature over the signed attributes with the certificate's key.
// crypt32 is linked by delay-import: loaded from the system folder on this first call.
bool platformVerifies(const portable::ByteSpan& der, const portable::ByteSpan& certificate, std::wstring* why)
{
    const DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    handles::CryptMessage msg(::CryptMsgOpenToDecode(encoding, 0, 0, 0, nullptr, nullptr));
    if (!msg.valid()) {
        *why = L"the signature cannot be decoded";
        return false;
    }
    bool verified = false;
    if (::CryptMsgUpdate(msg.get(), der.data, static_cast<DWORD>(der.size), TRUE)) {
        handles::CertificateContext cert(
            ::CertCreateCertificateContext(X509_ASN_ENCODING, certificate.data, static_cast<DWORD>(certificate.size)));
        if (cert.valid()) {
            CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para = {};
            para.cbSize = sizeof(para);
            para.dwSignerIndex = 0;
            para.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
            para.pvSigner = const_cast<CERT_CONTEXT*>(cert.get());
            verified = ::CryptMsgControl(msg.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para) != FALSE;
        }
    }
    if (!verified) {
        *why = L"the signature over the signed attributes does not verify with the signer's key";
    }
    return verified;
}

cSignaturecheck::Outcome failed(cSignaturecheck::Failure failure, std::wstring detail, std::wstring signer = {})
{
    cSignaturecheck::Outcome out;
    out.failure = failure;
    out.detail = std::move(detail);
    out.signer = std::move(signer);
    return out;
}

} // namespace

std::wstring cSignaturecheck::Outcome::requirement() const
{
    static const wchar_t* const LETTERS[] = {L"", L"a", L"b", L"c", L"d"};
    return LETTERS[failure];
}

cSignaturecheck::cSignaturecheck(std::vector<portable::Sha256::Digest> pinned) : pin(std::move(pinned)) {}

bool cSignaturecheck::parsePin(const std::wstring& text, std::vector<portable::Sha256::Digest>* out)
{
    std::string ascii;
    for (wchar_t c : text) {
        if (c > 0x7F) {
            out->clear();
            return false;
        }
        ascii += static_cast<char>(c);
    }
    return portable::parseSignerPin(ascii, out).ok();
}

namespace {

// Reads the layout, the certificate table (held to its placement rules) and its signature. A
// failed outcome otherwise.
bool readSignature(uint64_t fileSize, const portable::ReadAt& read, portable::FileSignature* out,
                   cSignaturecheck::Outcome* failure)
{
    const portable::Result r = portable::readFileSignature(fileSize, read, out, {HEAD_SIZE, MAX_CERT_TABLE});
    switch (r.code) {
    case 0:
        return true;
    case portable::SIGNATURE_NO_PROGRAM:
        *failure = failed(cSignaturecheck::FAILED_IMAGE_DIGEST, L"the file is no usable program: " + widen(r.reason));
        break;
    case portable::SIGNATURE_PLACEMENT:
        *failure = failed(cSignaturecheck::FAILED_IMAGE_DIGEST,
                          L"the certificate table breaks a placement rule: " + widen(r.reason));
        break;
    case portable::SIGNATURE_MALFORMED:
        *failure = failed(cSignaturecheck::FAILED_SIGNATURE, L"the signature is malformed: " + widen(r.reason));
        break;
    default: // no table, a table too large or unreadable: the reason says which
        *failure = failed(cSignaturecheck::FAILED_IMAGE_DIGEST, widen(r.reason));
        break;
    }
    return false;
}

bool equal(const portable::ByteSpan& a, const portable::Sha256::Digest& b)
{
    return a.size == b.size() && std::memcmp(a.data, b.data(), b.size()) == 0;
}

} // namespace

cSignaturecheck::Outcome cSignaturecheck::verify(uint64_t fileSize, const portable::ReadAt& read,
                                                 const portable::Sha256::Digest* imageDigest)
{
    portable::FileSignature sig;
    Outcome failure;
    if (!readSignature(fileSize, read, &sig, &failure)) {
        return failure;
    }
    const std::wstring signer = widen(portable::toHex(sig.signerKey));

    // (a) The signed digest names exactly these bytes.
    portable::Sha256::Digest digest;
    if (imageDigest != nullptr) {
        digest = *imageDigest;
    } else if (const portable::Result r = portable::imageDigest(sig.layout, read, &digest, DIGEST_CHUNK); !r) {
        return failed(FAILED_IMAGE_DIGEST, widen(r.reason), signer);
    }
    if (!sig.info.imageDigestIsSha256) {
        return failed(FAILED_IMAGE_DIGEST, L"the signed image digest is not a SHA-256 digest", signer);
    }
    if (!equal(sig.info.imageDigest, digest)) {
        return failed(FAILED_IMAGE_DIGEST, L"the image digest of the file differs from the signed digest", signer);
    }

    // (b) The signed content is what the signer signed, and the signature holds.
    if (!sig.info.signerDigestIsSha256) {
        return failed(FAILED_SIGNATURE, L"the signer's digest algorithm is not SHA-256", signer);
    }
    if (!equal(sig.info.messageDigest,
               portable::Sha256::of(sig.info.signedContent.data, sig.info.signedContent.size))) {
        return failed(FAILED_SIGNATURE, L"the signed messageDigest differs from the hash of the signed content",
                      signer);
    }
    std::wstring why;
    if (!platformVerifies(sig.der, sig.info.signerCertificate, &why)) {
        return failed(FAILED_SIGNATURE, why, signer);
    }
    Outcome passed;
    passed.signer = signer;
    passed.signerKey = sig.signerKey;
    return passed;
}

cSignaturecheck::Outcome cSignaturecheck::check(uint64_t fileSize, const portable::ReadAt& read,
                                                const portable::Sha256::Digest* imageDigest,
                                                const portable::SignerEntryScan* blockScan) const
{
    Outcome outcome = verify(fileSize, read, imageDigest);
    if (!outcome.accepted()) {
        return outcome;
    }
    // (c) The signer is pinned.
    if (std::find(pin.begin(), pin.end(), outcome.signerKey) == pin.end()) {
        return failed(FAILED_SIGNER, L"the signer's key is not pinned", outcome.signer);
    }
    // (d) An installer brings its own pin: it may only narrow the one in force.
    if (blockScan != nullptr && blockScan->hasBlock()) {
        if (const portable::Result r = blockScan->narrows(pin); !r) {
            return failed(FAILED_WIDENS_PIN, L"the program's deployment block would widen the pin: " + widen(r.reason),
                          outcome.signer);
        }
    }
    return outcome;
}

namespace {

// Runs use on the file at path, opened for reading; fails with "the file cannot be read".
template <typename Use>
cSignaturecheck::Outcome withFile(const std::wstring& path, Use use)
{
    handles::Kernel file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size = {};
    if (!file.valid() || !::GetFileSizeEx(file.get(), &size)) {
        return failed(cSignaturecheck::FAILED_IMAGE_DIGEST, L"the file cannot be read");
    }
    return use(static_cast<uint64_t>(size.QuadPart), [&](uint64_t offset, uint8_t* buffer, size_t length) {
        return readAt(file.get(), offset, buffer, length);
    });
}

} // namespace

cSignaturecheck::Outcome cSignaturecheck::checkFile(const std::wstring& path) const
{
    return withFile(path, [this](uint64_t size, const portable::ReadAt& read) {
        portable::SignerEntryScan scan;
        if (!scanFile(size, read, &scan)) {
            return failed(FAILED_IMAGE_DIGEST, L"the file cannot be read");
        }
        return check(size, read, nullptr, &scan);
    });
}

cSignaturecheck::Outcome cSignaturecheck::verifyFile(const std::wstring& path)
{
    return withFile(path, [](uint64_t size, const portable::ReadAt& read) { return verify(size, read); });
}

bool cSignaturecheck::hasSignature(const std::wstring& path)
{
    bool present = false;
    withFile(path, [&present](uint64_t size, const portable::ReadAt& read) {
        // Any certificate-table entry counts, even one that points nowhere: such a file is refused
        // by verify, never taken for unsigned.
        std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(size, HEAD_SIZE)));
        portable::PeHeaders headers;
        present = read(0, head.data(), head.size()) &&
                  portable::readPeHeaders(head.data(), head.size(), size, &headers).ok() && headers.certTableSize != 0;
        return Outcome{};
    });
    return present;
}

bool cSignaturecheck::scanFile(uint64_t fileSize, const portable::ReadAt& read, portable::SignerEntryScan* scan)
{
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(fileSize, DIGEST_CHUNK)));
    for (uint64_t done = 0; done < fileSize;) {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(buffer.size(), fileSize - done));
        if (!read(done, buffer.data(), take)) {
            return false;
        }
        scan->update(buffer.data(), take);
        done += take;
    }
    return true;
}
