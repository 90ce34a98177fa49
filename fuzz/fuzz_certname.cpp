// Fuzz target: the certificate-name reader and the host-name rules on arbitrary bytes. The input
// is read as a DER certificate (readCertificateNames), and as a name and a host (the first byte
// says where the name ends, every byte one character). Beyond not crashing, it checks what must
// hold for any input: a certificate that does not read leaves no names behind; the certificate
// covers a host exactly when one of the names that count (its alternative names when it has any,
// its common names otherwise) does; a name never covers anything when it holds a zero character
// or a blank; letter case and one trailing dot of the name change nothing; a name without "*"
// covers only its own host; a name with "*" covers only a host under its parent domain, never an
// IP address.
#include "certname.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace portable;

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

std::wstring upper(std::wstring text)
{
    for (wchar_t& c : text) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    }
    return text;
}

// The host as the rules compare it: without brackets and one trailing dot, in lower case.
std::wstring plain(std::wstring text, bool host)
{
    if (host && text.size() >= 2 && text.front() == L'[' && text.back() == L']') {
        text = text.substr(1, text.size() - 2);
    }
    if (!text.empty() && text.back() == L'.') {
        text.pop_back();
    }
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return text;
}

void checkCertificate(const uint8_t* data, size_t size, const std::wstring& host)
{
    CertificateNames names;
    if (!readCertificateNames(data, size, &names)) {
        require(names.alternative.empty() && names.common.empty());
        return;
    }
    const auto& counted = names.alternative.empty() ? names.common : names.alternative;
    bool any = false;
    for (const std::wstring& name : counted) {
        any = any || certificateNameCovers(name, host);
    }
    require(certificateCoversHost(names, host) == any);
}

void checkNameRules(const std::wstring& name, const std::wstring& host)
{
    const bool covers = certificateNameCovers(name, host);
    require(covers == certificateNameCovers(upper(name), host));
    require(covers == certificateNameCovers(name, upper(host)));
    if (name.empty() || name.back() != L'.') {
        require(covers == certificateNameCovers(name + L".", host));
    }
    if (!covers) {
        return;
    }
    require(name.find_first_of(std::wstring(L"\0 ", 2)) == std::wstring::npos && !host.empty());
    const std::wstring n = plain(name, false);
    const std::wstring h = plain(host, true);
    if (name.find(L'*') == std::wstring::npos) {
        require(n == h);
        return;
    }
    require(n.size() > 2 && n.compare(0, 2, L"*.") == 0 && !isIpAddressHost(h));
    const std::wstring parent = n.substr(1);
    require(h.size() > parent.size() && h.compare(h.size() - parent.size(), parent.size(), parent) == 0);
    require(h.find(L'.') == h.size() - parent.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const size_t split = size == 0 ? 0 : 1 + data[0] % size;
    std::wstring name, host;
    for (size_t i = 1; i < size; ++i) {
        (i < split ? name : host) += static_cast<wchar_t>(data[i]);
    }
    checkCertificate(data, size, host.empty() ? std::wstring(L"localhost") : host);
    checkNameRules(name, host);
    return 0;
}
