#include "Servercertificate.h"

#include "handles.h"
#include "textutil.h"

#include <vector>

namespace {

// The server's certificate chain as a duplicated chain context (Internet Explorer 8 and later);
// the SDK headers of this toolchain do not name it.
constexpr DWORD OPTION_SERVER_CERT_CHAIN_CONTEXT = 105;

// INTERNET_CERTIFICATE_INFO as the ANSI call fills it (the headers declare it with TCHAR strings).
struct CertificateInfoAnsi {
    FILETIME ftExpiry;
    FILETIME ftStart;
    char* lpszSubjectInfo;
    char* lpszIssuerInfo;
    char* lpszProtocolName;
    char* lpszSignatureAlgName;
    char* lpszEncryptionAlgName;
    DWORD dwKeySize;
};
static_assert(sizeof(CertificateInfoAnsi) == sizeof(INTERNET_CERTIFICATE_INFO), "same layout");

// The parts of a subject or issuer text (one a line) joined by ", ".
std::wstring joinedParts(const std::wstring& text)
{
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'\r') {
            continue;
        }
        if (c == L'\n') {
            out += L", ";
        } else {
            out += c;
        }
    }
    return out;
}

// The last part of a subject text: where the common name stands in the names of servers.
std::wstring lastPart(const char* text)
{
    if (text == nullptr) {
        return {};
    }
    std::wstring all = textutil::fromAnsi(text);
    while (!all.empty() && (all.back() == L'\n' || all.back() == L'\r')) {
        all.pop_back();
    }
    const size_t newline = all.find_last_of(L"\r\n");
    return newline == std::wstring::npos ? all : all.substr(newline + 1);
}

std::wstring dateText(const FILETIME& time)
{
    SYSTEMTIME t;
    if (!::FileTimeToSystemTime(&time, &t)) {
        return L"?";
    }
    return textutil::format(L"%04u-%02u-%02u %02u:%02u:%02u UTC", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                            t.wSecond);
}

// A subject or issuer name as WinINet's structure gives it: the values, one a line.
std::wstring nameText(const CERT_CONTEXT* certificate, const CERT_NAME_BLOB* name)
{
    const DWORD flags = CERT_SIMPLE_NAME_STR | CERT_NAME_STR_CRLF_FLAG;
    const DWORD length =
        ::CertNameToStrW(certificate->dwCertEncodingType, const_cast<CERT_NAME_BLOB*>(name), flags, nullptr, 0);
    if (length <= 1) {
        return L"?";
    }
    std::vector<wchar_t> text(length, L'\0');
    ::CertNameToStrW(certificate->dwCertEncodingType, const_cast<CERT_NAME_BLOB*>(name), flags, text.data(), length);
    return joinedParts(std::wstring(text.data()));
}

} // namespace

bool Servercertificate::read(HINTERNET request, DWORD* error)
{
    // After a successful send the server's chain is there (and the connection may already be back
    // in WinINet's pool); after a failed one only the structure of the connection's certificate.
    return readFromChain(request) || readFromStructure(request, error);
}

// The end certificate of the server's chain, read as DER: its alternative names and common names
// with every character they hold, and the texts and dates as the structure would give them.
bool Servercertificate::readFromChain(HINTERNET request)
{
    PCCERT_CHAIN_CONTEXT raw = nullptr;
    DWORD size = sizeof(raw);
    if (!::InternetQueryOptionW(request, OPTION_SERVER_CERT_CHAIN_CONTEXT, &raw, &size)) {
        return false;
    }
    const handles::CertificateChain chain(raw);
    if (!chain.valid() || chain.get()->cChain == 0 || chain.get()->rgpChain[0]->cElement == 0) {
        return false;
    }
    const CERT_CONTEXT* leaf = chain.get()->rgpChain[0]->rgpElement[0]->pCertContext;
    portable::CertificateNames fromDer;
    if (leaf == nullptr || leaf->pCertInfo == nullptr ||
        !portable::readCertificateNames(leaf->pbCertEncoded, leaf->cbCertEncoded, &fromDer)) {
        return false;
    }
    names = std::move(fromDer);
    fromCertificate = true;
    subject = nameText(leaf, &leaf->pCertInfo->Subject);
    issuer = nameText(leaf, &leaf->pCertInfo->Issuer);
    notBefore = leaf->pCertInfo->NotBefore;
    notAfter = leaf->pCertInfo->NotAfter;
    return true;
}

bool Servercertificate::readFromStructure(HINTERNET request, DWORD* error)
{
    // The platform fills this structure with ANSI strings; the ANSI call says so.
    CertificateInfoAnsi info = {};
    DWORD size = sizeof(info);
    if (!::InternetQueryOptionA(request, INTERNET_OPTION_SECURITY_CERTIFICATE_STRUCT, &info, &size)) {
        *error = ::GetLastError();
        return false;
    }
    // The texts of the structure are the caller's to free.
    const handles::LocalMemory texts[] = {
        handles::LocalMemory(info.lpszSubjectInfo), handles::LocalMemory(info.lpszIssuerInfo),
        handles::LocalMemory(info.lpszProtocolName), handles::LocalMemory(info.lpszSignatureAlgName),
        handles::LocalMemory(info.lpszEncryptionAlgName)};
    subject = joinedParts(textutil::fromAnsi(info.lpszSubjectInfo != nullptr ? info.lpszSubjectInfo : "?"));
    issuer = joinedParts(textutil::fromAnsi(info.lpszIssuerInfo != nullptr ? info.lpszIssuerInfo : "?"));
    notBefore = info.ftStart;
    notAfter = info.ftExpiry;
    names = portable::CertificateNames();
    const std::wstring common = lastPart(info.lpszSubjectInfo);
    if (!common.empty()) {
        names.common.push_back(common);
    }
    fromCertificate = false;
    return true;
}

std::wstring Servercertificate::describe() const
{
    return L"subject \"" + subject + L"\", issuer \"" + issuer + L"\", valid from " + dateText(notBefore) + L" to " +
           dateText(notAfter);
}

bool Servercertificate::coversHost(const std::wstring& host) const
{
    return portable::certificateCoversHost(names, host);
}

bool Servercertificate::validAt(const FILETIME& now) const
{
    return ::CompareFileTime(&now, &notBefore) >= 0 && ::CompareFileTime(&now, &notAfter) <= 0;
}

std::wstring Servercertificate::mismatch(const std::wstring& host, const FILETIME& now) const
{
    std::wstring out;
    if (!coversHost(host)) {
        out = L"name not covered";
    }
    if (::CompareFileTime(&now, &notAfter) > 0) {
        out += (out.empty() ? L"" : L"; ") + std::wstring(L"expired on ") + dateText(notAfter);
    } else if (::CompareFileTime(&now, &notBefore) < 0) {
        out += (out.empty() ? L"" : L"; ") + std::wstring(L"not valid before ") + dateText(notBefore);
    }
    return out;
}
