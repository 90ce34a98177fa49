#include "certificatetable.h"

#include "der.h"
#include "littleendian.h"

namespace portable {

namespace {

// Where the table stands in the file.
Result placementInFile(const PeLayout& layout, size_t size)
{
    if (!layout.hasCertTable() || size != layout.certTableSize) {
        return Result::failed("the file has no certificate table");
    }
    const uint64_t offset = layout.certTableOffset;
    if (offset % 8 != 0) {
        return Result::failed("the certificate table is not 8-byte aligned");
    }
    if (offset < layout.sizeOfHeaders) {
        return Result::failed("the certificate table starts inside the headers (before SizeOfHeaders)");
    }
    if (!layout.sectionsRead) {
        return Result::failed("the section table lies outside the headers read");
    }
    if (offset < layout.sectionsEnd) {
        return Result::failed("the certificate table starts before the end of a section's raw data");
    }
    if (offset + size != layout.fileSize) {
        return Result::failed("the certificate table does not end the file");
    }
    return Result::done();
}

// The one entry: its header, and the DER structure it holds with nothing but zero padding behind.
Result onlyEntry(const uint8_t* table, size_t size, ByteSpan* der)
{
    if (size < WIN_CERT_HEADER_SIZE) {
        return Result::failed("the certificate entry is cut short");
    }
    const uint32_t length = readLe32(table);
    if (length < WIN_CERT_HEADER_SIZE || length > size) {
        return Result::failed("the certificate entry's length does not fit the table");
    }
    if ((static_cast<size_t>(length) + 7) / 8 * 8 < size) {
        return Result::failed("the certificate table holds more than one entry");
    }
    if (readLe16(table + 4) != WIN_CERT_REVISION_2_0) {
        return Result::failed("the certificate entry is not of revision 2.0");
    }
    if (readLe16(table + 6) != WIN_CERT_TYPE_PKCS_SIGNED_DATA) {
        return Result::failed("the certificate entry is no PKCS#7 signature");
    }
    const uint8_t* contents = table + WIN_CERT_HEADER_SIZE;
    const size_t derLength = derElementLength(contents, length - WIN_CERT_HEADER_SIZE);
    if (derLength == 0) {
        return Result::failed("the certificate entry holds no DER structure");
    }
    // Behind the signature: only the zero padding to the next multiple of 8, up to the table's end.
    if (size - WIN_CERT_HEADER_SIZE - derLength >= 8) {
        return Result::failed("the certificate entry holds more than the signature and its padding");
    }
    for (size_t i = WIN_CERT_HEADER_SIZE + derLength; i < size; ++i) {
        if (table[i] != 0) {
            return Result::failed("the certificate entry holds non-zero bytes behind the signature");
        }
    }
    *der = {contents, derLength};
    return Result::done();
}

} // namespace

Result certificateTableSignature(const PeLayout& layout, const uint8_t* table, size_t size, ByteSpan* der)
{
    if (Result r = placementInFile(layout, size); !r) {
        return r;
    }
    return onlyEntry(table, size, der);
}

} // namespace portable
