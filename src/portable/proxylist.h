// proxylist: which proxy a request goes through, read from the proxy list and the bypass list as
// WinINet keeps them (the proxy information of an internet handle, the Internet Settings'
// ProxyServer and ProxyOverride), and the scheme of a proxy's challenge. Text only: the updater
// reads the lists from the platform and names the proxy and the scheme in its log.
#pragma once

#include <string>
#include <string_view>

namespace portable {

// "host:port" of the proxy for a request of protocol ("http", "https") to host: the list's entry
// for that protocol ("http=proxy:8080;https=other:8443"), or else its entry without a protocol
// ("proxy:8080"); a "scheme://" before the address and a "/" after it are dropped, a missing port
// is 80 (WinINet's default). Empty when the list has no entry for the request or the host is in
// the bypass list. Entries are separated by ";" or blanks.
std::wstring proxyForRequest(std::wstring_view proxyList, std::wstring_view bypassList, std::wstring_view protocol,
                             std::wstring_view host);
// Whether host is in the bypass list: "<local>" stands for every name without a dot, any other
// entry is a pattern where "*" stands for any text; letters compare in any case.
bool bypassesProxy(std::wstring_view bypassList, std::wstring_view host);
// The scheme of one Proxy-Authenticate value: its first token ("Basic realm=\"x\"" gives "Basic").
std::wstring challengeScheme(std::wstring_view headerValue);

} // namespace portable
