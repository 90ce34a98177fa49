#include "deploymentblock.h"

#include "asciicase.h"

#include <cstdio>

namespace portable {

namespace {

// Unicode code points of the bytes 0x80 to 0x9F of code page 1252 (0: not assigned).
const uint16_t CP1252_HIGH[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                  0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

constexpr uint32_t REPLACEMENT = 0xFFFD;

bool startsAt(std::wstring_view text, size_t at, std::wstring_view what)
{
    return at <= text.size() && text.compare(at, what.size(), what) == 0;
}

// Past one entry that starts at `at` (with the prefix), or npos when it is not well formed.
size_t skipEntry(std::wstring_view data, size_t at)
{
    const size_t word = at + DEPLOYMENT_ENTRY_PREFIX.size();
    const size_t open = data.find(L'<', word);
    if (open == std::wstring_view::npos) {
        return std::wstring_view::npos;
    }
    for (size_t k = word; k < open; ++k) {
        if (data[k] < L'A' || data[k] > L'Z') {
            return std::wstring_view::npos;
        }
    }
    const size_t close = data.find(L'>', open + 1);
    return close == std::wstring_view::npos ? close : close + 1;
}

// One code point of UTF-8 text at `i`; false when the text is not UTF-8 there (overlong forms,
// surrogates and values past U+10FFFF included).
bool nextCodePoint(std::string_view utf8, size_t* i, uint32_t* cp)
{
    const unsigned char b = static_cast<unsigned char>(utf8[*i]);
    size_t len;
    if (b < 0x80) {
        *cp = b;
        len = 1;
    } else if ((b & 0xE0) == 0xC0) {
        *cp = b & 0x1F;
        len = 2;
    } else if ((b & 0xF0) == 0xE0) {
        *cp = b & 0x0F;
        len = 3;
    } else if ((b & 0xF8) == 0xF0) {
        *cp = b & 0x07;
        len = 4;
    } else {
        return false;
    }
    if (len > utf8.size() - *i) {
        return false;
    }
    for (size_t k = 1; k < len; ++k) {
        const unsigned char c = static_cast<unsigned char>(utf8[*i + k]);
        if ((c & 0xC0) != 0x80) {
            return false;
        }
        *cp = (*cp << 6) | (c & 0x3F);
    }
    static const uint32_t MINIMUM[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (*cp < MINIMUM[len] || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) {
        return false;
    }
    *i += len;
    return true;
}

std::string hexCodePoint(uint32_t cp)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "U+%04X", static_cast<unsigned>(cp));
    return hex;
}

// Why a block cannot carry this character; empty when it can.
std::string codePointProblem(uint32_t cp)
{
    if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F)) {
        return "it holds the control character " + hexCodePoint(cp);
    }
    if (cp == '>') {
        return "it holds \">\", which ends an entry of the block";
    }
    if (cp1252Byte(cp) < 0) {
        return "it holds " + hexCodePoint(cp) + ", which the ANSI code page 1252 cannot represent";
    }
    return {};
}

} // namespace

std::wstring deploymentMarker()
{
    // Two pieces, joined here: the complete marker text must not occur in the executable image.
    static const wchar_t* const volatile PIECES[2] = {L"ADDED_SERVERPARAMETERS", L":"};
    std::wstring marker = PIECES[0];
    marker += PIECES[1];
    return marker;
}

std::wstring_view deploymentBlock(std::wstring_view text)
{
    const size_t at = text.find(deploymentMarker());
    return at == std::wstring_view::npos ? std::wstring_view() : text.substr(at);
}

std::wstring deploymentText(std::string_view bytes)
{
    std::wstring text = fromCp1252(bytes);
    for (wchar_t& c : text) {
        if (c == L'\0') {
            c = L'\n';
        }
    }
    return text;
}

std::wstring deploymentBlockOfBytes(std::string_view bytes)
{
    std::string marker;
    toCp1252(deploymentMarker(), &marker);
    const size_t at = bytes.find(marker);
    return at == std::string_view::npos ? std::wstring() : deploymentText(bytes.substr(at));
}

size_t countDeploymentMarkers(std::wstring_view text)
{
    const std::wstring marker = deploymentMarker();
    size_t count = 0;
    for (size_t p = text.find(marker); p != std::wstring_view::npos; p = text.find(marker, p + 1)) {
        ++count;
    }
    return count;
}

std::optional<std::wstring> readDeploymentEntry(std::wstring_view content, std::wstring_view word)
{
    if (word.empty() || content.empty()) {
        return std::nullopt;
    }
    std::wstring tag(DEPLOYMENT_ENTRY_PREFIX);
    tag += word;
    tag += L'<';
    const size_t at = content.find(tag);
    if (at == std::wstring_view::npos) {
        return std::nullopt;
    }
    const size_t start = at + tag.size();
    const size_t end = content.find(L'>', start);
    if (end == std::wstring_view::npos) {
        return std::nullopt;
    }
    return std::wstring(content.substr(start, end - start));
}

std::optional<size_t> deploymentImageEnd(std::wstring_view data)
{
    const std::wstring marker = deploymentMarker();
    const size_t first = data.find(marker);
    if (first == std::wstring_view::npos) {
        return data.size();
    }
    size_t i = first;
    while (i < data.size()) {
        if (!startsAt(data, i, marker)) {
            return std::nullopt;
        }
        i += marker.size();
        while (startsAt(data, i, DEPLOYMENT_ENTRY_PREFIX)) {
            i = skipEntry(data, i);
            if (i == std::wstring_view::npos) {
                return std::nullopt;
            }
        }
        if (startsAt(data, i, L"\r\n")) {
            i += 2;
        } else if (i < data.size() && data[i] == L'\n') {
            i += 1;
        }
    }
    return first;
}

bool strictTlsFits(std::wstring_view protocol) { return equalsIgnoringAsciiCase(protocol, L"https"); }

Result checkDeploymentValue(std::string_view utf8, std::wstring* value)
{
    value->clear();
    for (size_t i = 0; i < utf8.size();) {
        uint32_t cp = 0;
        if (!nextCodePoint(utf8, &i, &cp)) {
            return Result::failed("it is not valid UTF-8 text");
        }
        std::string problem = codePointProblem(cp);
        if (!problem.empty()) {
            return Result::failed(std::move(problem));
        }
        *value += static_cast<wchar_t>(cp);
    }
    if (value->find(DEPLOYMENT_ENTRY_PREFIX) != std::wstring::npos) {
        return Result::failed("it holds \"" + toUtf8(DEPLOYMENT_ENTRY_PREFIX) +
                              "\", which the installer would take for an entry");
    }
    return Result::done();
}

int cp1252Byte(uint32_t codePoint)
{
    if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF)) {
        return static_cast<int>(codePoint);
    }
    for (int k = 0; k < 32; ++k) {
        if (CP1252_HIGH[k] != 0 && CP1252_HIGH[k] == codePoint) {
            return 0x80 + k;
        }
    }
    return -1;
}

uint32_t cp1252CodePoint(unsigned char byte)
{
    if (byte >= 0x80 && byte <= 0x9F) {
        return CP1252_HIGH[byte - 0x80] != 0 ? CP1252_HIGH[byte - 0x80] : REPLACEMENT;
    }
    return byte;
}

std::wstring fromCp1252(std::string_view bytes)
{
    std::wstring text(bytes.size(), L'\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        text[i] = static_cast<wchar_t>(cp1252CodePoint(static_cast<unsigned char>(bytes[i])));
    }
    return text;
}

bool toCp1252(std::wstring_view text, std::string* bytes)
{
    bytes->clear();
    bytes->reserve(text.size());
    for (const wchar_t c : text) {
        const int byte = cp1252Byte(static_cast<uint32_t>(c));
        if (byte < 0) {
            return false;
        }
        *bytes += static_cast<char>(byte);
    }
    return true;
}

std::string toUtf8(std::wstring_view text)
{
    std::string out;
    for (const wchar_t c : text) {
        uint32_t cp = static_cast<uint32_t>(c);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            cp = REPLACEMENT;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

} // namespace portable
