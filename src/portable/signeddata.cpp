#include "signeddata.h"

#include "certificatetable.h"

#include <algorithm>
#include <cstring>

namespace portable {

namespace {

// Object identifiers by their DER contents.
const uint8_t OID_SPC_INDIRECT_DATA[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04};
const uint8_t OID_SHA256[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
const uint8_t OID_MESSAGE_DIGEST[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x04};

// AlgorithmIdentifier: SEQUENCE { OID, parameters }; true when its OID is SHA-256.
bool algorithmIsSha256(const Tlv& algorithm)
{
    DerCursor c(algorithm.contents);
    Tlv oid;
    return algorithm.tag == TAG_SEQUENCE && c.expect(TAG_OID, &oid) && isOid(oid, OID_SHA256);
}

// SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptionalValue, messageDigest DigestInfo }
Result readIndirectData(const Tlv& content, SignatureInfo* out)
{
    Tlv indirect, data, digestInfo, algorithm, digest;
    DerCursor outer(content.contents);
    if (!outer.expect(TAG_SEQUENCE, &indirect)) {
        return Result::failed("the signed content is no SpcIndirectDataContent");
    }
    DerCursor c(indirect.contents);
    if (!c.expect(TAG_SEQUENCE, &data) || !c.expect(TAG_SEQUENCE, &digestInfo)) {
        return Result::failed("the SpcIndirectDataContent is malformed");
    }
    DerCursor d(digestInfo.contents);
    if (!d.expect(TAG_SEQUENCE, &algorithm) || !d.expect(TAG_OCTET_STRING, &digest)) {
        return Result::failed("the signed image digest is malformed");
    }
    out->signedContent = indirect.contents;
    out->imageDigest = digest.contents;
    out->imageDigestIsSha256 = algorithmIsSha256(algorithm);
    return Result::done();
}

// The messageDigest among the signed attributes ([0] IMPLICIT SET OF Attribute).
Result readSignedAttributes(const Tlv& attributes, SignatureInfo* out)
{
    DerCursor c(attributes.contents);
    Tlv attribute;
    while (!c.atEnd()) {
        if (!c.expect(TAG_SEQUENCE, &attribute)) {
            return Result::failed("a signed attribute is malformed");
        }
        DerCursor a(attribute.contents);
        Tlv type, values, value;
        if (!a.expect(TAG_OID, &type) || !a.expect(TAG_SET, &values)) {
            return Result::failed("a signed attribute is malformed");
        }
        if (isOid(type, OID_MESSAGE_DIGEST)) {
            DerCursor v(values.contents);
            if (!out->messageDigest.empty() || !v.expect(TAG_OCTET_STRING, &value) || !v.atEnd()) {
                return Result::failed("the messageDigest attribute is malformed");
            }
            out->messageDigest = value.contents;
        }
    }
    if (out->messageDigest.empty()) {
        return Result::failed("the signed attributes hold no messageDigest");
    }
    return Result::done();
}

// SignerInfo: version, issuerAndSerialNumber, digestAlgorithm, [0] signed attributes, ...
Result readSignerInfo(const Tlv& signer, Tlv* issuer, Tlv* serial, SignatureInfo* out)
{
    DerCursor c(signer.contents);
    Tlv version, issuerAndSerial, algorithm, attributes;
    if (!c.expect(TAG_INTEGER, &version) || !c.expect(TAG_SEQUENCE, &issuerAndSerial) ||
        !c.expect(TAG_SEQUENCE, &algorithm)) {
        return Result::failed("the signer information is malformed");
    }
    DerCursor is(issuerAndSerial.contents);
    if (!is.expect(TAG_SEQUENCE, issuer) || !is.expect(TAG_INTEGER, serial)) {
        return Result::failed("the signer's issuer and serial number are malformed");
    }
    out->signerDigestIsSha256 = algorithmIsSha256(algorithm);
    if (!c.peekTag(TAG_CONTEXT0)) {
        return Result::failed("the signer has no signed attributes");
    }
    c.next(&attributes);
    return readSignedAttributes(attributes, out);
}

// The certificate whose issuer and serial number match; its SubjectPublicKeyInfo.
bool findSignerCertificate(const Tlv& certificates, const Tlv& issuer, const Tlv& serial, SignatureInfo* out)
{
    DerCursor c(certificates.contents);
    Tlv certificate;
    while (c.next(&certificate)) {
        Tlv tbs, field, certSerial, algorithm, certIssuer, validity, subject, spki;
        DerCursor cert(certificate.contents);
        if (certificate.tag != TAG_SEQUENCE || !cert.expect(TAG_SEQUENCE, &tbs)) {
            continue;
        }
        DerCursor t(tbs.contents);
        if (t.peekTag(TAG_CONTEXT0)) {
            t.next(&field); // version
        }
        if (!t.expect(TAG_INTEGER, &certSerial) || !t.expect(TAG_SEQUENCE, &algorithm) ||
            !t.expect(TAG_SEQUENCE, &certIssuer) || !t.expect(TAG_SEQUENCE, &validity) ||
            !t.expect(TAG_SEQUENCE, &subject) || !t.expect(TAG_SEQUENCE, &spki)) {
            continue;
        }
        if (sameBytes(certSerial.whole, serial.whole) && sameBytes(certIssuer.whole, issuer.whole)) {
            out->signerCertificate = certificate.whole;
            out->signerPublicKey = spki.whole;
            return true;
        }
    }
    return false;
}

// SignedData: version, digestAlgorithms, contentInfo (the Authenticode content), ...
Result readSignedContent(DerCursor* sd, SignatureInfo* out)
{
    Tlv version, algorithms, content, contentType, contentValue;
    if (!sd->expect(TAG_INTEGER, &version) || !sd->expect(TAG_SET, &algorithms) ||
        !sd->expect(TAG_SEQUENCE, &content)) {
        return Result::failed("the SignedData is malformed");
    }
    DerCursor cc(content.contents);
    if (!cc.expect(TAG_OID, &contentType) || !isOid(contentType, OID_SPC_INDIRECT_DATA) ||
        !cc.expect(TAG_CONTEXT0, &contentValue)) {
        return Result::failed("the signed content is no Authenticode content");
    }
    return readIndirectData(contentValue, out);
}

// SignedData after the content: [0] certificates, optional [1] CRLs, the signers.
Result readSigner(DerCursor* sd, SignatureInfo* out)
{
    Tlv certificates, crls, signers, signer;
    if (!sd->peekTag(TAG_CONTEXT0) || !sd->next(&certificates)) {
        return Result::failed("the signature carries no certificates");
    }
    if (sd->peekTag(TAG_CONTEXT1)) {
        sd->next(&crls);
    }
    if (!sd->expect(TAG_SET, &signers)) {
        return Result::failed("the SignedData has no signer information");
    }
    if (!onlySigner(signers, &signer)) {
        return Result::failed("the signature must have exactly one signer");
    }
    Tlv issuer, serial;
    if (Result r = readSignerInfo(signer, &issuer, &serial, out); !r) {
        return r;
    }
    if (!findSignerCertificate(certificates, issuer, serial, out)) {
        return Result::failed("the signer's certificate is not in the signature");
    }
    return Result::done();
}

// The failure of readFileSignature at step, with the step's reason.
Result failedAt(FileSignatureFault step, Result r)
{
    r.code = step;
    return r;
}

ReadAt memoryReader(const uint8_t* data, size_t size)
{
    return [data, size](uint64_t offset, uint8_t* buffer, size_t length) {
        if (!rangeWithin(offset, length, size)) {
            return false;
        }
        std::copy(data + offset, data + offset + length, buffer);
        return true;
    };
}

// The last steps of readFileSignature: the entry's SignedData and the signer's key.
Result readSignerOfEntry(FileSignature* out)
{
    if (Result r = parseSignature(out->der.data, out->der.size, &out->info); !r) {
        return failedAt(SIGNATURE_MALFORMED, std::move(r));
    }
    out->signerKey = signerKeyHash(out->info);
    return Result::done();
}

} // namespace

Result readSignedDataFrame(ByteSpan der, SignedDataFrame* out)
{
    Tlv type;
    if (!readTlv(der.data, der.size, &out->contentInfo) || out->contentInfo.tag != TAG_SEQUENCE) {
        return Result::failed("the signature is no DER structure", FRAME_NO_DER);
    }
    DerCursor ci(out->contentInfo.contents);
    if (!ci.expect(TAG_OID, &type) || !isOid(type, OID_SIGNED_DATA) || !ci.expect(TAG_CONTEXT0, &out->explicitData)) {
        return Result::failed("the signature is no PKCS#7 SignedData", FRAME_NO_SIGNED_DATA);
    }
    if (!DerCursor(out->explicitData.contents).expect(TAG_SEQUENCE, &out->signedData)) {
        return Result::failed("the SignedData is malformed", FRAME_NO_SIGNED_DATA);
    }
    return Result::done();
}

bool onlySigner(const Tlv& signers, Tlv* signer)
{
    DerCursor si(signers.contents);
    return si.expect(TAG_SEQUENCE, signer) && si.atEnd();
}

Result parseSignature(const uint8_t* der, size_t size, SignatureInfo* out)
{
    *out = SignatureInfo{};
    SignedDataFrame frame;
    if (Result r = readSignedDataFrame({der, size}, &frame); !r) {
        r.code = Result::FAILED;
        return r;
    }
    DerCursor sd(frame.signedData.contents);
    if (Result r = readSignedContent(&sd, out); !r) {
        return r;
    }
    return readSigner(&sd, out);
}

Sha256::Digest signerKeyHash(const SignatureInfo& info)
{
    return Sha256::of(info.signerPublicKey.data, info.signerPublicKey.size);
}

Result readCertificateEntry(uint64_t fileSize, const ReadAt& read, FileSignature* out,
                            const FileSignatureLimits& limits)
{
    std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(fileSize, limits.headBytes)));
    if (!read(0, head.data(), head.size())) {
        return Result::failed("", SIGNATURE_NO_PROGRAM);
    }
    if (Result r = readPeLayout(head.data(), head.size(), fileSize, &out->layout); !r) {
        return failedAt(SIGNATURE_NO_PROGRAM, std::move(r));
    }
    if (!out->layout.hasCertTable()) {
        return Result::failed("the file carries no signature", SIGNATURE_NONE);
    }
    if (out->layout.certTableSize > limits.maxTable) {
        return Result::failed("the certificate table is too large", SIGNATURE_TABLE_TOO_LARGE);
    }
    out->table.resize(out->layout.certTableSize);
    if (!read(out->layout.certTableOffset, out->table.data(), out->table.size())) {
        return Result::failed("the certificate table cannot be read", SIGNATURE_TABLE_UNREAD);
    }
    if (Result r = certificateTableSignature(out->layout, out->table.data(), out->table.size(), &out->der); !r) {
        return failedAt(SIGNATURE_PLACEMENT, std::move(r));
    }
    return Result::done();
}

Result readCertificateEntry(const uint8_t* data, size_t size, FileSignature* out)
{
    return readCertificateEntry(size, memoryReader(data, size), out, {size, SIZE_MAX});
}

Result readFileSignature(uint64_t fileSize, const ReadAt& read, FileSignature* out, const FileSignatureLimits& limits)
{
    if (Result r = readCertificateEntry(fileSize, read, out, limits); !r) {
        return r;
    }
    return readSignerOfEntry(out);
}

Result readFileSignature(const uint8_t* data, size_t size, FileSignature* out)
{
    if (Result r = readCertificateEntry(data, size, out); !r) {
        return r;
    }
    return readSignerOfEntry(out);
}

} // namespace portable
