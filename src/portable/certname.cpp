#include "certname.h"

#include "asciicase.h"

#include <algorithm>
#include <cwchar>
#include <initializer_list>

namespace portable {

namespace {

// The text without one trailing dot, folded; empty when it holds a zero character or a blank.
std::wstring normalized(std::wstring_view text)
{
    if (!text.empty() && text.back() == L'.') {
        text.remove_suffix(1);
    }
    for (const wchar_t c : text) {
        if (c == L'\0' || c == L' ' || c == L'\t' || c < 0x20) {
            return {};
        }
    }
    return asciiLower(std::wstring(text));
}

std::vector<std::wstring_view> labels(std::wstring_view name)
{
    std::vector<std::wstring_view> out;
    size_t from = 0;
    for (;;) {
        const size_t dot = name.find(L'.', from);
        out.push_back(name.substr(from, dot == std::wstring_view::npos ? std::wstring_view::npos : dot - from));
        if (dot == std::wstring_view::npos) {
            return out;
        }
        from = dot + 1;
    }
}

bool hasEmptyLabel(const std::vector<std::wstring_view>& parts)
{
    for (const auto part : parts) {
        if (part.empty()) {
            return true;
        }
    }
    return false;
}

} // namespace

bool isIpAddressHost(std::wstring_view host)
{
    if (host.empty()) {
        return false;
    }
    if (host.find(L':') != std::wstring_view::npos) {
        return true;
    }
    for (const wchar_t c : host) {
        if (c != L'.' && (c < L'0' || c > L'9')) {
            return false;
        }
    }
    return true;
}

bool certificateNameCovers(std::wstring_view nameText, std::wstring_view hostText)
{
    std::wstring_view hostView = hostText;
    if (hostView.size() >= 2 && hostView.front() == L'[' && hostView.back() == L']') {
        hostView = hostView.substr(1, hostView.size() - 2);
    }
    const std::wstring name = normalized(nameText);
    const std::wstring host = normalized(hostView);
    if (name.empty() || host.empty()) {
        return false;
    }
    const auto nameLabels = labels(name);
    const auto hostLabels = labels(host);
    if (hasEmptyLabel(nameLabels) || hasEmptyLabel(hostLabels)) {
        return false;
    }
    const size_t star = name.find(L'*');
    if (star == std::wstring::npos) {
        return name == host;
    }
    // A wildcard: the whole first label, nowhere else, above at least two labels of its own.
    if (nameLabels.front() != L"*" || name.find(L'*', star + 1) != std::wstring::npos || nameLabels.size() < 3 ||
        isIpAddressHost(host) || hostLabels.size() != nameLabels.size()) {
        return false;
    }
    for (size_t i = 1; i < nameLabels.size(); ++i) {
        if (nameLabels[i] != hostLabels[i]) {
            return false;
        }
    }
    return true;
}

bool certificateCoversHost(const CertificateNames& names, std::wstring_view host)
{
    const std::vector<std::wstring>& counted = names.alternative.empty() ? names.common : names.alternative;
    for (const auto& name : counted) {
        if (certificateNameCovers(name, host)) {
            return true;
        }
    }
    return false;
}

} // namespace portable

namespace portable {

namespace {

// One DER element: its tag, and where its contents lie.
struct Element {
    uint8_t tag = 0;
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// Reads the element at *at (before end) and moves *at past it; false when it does not fit.
bool readElement(const uint8_t** at, const uint8_t* end, Element* element)
{
    const uint8_t* p = *at;
    if (end - p < 2 || (p[0] & 0x1F) == 0x1F) {
        return false; // too short, or a tag number of more than one byte
    }
    element->tag = p[0];
    size_t length = p[1];
    p += 2;
    if (length & 0x80) {
        const size_t bytes = length & 0x7F;
        if (bytes == 0 || bytes > 4 || static_cast<size_t>(end - p) < bytes) {
            return false; // indefinite, or longer than any certificate
        }
        length = 0;
        for (size_t i = 0; i < bytes; ++i) {
            length = (length << 8) | *p++;
        }
    }
    if (static_cast<size_t>(end - p) < length) {
        return false;
    }
    element->data = p;
    element->size = length;
    *at = p + length;
    return true;
}

constexpr uint8_t SEQUENCE = 0x30;
constexpr uint8_t SET = 0x31;
constexpr uint8_t OID = 0x06;
constexpr uint8_t OCTET_STRING = 0x04;
constexpr uint8_t BOOLEAN = 0x01;

bool isOid(const Element& e, std::initializer_list<uint8_t> value)
{
    return e.tag == OID && e.size == value.size() && std::equal(value.begin(), value.end(), e.data);
}

// UTF-8 to wide text; a byte that is no part of a valid sequence becomes U+FFFD.
std::wstring fromUtf8(const uint8_t* p, size_t n)
{
    std::wstring out;
    for (size_t i = 0; i < n;) {
        const uint8_t b = p[i];
        size_t len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
        uint32_t cp = len == 1 ? b : len == 2 ? (b & 0x1Fu) : len == 3 ? (b & 0x0Fu) : (b & 0x07u);
        bool ok = len != 0 && len <= n - i;
        for (size_t k = 1; ok && k < len; ++k) {
            ok = (p[i + k] & 0xC0) == 0x80;
            cp = (cp << 6) | (p[i + k] & 0x3Fu);
        }
        static const uint32_t MINIMUM[5] = {0, 0, 0x80, 0x800, 0x10000};
        ok = ok && cp >= MINIMUM[len] && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        if (!ok) {
            out += L'\xFFFD';
            ++i;
            continue;
        }
        if (cp > 0xFFFF && sizeof(wchar_t) == 2) {
            cp -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (cp >> 10));
            out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<wchar_t>(cp);
        }
        i += len;
    }
    return out;
}

// A directory string (the value of a name attribute) as text; false for a type that is no text.
bool directoryString(const Element& e, std::wstring* text)
{
    text->clear();
    switch (e.tag) {
    case 0x0C: // UTF8String
        *text = fromUtf8(e.data, e.size);
        return true;
    case 0x13: // PrintableString
    case 0x14: // TeletexString, read as Latin-1 as most readers do
    case 0x16: // IA5String
        for (size_t i = 0; i < e.size; ++i) {
            *text += static_cast<wchar_t>(e.data[i]);
        }
        return true;
    case 0x1E: // BMPString: UTF-16, big-endian
        if (e.size % 2 != 0) {
            return false;
        }
        for (size_t i = 0; i < e.size; i += 2) {
            *text += static_cast<wchar_t>((e.data[i] << 8) | e.data[i + 1]);
        }
        return true;
    default:
        return false;
    }
}

// The common names of a Name (SEQUENCE OF SET OF SEQUENCE {type, value}).
bool readCommonNames(const Element& name, std::vector<std::wstring>* out)
{
    const uint8_t* at = name.data;
    const uint8_t* end = name.data + name.size;
    while (at < end) {
        Element rdn;
        if (!readElement(&at, end, &rdn) || rdn.tag != SET) {
            return false;
        }
        const uint8_t* a = rdn.data;
        const uint8_t* aEnd = rdn.data + rdn.size;
        while (a < aEnd) {
            Element attribute;
            Element type;
            Element value;
            if (!readElement(&a, aEnd, &attribute) || attribute.tag != SEQUENCE) {
                return false;
            }
            const uint8_t* v = attribute.data;
            const uint8_t* vEnd = attribute.data + attribute.size;
            if (!readElement(&v, vEnd, &type) || !readElement(&v, vEnd, &value)) {
                return false;
            }
            std::wstring text;
            if (isOid(type, {0x55, 0x04, 0x03}) && directoryString(value, &text)) {
                out->push_back(text);
            }
        }
    }
    return true;
}

std::wstring ipAddressText(const uint8_t* p, size_t n)
{
    wchar_t buffer[64];
    if (n == 4) {
        std::swprintf(buffer, 64, L"%u.%u.%u.%u", p[0], p[1], p[2], p[3]);
        return buffer;
    }
    // IPv6 as RFC 5952 writes it: the longest run of two or more zero groups becomes "::".
    unsigned groups[8];
    for (int i = 0; i < 8; ++i) {
        groups[i] = (static_cast<unsigned>(p[2 * i]) << 8) | p[2 * i + 1];
    }
    int bestAt = -1;
    int bestLength = 1;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && groups[j] == 0) {
            ++j;
        }
        if (j - i > bestLength) {
            bestAt = i;
            bestLength = j - i;
        }
        i = j == i ? i + 1 : j;
    }
    std::wstring out;
    for (int i = 0; i < 8; ++i) {
        if (i == bestAt) {
            out += L"::";
            i += bestLength - 1;
            continue;
        }
        if (!out.empty() && out.back() != L':') {
            out += L':';
        }
        std::swprintf(buffer, 64, L"%x", groups[i]);
        out += buffer;
    }
    return out;
}

// The DNS names and IP addresses of a GeneralNames value (SEQUENCE OF GeneralName).
bool readAlternativeNames(const Element& octets, std::vector<std::wstring>* out)
{
    const uint8_t* at = octets.data;
    const uint8_t* end = octets.data + octets.size;
    Element names;
    if (!readElement(&at, end, &names) || names.tag != SEQUENCE || at != end) {
        return false;
    }
    const uint8_t* n = names.data;
    const uint8_t* nEnd = names.data + names.size;
    while (n < nEnd) {
        Element name;
        if (!readElement(&n, nEnd, &name)) {
            return false;
        }
        if (name.tag == 0x82) { // [2] dNSName, an IA5String
            std::wstring text;
            for (size_t i = 0; i < name.size; ++i) {
                text += static_cast<wchar_t>(name.data[i]);
            }
            out->push_back(text);
        } else if (name.tag == 0x87 && (name.size == 4 || name.size == 16)) { // [7] iPAddress
            out->push_back(ipAddressText(name.data, name.size));
        }
    }
    return true;
}

// The subjectAltName extension (2.5.29.17) among the extensions ([3] EXPLICIT SEQUENCE OF Extension).
bool readExtensions(const Element& tagged, std::vector<std::wstring>* alternative)
{
    const uint8_t* at = tagged.data;
    const uint8_t* end = tagged.data + tagged.size;
    Element list;
    if (!readElement(&at, end, &list) || list.tag != SEQUENCE) {
        return false;
    }
    const uint8_t* e = list.data;
    const uint8_t* eEnd = list.data + list.size;
    while (e < eEnd) {
        Element extension;
        Element id;
        Element value;
        if (!readElement(&e, eEnd, &extension) || extension.tag != SEQUENCE) {
            return false;
        }
        const uint8_t* x = extension.data;
        const uint8_t* xEnd = extension.data + extension.size;
        if (!readElement(&x, xEnd, &id) || !readElement(&x, xEnd, &value)) {
            return false;
        }
        if (value.tag == BOOLEAN && !readElement(&x, xEnd, &value)) {
            return false;
        }
        if (isOid(id, {0x55, 0x1D, 0x11})) {
            if (value.tag != OCTET_STRING || !readAlternativeNames(value, alternative)) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

bool readCertificateNames(const uint8_t* der, size_t size, CertificateNames* names)
{
    const uint8_t* at = der;
    const uint8_t* end = der + size;
    Element certificate;
    Element tbs;
    if (der == nullptr || !readElement(&at, end, &certificate) || certificate.tag != SEQUENCE) {
        return false;
    }
    at = certificate.data;
    end = certificate.data + certificate.size;
    if (!readElement(&at, end, &tbs) || tbs.tag != SEQUENCE) {
        return false;
    }
    // version [0] (optional), serialNumber, signature, issuer, validity, subject, subjectPublicKeyInfo,
    // then the optional [1], [2] and [3] parts.
    const uint8_t* p = tbs.data;
    const uint8_t* pEnd = tbs.data + tbs.size;
    Element field;
    if (!readElement(&p, pEnd, &field)) {
        return false;
    }
    if (field.tag == 0xA0 && !readElement(&p, pEnd, &field)) {
        return false;
    }
    Element subject;
    for (int i = 0; i < 4; ++i) { // signature, issuer, validity, subject
        if (!readElement(&p, pEnd, &subject)) {
            return false;
        }
    }
    CertificateNames found;
    if (subject.tag != SEQUENCE || !readCommonNames(subject, &found.common)) {
        return false;
    }
    if (!readElement(&p, pEnd, &field)) { // subjectPublicKeyInfo
        return false;
    }
    while (p < pEnd) {
        if (!readElement(&p, pEnd, &field)) {
            return false;
        }
        if (field.tag == 0xA3 && !readExtensions(field, &found.alternative)) {
            return false;
        }
    }
    *names = std::move(found);
    return true;
}

} // namespace portable
