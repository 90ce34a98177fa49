#include "cSignaturecheck.h"

#include "Fileobject.h"
#include "handles.h"
#include "rsasignature.h"

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>

namespace {

// Largest certificate table read: signatures are a few KiB, a deployment block a few hundred bytes.
constexpr DWORD MAX_CERT_TABLE = 4 * 1048576;
// Headers read to find the layout; PE headers of real programs fit easily.
constexpr DWORD HEAD_SIZE = 65536;
constexpr size_t DIGEST_CHUNK = 1048576;
constexpr const wchar_t* SIGNATURE_DOES_NOT_VERIFY =
    L"the signature over the signed attributes does not verify with the signer's key";

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
        *why = SIGNATURE_DOES_NOT_VERIFY;
    }
    return verified;
}

// The signer's signature over its signed attributes. An RSA signature over SHA-256, as publishers
// make them, is checked by our own code, which spares the run the platform's cryptographic
// libraries; a signature of any other kind, or with a key that code does not take, is left to
// the platform as before.
bool signatureVerifies(const portable::SignatureInfo& info, const portable::ByteSpan& der, std::wstring* why)
{
    if (info.signedWithRsa && info.signerDigestAlgorithm == portable::DigestAlgorithm::Sha256) {
        const portable::Result r =
            portable::verifyRsaSha256(info.signerPublicKey, info.signature, portable::signedAttributesDigest(info));
        if (r.code != portable::RSA_KEY_NOT_TAKEN) {
            if (!r) {
                *why = SIGNATURE_DOES_NOT_VERIFY;
            }
            return r.ok();
        }
    }
    return platformVerifies(der, info.signerCertificate, why);
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

// One signature judged: its outcome, and how far it came (a failure of a later requirement
// ranks higher; a signature that is not usable at all, by its algorithms or its form, ranks 0).
struct Judged {
    cSignaturecheck::Outcome outcome;
    int rank = 0;
};

// One signature of the file by (a) and (b) against the file's image digest, and (c) when a pin is
// given. A nested signature's failure names it.
Judged judge(const portable::SignatureCandidate& c, const portable::Sha256::Digest& digest,
             const std::vector<portable::Sha256::Digest>* pin)
{
    const std::wstring prefix = c.index == 0 ? L"" : widen(portable::signatureName(c.index)) + L": ";
    if (c.info == nullptr) {
        return {
            failed(cSignaturecheck::FAILED_SIGNATURE, prefix + L"the signature is malformed: " + widen(c.read->reason)),
            0};
    }
    const std::wstring signer = widen(portable::toHex(c.signerKey));
    if (const portable::Result r = portable::checkSignatureDigests(*c.info, digest); !r) {
        const cSignaturecheck::Failure failure =
            r.code == portable::DIGEST_IMAGE_NOT_SHA256 || r.code == portable::DIGEST_IMAGE_DIFFERS
                ? cSignaturecheck::FAILED_IMAGE_DIGEST
                : cSignaturecheck::FAILED_SIGNATURE;
        return {failed(failure, prefix + widen(r.reason), signer), portable::isUnusableAlgorithm(r.code) ? 0 : failure};
    }
    std::wstring why;
    if (!signatureVerifies(*c.info, c.der, &why)) {
        return {failed(cSignaturecheck::FAILED_SIGNATURE, prefix + why, signer), cSignaturecheck::FAILED_SIGNATURE};
    }
    if (pin != nullptr && std::find(pin->begin(), pin->end(), c.signerKey) == pin->end()) {
        return {failed(cSignaturecheck::FAILED_SIGNER, prefix + L"the signer's key is not pinned", signer),
                cSignaturecheck::FAILED_SIGNER};
    }
    cSignaturecheck::Outcome passed;
    passed.signer = signer;
    passed.signerKey = c.signerKey;
    return {passed, 0};
}

// The file's signature by (a), (b) and, with a pin, (c): the first of its signatures (the primary,
// then the nested ones) that passes; otherwise the failure that came furthest (the earlier
// signature of two that came as far). primarySignerOnly judges only the signatures made with the
// primary signer's key: a nested signature of another key, which anyone can add, is left out.
cSignaturecheck::Outcome judgeFile(uint64_t fileSize, const portable::ReadAt& read,
                                   const portable::Sha256::Digest* imageDigest, bool primarySignerOnly,
                                   const std::vector<portable::Sha256::Digest>* pin)
{
    portable::FileSignature sig;
    cSignaturecheck::Outcome failure;
    if (!readSignature(fileSize, read, &sig, &failure)) {
        return failure;
    }
    portable::Sha256::Digest digest;
    if (imageDigest != nullptr) {
        digest = *imageDigest;
    } else if (const portable::Result r = portable::imageDigest(sig.layout, read, &digest, DIGEST_CHUNK); !r) {
        return failed(cSignaturecheck::FAILED_IMAGE_DIGEST, widen(r.reason), widen(portable::toHex(sig.signerKey)));
    }
    Judged best;
    best.rank = -1;
    for (const portable::SignatureCandidate& c : portable::signatureCandidates(sig)) {
        if (primarySignerOnly && !c.byPrimarySigner) {
            continue;
        }
        Judged j = judge(c, digest, pin);
        if (j.outcome.accepted()) {
            return j.outcome;
        }
        if (j.rank > best.rank) {
            best = std::move(j);
        }
    }
    return best.outcome;
}

} // namespace

cSignaturecheck::Outcome cSignaturecheck::verify(uint64_t fileSize, const portable::ReadAt& read,
                                                 const portable::Sha256::Digest* imageDigest)
{
    return judgeFile(fileSize, read, imageDigest, true, nullptr);
}

cSignaturecheck::Outcome cSignaturecheck::check(uint64_t fileSize, const portable::ReadAt& read,
                                                const portable::Sha256::Digest* imageDigest,
                                                const portable::SignerEntryScan* blockScan) const
{
    Outcome outcome = judgeFile(fileSize, read, imageDigest, false, &pin);
    if (!outcome.accepted()) {
        return outcome;
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
