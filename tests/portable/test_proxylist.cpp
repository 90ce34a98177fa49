// Which proxy a request goes through, from the lists as WinINet keeps them, and the scheme of a
// challenge.
#include "proxylist.h"

#include <gtest/gtest.h>

TEST(ProxyList, ChoosesTheEntryOfTheRequestsProtocol)
{
    const struct {
        const wchar_t* list;
        const wchar_t* protocol;
        const wchar_t* proxy;
    } cases[] = {
        {L"127.0.0.1:3128", L"http", L"127.0.0.1:3128"},
        {L"127.0.0.1:3128", L"https", L"127.0.0.1:3128"},
        {L"proxy.corp", L"http", L"proxy.corp:80"},
        {L"http://proxy.corp:8080/", L"http", L"proxy.corp:8080"},
        {L"http=web:8080;https=secure:8443", L"http", L"web:8080"},
        {L"http=web:8080;https=secure:8443", L"HTTPS", L"secure:8443"},
        {L"HTTP=http://web:8080 ftp=files:21", L"http", L"web:8080"},
        // Only an entry for another protocol: the request goes direct.
        {L"https=secure:8443", L"http", L""},
        {L"ftp=files:21;socks=sock:1080", L"https", L""},
        // A bare entry serves the protocols without one of their own.
        {L"https=secure:8443;all:3128", L"http", L"all:3128"},
        {L"[::1]:3128", L"http", L"[::1]:3128"},
        {L"[::1]", L"http", L"[::1]:80"},
        {L" ; ", L"http", L""},
        {L"", L"http", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(portable::proxyForRequest(c.list, L"", c.protocol, L"cv.example.com"), c.proxy)
            << testing::PrintToString(std::wstring(c.list));
    }
}

TEST(ProxyList, BypassListSendsTheHostDirect)
{
    const struct {
        const wchar_t* bypass;
        const wchar_t* host;
        bool direct;
    } cases[] = {
        {L"<local>", L"intranet", true},
        {L"<local>", L"cv.example.com", false},
        {L"<local>", L"127.0.0.1", false},
        {L"127.0.0.1", L"127.0.0.1", true},
        {L"*.example.com;10.*", L"CV.Example.COM", true},
        {L"*.example.com;10.*", L"10.1.2.3", true},
        {L"*.example.com;10.*", L"example.com", false},
        {L"*.example.com", L"cv.example.com.evil.test", false},
        {L"cv.example.com", L"cv.example.co", false},
        {L"*", L"anything", true},
        {L"", L"cv.example.com", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(portable::bypassesProxy(c.bypass, c.host), c.direct)
            << testing::PrintToString(std::wstring(c.bypass)) << " " << testing::PrintToString(std::wstring(c.host));
        EXPECT_EQ(portable::proxyForRequest(L"proxy:3128", c.bypass, L"http", c.host).empty(), c.direct);
    }
}

TEST(ProxyList, ChallengeSchemeIsTheFirstToken)
{
    EXPECT_EQ(portable::challengeScheme(L"Basic realm=\"Corp Proxy\""), L"Basic");
    EXPECT_EQ(portable::challengeScheme(L"  Digest realm=\"x\", nonce=\"y\""), L"Digest");
    EXPECT_EQ(portable::challengeScheme(L"NTLM"), L"NTLM");
    EXPECT_EQ(portable::challengeScheme(L"Negotiate, Basic realm=\"x\""), L"Negotiate");
    EXPECT_EQ(portable::challengeScheme(L""), L"");
}
