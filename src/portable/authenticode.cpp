#include "authenticode.h"

#include "littleendian.h"
#include "peheaders.h"

#include <algorithm>
#include <cstring>

namespace portable {

namespace {

void put32(char* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}

bool fail(std::string* why, const char* reason)
{
    if (why != nullptr) {
        *why = reason;
    }
    return false;
}

// Object identifiers by their DER contents.
const uint8_t OID_SIGNED_DATA[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
const uint8_t OID_SPC_INDIRECT_DATA[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04};
const uint8_t OID_SHA256[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
const uint8_t OID_MESSAGE_DIGEST[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x04};

constexpr uint8_t TAG_INTEGER = 0x02;
constexpr uint8_t TAG_OCTET_STRING = 0x04;
constexpr uint8_t TAG_OID = 0x06;
constexpr uint8_t TAG_SEQUENCE = 0x30;
constexpr uint8_t TAG_SET = 0x31;
constexpr uint8_t TAG_CONTEXT0 = 0xA0;
constexpr uint8_t TAG_CONTEXT1 = 0xA1;

// One DER element: tag, the whole element and its contents.
struct Tlv {
    uint8_t tag = 0;
    ByteSpan whole;
    ByteSpan contents;
};

bool readTlv(const uint8_t* p, size_t avail, Tlv* out)
{
    if (avail < 2 || (p[0] & 0x1F) == 0x1F) {
        return false; // multi-byte tags do not occur in what is read here
    }
    size_t header = 2;
    size_t length = p[1];
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        if (count == 0 || count > 4 || avail < 2 + count) {
            return false; // indefinite length is not DER
        }
        length = 0;
        for (size_t i = 0; i < count; ++i) {
            length = (length << 8) | p[2 + i];
        }
        header += count;
    }
    if (length > avail - header) {
        return false;
    }
    out->tag = p[0];
    out->whole = {p, header + length};
    out->contents = {p + header, length};
    return true;
}

// Walks the elements inside a constructed element's contents.
class DerCursor {
public:
    explicit DerCursor(ByteSpan span) : p(span.data), end(span.data + span.size) {}
    bool atEnd() const { return p == end; }
    bool peekTag(uint8_t tag) const { return p != end && *p == tag; }
    bool next(Tlv* out)
    {
        if (p == end || !readTlv(p, static_cast<size_t>(end - p), out)) {
            return false;
        }
        p += out->whole.size;
        return true;
    }
    bool expect(uint8_t tag, Tlv* out) { return next(out) && out->tag == tag; }

private:
    const uint8_t* p;
    const uint8_t* end;
};

template <size_t N>
bool isOid(const Tlv& t, const uint8_t (&oid)[N])
{
    return t.tag == TAG_OID && t.contents.size == N && std::memcmp(t.contents.data, oid, N) == 0;
}

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

uint32_t peChecksum(const uint8_t* data, size_t size, uint32_t checksumOffset)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < size; i += 2) {
        if (i >= checksumOffset && i < static_cast<size_t>(checksumOffset) + 4) {
            continue;
        }
        uint32_t word = data[i];
        if (i + 1 < size) {
            word |= static_cast<uint32_t>(data[i + 1]) << 8;
        }
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + size);
}

namespace {

// The attribute that carries a block: an unsigned attribute of the signer, type 2.25.x (an
// identifier derived from a UUID, needing no registration), one OCTET STRING value.
const uint8_t OID_BLOCK_ATTRIBUTE[] = {0x69, 0x95, 0xFA, 0xB2, 0x97, 0xAD, 0x86, 0xCA, 0x9D, 0x81,
                                       0x8D, 0xEA, 0xBC, 0xCE, 0xDA, 0x9E, 0xA4, 0xC1, 0x47};

std::string derElement(uint8_t tag, const std::string& contents)
{
    std::string out(1, static_cast<char>(tag));
    const size_t n = contents.size();
    if (n < 0x80) {
        out += static_cast<char>(n);
    } else {
        std::string digits;
        for (size_t v = n; v != 0; v >>= 8) {
            digits.insert(digits.begin(), static_cast<char>(v & 0xFF));
        }
        out += static_cast<char>(0x80 | digits.size());
        out += digits;
    }
    return out + contents;
}

std::string bytesOf(const uint8_t* from, const uint8_t* to)
{
    return std::string(reinterpret_cast<const char*>(from), static_cast<size_t>(to - from));
}

// The element parent with its child element (somewhere in its contents) replaced by replacement.
std::string replaceChild(const Tlv& parent, const Tlv& child, const std::string& replacement)
{
    const uint8_t* contentEnd = parent.contents.data + parent.contents.size;
    return derElement(parent.tag, bytesOf(parent.contents.data, child.whole.data) + replacement +
                                      bytesOf(child.whole.data + child.whole.size, contentEnd));
}

// The last element among a constructed element's contents; false when they do not parse.
bool lastChild(const Tlv& parent, Tlv* last)
{
    DerCursor c(parent.contents);
    bool any = false;
    while (!c.atEnd()) {
        if (!c.next(last)) {
            return false;
        }
        any = true;
    }
    return any;
}

// The unsigned attributes of the signer with the block attribute in place of an earlier one.
std::string attributesWithBlock(const Tlv* unsignedAttributes, const std::string& block, bool* replaced)
{
    std::string kept;
    if (unsignedAttributes != nullptr) {
        DerCursor c(unsignedAttributes->contents);
        Tlv attribute, type;
        while (c.next(&attribute)) {
            DerCursor a(attribute.contents);
            if (attribute.tag == TAG_SEQUENCE && a.expect(TAG_OID, &type) && isOid(type, OID_BLOCK_ATTRIBUTE)) {
                *replaced = true;
                continue;
            }
            kept += bytesOf(attribute.whole.data, attribute.whole.data + attribute.whole.size);
        }
    }
    const std::string oid(reinterpret_cast<const char*>(OID_BLOCK_ATTRIBUTE), sizeof OID_BLOCK_ATTRIBUTE);
    kept +=
        derElement(TAG_SEQUENCE, derElement(TAG_OID, oid) + derElement(TAG_SET, derElement(TAG_OCTET_STRING, block)));
    return derElement(TAG_CONTEXT1, kept);
}

// The SignedData with the block as an unsigned attribute of its one signer: the signer information,
// the signer set, the SignedData and the ContentInfo are rebuilt around it (their lengths grow).
bool signatureWithBlock(ByteSpan der, const std::string& block, std::string* out, bool* replaced, std::string* why)
{
    Tlv contentInfo, type, explicitData, signedData, signers, signer, last;
    if (!readTlv(der.data, der.size, &contentInfo) || contentInfo.tag != TAG_SEQUENCE) {
        return fail(why, "the last certificate entry holds no DER signature");
    }
    DerCursor ci(contentInfo.contents);
    if (!ci.expect(TAG_OID, &type) || !isOid(type, OID_SIGNED_DATA) || !ci.expect(TAG_CONTEXT0, &explicitData) ||
        !DerCursor(explicitData.contents).expect(TAG_SEQUENCE, &signedData) || !lastChild(signedData, &signers) ||
        signers.tag != TAG_SET) {
        return fail(why, "the last certificate entry holds no PKCS#7 SignedData");
    }
    DerCursor si(signers.contents);
    if (!si.expect(TAG_SEQUENCE, &signer) || !si.atEnd() || !lastChild(signer, &last)) {
        return fail(why, "the signature must have exactly one signer");
    }
    std::string newSigner;
    if (last.tag == TAG_CONTEXT1) {
        newSigner = replaceChild(signer, last, attributesWithBlock(&last, block, replaced));
    } else {
        newSigner =
            derElement(TAG_SEQUENCE, bytesOf(signer.contents.data, signer.contents.data + signer.contents.size) +
                                         attributesWithBlock(nullptr, block, replaced));
    }
    const std::string newSigners = replaceChild(signers, signer, newSigner);
    const std::string newSignedData = replaceChild(signedData, signers, newSigners);
    const std::string newExplicit = replaceChild(explicitData, signedData, newSignedData);
    *out = replaceChild(contentInfo, explicitData, newExplicit);
    return true;
}

} // namespace

bool placeInCertificateTable(std::string* file, const std::string& block, bool* replaced, std::string* why)
{
    const uint8_t* data = reinterpret_cast<const uint8_t*>(file->data());
    PeLayout layout;
    if (!readPeLayout(data, file->size(), file->size(), &layout, why)) {
        return false;
    }
    if (!layout.hasCertTable()) {
        return fail(why, "the file has no certificate table");
    }
    ByteSpan der;
    if (!certificateTableSignature(layout, data + layout.certTableOffset, layout.certTableSize, &der, why)) {
        return false;
    }
    const size_t entry = layout.certTableOffset;
    *replaced = false;
    std::string signature;
    if (!signatureWithBlock(der, block, &signature, replaced, why)) {
        return false;
    }
    std::string grown = file->substr(0, entry + 8) + signature;
    grown.append((8 - (grown.size() - layout.certTableOffset) % 8) % 8, '\0');
    const size_t newLength = grown.size() - entry;
    const size_t newTable = grown.size() - layout.certTableOffset;
    if (newLength > 0xFFFFFFFFu || newTable > 0xFFFFFFFFu) {
        return fail(why, "the certificate table would grow too large");
    }
    put32(&grown[entry], static_cast<uint32_t>(newLength));
    put32(&grown[layout.securityEntryOffset + 4], static_cast<uint32_t>(newTable));
    put32(&grown[layout.checksumOffset],
          peChecksum(reinterpret_cast<const uint8_t*>(grown.data()), grown.size(), layout.checksumOffset));
    file->swap(grown);
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
