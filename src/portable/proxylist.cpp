#include "proxylist.h"

#include "asciicase.h"

#include <vector>

namespace portable {

namespace {

bool isSeparator(wchar_t c) { return c == L';' || c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

std::vector<std::wstring_view> entries(std::wstring_view list)
{
    std::vector<std::wstring_view> out;
    size_t at = 0;
    while (at < list.size()) {
        while (at < list.size() && isSeparator(list[at])) {
            ++at;
        }
        size_t end = at;
        while (end < list.size() && !isSeparator(list[end])) {
            ++end;
        }
        if (end > at) {
            out.push_back(list.substr(at, end - at));
        }
        at = end;
    }
    return out;
}

wchar_t lower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

// "*" stands for any text, including none; everything else compares in any letter case.
bool matchesPattern(std::wstring_view pattern, std::wstring_view text)
{
    size_t p = 0;
    size_t t = 0;
    size_t starAt = std::wstring_view::npos;
    size_t resumeAt = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            starAt = p++;
            resumeAt = t;
        } else if (p < pattern.size() && lower(pattern[p]) == lower(text[t])) {
            ++p;
            ++t;
        } else if (starAt != std::wstring_view::npos) {
            p = starAt + 1;
            t = ++resumeAt;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') {
        ++p;
    }
    return p == pattern.size();
}

// The address of an entry: without a leading "scheme://" and a trailing "/", with a port.
std::wstring address(std::wstring_view value)
{
    const size_t schemeEnd = value.find(L"://");
    if (schemeEnd != std::wstring_view::npos) {
        value.remove_prefix(schemeEnd + 3);
    }
    while (!value.empty() && value.back() == L'/') {
        value.remove_suffix(1);
    }
    if (value.empty()) {
        return {};
    }
    const size_t bracket = value.rfind(L']');
    const size_t colon = value.rfind(L':');
    const bool hasPort = colon != std::wstring_view::npos && (bracket == std::wstring_view::npos || colon > bracket);
    std::wstring out(value);
    if (!hasPort) {
        out += L":80";
    }
    return out;
}

} // namespace

bool bypassesProxy(std::wstring_view bypassList, std::wstring_view host)
{
    for (const std::wstring_view entry : entries(bypassList)) {
        if (equalsIgnoringAsciiCase(entry, L"<local>")) {
            if (host.find(L'.') == std::wstring_view::npos && host.find(L':') == std::wstring_view::npos) {
                return true;
            }
        } else if (matchesPattern(entry, host)) {
            return true;
        }
    }
    return false;
}

std::wstring proxyForRequest(std::wstring_view proxyList, std::wstring_view bypassList, std::wstring_view protocol,
                             std::wstring_view host)
{
    std::wstring forProtocol;
    std::wstring forAll;
    for (const std::wstring_view entry : entries(proxyList)) {
        const size_t equals = entry.find(L'=');
        const size_t schemeEnd = entry.find(L"://");
        if (equals != std::wstring_view::npos && (schemeEnd == std::wstring_view::npos || equals < schemeEnd)) {
            if (forProtocol.empty() && equalsIgnoringAsciiCase(entry.substr(0, equals), protocol)) {
                forProtocol = address(entry.substr(equals + 1));
            }
        } else if (forAll.empty()) {
            forAll = address(entry);
        }
    }
    std::wstring chosen = forProtocol.empty() ? forAll : forProtocol;
    if (chosen.empty() || bypassesProxy(bypassList, host)) {
        return {};
    }
    return chosen;
}

std::wstring challengeScheme(std::wstring_view headerValue)
{
    size_t at = 0;
    while (at < headerValue.size() && (headerValue[at] == L' ' || headerValue[at] == L'\t')) {
        ++at;
    }
    size_t end = at;
    while (end < headerValue.size() && headerValue[end] != L' ' && headerValue[end] != L'\t' &&
           headerValue[end] != L',') {
        ++end;
    }
    return std::wstring(headerValue.substr(at, end - at));
}

} // namespace portable
