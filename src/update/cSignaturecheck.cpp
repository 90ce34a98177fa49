#include "cSignaturecheck.h"

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
    while (length > 0) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(length, 0x40000000));
        if (!::ReadFile(file, buffer, want, &got, nullptr) || got == 0) {
            return false;
        }
        buffer += got;
        length -= got;
    }
    return true;
}

// The platform verifies the signature over the signed attributes with the certificate's key.
// crypt32 is linked by delay-import: loaded from the system folder on this first call.
bool platformVerifies(const portable::ByteSpan& der, const portable::ByteSpan& certificate, std::wstring* why)
{
    const DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    HCRYPTMSG msg = ::CryptMsgOpenToDecode(encoding, 0, 0, 0, nullptr, nullptr);
    if (msg == nullptr) {
        *why = L"the signature cannot be decoded";
        return false;
    }
    bool verified = false;
    if (::CryptMsgUpdate(msg, der.data, static_cast<DWORD>(der.size), TRUE)) {
        PCCERT_CONTEXT cert =
            ::CertCreateCertificateContext(X509_ASN_ENCODING, certificate.data, static_cast<DWORD>(certificate.size));
        if (cert != nullptr) {
            CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para = {};
            para.cbSize = sizeof(para);
            para.dwSignerIndex = 0;
            para.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
            para.pvSigner = const_cast<CERT_CONTEXT*>(cert);
            verified = ::CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para) != FALSE;
            ::CertFreeCertificateContext(cert);
        }
    }
    ::CryptMsgClose(msg);
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

// The first PKCS#7 entry of the certificate table, cut to its DER length.
bool firstSignature(const std::vector<uint8_t>& table, portable::ByteSpan* der, std::wstring* why)
{
    std::vector<portable::CertificateEntry> entries;
    std::string reason;
    if (!portable::listCertificates(table.data(), table.size(), &entries, &reason)) {
        *why = widen(reason);
        return false;
    }
    for (const auto& e : entries) {
        if (e.type == portable::WIN_CERT_TYPE_PKCS_SIGNED_DATA) {
            const uint8_t* p = table.data() + e.offset + 8;
            const size_t length = portable::derElementLength(p, e.length - 8);
            if (length == 0) {
                *why = L"the signature entry holds no DER structure";
                return false;
            }
            *der = {p, length};
            return true;
        }
    }
    *why = L"the certificate table holds no PKCS#7 signature";
    return false;
}

} // namespace

std::wstring cSignaturecheck::Outcome::requirement() const
{
    static const wchar_t* const LETTERS[] = {L"", L"a", L"b", L"c"};
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
    return portable::parseSignerPin(ascii, out);
}

namespace {

// What the file's first signature says, read from its certificate table.
struct ReadSignature {
    portable::PeLayout layout;
    std::vector<uint8_t> table;
    portable::ByteSpan der;
    portable::SignatureInfo info;
    std::wstring signer; // hex SHA-256 of the signer's public key
    portable::Sha256::Digest signerKey;
};

// Reads the layout, the certificate table and its first signature. A failed outcome otherwise.
bool readSignature(uint64_t fileSize, const portable::ReadAt& read, ReadSignature* out,
                   cSignaturecheck::Outcome* failure)
{
    std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(fileSize, HEAD_SIZE)));
    std::string reason;
    if (!read(0, head.data(), head.size()) ||
        !portable::readPeLayout(head.data(), head.size(), fileSize, &out->layout, &reason)) {
        *failure = failed(cSignaturecheck::FAILED_IMAGE_DIGEST, L"the file is no usable program: " + widen(reason));
        return false;
    }
    if (!out->layout.hasCertTable()) {
        *failure = failed(cSignaturecheck::FAILED_IMAGE_DIGEST, L"the file carries no signature");
        return false;
    }
    if (out->layout.certTableSize > MAX_CERT_TABLE) {
        *failure = failed(cSignaturecheck::FAILED_IMAGE_DIGEST, L"the certificate table is too large");
        return false;
    }
    out->table.resize(out->layout.certTableSize);
    std::wstring why;
    if (!read(out->layout.certTableOffset, out->table.data(), out->table.size()) ||
        !firstSignature(out->table, &out->der, &why)) {
        *failure = failed(cSignaturecheck::FAILED_IMAGE_DIGEST, L"the file carries no usable signature: " + why);
        return false;
    }
    if (!portable::parseSignature(out->der.data, out->der.size, &out->info, &reason)) {
        *failure = failed(cSignaturecheck::FAILED_SIGNATURE, L"the signature is malformed: " + widen(reason));
        return false;
    }
    out->signerKey = portable::Sha256::of(out->info.signerPublicKey.data, out->info.signerPublicKey.size);
    out->signer = widen(portable::toHex(out->signerKey));
    return true;
}

bool equal(const portable::ByteSpan& a, const portable::Sha256::Digest& b)
{
    return a.size == b.size() && std::memcmp(a.data, b.data(), b.size()) == 0;
}

} // namespace

cSignaturecheck::Outcome cSignaturecheck::check(uint64_t fileSize, const portable::ReadAt& read,
                                                const portable::Sha256::Digest* imageDigest) const
{
    ReadSignature sig;
    Outcome failure;
    if (!readSignature(fileSize, read, &sig, &failure)) {
        return failure;
    }

    // (a) The signed digest names exactly these bytes.
    portable::Sha256::Digest digest;
    if (imageDigest != nullptr) {
        digest = *imageDigest;
    } else if (!portable::imageDigest(sig.layout, read, &digest, DIGEST_CHUNK)) {
        return failed(FAILED_IMAGE_DIGEST, L"the file cannot be read for its image digest", sig.signer);
    }
    if (!sig.info.imageDigestIsSha256) {
        return failed(FAILED_IMAGE_DIGEST, L"the signed image digest is not a SHA-256 digest", sig.signer);
    }
    if (!equal(sig.info.imageDigest, digest)) {
        return failed(FAILED_IMAGE_DIGEST, L"the image digest of the file differs from the signed digest", sig.signer);
    }

    // (b) The signed content is what the signer signed, and the signature holds.
    if (!sig.info.signerDigestIsSha256) {
        return failed(FAILED_SIGNATURE, L"the signer's digest algorithm is not SHA-256", sig.signer);
    }
    if (!equal(sig.info.messageDigest,
               portable::Sha256::of(sig.info.signedContent.data, sig.info.signedContent.size))) {
        return failed(FAILED_SIGNATURE, L"the signed messageDigest differs from the hash of the signed content",
                      sig.signer);
    }
    std::wstring why;
    if (!platformVerifies(sig.der, sig.info.signerCertificate, &why)) {
        return failed(FAILED_SIGNATURE, why, sig.signer);
    }

    // (c) The signer is pinned.
    if (std::find(pin.begin(), pin.end(), sig.signerKey) == pin.end()) {
        return failed(FAILED_SIGNER, L"the signer's key is not pinned", sig.signer);
    }
    Outcome passed;
    passed.signer = sig.signer;
    return passed;
}

cSignaturecheck::Outcome cSignaturecheck::checkFile(const std::wstring& path) const
{
    handles::Kernel file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size = {};
    if (!file.valid() || !::GetFileSizeEx(file.get(), &size)) {
        return failed(FAILED_IMAGE_DIGEST, L"the file cannot be read");
    }
    return check(static_cast<uint64_t>(size.QuadPart), [&](uint64_t offset, uint8_t* buffer, size_t length) {
        return readAt(file.get(), offset, buffer, length);
    });
}
