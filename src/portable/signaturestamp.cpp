#include "signaturestamp.h"

#include "der.h"
#include "signeddata.h"

namespace portable {

namespace {

void put32(char* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}

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
Result signatureWithBlock(ByteSpan der, const std::string& block, std::string* out, bool* replaced)
{
    SignedDataFrame frame;
    Tlv signers, signer, last;
    if (Result r = readSignedDataFrame(der, &frame); !r) {
        return Result::failed(r.code == FRAME_NO_DER ? "the last certificate entry holds no DER signature"
                                                     : "the last certificate entry holds no PKCS#7 SignedData");
    }
    if (!lastChild(frame.signedData, &signers) || signers.tag != TAG_SET) {
        return Result::failed("the last certificate entry holds no PKCS#7 SignedData");
    }
    if (!onlySigner(signers, &signer) || !lastChild(signer, &last)) {
        return Result::failed("the signature must have exactly one signer");
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
    const std::string newSignedData = replaceChild(frame.signedData, signers, newSigners);
    const std::string newExplicit = replaceChild(frame.explicitData, frame.signedData, newSignedData);
    *out = replaceChild(frame.contentInfo, frame.explicitData, newExplicit);
    return Result::done();
}

} // namespace

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

Result placeInCertificateTable(std::string* file, const std::string& block, bool* replaced)
{
    FileSignature signature;
    Result read = readCertificateEntry(reinterpret_cast<const uint8_t*>(file->data()), file->size(), &signature);
    if (read.code == SIGNATURE_NONE) {
        return Result::failed("the file has no certificate table");
    }
    if (!read) {
        read.code = Result::FAILED;
        return read;
    }
    const PeLayout& layout = signature.layout;
    const size_t entry = layout.certTableOffset;
    *replaced = false;
    std::string grownSignature;
    if (Result r = signatureWithBlock(signature.der, block, &grownSignature, replaced); !r) {
        return r;
    }
    std::string grown = file->substr(0, entry + 8) + grownSignature;
    grown.append((8 - (grown.size() - layout.certTableOffset) % 8) % 8, '\0');
    const size_t newLength = grown.size() - entry;
    const size_t newTable = grown.size() - layout.certTableOffset;
    if (newLength > 0xFFFFFFFFu || newTable > 0xFFFFFFFFu) {
        return Result::failed("the certificate table would grow too large");
    }
    put32(&grown[entry], static_cast<uint32_t>(newLength));
    put32(&grown[layout.securityEntryOffset + 4], static_cast<uint32_t>(newTable));
    put32(&grown[layout.checksumOffset],
          peChecksum(reinterpret_cast<const uint8_t*>(grown.data()), grown.size(), layout.checksumOffset));
    file->swap(grown);
    return Result::done();
}

} // namespace portable
