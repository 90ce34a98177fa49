#include "Proxychallenge.h"

#include "proxylist.h"

#include <cstdint>
#include <cwchar>
#include <vector>

namespace {

// A challenge body larger than this is not read: the connection is then not used again.
constexpr DWORD MAX_DROPPED_BODY = 1024 * 1024;

// INTERNET_PROXY_INFO as InternetQueryOptionW fills it: wide strings, whatever UNICODE says.
struct ProxyInfoW {
    DWORD dwAccessType;
    LPCWSTR lpszProxy;
    LPCWSTR lpszProxyBypass;
};
static_assert(sizeof(ProxyInfoW) == sizeof(INTERNET_PROXY_INFO), "the platform's layout");

std::wstring copyOf(LPCWSTR text) { return text != nullptr ? std::wstring(text) : std::wstring(); }

} // namespace

bool Proxychallenge::readProxyInfo(HINTERNET handle, std::wstring* proxyList, std::wstring* bypassList)
{
    DWORD size = 0;
    if (::InternetQueryOptionW(handle, INTERNET_OPTION_PROXY, nullptr, &size) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size < sizeof(ProxyInfoW)) {
        return false;
    }
    // Aligned for the structure; the strings follow it in the same buffer.
    std::vector<uint64_t> buffer(size / sizeof(uint64_t) + 1, 0);
    if (!::InternetQueryOptionW(handle, INTERNET_OPTION_PROXY, buffer.data(), &size)) {
        return false;
    }
    const auto* info = reinterpret_cast<const ProxyInfoW*>(buffer.data());
    if (info->dwAccessType != INTERNET_OPEN_TYPE_PROXY) {
        return false;
    }
    *proxyList = copyOf(info->lpszProxy);
    *bypassList = copyOf(info->lpszProxyBypass);
    return !proxyList->empty();
}

std::wstring Proxychallenge::proxyFor(HINTERNET root, const std::wstring& protocol, const std::wstring& host)
{
    std::wstring proxyList;
    std::wstring bypassList;
    if (!readProxyInfo(root, &proxyList, &bypassList) && !readProxyInfo(nullptr, &proxyList, &bypassList)) {
        return {};
    }
    return portable::proxyForRequest(proxyList, bypassList, protocol, host);
}

std::wstring Proxychallenge::schemes(HINTERNET request)
{
    std::wstring out;
    for (DWORD index = 0;;) {
        std::vector<wchar_t> value(4096, L'\0');
        DWORD bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
        const DWORD asked = index;
        if (!::HttpQueryInfoW(request, HTTP_QUERY_PROXY_AUTHENTICATE, value.data(), &bytes, &index) || index == asked) {
            break;
        }
        const std::wstring scheme =
            portable::challengeScheme(std::wstring(value.data(), wcsnlen(value.data(), value.size())));
        if (!scheme.empty()) {
            out += (out.empty() ? L"" : L", ") + scheme;
        }
    }
    return out.empty() ? L"(none)" : out;
}

void Proxychallenge::dropBody(HINTERNET request)
{
    std::vector<char> block(4096);
    DWORD total = 0;
    DWORD read = 0;
    while (total < MAX_DROPPED_BODY &&
           ::InternetReadFile(request, block.data(), static_cast<DWORD>(block.size()), &read) && read > 0) {
        total += read;
    }
}
