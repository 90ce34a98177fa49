#include "cWebupdater.h"

#include "asciicase.h"
#include "decimal.h"
#include "httpdate.h"
#include "programimage.h"

#include "Fileobject.h"
#include "Servercertificate.h"
#include "cSignaturecheck.h"
#include "filetime.h"
#include "textutil.h"

#include <aclapi.h>

#include <cstring>
#include <cwchar>
#include <vector>

const wchar_t* const cWebupdater::MEDIA_TYPE_APPLICATION = L"application";
const wchar_t* const cWebupdater::MEDIA_TYPE_AUDIO = L"audio";
const wchar_t* const cWebupdater::MEDIA_TYPE_IMAGE = L"image";
const wchar_t* const cWebupdater::MEDIA_TYPE_MODEL = L"model";
const wchar_t* const cWebupdater::MEDIA_TYPE_MULTIPART = L"multipart";
const wchar_t* const cWebupdater::MEDIA_TYPE_TEXT = L"text";
const wchar_t* const cWebupdater::MEDIA_TYPE_VIDEO = L"video";
const wchar_t* const cWebupdater::BACKUP_SUFFIX = L".backupFromWebupdate";

namespace {

const wchar_t* const FN_CONNECTED = L"cWebupdater::isInternetConnected";
const wchar_t* const FN_UPDATE = L"cWebupdater::updateFile";
const wchar_t* const FN_DOWNLOAD = L"cWebupdater::downloadFile";
const wchar_t* const FN_SWITCH = L"cWebupdater::switchFiles";

constexpr DWORD BASE_REQUEST_FLAGS = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                     INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP |
                                     INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID |
                                     INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_NO_UI |
                                     INTERNET_FLAG_PRAGMA_NOCACHE;

// Field by field in the order year, month, day, hour, minute, second, milliseconds: a greater
// field is set to the present's and the next one is compared; an equal one passes on; a smaller
// one ends the clamping.
void clampToPresent(SYSTEMTIME* t, const SYSTEMTIME& now)
{
    WORD* fields[] = {&t->wYear, &t->wMonth, &t->wDay, &t->wHour, &t->wMinute, &t->wSecond, &t->wMilliseconds};
    const WORD present[] = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
    for (size_t i = 0; i < sizeof(present) / sizeof(present[0]); ++i) {
        if (*fields[i] > present[i]) {
            *fields[i] = present[i];
        } else if (*fields[i] < present[i]) {
            return;
        }
    }
}

} // namespace

cWebupdater::cWebupdater(Logger* logger, std::wstring agentName) : Loguser(logger), agent(std::move(agentName))
{
    internetHandle.reset(::InternetOpenW(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
}

cWebupdater::~cWebupdater() = default;

bool cWebupdater::isInternetConnected()
{
    // "nonnect" as the line has always read: log readers match it.
    log(LOG_DEBUG, FN_CONNECTED, L"Checking if we can nonnect to the internet");
    if (!internetHandle.valid()) {
        log(LOG_FATAL, FN_CONNECTED, L"Internet connection is not open!");
        return false;
    }
    log(LOG_DEBUG, FN_CONNECTED, L"Internet connection is open");
    return true;
}

DWORD cWebupdater::requestFlags(const std::wstring& protocol)
{
    DWORD flags = BASE_REQUEST_FLAGS;
    if (portable::equalsIgnoringAsciiCase(protocol, L"https")) {
        flags |= INTERNET_FLAG_SECURE;
    }
    return flags;
}

uint16_t cWebupdater::parsePort(const std::wstring& port) { return portable::parsePort(port); }

std::wstring cWebupdater::formatHttpDate(int64_t seconds) { return portable::formatHttpDate(seconds); }

std::wstring cWebupdater::queryInfo(HINTERNET request, DWORD infoLevel)
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

BOOL cWebupdater::sendRequest(HINTERNET request, const std::wstring& headers)
{
    if (headers.empty()) {
        return ::HttpSendRequestW(request, nullptr, 0, nullptr, 0);
    }
    return ::HttpSendRequestW(request, headers.c_str(), static_cast<DWORD>(headers.size()), nullptr, 0);
}

DWORD cWebupdater::promptCertificateProblem(HINTERNET request, DWORD error)
{
    return ::InternetErrorDlg(::GetDesktopWindow(), request, error,
                              FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                                  FLAGS_ERROR_UI_FLAGS_GENERATE_DATA,
                              nullptr);
}

namespace {

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

} // namespace

void cWebupdater::logCertificate(HINTERNET request)
{
    Servercertificate certificate;
    DWORD error = 0;
    if (!certificate.read(request, &error)) {
        log(LOG_WARNING, FN_UPDATE,
            textutil::format(L"Server certificate not available (error %i)", static_cast<int>(error)));
        return;
    }
    log(LOG_WARNING, FN_UPDATE, L"Server certificate: " + certificate.describe());
}

// The request flags let a certificate for another name, or one past its date, through without a
// word; this sees them. With strict TLS WinINet has checked both already, so a problem seen here
// is refused too (a name problem only when the names come from the certificate itself).
bool cWebupdater::checkPresentedCertificate(HINTERNET request, const std::wstring& host, DWORD* error)
{
    Servercertificate certificate;
    DWORD readError = 0;
    if (!certificate.read(request, &readError)) {
        log(LOG_WARNING, FN_UPDATE,
            textutil::format(L"Server certificate not available (error %i)", static_cast<int>(readError)));
        return true;
    }
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    const std::wstring mismatch = certificate.mismatch(host, now);
    if (mismatch.empty()) {
        return true;
    }
    log(LOG_WARNING, FN_UPDATE,
        L"Server certificate does not fit " + host + L" (" + mismatch + L"): " + certificate.describe());
    if (!strictTls) {
        return true;
    }
    const bool dateProblem = !certificate.validAt(now);
    if (!dateProblem && !certificate.namesFromCertificate()) {
        return true;
    }
    log(LOG_WARNING, FN_UPDATE, L"Strict TLS: the certificate problem is not accepted");
    *error = dateProblem ? ERROR_INTERNET_SEC_CERT_DATE_INVALID : ERROR_INTERNET_SEC_CERT_CN_INVALID;
    return false;
}

// The dialog and the revocation switch-off are promised at most once per updateFile call: a
// redirect to another server does not start the procedure afresh. With strict TLS neither is
// offered, and every certificate problem is a failure.
bool cWebupdater::sendWithCertificateHandling(HINTERNET request, const std::wstring& headers, const Location& at,
                                              CertificatePromises* promises, DWORD* lastError)
{
    if (sendRequest(request, headers)) {
        return true;
    }
    DWORD error = ::GetLastError();
    log(LOG_WARNING, FN_UPDATE, L"Unable to send request!");
    if (isCertificateProblem(error)) {
        logCertificate(request);
        if (strictTls && error != ERROR_INTERNET_SEC_CERT_REVOKED) {
            log(LOG_WARNING, FN_UPDATE, L"Strict TLS: the certificate problem is not accepted");
            *lastError = error;
            return false;
        }
    }

    bool declined = false;
    if (error == ERROR_INTERNET_INVALID_CA && !promises->dialogShown) {
        log(LOG_WARNING, FN_UPDATE, L"Something is wrong about the server certificate (retry)");
        promises->dialogShown = true;
        const DWORD answer = promptCertificateProblem(request, error);
        if (answer == ERROR_SUCCESS || answer == ERROR_INTERNET_FORCE_RETRY) {
            if (sendRequest(request, headers)) {
                DWORD flags = 0;
                DWORD size = sizeof(flags);
                if (::InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size)) {
                    promises->acceptedFlags =
                        flags & (SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_WRONG_USAGE);
                    promises->acceptedHost = at.host;
                    promises->acceptedPort = at.port;
                }
                return true;
            }
            error = ::GetLastError();
            if (isCertificateProblem(error)) {
                logCertificate(request);
            }
        } else {
            declined = true;
        }
    }
    if (!declined) {
        if (error == ERROR_INTERNET_SEC_CERT_REVOKED) {
            log(LOG_WARNING, FN_UPDATE, L"Certificate is revoked");
            *lastError = error;
            return false;
        }
        if (error == ERROR_INTERNET_SEC_CERT_REV_FAILED && !promises->revocationSwitchedOff) {
            promises->revocationSwitchedOff = true;
            return resendWithoutRevocationCheck(request, headers, error, lastError);
        }
    }
    log(LOG_WARNING, FN_UPDATE, L"Unhandled reason");
    *lastError = error;
    return false;
}

bool cWebupdater::resendWithoutRevocationCheck(HINTERNET request, const std::wstring& headers, DWORD error,
                                               DWORD* lastError)
{
    log(LOG_WARNING, FN_UPDATE, L"Something is wrong about the server certificate revocation (retry)");
    DWORD securityFlags = 0;
    DWORD size = sizeof(securityFlags);
    if (!::InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &securityFlags, &size)) {
        log(LOG_WARNING, FN_UPDATE, L"Unable to get server certificate security flags");
        *lastError = error;
        return false;
    }
    securityFlags |= SECURITY_FLAG_IGNORE_REVOCATION;
    if (!::InternetSetOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &securityFlags, sizeof(securityFlags))) {
        log(LOG_WARNING, FN_UPDATE, L"Unable to set server certificate revocation security option");
        *lastError = error;
        return false;
    }
    if (sendRequest(request, headers)) {
        return true;
    }
    *lastError = ::GetLastError();
    if (isCertificateProblem(*lastError)) {
        logCertificate(request);
    }
    return false;
}

cWebupdater::UpdateResult cWebupdater::updateFile(std::wstring username, std::wstring password, std::wstring protocol,
                                                  std::wstring host, std::wstring port, std::wstring object,
                                                  std::wstring mediaType, std::wstring targetFile,
                                                  int32_t cookieRequired, int32_t onlyIfNewer, std::wstring cookieName)
{
    Job job;
    job.username = std::move(username);
    job.password = std::move(password);
    job.protocol = std::move(protocol);
    job.host = std::move(host);
    job.port = std::move(port);
    job.object = std::move(object);
    job.mediaType = std::move(mediaType);
    job.targetFile = std::move(targetFile);
    job.cookieRequired = cookieRequired;
    job.onlyIfNewer = onlyIfNewer;
    job.cookieName = std::move(cookieName);
    const UpdateResult result = runUpdate(job);
    // Every handle of the call is closed by now; the caller may still read the code the old way.
    ::SetLastError(result.systemError);
    return result;
}

cWebupdater::UpdateResult cWebupdater::runUpdate(const Job& job)
{
    Fileobject target(job.targetFile);
    uint16_t portNumber = 0;
    UpdateResult r = checkConnectionAndPort(job, &portNumber);
    if (r.code == UPDATE_DONE) {
        r = checkCookie(job);
    }
    if (r.code != UPDATE_DONE) {
        return r;
    }
    const int64_t targetTime = target.getModificationTime();
    ServerCopy copy;
    Downloadfile download;
    {
        Exchange exchange;
        r = exchangeWithServer(job, portNumber, targetTime, &exchange);
        if (r.code == UPDATE_DONE) {
            r = judgeResponse(job, targetTime, exchange.request.get(), &copy);
        }
        if (r.code == UPDATE_DONE) {
            r = downloadToTemporary(target.getFilename(), &exchange, &download);
        }
        if (r.code != UPDATE_DONE) {
            return r;
        }
    }
    // Body checked: from here on the bytes in the private file are a new, complete program.
    r = checkBody(&download, target.getFullPath());
    if (r.code != UPDATE_DONE) {
        return r;
    }
    return switchIntoPlace(&target, &download, copy);
}

cWebupdater::UpdateResult cWebupdater::checkConnectionAndPort(const Job& job, uint16_t* portNumber)
{
    if (!isInternetConnected()) {
        return {UPDATE_NO_INTERNET, ::GetLastError()};
    }
    *portNumber = parsePort(job.port);
    if (*portNumber == 0) {
        return {UPDATE_BAD_PORT, ::GetLastError()};
    }
    return {};
}

// The cookie store is asked for the URL as the caller wrote it; only the success counts.
cWebupdater::UpdateResult cWebupdater::checkCookie(const Job& job)
{
    const std::wstring url = job.protocol + L"://" + job.host + L":" + job.port + job.object;
    std::vector<wchar_t> value(1, L'\0');
    DWORD size = 1;
    bool found = ::InternetGetCookieExW(url.c_str(), job.cookieName.c_str(), value.data(), &size, 0, nullptr) != FALSE;
    if (!found && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER && size > 0) {
        value.assign(static_cast<size_t>(size) + 1, L'\0');
        found = ::InternetGetCookieExW(url.c_str(), job.cookieName.c_str(), value.data(), &size, 0, nullptr) != FALSE;
    }
    const DWORD error = ::GetLastError();
    if (job.cookieRequired == 1) {
        if (!found) {
            log(LOG_WARNING, FN_UPDATE, L"No valid cookie found but it was requested to have one!");
            return {UPDATE_NO_COOKIE, error};
        }
        log(LOG_DEBUG, FN_UPDATE, L"Valid cookie found");
    }
    return {};
}

// Request and send, then every redirect followed here rather than inside WinINet, so that none
// leads from a secured connection to a plain one.
cWebupdater::UpdateResult cWebupdater::exchangeWithServer(const Job& job, uint16_t portNumber, int64_t targetTime,
                                                          Exchange* exchange)
{
    Location at;
    at.protocol = job.protocol;
    at.host = job.host;
    at.port = portNumber;
    at.object = job.object;
    CertificatePromises promises;
    for (int hop = 0;; ++hop) {
        UpdateResult r = openRequest(job, at, exchange);
        if (r.code == UPDATE_DONE) {
            r = sendConditionally(job, targetTime, at, exchange->request.get(), &promises);
        }
        bool redirected = false;
        if (r.code == UPDATE_DONE && hop < MAX_REDIRECTS) {
            r = followRedirect(exchange->request.get(), &at, &redirected);
        }
        if (r.code != UPDATE_DONE || !redirected) {
            return r;
        }
        exchange->request.reset();
        exchange->connection.reset();
    }
}

cWebupdater::UpdateResult cWebupdater::openRequest(const Job& job, const Location& at, Exchange* exchange)
{
    exchange->connection.reset(::InternetConnectW(internetHandle.get(), at.host.c_str(), at.port, job.username.c_str(),
                                                  job.password.c_str(), INTERNET_SERVICE_HTTP, 0, 0));
    if (!exchange->connection.valid()) {
        return {UPDATE_CONNECT_FAILED, ::GetLastError()};
    }
    const std::wstring acceptType = job.mediaType + L"/*";
    const wchar_t* acceptTypes[] = {acceptType.c_str(), nullptr};
    DWORD flags = requestFlags(at.protocol) | INTERNET_FLAG_NO_AUTO_REDIRECT;
    if (strictTls) {
        // WinINet checks name and date itself and fails the send before anything is sent.
        flags &= ~static_cast<DWORD>(INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID);
    }
    exchange->request.reset(::HttpOpenRequestW(exchange->connection.get(), L"GET", at.object.c_str(), L"HTTP/1.1",
                                               nullptr, acceptTypes, flags, 0));
    if (!exchange->request.valid()) {
        return {UPDATE_REQUEST_FAILED, ::GetLastError()};
    }
    boundReceiveTimeout(exchange->request.get());
    return {};
}

// The conditional header only for a wanted newer copy of an existing target; then the send, and
// over https a look at the certificate that was accepted.
cWebupdater::UpdateResult cWebupdater::sendConditionally(const Job& job, int64_t targetTime, const Location& at,
                                                         HINTERNET request, CertificatePromises* promises)
{
    std::wstring headers;
    if (job.onlyIfNewer == 1 && targetTime != 0) {
        headers = L"If-Modified-Since: " + formatHttpDate(targetTime);
    }
    if (promises->acceptedFlags != 0 && promises->acceptedPort == at.port &&
        portable::equalsIgnoringAsciiCase(promises->acceptedHost, at.host)) {
        DWORD flags = 0;
        DWORD size = sizeof(flags);
        if (::InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size)) {
            flags |= promises->acceptedFlags;
            ::InternetSetOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
        }
    }
    DWORD sendError = 0;
    bool sent = sendWithCertificateHandling(request, headers, at, promises, &sendError);
    if (sent && (requestFlags(at.protocol) & INTERNET_FLAG_SECURE) != 0) {
        sent = checkPresentedCertificate(request, at.host, &sendError);
    }
    if (!sent) {
        log(LOG_ERROR, FN_UPDATE, L"Unable to send the request to the server");
        return {UPDATE_SEND_FAILED, sendError};
    }
    return {};
}

// A redirect status with a Location gives the next place to ask; a secured request never goes on
// to a plain http location.
cWebupdater::UpdateResult cWebupdater::followRedirect(HINTERNET request, Location* at, bool* redirected)
{
    const long status = std::wcstol(queryInfo(request, HTTP_QUERY_STATUS_CODE).c_str(), nullptr, 10);
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308) {
        return {};
    }
    const std::wstring location = queryInfo(request, HTTP_QUERY_LOCATION);
    if (location.empty()) {
        return {};
    }
    const std::wstring base = at->protocol + L"://" + at->host + L":" + std::to_wstring(at->port) + at->object;
    std::vector<wchar_t> combined(4096, L'\0');
    DWORD length = static_cast<DWORD>(combined.size());
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = 1;
    if (!::InternetCombineUrlW(base.c_str(), location.c_str(), combined.data(), &length, ICU_NO_ENCODE) ||
        !::InternetCrackUrlW(combined.data(), 0, 0, &parts)) {
        return {};
    }
    const std::wstring scheme(parts.lpszScheme, parts.dwSchemeLength);
    const bool secured = (requestFlags(at->protocol) & INTERNET_FLAG_SECURE) != 0;
    if (secured && parts.nScheme != INTERNET_SCHEME_HTTPS) {
        log(LOG_ERROR, FN_UPDATE, L"Redirect from https to a plain location refused: " + std::wstring(combined.data()));
        log(LOG_ERROR, FN_UPDATE, L"Unable to send the request to the server");
        return {UPDATE_SEND_FAILED, static_cast<DWORD>(ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR)};
    }
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
        return {};
    }
    at->protocol = scheme;
    at->host.assign(parts.lpszHostName, parts.dwHostNameLength);
    at->port = parts.nPort;
    at->object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    at->object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    log(LOG_DEBUG, FN_UPDATE, L"Following redirect to: " + std::wstring(combined.data()));
    *redirected = true;
    return {};
}

// A silent server must not hold a single read longer than the stall bound; a shorter time-out of
// the platform stays. Set before the send: the connection takes it when it is opened.
void cWebupdater::boundReceiveTimeout(HINTERNET request)
{
    DWORD timeout = 0;
    DWORD size = sizeof(timeout);
    if (::InternetQueryOptionW(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, &size) && timeout != 0 &&
        timeout <= stallBoundMs) {
        return;
    }
    timeout = stallBoundMs;
    ::InternetSetOptionW(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));
}

// Status, newer test, media type: whether the response carries a file to take.
cWebupdater::UpdateResult cWebupdater::judgeResponse(const Job& job, int64_t targetTime, HINTERNET request,
                                                     ServerCopy* copy)
{
    if (queryInfo(request, HTTP_QUERY_RAW_HEADERS_CRLF).empty()) {
        return {UPDATE_NO_RESPONSE, ::GetLastError()};
    }
    const std::wstring statusText = queryInfo(request, HTTP_QUERY_STATUS_CODE);
    log(LOG_DEBUG, FN_UPDATE, L"Status code response: " + statusText);
    copy->status = statusText.empty() ? 0 : std::wcstol(statusText.c_str(), nullptr, 10);
    if (copy->status == 404) {
        return {UPDATE_NOT_FOUND, ::GetLastError()};
    }
    copy->newer = copy->status != 304;
    if (copy->newer) {
        readServerTime(request, targetTime, copy);
    }
    if (job.onlyIfNewer == 1 && !copy->newer) {
        return {UPDATE_NOT_NEWER, ::GetLastError()};
    }
    if (queryInfo(request, HTTP_QUERY_CONTENT_TYPE).find(job.mediaType) == std::wstring::npos) {
        return {UPDATE_WRONG_TYPE, ::GetLastError()};
    }
    if (copy->status != 200) {
        return {UPDATE_BAD_STATUS, ::GetLastError()};
    }
    return {};
}

// The server's Last-Modified as local time, clamped to the present; not newer when it is not at
// least a second after the target's time.
void cWebupdater::readServerTime(HINTERNET request, int64_t targetTime, ServerCopy* copy)
{
    if (queryInfo(request, HTTP_QUERY_LAST_MODIFIED).empty()) {
        return;
    }
    SYSTEMTIME utc = {};
    DWORD size = sizeof(utc);
    TIME_ZONE_INFORMATION zone;
    if (!::HttpQueryInfoW(request, HTTP_QUERY_LAST_MODIFIED | HTTP_QUERY_FLAG_SYSTEMTIME, &utc, &size, nullptr) ||
        ::GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID ||
        !::SystemTimeToTzSpecificLocalTime(&zone, &utc, &copy->time)) {
        return;
    }
    copy->timeKnown = true;
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    clampToPresent(&copy->time, now);
    int64_t serverSeconds = 0;
    if (filetime::localToUnixSeconds(copy->time, &serverSeconds) && serverSeconds - targetTime < 1) {
        copy->newer = false;
    }
}

std::wstring cWebupdater::temporaryFolder()
{
    wchar_t folder[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH, folder);
    return normalizePath(std::wstring(folder, length <= MAX_PATH ? length : 0));
}

// The body into a private temporary file; the request and the connection are closed afterwards.
cWebupdater::UpdateResult cWebupdater::downloadToTemporary(const std::wstring& stem, Exchange* exchange,
                                                           Downloadfile* download)
{
    const bool downloaded = downloadFile(exchange->request.get(), temporaryFolder(), stem, download);
    const DWORD error = ::GetLastError();
    exchange->request.reset();
    exchange->connection.reset();
    if (!downloaded) {
        return {UPDATE_DOWNLOAD_FAILED, error};
    }
    return {};
}

// Size, the publisher (with a pin: the trust decision comes first), program image, not the target
// itself: any failure deletes the download.
cWebupdater::UpdateResult cWebupdater::checkBody(Downloadfile* download, const std::wstring& targetFile)
{
    UpdateResult r = checkBodySize(download);
    if (r.code == UPDATE_DONE && pinned) {
        r = checkSignature(download);
    }
    if (r.code == UPDATE_DONE) {
        r = checkProgramImage(download);
    }
    if (r.code == UPDATE_DONE) {
        r = checkNotCurrent(download, targetFile);
    }
    if (r.code != UPDATE_DONE) {
        download->discard();
    }
    return r;
}

// Bodies of this size are no build of the program (error pages, placeholders).
cWebupdater::UpdateResult cWebupdater::checkBodySize(Downloadfile* download)
{
    const uint64_t size = download->size();
    if (size < SIZE_REJECT_MIN || size > SIZE_REJECT_MAX) {
        return {};
    }
    log(LOG_ERROR, FN_UPDATE,
        textutil::format(L"Downloaded file rejected, its size of %llu bytes lies between %llu and %llu bytes",
                         static_cast<unsigned long long>(size), static_cast<unsigned long long>(SIZE_REJECT_MIN),
                         static_cast<unsigned long long>(SIZE_REJECT_MAX)));
    return {UPDATE_SIZE_REJECTED, 0};
}

// The headers, read back from the private file, must describe a complete executable image.
cWebupdater::UpdateResult cWebupdater::checkProgramImage(Downloadfile* download)
{
    const uint64_t size = download->size();
    std::vector<uint8_t> head(
        static_cast<size_t>(size < portable::IMAGE_HEAD_BYTES ? size : portable::IMAGE_HEAD_BYTES));
    const size_t filled = download->readFully(0, head.data(), head.size());
    const portable::ImageCheck check = portable::checkProgramImage(head.data(), filled, size);
    if (check.ok()) {
        return {};
    }
    std::wstring what = portable::describeImageFault(check.fault);
    if (check.fault == portable::ImageFault::SectionOutside ||
        check.fault == portable::ImageFault::SectionInCertTable) {
        what += textutil::format(L" (section %u)", static_cast<unsigned>(check.section));
    }
    log(LOG_ERROR, FN_UPDATE,
        textutil::format(L"Downloaded file of %llu bytes is not a program: %ls", static_cast<unsigned long long>(size),
                         what.c_str()));
    return {UPDATE_NOT_A_PROGRAM, static_cast<DWORD>(ERROR_BAD_EXE_FORMAT)};
}

// With a publisher pin: the private download must carry a valid signature of a pinned key, and
// when it is an installer (it carries a deployment block) its block must keep the pin. One
// level-2 line names the requirement that failed and the signer found.
cWebupdater::UpdateResult cWebupdater::checkSignature(Downloadfile* download)
{
    if (pinMalformed) {
        bodyDigest.reset();
        log(LOG_ERROR, FN_UPDATE,
            L"Signature rejected (c): the signer pin of the deployment is malformed; signer found: none");
        return {UPDATE_SIGNATURE_REJECTED, static_cast<DWORD>(ERROR_INVALID_DATA)};
    }
    // The digest and the block scan of the bytes as they were written spare reading the whole
    // file again.
    portable::Sha256::Digest written;
    const bool digestKnown = bodyDigest && bodyDigest->finish(&written);
    const auto read = [download](uint64_t offset, uint8_t* buffer, size_t length) {
        return download->readFully(offset, buffer, length) == length;
    };
    portable::SignerEntryScan scanned;
    const portable::SignerEntryScan* scan = digestKnown ? &bodyDigest->blockScan() : &scanned;
    if (!digestKnown && !cSignaturecheck::scanFile(download->size(), read, &scanned)) {
        bodyDigest.reset();
        log(LOG_ERROR, FN_UPDATE, L"Signature rejected (a): the file cannot be read; signer found: none");
        return {UPDATE_SIGNATURE_REJECTED, static_cast<DWORD>(ERROR_INVALID_DATA)};
    }
    const cSignaturecheck::Outcome outcome =
        cSignaturecheck(signerPin).check(download->size(), read, digestKnown ? &written : nullptr, scan);
    bodyDigest.reset();
    const std::wstring signer = outcome.signer.empty() ? L"none" : outcome.signer;
    if (!outcome.accepted()) {
        log(LOG_ERROR, FN_UPDATE,
            L"Signature rejected (" + outcome.requirement() + L"): " + outcome.detail + L"; signer found: " + signer);
        return {UPDATE_SIGNATURE_REJECTED, static_cast<DWORD>(ERROR_INVALID_DATA)};
    }
    log(LOG_DEBUG, FN_UPDATE, L"Signature accepted, signer: " + signer);
    return {};
}

void cWebupdater::setSignerPin(const std::wstring& pinText)
{
    std::vector<portable::Sha256::Digest> keys;
    pinMalformed = !cSignaturecheck::parsePin(pinText, &keys);
    signerPin = std::move(keys);
    pinned = true;
}

void cWebupdater::setSignerPin(std::vector<portable::Sha256::Digest> keys)
{
    signerPin = std::move(keys);
    pinMalformed = false;
    pinned = true;
}

void cWebupdater::clearSignerPin()
{
    signerPin.clear();
    pinMalformed = false;
    pinned = false;
}

// The very file that stands at the target (the running installer): nothing to do.
cWebupdater::UpdateResult cWebupdater::checkNotCurrent(Downloadfile* download, const std::wstring& targetFile)
{
    handles::Kernel current(::CreateFileW(targetFile.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!current.valid() || !sameContent(download, current.get())) {
        return {};
    }
    log(LOG_WARNING, FN_UPDATE,
        textutil::format(L"Downloaded file of %llu bytes is the current version already, nothing to update",
                         static_cast<unsigned long long>(download->size())));
    return {UPDATE_ALREADY_CURRENT, 0};
}

bool cWebupdater::sameContent(Downloadfile* download, HANDLE other)
{
    LARGE_INTEGER otherSize = {};
    if (!::GetFileSizeEx(other, &otherSize) || static_cast<uint64_t>(otherSize.QuadPart) != download->size()) {
        return false;
    }
    constexpr DWORD BLOCK = 65536;
    std::vector<char> mine(BLOCK);
    std::vector<char> theirs(BLOCK);
    for (uint64_t offset = 0;;) {
        DWORD got = 0;
        DWORD gotOther = 0;
        if (!download->readAt(offset, mine.data(), BLOCK, &got) ||
            !::ReadFile(other, theirs.data(), BLOCK, &gotOther, nullptr) || got != gotOther) {
            return false;
        }
        if (got == 0) {
            return true;
        }
        if (std::memcmp(mine.data(), theirs.data(), got) != 0) {
            return false;
        }
        offset += got;
    }
}

// The swap, then the server's time on the new file.
cWebupdater::UpdateResult cWebupdater::switchIntoPlace(Fileobject* target, Downloadfile* download,
                                                       const ServerCopy& copy)
{
    if (!switchFiles(target->getFullPath(), download, target->getPath(), target->getFilename())) {
        const DWORD error = ::GetLastError();
        download->discard();
        return {UPDATE_SWITCH_FAILED, error};
    }
    if (copy.timeKnown) {
        target->setModificationTime(copy.time);
    }
    return {};
}

// Every failure leaves the system error that explains it as the thread's last-error value: the
// platform's code of a failed call, ERROR_FILE_TOO_LARGE for the size limit, ERROR_HANDLE_EOF for
// a body shorter than announced and ERROR_TIMEOUT for a stalled transfer.
bool cWebupdater::downloadFile(HINTERNET request, const std::wstring& folder, const std::wstring& stem,
                               Downloadfile* file)
{
    Fileobject place(folder, stem);
    const bool pathMade = place.createPath(place.getPath());
    DWORD error = 0;
    const bool created = file->create(place.getPath(), stem, false, &error);
    // Both lines name the file really attempted (its random name included).
    if (!pathMade) {
        log(LOG_WARNING, FN_DOWNLOAD, L"Unable to create path for file: " + file->path());
    }
    if (!created) {
        log(LOG_ERROR, FN_DOWNLOAD, L"Unable to create temporary file: " + file->path());
        log(LOG_ERROR, FN_DOWNLOAD, textutil::format(L"Error: %i", static_cast<int>(error)));
        ::SetLastError(error);
        return false;
    }
    uint64_t expected = 0;
    std::wstring lengthText;
    const bool lengthKnown = announcedLength(request, &expected, &lengthText);
    uint64_t received = 0;
    bool ok = false;
    if (lengthKnown && expected > maxDownloadSize) {
        log(LOG_ERROR, FN_DOWNLOAD,
            textutil::format(L"Download refused: %ls bytes announced, more than the limit of %llu bytes",
                             lengthText.c_str(), static_cast<unsigned long long>(maxDownloadSize)));
        error = ERROR_FILE_TOO_LARGE;
    } else {
        bodyDigest = pinned ? std::make_unique<Bodydigest>() : nullptr;
        ok = streamBody(request, file, lengthKnown, expected, &received, &error);
    }
    if (ok && !file->flush(&error)) {
        log(LOG_ERROR, FN_DOWNLOAD, L"Unable to write temporary file: " + file->path());
        log(LOG_ERROR, FN_DOWNLOAD, textutil::format(L"Error: %i", static_cast<int>(error)));
        ok = false;
    }
    if (!ok) {
        // No partial file is left behind.
        file->discard();
        ::SetLastError(error);
    }
    return ok;
}

// The announced length, unless a transfer coding replaces it: checked up front against the limit
// and at the end against what arrived, because an early close of the connection reads as a
// normal end.
bool cWebupdater::announcedLength(HINTERNET request, uint64_t* expected, std::wstring* lengthText)
{
    const std::wstring transferEncoding = queryInfo(request, HTTP_QUERY_TRANSFER_ENCODING);
    *lengthText = queryInfo(request, HTTP_QUERY_CONTENT_LENGTH);
    const bool coded = !transferEncoding.empty() && !portable::equalsIgnoringAsciiCase(transferEncoding, L"identity");
    if (coded || lengthText->empty()) {
        return false;
    }
    portable::DecimalValue parsed;
    if (!portable::parseDecimal(*lengthText, &parsed) || parsed.negative) {
        return false;
    }
    *expected = parsed.overflow ? UINT64_MAX : parsed.value;
    return true;
}

// Reads what has arrived, up to one block; waits (within the receive time-out) when nothing has.
bool cWebupdater::readAvailable(HINTERNET request, char* buffer, DWORD* got)
{
    DWORD available = 0;
    if (!::InternetQueryDataAvailable(request, &available, 0, 0)) {
        return false;
    }
    if (available == 0) {
        *got = 0;
        return true;
    }
    return ::InternetReadFile(request, buffer, available < READ_BLOCK ? available : READ_BLOCK, got) != FALSE;
}

bool cWebupdater::streamBody(HINTERNET request, Downloadfile* file, bool lengthKnown, uint64_t expected,
                             uint64_t* received, DWORD* error)
{
    char buffer[READ_BLOCK];
    ULONGLONG windowStart = ::GetTickCount64();
    uint64_t windowBytes = 0;
    for (;;) {
        DWORD got = 0;
        const bool read = readAvailable(request, buffer, &got);
        const DWORD readError = ::GetLastError();
        const ULONGLONG now = ::GetTickCount64();
        // A read that timed out waited the whole bound (the receive time-out) for nothing.
        const bool timedOut = !read && (readError == ERROR_INTERNET_TIMEOUT || readError == WSAETIMEDOUT);
        if (now - windowStart >= stallBoundMs || timedOut) {
            if (timedOut || windowBytes + got < STALL_MIN_BYTES) {
                log(LOG_ERROR, FN_DOWNLOAD,
                    textutil::format(L"Download stalled: %llu bytes in %llu ms, after %llu bytes received",
                                     static_cast<unsigned long long>(windowBytes + got),
                                     static_cast<unsigned long long>(now - windowStart),
                                     static_cast<unsigned long long>(*received)));
                *error = ERROR_TIMEOUT;
                return false;
            }
            windowStart = now;
            windowBytes = 0;
        }
        if (!read) {
            log(LOG_ERROR, FN_DOWNLOAD, L"Unable to read from the network!");
            log(LOG_ERROR, FN_DOWNLOAD, textutil::format(L"Error: %i", static_cast<int>(readError)));
            *error = readError;
            return false;
        }
        if (got == 0) {
            break;
        }
        windowBytes += got;
        if (*received + got > maxDownloadSize) {
            log(LOG_ERROR, FN_DOWNLOAD,
                textutil::format(L"Download refused: the body exceeds the limit of %llu bytes",
                                 static_cast<unsigned long long>(maxDownloadSize)));
            *error = ERROR_FILE_TOO_LARGE;
            return false;
        }
        if (!file->write(buffer, got, error)) {
            log(LOG_ERROR, FN_DOWNLOAD, L"Unable to write temporary file: " + file->path());
            return false;
        }
        if (bodyDigest) {
            bodyDigest->update(reinterpret_cast<const uint8_t*>(buffer), got);
        }
        *received += got;
        if (progress) {
            progress(*received, lengthKnown ? expected : 0);
        }
    }
    if (lengthKnown && *received != expected) {
        log(LOG_ERROR, FN_DOWNLOAD,
            textutil::format(L"Download incomplete: %llu of %llu bytes received",
                             static_cast<unsigned long long>(*received), static_cast<unsigned long long>(expected)));
        *error = ERROR_HANDLE_EOF;
        return false;
    }
    return true;
}

bool cWebupdater::switchFiles(std::wstring target, Downloadfile* download, std::wstring folder, std::wstring filename)
{
    if (!stageBesideTarget(download, folder, filename)) {
        return false;
    }
    Fileobject backup(folder, filename + BACKUP_SUFFIX);
    const std::wstring backupPath = backup.getFullPath();
    clearOldBackup(backupPath);
    // A rename within the folder: the previous version stays complete under the backup name.
    if (!::MoveFileExW(target.c_str(), backupPath.c_str(), 0)) {
        return false;
    }
    log(LOG_DEBUG, FN_SWITCH, L"File backup created at: " + backupPath);

    DWORD error = 0;
    if (!moveIntoPlace(download, target, &error)) {
        // Never leave the user without the file: the previous version goes back to its name.
        if (::MoveFileExW(backupPath.c_str(), target.c_str(), 0)) {
            log(LOG_ERROR, FN_SWITCH,
                textutil::format(L"Unable to move the downloaded file to %ls (error %i), previous version restored",
                                 target.c_str(), static_cast<int>(error)));
        } else {
            log(LOG_FATAL, FN_SWITCH,
                textutil::format(L"UNABLE to restore the previous version from %ls (error %i)", backupPath.c_str(),
                                 static_cast<int>(::GetLastError())));
        }
        ::SetLastError(error);
        return false;
    }
    log(LOG_DEBUG, FN_SWITCH, L"File switched to:" + target);
    download->close(&error);
    copyAttributesAndAccessList(backupPath, target);
    return true;
}

bool cWebupdater::moveIntoPlace(Downloadfile* download, const std::wstring& target, DWORD* error)
{
    return download->renameTo(target, error);
}

namespace {

std::wstring volumeOf(const std::wstring& path)
{
    const std::wstring platformPath = withBackslashes(path);
    wchar_t volume[MAX_PATH + 1] = {};
    if (!::GetVolumePathNameW(platformPath.c_str(), volume, MAX_PATH)) {
        return {};
    }
    return volume;
}

} // namespace

// A rename across volumes would be a copy under the target's own name; the copy is made first,
// under a private name beside the target, so that the switch is two renames on one volume.
bool cWebupdater::stageBesideTarget(Downloadfile* download, const std::wstring& folder, const std::wstring& filename)
{
    const std::wstring from = volumeOf(download->path());
    const std::wstring to = volumeOf(folder + L"/" + filename);
    if (from.empty() || to.empty() || portable::equalsIgnoringAsciiCase(from, to)) {
        return true;
    }
    Downloadfile staged;
    DWORD error = 0;
    if (!staged.create(folder, filename, true, &error) || !copyInto(download, &staged, &error) ||
        !staged.flush(&error)) {
        log(LOG_ERROR, FN_SWITCH,
            textutil::format(L"Unable to copy the download beside %ls/%ls (error %i)", folder.c_str(), filename.c_str(),
                             static_cast<int>(error)));
        staged.discard();
        ::SetLastError(error);
        return false;
    }
    log(LOG_DEBUG, FN_SWITCH, L"Download copied beside the target: " + staged.path());
    download->discard();
    *download = std::move(staged);
    return true;
}

bool cWebupdater::copyInto(Downloadfile* from, Downloadfile* to, DWORD* error)
{
    constexpr DWORD BLOCK = 1048576;
    std::vector<char> buffer(BLOCK);
    for (uint64_t offset = 0;;) {
        DWORD got = 0;
        if (!from->readAt(offset, buffer.data(), BLOCK, &got)) {
            *error = ::GetLastError();
            return false;
        }
        if (got == 0) {
            return true;
        }
        if (!to->write(buffer.data(), got, error)) {
            return false;
        }
        offset += got;
    }
}

// The backup of the previous update goes, read-only or not; when it cannot, the move after fails.
bool cWebupdater::clearOldBackup(const std::wstring& backupPath)
{
    const DWORD attributes = ::GetFileAttributesW(backupPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly) {
        ::SetFileAttributesW(backupPath.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
    if (::DeleteFileW(backupPath.c_str())) {
        return true;
    }
    if (readOnly) {
        ::SetFileAttributesW(backupPath.c_str(), attributes);
    }
    return false;
}

void cWebupdater::copyAttributesAndAccessList(const std::wstring& from, const std::wstring& to)
{
    const DWORD attributes = ::GetFileAttributesW(from.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && ::SetFileAttributesW(to.c_str(), attributes)) {
        log(LOG_DEBUG, FN_SWITCH, L"File attributes set!");
    } else {
        log(LOG_FATAL, FN_SWITCH, L"UNABLE to set file attributes");
    }
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD got = ::GetNamedSecurityInfoW(from.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                              &dacl, nullptr, &descriptor);
    const handles::LocalMemory descriptorMemory(descriptor); // the access list lies inside it
    if (got != ERROR_SUCCESS) {
        log(LOG_FATAL, FN_SWITCH, L"UNABLE to get file security");
    } else if (::SetNamedSecurityInfoW(const_cast<LPWSTR>(to.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS) {
        log(LOG_DEBUG, FN_SWITCH, L"File security set!");
    } else {
        log(LOG_FATAL, FN_SWITCH, L"UNABLE to set file security");
    }
}
