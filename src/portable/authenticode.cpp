#include "authenticode.h"

#include "der.h"
#include "littleendian.h"
#include "peheaders.h"

#include <algorithm>
#include <cstring>

namespace portable {

namespace {

bool fail(std::string* why, const char* reason)
{
    if (why != nullptr) {
        *why = reason;
    }
    return false;
}

// Object identifiers by their DER contents.
const uint8_t OID_SPC_INDIRECT_DATA[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04};
const uint8_t OID_SHA256[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
const uint8_t OID_MESSAGE_DIGEST[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x04};

bool sameBytes(ByteSpan a, ByteSpan b) { return a.size == b.size && std::memcmp(a.data, b.data, a.size) == 0; }

// AlgorithmIdentifier: SEQUENCE { OID, parameters }; true when its OID is SHA-256.
bool algorithmIsSha256(const Tlv& algorithm)
{
    DerCursor c(algorithm.contents);
    Tlv oid;
    return algorithm.tag == TAG_SEQUENCE && c.expect(TAG_OID, &oid) && isOid(oid, OID_SHA256);
}

// SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptionalValue, messageDigest DigestInfo }
bool readIndirectData(const Tlv& content, SignatureInfo* out, std::string* why)
{
    Tlv indirect, data, digestInfo, algorithm, digest;
    DerCursor outer(content.contents);
    if (!outer.expect(TAG_SEQUENCE, &indirect)) {
        return fail(why, "the signed content is no SpcIndirectDataContent");
    }
    DerCursor c(indirect.contents);
    if (!c.expect(TAG_SEQUENCE, &data) || !c.expect(TAG_SEQUENCE, &digestInfo)) {
        return fail(why, "the SpcIndirectDataContent is malformed");
    }
    DerCursor d(digestInfo.contents);
    if (!d.expect(TAG_SEQUENCE, &algorithm) || !d.expect(TAG_OCTET_STRING, &digest)) {
        return fail(why, "the signed image digest is malformed");
    }
    out->signedContent = indirect.contents;
    out->imageDigest = digest.contents;
    out->imageDigestIsSha256 = algorithmIsSha256(algorithm);
    return true;
}

// The messageDigest among the signed attributes ([0] IMPLICIT SET OF Attribute).
bool readSignedAttributes(const Tlv& attributes, SignatureInfo* out, std::string* why)
{
    DerCursor c(attributes.contents);
    Tlv attribute;
    while (!c.atEnd()) {
        if (!c.expect(TAG_SEQUENCE, &attribute)) {
            return fail(why, "a signed attribute is malformed");
        }
        DerCursor a(attribute.contents);
        Tlv type, values, value;
        if (!a.expect(TAG_OID, &type) || !a.expect(TAG_SET, &values)) {
            return fail(why, "a signed attribute is malformed");
        }
        if (isOid(type, OID_MESSAGE_DIGEST)) {
            DerCursor v(values.contents);
            if (!out->messageDigest.empty() || !v.expect(TAG_OCTET_STRING, &value) || !v.atEnd()) {
                return fail(why, "the messageDigest attribute is malformed");
            }
            out->messageDigest = value.contents;
        }
    }
    if (out->messageDigest.empty()) {
        return fail(why, "the signed attributes hold no messageDigest");
    }
    return true;
}

// SignerInfo: version, issuerAndSerialNumber, digestAlgorithm, [0] signed attributes, ...
bool readSignerInfo(const Tlv& signer, Tlv* issuer, Tlv* serial, SignatureInfo* out, std::string* why)
{
    DerCursor c(signer.contents);
    Tlv version, issuerAndSerial, algorithm, attributes;
    if (!c.expect(TAG_INTEGER, &version) || !c.expect(TAG_SEQUENCE, &issuerAndSerial) ||
        !c.expect(TAG_SEQUENCE, &algorithm)) {
        return fail(why, "the signer information is malformed");
    }
    DerCursor is(issuerAndSerial.contents);
    if (!is.expect(TAG_SEQUENCE, issuer) || !is.expect(TAG_INTEGER, serial)) {
        return fail(why, "the signer's issuer and serial number are malformed");
    }
    out->signerDigestIsSha256 = algorithmIsSha256(algorithm);
    if (!c.peekTag(TAG_CONTEXT0)) {
        return fail(why, "the signer has no signed attributes");
    }
    c.next(&attributes);
    return readSignedAttributes(attributes, out, why);
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

} // namespace

bool readPeLayout(const uint8_t* head, size_t headSize, uint64_t fileSize, PeLayout* out, std::string* why)
{
    PeHeaders h;
    switch (readPeHeaders(head, headSize, fileSize, &h)) {
    case PeHeaderFault::NoMzSignature:
        return fail(why, "no MZ header");
    case PeHeaderFault::NoPeHeader:
        return fail(why, "no PE header");
    case PeHeaderFault::NoOptionalHeader:
        return fail(why, "no usable optional header");
    case PeHeaderFault::None:
        break;
    }
    if (h.securityEntryOffset == 0) {
        return fail(why, "the optional header has no certificate table entry");
    }
    PeLayout layout;
    layout.fileSize = fileSize;
    layout.checksumOffset = h.checksumOffset;
    layout.securityEntryOffset = h.securityEntryOffset;
    layout.certTableOffset = h.certTableOffset;
    layout.certTableSize = h.certTableSize;
    layout.sizeOfHeaders = h.sizeOfHeaders;
    layout.sectionsRead = h.sectionTableRead;
    for (const PeSection& s : h.sections) {
        if (s.rawSize != 0) {
            layout.sectionsEnd = std::max<uint64_t>(layout.sectionsEnd, static_cast<uint64_t>(s.rawOffset) + s.rawSize);
        }
    }
    if (layout.certTableSize == 0) {
        layout.certTableOffset = 0;
    } else if (layout.certTableOffset < layout.securityEntryOffset + 8 ||
               static_cast<uint64_t>(layout.certTableOffset) + layout.certTableSize > fileSize) {
        return fail(why, "the certificate table lies outside the file");
    }
    *out = layout;
    return true;
}

bool certificateTableSignature(const PeLayout& layout, const uint8_t* table, size_t size, ByteSpan* der,
                               std::string* why)
{
    if (!layout.hasCertTable() || size != layout.certTableSize) {
        return fail(why, "the file has no certificate table");
    }
    const uint64_t offset = layout.certTableOffset;
    if (offset % 8 != 0) {
        return fail(why, "the certificate table is not 8-byte aligned");
    }
    if (offset < layout.sizeOfHeaders) {
        return fail(why, "the certificate table starts inside the headers (before SizeOfHeaders)");
    }
    if (!layout.sectionsRead) {
        return fail(why, "the section table lies outside the headers read");
    }
    if (offset < layout.sectionsEnd) {
        return fail(why, "the certificate table starts before the end of a section's raw data");
    }
    if (offset + size != layout.fileSize) {
        return fail(why, "the certificate table does not end the file");
    }
    if (size < 8) {
        return fail(why, "the certificate entry is cut short");
    }
    const uint32_t length = readLe32(table);
    if (length < 8 || length > size) {
        return fail(why, "the certificate entry's length does not fit the table");
    }
    if ((static_cast<size_t>(length) + 7) / 8 * 8 < size) {
        return fail(why, "the certificate table holds more than one entry");
    }
    if (readLe16(table + 4) != WIN_CERT_REVISION_2_0) {
        return fail(why, "the certificate entry is not of revision 2.0");
    }
    if (readLe16(table + 6) != WIN_CERT_TYPE_PKCS_SIGNED_DATA) {
        return fail(why, "the certificate entry is no PKCS#7 signature");
    }
    const size_t derLength = derElementLength(table + 8, length - 8);
    if (derLength == 0) {
        return fail(why, "the certificate entry holds no DER structure");
    }
    // Behind the signature: only the zero padding to the next multiple of 8, up to the table's end.
    const size_t behind = size - 8 - derLength;
    if (behind >= 8) {
        return fail(why, "the certificate entry holds more than the signature and its padding");
    }
    for (size_t i = 8 + derLength; i < size; ++i) {
        if (table[i] != 0) {
            return fail(why, "the certificate entry holds non-zero bytes behind the signature");
        }
    }
    *der = {table + 8, derLength};
    return true;
}

std::vector<FileRange> imageDigestRanges(const PeLayout& layout)
{
    std::vector<FileRange> ranges;
    ranges.push_back({0, layout.checksumOffset});
    ranges.push_back({layout.checksumOffset + 4u, layout.securityEntryOffset - (layout.checksumOffset + 4u)});
    const uint64_t rest = layout.securityEntryOffset + 8u;
    if (!layout.hasCertTable()) {
        ranges.push_back({rest, layout.fileSize - rest});
        return ranges;
    }
    ranges.push_back({rest, layout.certTableOffset - rest});
    const uint64_t after = static_cast<uint64_t>(layout.certTableOffset) + layout.certTableSize;
    if (after < layout.fileSize) {
        ranges.push_back({after, layout.fileSize - after});
    }
    return ranges;
}

bool imageDigest(const PeLayout& layout, const ReadAt& read, Sha256::Digest* out, size_t chunk)
{
    std::vector<uint8_t> buffer(chunk);
    Sha256 hash;
    for (const FileRange& range : imageDigestRanges(layout)) {
        for (uint64_t done = 0; done < range.length;) {
            const size_t take = static_cast<size_t>(std::min<uint64_t>(chunk, range.length - done));
            if (!read(range.offset + done, buffer.data(), take)) {
                return false;
            }
            hash.update(buffer.data(), take);
            done += take;
        }
    }
    *out = hash.finish();
    return true;
}

bool imageDigest(const uint8_t* data, size_t size, Sha256::Digest* out, std::string* why)
{
    PeLayout layout;
    if (!readPeLayout(data, size, size, &layout, why)) {
        return false;
    }
    Sha256 hash;
    for (const FileRange& range : imageDigestRanges(layout)) {
        hash.update(data + range.offset, static_cast<size_t>(range.length));
    }
    *out = hash.finish();
    return true;
}

void ImageDigestStream::readLayout(uint64_t fileSize)
{
    layoutRead = true;
    usable = readPeLayout(head.data(), head.size(), fileSize, &layout, nullptr);
    if (usable) {
        hashCovered(head.data(), head.size(), 0);
    }
    head.clear();
    head.shrink_to_fit();
}

void ImageDigestStream::hashCovered(const uint8_t* data, size_t size, uint64_t offset)
{
    // The parts left out, in file order.
    const FileRange skipped[3] = {
        {layout.checksumOffset, 4}, {layout.securityEntryOffset, 8}, {layout.certTableOffset, layout.certTableSize}};
    const uint64_t end = offset + size;
    uint64_t at = offset;
    while (at < end) {
        uint64_t next = end;
        bool inside = false;
        for (const FileRange& r : skipped) {
            if (r.length == 0 || r.offset + r.length <= at) {
                continue;
            }
            if (r.offset <= at) {
                at = std::min(end, r.offset + r.length);
                inside = true;
                break;
            }
            next = std::min(next, r.offset);
        }
        if (inside) {
            continue;
        }
        hash.update(data + (at - offset), static_cast<size_t>(next - at));
        at = next;
    }
}

void ImageDigestStream::update(const uint8_t* data, size_t size)
{
    if (!layoutRead) {
        const size_t take = std::min(size, HEAD_BYTES - head.size());
        head.insert(head.end(), data, data + take);
        position += take;
        data += take;
        size -= take;
        if (head.size() < HEAD_BYTES) {
            return;
        }
        // The file's size is not known yet: the table's end is checked in finish.
        readLayout(UINT64_MAX);
    }
    if (usable && size > 0) {
        hashCovered(data, size, position);
    }
    position += size;
}

bool ImageDigestStream::finish(Sha256::Digest* out)
{
    if (!layoutRead) {
        readLayout(position);
    }
    if (!usable || static_cast<uint64_t>(layout.certTableOffset) + layout.certTableSize > position) {
        return false;
    }
    *out = hash.finish();
    return true;
}

size_t derElementLength(const uint8_t* data, size_t size)
{
    Tlv t;
    return readTlv(data, size, &t) ? t.whole.size : 0;
}

bool parseSignature(const uint8_t* der, size_t size, SignatureInfo* out, std::string* why)
{
    *out = SignatureInfo{};
    Tlv contentInfo, type, explicitData, signedData, version, algorithms, content, contentType, contentValue;
    if (!readTlv(der, size, &contentInfo) || contentInfo.tag != TAG_SEQUENCE) {
        return fail(why, "the signature is no DER structure");
    }
    DerCursor ci(contentInfo.contents);
    if (!ci.expect(TAG_OID, &type) || !isOid(type, OID_SIGNED_DATA) || !ci.expect(TAG_CONTEXT0, &explicitData)) {
        return fail(why, "the signature is no PKCS#7 SignedData");
    }
    DerCursor ex(explicitData.contents);
    if (!ex.expect(TAG_SEQUENCE, &signedData)) {
        return fail(why, "the SignedData is malformed");
    }
    DerCursor sd(signedData.contents);
    if (!sd.expect(TAG_INTEGER, &version) || !sd.expect(TAG_SET, &algorithms) || !sd.expect(TAG_SEQUENCE, &content)) {
        return fail(why, "the SignedData is malformed");
    }
    DerCursor cc(content.contents);
    if (!cc.expect(TAG_OID, &contentType) || !isOid(contentType, OID_SPC_INDIRECT_DATA) ||
        !cc.expect(TAG_CONTEXT0, &contentValue)) {
        return fail(why, "the signed content is no Authenticode content");
    }
    if (!readIndirectData(contentValue, out, why)) {
        return false;
    }
    Tlv certificates, crls, signers, signer;
    if (!sd.peekTag(TAG_CONTEXT0) || !sd.next(&certificates)) {
        return fail(why, "the signature carries no certificates");
    }
    if (sd.peekTag(TAG_CONTEXT1)) {
        sd.next(&crls);
    }
    if (!sd.expect(TAG_SET, &signers)) {
        return fail(why, "the SignedData has no signer information");
    }
    DerCursor si(signers.contents);
    if (!si.expect(TAG_SEQUENCE, &signer) || !si.atEnd()) {
        return fail(why, "the signature must have exactly one signer");
    }
    Tlv issuer, serial;
    if (!readSignerInfo(signer, &issuer, &serial, out, why)) {
        return false;
    }
    if (!findSignerCertificate(certificates, issuer, serial, out)) {
        return fail(why, "the signer's certificate is not in the signature");
    }
    return true;
}

bool parseSignerPin(const std::string& text, std::vector<Sha256::Digest>* out)
{
    out->clear();
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        const size_t end = comma == std::string::npos ? text.size() : comma;
        if (end - start != 64) {
            out->clear();
            return false;
        }
        Sha256::Digest d;
        for (size_t i = 0; i < 32; ++i) {
            int v = 0;
            for (size_t k = 0; k < 2; ++k) {
                const char c = text[start + 2 * i + k];
                int nibble;
                if (c >= '0' && c <= '9') {
                    nibble = c - '0';
                } else if (c >= 'a' && c <= 'f') {
                    nibble = c - 'a' + 10;
                } else if (c >= 'A' && c <= 'F') {
                    nibble = c - 'A' + 10;
                } else {
                    out->clear();
                    return false;
                }
                v = v * 16 + nibble;
            }
            d[i] = static_cast<uint8_t>(v);
        }
        out->push_back(d);
        if (comma == std::string::npos) {
            return true;
        }
        start = comma + 1;
    }
}

std::string toHex(const uint8_t* data, size_t size)
{
    static const char DIGITS[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += DIGITS[data[i] >> 4];
        out += DIGITS[data[i] & 15];
    }
    return out;
}

} // namespace portable
