// Proxychallenge: what the updater reads of an answer 407 (Proxy Authentication Required) before
// it asks for credentials or gives up: the proxy WinINet sends the request through (from the
// proxy settings of the root handle, or the system's when the handle has none of its own), the
// schemes the proxy offers, and the body of the challenge read and dropped, so that the request
// can be sent again on the same connection. Used by Httpexchange for the request it holds; it
// owns nothing and never sees credentials.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <string>

class Proxychallenge {
public:
    // "host:port" of the proxy for a request of protocol to host; empty when the request goes
    // direct (no proxy configured for it, or the host bypasses it).
    static std::wstring proxyFor(HINTERNET root, const std::wstring& protocol, const std::wstring& host);
    // The schemes of the response's Proxy-Authenticate headers, in their order, separated by ", "
    // ("Basic", "Negotiate, NTLM"); "(none)" when the proxy names none.
    static std::wstring schemes(HINTERNET request);
    // Reads the rest of the response body and drops it (a bounded amount: a larger body is left).
    static void dropBody(HINTERNET request);

private:
    // The proxy and bypass lists of a handle (null: the system's); false when it names no proxy.
    static bool readProxyInfo(HINTERNET handle, std::wstring* proxyList, std::wstring* bypassList);
};
