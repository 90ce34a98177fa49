#include "signeddata.h"

#include "certificatetable.h"
#include "rsasignature.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace portable {

namespace {

// Object identifiers by their DER contents.
const uint8_t OID_SPC_INDIRECT_DATA[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04};
const uint8_t OID_SPC_PE_IMAGE_DATA[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x0F};
const uint8_t OID_SPC_NESTED_SIGNATURE[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x04, 0x01};
const uint8_t OID_SHA1[] = {0x2B, 0x0E, 0x03, 0x02, 0x1A};
const uint8_t OID_SHA256[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
const uint8_t OID_SHA384[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02};
const uint8_t OID_SHA512[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03};
const uint8_t OID_CONTENT_TYPE[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x03};
const uint8_t OID_MESSAGE_DIGEST[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x04};
const uint8_t OID_SHA256_WITH_RSA[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B};

// AlgorithmIdentifier: SEQUENCE { OID, parameters }; the digest algorithm its OID names.
DigestAlgorithm digestAlgorithm(const Tlv& algorithm)
{
    DerCursor c(algorithm.contents);
    Tlv oid;
    if (algorithm.tag != TAG_SEQUENCE || !c.expect(TAG_OID, &oid)) {
        return DigestAlgorithm::Other;
    }
    if (isOid(oid, OID_SHA1)) {
        return DigestAlgorithm::Sha1;
    }
    if (isOid(oid, OID_SHA256)) {
        return DigestAlgorithm::Sha256;
    }
    if (isOid(oid, OID_SHA384)) {
        return DigestAlgorithm::Sha384;
    }
    return isOid(oid, OID_SHA512) ? DigestAlgorithm::Sha512 : DigestAlgorithm::Other;
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
    // The signer signed the digest of a PE image, not of some other kind of content.
    Tlv dataType;
    if (!DerCursor(data.contents).expect(TAG_OID, &dataType) || !isOid(dataType, OID_SPC_PE_IMAGE_DATA)) {
        return Result::failed("the signed content is not of PE image data");
    }
    DerCursor d(digestInfo.contents);
    if (!d.expect(TAG_SEQUENCE, &algorithm) || !d.expect(TAG_OCTET_STRING, &digest)) {
        return Result::failed("the signed image digest is malformed");
    }
    out->signedContent = indirect.contents;
    out->imageDigest = digest.contents;
    out->imageDigestAlgorithm = digestAlgorithm(algorithm);
    return Result::done();
}

// An attribute's only value, of the given tag; false otherwise.
bool onlyValue(const Tlv& values, uint8_t tag, Tlv* value)
{
    DerCursor v(values.contents);
    return v.expect(tag, value) && v.atEnd();
}

// The messageDigest and the contentType among the signed attributes ([0] IMPLICIT SET OF
// Attribute); the contentType must name the Authenticode content, as the signed content does.
Result readSignedAttributes(const Tlv& attributes, SignatureInfo* out)
{
    DerCursor c(attributes.contents);
    Tlv attribute, contentType;
    while (!c.atEnd()) {
        Tlv type, values, value;
        if (!c.expect(TAG_SEQUENCE, &attribute)) {
            return Result::failed("a signed attribute is malformed");
        }
        DerCursor a(attribute.contents);
        if (!a.expect(TAG_OID, &type) || !a.expect(TAG_SET, &values)) {
            return Result::failed("a signed attribute is malformed");
        }
        if (isOid(type, OID_MESSAGE_DIGEST)) {
            if (!out->messageDigest.empty() || !onlyValue(values, TAG_OCTET_STRING, &value)) {
                return Result::failed("the messageDigest attribute is malformed");
            }
            out->messageDigest = value.contents;
        } else if (isOid(type, OID_CONTENT_TYPE)) {
            if (contentType.tag != 0 || !onlyValue(values, TAG_OID, &contentType)) {
                return Result::failed("the contentType attribute is malformed");
            }
        }
    }
    if (out->messageDigest.empty()) {
        return Result::failed("the signed attributes hold no messageDigest");
    }
    if (contentType.tag == 0) {
        return Result::failed("the signed attributes hold no contentType");
    }
    if (!isOid(contentType, OID_SPC_INDIRECT_DATA)) {
        return Result::failed("the signed contentType is not SpcIndirectData");
    }
    return Result::done();
}

// The signatures nested in the unsigned attributes ([1] IMPLICIT SET OF Attribute): every value
// of every nested-signature attribute, each a ContentInfo (read no further here).
Result readUnsignedAttributes(const Tlv& attributes, SignatureInfo* out)
{
    DerCursor c(attributes.contents);
    while (!c.atEnd()) {
        Tlv attribute, type, values, value;
        if (!c.expect(TAG_SEQUENCE, &attribute)) {
            return Result::failed("an unsigned attribute is malformed");
        }
        DerCursor a(attribute.contents);
        if (!a.expect(TAG_OID, &type) || !a.expect(TAG_SET, &values)) {
            return Result::failed("an unsigned attribute is malformed");
        }
        if (!isOid(type, OID_SPC_NESTED_SIGNATURE)) {
            continue;
        }
        for (DerCursor v(values.contents); !v.atEnd();) {
            if (!v.next(&value)) {
                return Result::failed("the nested-signature attribute is malformed");
            }
            if (out->nestedSignatures.size() == MAX_NESTED_SIGNATURES) {
                return Result::failed("the signature nests more than " + std::to_string(MAX_NESTED_SIGNATURES) +
                                      " signatures");
            }
            out->nestedSignatures.push_back(value.whole);
        }
    }
    return Result::done();
}

// SignerInfo: version, issuerAndSerialNumber, digestAlgorithm, [0] signed attributes,
// digestEncryptionAlgorithm, encryptedDigest, [1] unsigned attributes.
Result readSignerInfo(const Tlv& signer, Tlv* issuer, Tlv* serial, SignatureInfo* out)
{
    DerCursor c(signer.contents);
    Tlv version, issuerAndSerial, algorithm, attributes, encryption, encrypted, unsignedAttributes;
    if (!c.expect(TAG_INTEGER, &version) || !c.expect(TAG_SEQUENCE, &issuerAndSerial) ||
        !c.expect(TAG_SEQUENCE, &algorithm)) {
        return Result::failed("the signer information is malformed");
    }
    DerCursor is(issuerAndSerial.contents);
    if (!is.expect(TAG_SEQUENCE, issuer) || !is.expect(TAG_INTEGER, serial)) {
        return Result::failed("the signer's issuer and serial number are malformed");
    }
    out->signerDigestAlgorithm = digestAlgorithm(algorithm);
    if (!c.peekTag(TAG_CONTEXT0)) {
        return Result::failed("the signer has no signed attributes");
    }
    c.next(&attributes);
    if (Result r = readSignedAttributes(attributes, out); !r) {
        return r;
    }
    if (!c.expect(TAG_SEQUENCE, &encryption) || !c.expect(TAG_OCTET_STRING, &encrypted)) {
        return Result::failed("the signer information is malformed");
    }
    out->signedAttributes = attributes.whole;
    Tlv encryptionOid;
    out->signedWithRsa = DerCursor(encryption.contents).expect(TAG_OID, &encryptionOid) &&
                         (isOid(encryptionOid, OID_RSA_ENCRYPTION) || isOid(encryptionOid, OID_SHA256_WITH_RSA));
    out->signature = encrypted.contents;
    if (!c.peekTag(TAG_CONTEXT1)) {
        return Result::done();
    }
    c.next(&unsignedAttributes);
    return readUnsignedAttributes(unsignedAttributes, out);
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

// The last steps of readFileSignature: the entry's SignedData, the signer's key and the nested
// signatures, each read on its own (what they nest in turn is left alone).
Result readSignerOfEntry(FileSignature* out)
{
    if (Result r = parseSignature(out->der.data, out->der.size, &out->info); !r) {
        return failedAt(SIGNATURE_MALFORMED, std::move(r));
    }
    out->signerKey = signerKeyHash(out->info);
    out->nested.clear();
    for (const ByteSpan& der : out->info.nestedSignatures) {
        NestedSignature& nested = out->nested.emplace_back();
        nested.der = der;
        nested.read = parseSignature(der.data, der.size, &nested.info);
        if (nested.read) {
            nested.signerKey = signerKeyHash(nested.info);
        }
    }
    return Result::done();
}

} // namespace

const char* digestAlgorithmName(DigestAlgorithm algorithm)
{
    switch (algorithm) {
    case DigestAlgorithm::Sha1:
        return "sha1";
    case DigestAlgorithm::Sha256:
        return "sha256";
    case DigestAlgorithm::Sha384:
        return "sha384";
    case DigestAlgorithm::Sha512:
        return "sha512";
    default:
        return "other";
    }
}

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

Sha256::Digest signedAttributesDigest(const SignatureInfo& info)
{
    Sha256 hash;
    if (!info.signedAttributes.empty()) {
        const uint8_t setTag = TAG_SET;
        hash.update(&setTag, 1);
        hash.update(info.signedAttributes.data + 1, info.signedAttributes.size - 1);
    }
    return hash.finish();
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
