#include "Httpexchange.h"

#include "asciicase.h"
#include "decimal.h"
#include "updateterms.h"

#include "Proxychallenge.h"
#include "Servercertificate.h"
#include "textutil.h"

#include <cwchar>
#include <memory>
#include <vector>

namespace {

constexpr DWORD BASE_REQUEST_FLAGS = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                     INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP |
                                     INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID |
                                     INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_NO_UI |
                                     INTERNET_FLAG_PRAGMA_NOCACHE;

bool isCertificateProblem(DWORD error)
{
    switch (error) {
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SEC_INVALID_CERT:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
    case ERROR_INTERNET_SEC_CERT_NO_REV:
        return true;
    default:
        return false;
    }
}

bool isSecured(const std::wstring& protocol)
{
    return (Httpexchange::requestFlags(protocol) & INTERNET_FLAG_SECURE) != 0;
}

portable::Result sendFailed(DWORD error)
{
    return portable::Result::failedWith(updateterms::UPDATE_SEND_FAILED, error);
}

Transferwatch::Bounds watchBounds(DWORD stallBoundMs)
{
    Transferwatch::Bounds bounds;
    bounds.windowMs = stallBoundMs;
    bounds.windowBytes = updateterms::STALL_MIN_BYTES;
    bounds.floorRate = updateterms::FLOOR_RATE;
    bounds.floorMs = updateterms::FLOOR_LEAST_MS;
    return bounds;
}

} // namespace

DWORD Httpexchange::requestFlags(const std::wstring& protocol)
{
    DWORD flags = BASE_REQUEST_FLAGS;
    if (portable::equalsIgnoringAsciiCase(protocol, L"https")) {
        flags |= INTERNET_FLAG_SECURE;
    }
    return flags;
}

Httpexchange::Httpexchange(Logger* logger, HINTERNET rootHandle, bool strict, DWORD stallBoundMs)
    : Loguser(logger), root(rootHandle), strictTls(strict),
      receiveTimeoutMs(stallBoundMs < MAXDWORD / 2 ? stallBoundMs * 2 : MAXDWORD),
      transferwatch(logger, watchBounds(stallBoundMs), [this] { expire(); })
{
}

Httpexchange::~Httpexchange() { close(); }

void Httpexchange::close()
{
    transferwatch.finish();
    closeHandles();
}

void Httpexchange::closeHandles()
{
    std::lock_guard<std::mutex> guard(requestLock);
    requestHandle.reset();
    connection.reset();
}

// Closing the request makes a send or read blocked on it return with an error on Windows; Wine's
// WinINet lets the blocked call go on until it returns by itself (a shorter receive time-out set
// now does not reach it either), which is why the blocking calls run through the watch. The owner
// is empty afterwards, so nothing closes the request twice.
void Httpexchange::expire()
{
    std::lock_guard<std::mutex> guard(requestLock);
    requestHandle.reset();
}

HINTERNET Httpexchange::request() const
{
    std::lock_guard<std::mutex> guard(requestLock);
    return requestHandle.get();
}

void Httpexchange::setFloor(uint64_t bytesPerSecond, ULONGLONG leastMs)
{
    transferwatch.setFloor(bytesPerSecond, leastMs);
}

std::wstring Httpexchange::queryInfo(HINTERNET request, DWORD infoLevel)
{
    DWORD size = 0;
    if (::HttpQueryInfoW(request, infoLevel, nullptr, &size, nullptr)) {
        return {};
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) {
        return {};
    }
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (!::HttpQueryInfoW(request, infoLevel, buffer.data(), &bytes, nullptr)) {
        return {};
    }
    const size_t chars = bytes / sizeof(wchar_t) < buffer.size() ? bytes / sizeof(wchar_t) : buffer.size() - 1;
    return std::wstring(buffer.data(), wcsnlen(buffer.data(), chars));
}

BOOL Httpexchange::sendRequest(HINTERNET request, const std::wstring& headers)
{
    if (headers.empty()) {
        return ::HttpSendRequestW(request, nullptr, 0, nullptr, 0);
    }
    return ::HttpSendRequestW(request, headers.c_str(), static_cast<DWORD>(headers.size()), nullptr, 0);
}

// The send runs on the watch's helper thread; it holds a copy of the headers, so that a send left
// blocked by a passed deadline uses nothing of the caller's. The error is the thread's last-error
// value afterwards.
BOOL Httpexchange::watchedSend(const std::wstring& headers)
{
    const HINTERNET opened = request();
    auto text = std::make_shared<const std::wstring>(headers);
    DWORD error = 0;
    const BOOL sent = transferwatch.perform(
        [this, opened, text](DWORD* failure) {
            const BOOL ok = sendRequest(opened, *text);
            *failure = ok ? 0 : ::GetLastError();
            return ok;
        },
        &error);
    ::SetLastError(error);
    return sent;
}

DWORD Httpexchange::promptCertificateProblem(HINTERNET request, DWORD error)
{
    return ::InternetErrorDlg(::GetDesktopWindow(), request, error,
                              FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                                  FLAGS_ERROR_UI_FLAGS_GENERATE_DATA,
                              nullptr);
}

DWORD Httpexchange::promptProxyCredentials(HINTERNET request)
{
    return ::InternetErrorDlg(::GetDesktopWindow(), request, ERROR_INTERNET_INCORRECT_PASSWORD,
                              FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                                  FLAGS_ERROR_UI_FLAGS_GENERATE_DATA,
                              nullptr);
}

// Every redirect is followed here rather than inside WinINet, so that none leads from a secured
// connection to a plain one.
portable::Result Httpexchange::run(const Location& start, const Request& request)
{
    Location at = start;
    transferwatch.start();
    for (int hop = 0;; ++hop) {
        portable::Result r = openRequest(at, request);
        if (r) {
            r = sendConditionally(at, request.headers);
        }
        if (r) {
            r = answerProxyChallenge(at, request.headers);
        }
        bool redirected = false;
        if (r && hop < updateterms::MAX_REDIRECTS) {
            r = followRedirect(&at, &redirected);
        }
        if (!r || !redirected || transferwatch.expired() != Transferwatch::Reason::NONE) {
            return transferwatch.judge(r);
        }
        closeHandles();
    }
}

portable::Result Httpexchange::openRequest(const Location& at, const Request& request)
{
    std::lock_guard<std::mutex> guard(requestLock);
    connection.reset(::InternetConnectW(root, at.host.c_str(), at.port, request.username.c_str(),
                                        request.password.c_str(), INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection.valid()) {
        return portable::Result::failedWith(updateterms::UPDATE_CONNECT_FAILED, ::GetLastError());
    }
    const std::wstring acceptType = request.mediaType + L"/*";
    const wchar_t* acceptTypes[] = {acceptType.c_str(), nullptr};
    DWORD flags = requestFlags(at.protocol) | INTERNET_FLAG_NO_AUTO_REDIRECT;
    if (strictTls) {
        // WinINet checks name and date itself and fails the send before anything is sent.
        flags &= ~static_cast<DWORD>(INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID);
    }
    requestHandle.reset(
        ::HttpOpenRequestW(connection.get(), L"GET", at.object.c_str(), L"HTTP/1.1", nullptr, acceptTypes, flags, 0));
    if (!requestHandle.valid()) {
        return portable::Result::failedWith(updateterms::UPDATE_REQUEST_FAILED, ::GetLastError());
    }
    boundReceiveTimeout(requestHandle.get());
    return portable::Result::done();
}

// A single read is bounded as well, behind the watch; a shorter time-out of the platform stays.
// Set before the send: the connection takes it when it is opened.
void Httpexchange::boundReceiveTimeout(HINTERNET opened)
{
    DWORD timeout = 0;
    DWORD size = sizeof(timeout);
    if (::InternetQueryOptionW(opened, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, &size) && timeout != 0 &&
        timeout <= receiveTimeoutMs) {
        return;
    }
    timeout = receiveTimeoutMs;
    ::InternetSetOptionW(opened, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));
}

// The send, and over https a look at the certificate that was accepted.
portable::Result Httpexchange::sendConditionally(const Location& at, const std::wstring& headers)
{
    applyAcceptedCertificate(at);
    portable::Result r = sendWithCertificateHandling(headers, at);
    if (r && isSecured(at.protocol)) {
        r = checkPresentedCertificate(at.host);
    }
    if (!r) {
        log(LOG_ERROR, updateterms::FN_UPDATE, L"Unable to send the request to the server");
    }
    return r;
}

// What the user accepted in this call's dialog for this very server.
void Httpexchange::applyAcceptedCertificate(const Location& at)
{
    if (certificatePromises.acceptedFlags == 0 || certificatePromises.acceptedPort != at.port ||
        !portable::equalsIgnoringAsciiCase(certificatePromises.acceptedHost, at.host)) {
        return;
    }
    DWORD flags = 0;
    DWORD size = sizeof(flags);
    if (::InternetQueryOptionW(request(), INTERNET_OPTION_SECURITY_FLAGS, &flags, &size)) {
        flags |= certificatePromises.acceptedFlags;
        ::InternetSetOptionW(request(), INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
    }
}

// A redirect status with a Location gives the next place to ask; a secured request never goes on
// to a plain http location.
portable::Result Httpexchange::followRedirect(Location* at, bool* redirected)
{
    const long status = statusCode(queryInfo(request(), HTTP_QUERY_STATUS_CODE));
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308) {
        return portable::Result::done();
    }
    const std::wstring location = queryInfo(request(), HTTP_QUERY_LOCATION);
    if (location.empty()) {
        return portable::Result::done();
    }
    const std::wstring base = at->protocol + L"://" + at->host + L":" + std::to_wstring(at->port) + at->object;
    std::vector<wchar_t> combined(4096, L'\0');
    DWORD length = static_cast<DWORD>(combined.size());
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = 1;
    if (!::InternetCombineUrlW(base.c_str(), location.c_str(), combined.data(), &length, ICU_NO_ENCODE) ||
        !::InternetCrackUrlW(combined.data(), 0, 0, &parts)) {
        return portable::Result::done();
    }
    if (isSecured(at->protocol) && parts.nScheme != INTERNET_SCHEME_HTTPS) {
        log(LOG_ERROR, updateterms::FN_UPDATE,
            L"Redirect from https to a plain location refused: " + std::wstring(combined.data()));
        log(LOG_ERROR, updateterms::FN_UPDATE, L"Unable to send the request to the server");
        return sendFailed(static_cast<DWORD>(ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR));
    }
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
        return portable::Result::done();
    }
    at->protocol.assign(parts.lpszScheme, parts.dwSchemeLength);
    at->host.assign(parts.lpszHostName, parts.dwHostNameLength);
    at->port = parts.nPort;
    at->object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    at->object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    log(LOG_DEBUG, updateterms::FN_UPDATE, L"Following redirect to: " + std::wstring(combined.data()));
    *redirected = true;
    return portable::Result::done();
}

// The dialog and the revocation switch-off are promised at most once per call: a redirect to
// another server does not start the procedure afresh. With strict TLS neither is offered, and
// every certificate problem is a failure.
portable::Result Httpexchange::sendWithCertificateHandling(const std::wstring& headers, const Location& at)
{
    if (watchedSend(headers)) {
        return portable::Result::done();
    }
    DWORD error = ::GetLastError();
    log(LOG_WARNING, updateterms::FN_UPDATE, L"Unable to send request!");
    if (isCertificateProblem(error)) {
        logCertificate();
        if (strictTls && error != ERROR_INTERNET_SEC_CERT_REVOKED) {
            log(LOG_WARNING, updateterms::FN_UPDATE, L"Strict TLS: the certificate problem is not accepted");
            return sendFailed(error);
        }
    }
    if (unattended && error == ERROR_INTERNET_INVALID_CA) {
        log(LOG_WARNING, updateterms::FN_UPDATE, L"Unattended: the certificate problem is not accepted");
        return sendFailed(error);
    }
    bool declined = false;
    if (error == ERROR_INTERNET_INVALID_CA && !certificatePromises.dialogShown &&
        askInDialog(headers, at, &error, &declined)) {
        return portable::Result::done();
    }
    if (!declined) {
        if (error == ERROR_INTERNET_SEC_CERT_REVOKED) {
            log(LOG_WARNING, updateterms::FN_UPDATE, L"Certificate is revoked");
            return sendFailed(error);
        }
        if (error == ERROR_INTERNET_SEC_CERT_REV_FAILED && !certificatePromises.revocationSwitchedOff) {
            certificatePromises.revocationSwitchedOff = true;
            return resendWithoutRevocationCheck(headers, error);
        }
    }
    log(LOG_WARNING, updateterms::FN_UPDATE, L"Unhandled reason");
    return sendFailed(error);
}

bool Httpexchange::askInDialog(const std::wstring& headers, const Location& at, DWORD* error, bool* declined)
{
    log(LOG_WARNING, updateterms::FN_UPDATE, L"Something is wrong about the server certificate (retry)");
    certificatePromises.dialogShown = true;
    const DWORD answer = promptCertificateProblem(request(), *error);
    if (answer != ERROR_SUCCESS && answer != ERROR_INTERNET_FORCE_RETRY) {
        *declined = true;
        return false;
    }
    if (watchedSend(headers)) {
        DWORD flags = 0;
        DWORD size = sizeof(flags);
        if (::InternetQueryOptionW(request(), INTERNET_OPTION_SECURITY_FLAGS, &flags, &size)) {
            certificatePromises.acceptedFlags =
                flags & (SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_WRONG_USAGE);
            certificatePromises.acceptedHost = at.host;
            certificatePromises.acceptedPort = at.port;
        }
        return true;
    }
    *error = ::GetLastError();
    if (isCertificateProblem(*error)) {
        logCertificate();
    }
    return false;
}

portable::Result Httpexchange::resendWithoutRevocationCheck(const std::wstring& headers, DWORD error)
{
    log(LOG_WARNING, updateterms::FN_UPDATE, L"Something is wrong about the server certificate revocation (retry)");
    DWORD securityFlags = 0;
    DWORD size = sizeof(securityFlags);
    if (!::InternetQueryOptionW(request(), INTERNET_OPTION_SECURITY_FLAGS, &securityFlags, &size)) {
        log(LOG_WARNING, updateterms::FN_UPDATE, L"Unable to get server certificate security flags");
        return sendFailed(error);
    }
    securityFlags |= SECURITY_FLAG_IGNORE_REVOCATION;
    if (!::InternetSetOptionW(request(), INTERNET_OPTION_SECURITY_FLAGS, &securityFlags, sizeof(securityFlags))) {
        log(LOG_WARNING, updateterms::FN_UPDATE, L"Unable to set server certificate revocation security option");
        return sendFailed(error);
    }
    if (watchedSend(headers)) {
        return portable::Result::done();
    }
    const DWORD resendError = ::GetLastError();
    if (isCertificateProblem(resendError)) {
        logCertificate();
    }
    return sendFailed(resendError);
}

void Httpexchange::logCertificate()
{
    Servercertificate certificate;
    DWORD error = 0;
    if (!certificate.read(request(), &error)) {
        log(LOG_WARNING, updateterms::FN_UPDATE,
            textutil::format(L"Server certificate not available (error %i)", static_cast<int>(error)));
        return;
    }
    log(LOG_WARNING, updateterms::FN_UPDATE, L"Server certificate: " + certificate.describe());
}

// The request flags let a certificate for another name, or one past its date, through without a
// word; this sees them. With strict TLS WinINet has checked both already, so a problem seen here
// is refused too (a name problem only when the names come from the certificate itself).
portable::Result Httpexchange::checkPresentedCertificate(const std::wstring& host)
{
    Servercertificate certificate;
    DWORD readError = 0;
    if (!certificate.read(request(), &readError)) {
        log(LOG_WARNING, updateterms::FN_UPDATE,
            textutil::format(L"Server certificate not available (error %i)", static_cast<int>(readError)));
        return portable::Result::done();
    }
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    const std::wstring mismatch = certificate.mismatch(host, now);
    if (mismatch.empty()) {
        return portable::Result::done();
    }
    log(LOG_WARNING, updateterms::FN_UPDATE,
        L"Server certificate does not fit " + host + L" (" + mismatch + L"): " + certificate.describe());
    if (!strictTls) {
        return portable::Result::done();
    }
    const bool dateProblem = !certificate.validAt(now);
    if (!dateProblem && !certificate.namesFromCertificate()) {
        return portable::Result::done();
    }
    log(LOG_WARNING, updateterms::FN_UPDATE, L"Strict TLS: the certificate problem is not accepted");
    return sendFailed(dateProblem ? ERROR_INTERNET_SEC_CERT_DATE_INVALID : ERROR_INTERNET_SEC_CERT_CN_INVALID);
}

// The challenge's body is dropped before anything else, so that a resend can use the connection.
// Whoever answers, the credentials go to WinINet through its dialog and are never seen here.
portable::Result Httpexchange::answerProxyChallenge(const Location& at, const std::wstring& headers)
{
    if (statusCode(queryInfo(request(), HTTP_QUERY_STATUS_CODE)) != 407) {
        return portable::Result::done();
    }
    const std::wstring proxy = Proxychallenge::proxyFor(root, at.protocol, at.host);
    if (proxy.empty()) {
        return portable::Result::done();
    }
    Proxychallenge::dropBody(request());
    const std::wstring schemes = Proxychallenge::schemes(request());
    log(LOG_WARNING, updateterms::FN_UPDATE, L"Proxy " + proxy + L" asks for credentials (" + schemes + L")");
    if (unattended) {
        return proxyAuthFailed(proxy, schemes, L"unattended run, no dialog", ERROR_INTERNET_INCORRECT_PASSWORD);
    }
    if (proxyDialogShown) {
        return proxyAuthFailed(proxy, schemes, L"the dialog was shown already", ERROR_INTERNET_INCORRECT_PASSWORD);
    }
    proxyDialogShown = true;
    if (promptProxyCredentials(request()) != ERROR_INTERNET_FORCE_RETRY) {
        return proxyAuthFailed(proxy, schemes, L"dialog cancelled", ERROR_CANCELLED);
    }
    portable::Result r = sendConditionally(at, headers);
    if (!r) {
        return r;
    }
    if (statusCode(queryInfo(request(), HTTP_QUERY_STATUS_CODE)) != 407) {
        return portable::Result::done();
    }
    Proxychallenge::dropBody(request());
    return proxyAuthFailed(proxy, Proxychallenge::schemes(request()), L"credentials refused",
                           ERROR_INTERNET_INCORRECT_PASSWORD);
}

portable::Result Httpexchange::proxyAuthFailed(const std::wstring& proxy, const std::wstring& schemes,
                                               const wchar_t* why, DWORD error)
{
    log(LOG_ERROR, updateterms::FN_UPDATE,
        L"Proxy authentication failed: proxy " + proxy + L" asks for " + schemes + L" credentials (" + why + L")");
    return portable::Result::failedWith(updateterms::UPDATE_PROXY_AUTH_FAILED, error);
}

long Httpexchange::statusCode(const std::wstring& statusText)
{
    portable::DecimalValue parsed;
    if (!portable::parseDecimal(statusText, &parsed) || parsed.negative || parsed.overflow || parsed.value > 999) {
        return 0;
    }
    return static_cast<long>(parsed.value);
}
