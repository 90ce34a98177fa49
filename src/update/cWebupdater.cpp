#include "cWebupdater.h"

#include "decimal.h"
#include "httpdate.h"

#include "Fileobject.h"
#include "cSignaturecheck.h"
#include "textutil.h"

#include <aclapi.h>

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

constexpr int64_t FILETIME_UNIX_EPOCH = 116444736000000000LL; // 100-ns units from 1601 to 1970
constexpr int64_t FILETIME_PER_SECOND = 10000000LL;

// A local broken-down time as seconds since 1970 UTC; daylight saving is decided by the platform.
bool localTimeToUnix(const SYSTEMTIME& local, int64_t* out)
{
    SYSTEMTIME whole = local;
    whole.wMilliseconds = 0;
    SYSTEMTIME utc;
    if (!::TzSpecificLocalTimeToSystemTime(nullptr, &whole, &utc)) {
        return false;
    }
    FILETIME ft;
    if (!::SystemTimeToFileTime(&utc, &ft)) {
        return false;
    }
    ULARGE_INTEGER v;
    v.LowPart = ft.dwLowDateTime;
    v.HighPart = ft.dwHighDateTime;
    *out = (static_cast<int64_t>(v.QuadPart) - FILETIME_UNIX_EPOCH) / FILETIME_PER_SECOND;
    return true;
}

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
    if (protocol.size() == 5 && _wcsicmp(protocol.c_str(), L"https") == 0) {
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

bool cWebupdater::sendWithCertificateHandling(HINTERNET request, const std::wstring& headers, DWORD* lastError)
{
    if (sendRequest(request, headers)) {
        return true;
    }
    DWORD error = ::GetLastError();
    log(LOG_WARNING, FN_UPDATE, L"Unable to send request!");

    bool declined = false;
    if (error == ERROR_INTERNET_INVALID_CA) {
        log(LOG_WARNING, FN_UPDATE, L"Something is wrong about the server certificate (retry)");
        const DWORD answer = promptCertificateProblem(request, error);
        if (answer == ERROR_SUCCESS || answer == ERROR_INTERNET_FORCE_RETRY) {
            if (sendRequest(request, headers)) {
                return true;
            }
            error = ::GetLastError();
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
        if (error == ERROR_INTERNET_SEC_CERT_REV_FAILED) {
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
            return false;
        }
    }
    log(LOG_WARNING, FN_UPDATE, L"Unhandled reason");
    *lastError = error;
    return false;
}

int32_t cWebupdater::updateFile(std::wstring username, std::wstring password, std::wstring protocol, std::wstring host,
                                std::wstring port, std::wstring object, std::wstring mediaType, std::wstring targetFile,
                                int32_t cookieRequired, int32_t onlyIfNewer, std::wstring cookieName)
{
    // 1. The target's folder and file name.
    Fileobject target(targetFile);
    const std::wstring targetFolder = target.getPath();
    const std::wstring targetName = target.getFilename();

    // 2. The root handle.
    if (!isInternetConnected()) {
        return UPDATE_NO_INTERNET;
    }

    // 3. The port.
    const uint16_t portNumber = parsePort(port);
    if (portNumber == 0) {
        return UPDATE_BAD_PORT;
    }

    // 4. + 5. The cookie store is asked for the URL as the caller wrote it.
    const std::wstring url = protocol + L"://" + host + L":" + port + object;
    bool cookieFound = false;
    {
        std::vector<wchar_t> value(1, L'\0');
        DWORD size = 1;
        if (::InternetGetCookieExW(url.c_str(), cookieName.c_str(), value.data(), &size, 0, nullptr)) {
            cookieFound = true;
        } else if (::GetLastError() == ERROR_INSUFFICIENT_BUFFER && size > 0) {
            value.assign(static_cast<size_t>(size) + 1, L'\0');
            cookieFound =
                ::InternetGetCookieExW(url.c_str(), cookieName.c_str(), value.data(), &size, 0, nullptr) != FALSE;
        }
    }
    if (cookieRequired == 1) {
        if (!cookieFound) {
            log(LOG_WARNING, FN_UPDATE, L"No valid cookie found but it was requested to have one!");
            return UPDATE_NO_COOKIE;
        }
        log(LOG_DEBUG, FN_UPDATE, L"Valid cookie found");
    }

    // 6. The connection.
    handles::Internet connection(::InternetConnectW(internetHandle.get(), host.c_str(), portNumber, username.c_str(),
                                                    password.c_str(), INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection.valid()) {
        return UPDATE_CONNECT_FAILED;
    }

    // 7. The request. From here on every exit closes the request, then the connection.
    const std::wstring acceptType = mediaType + L"/*";
    const wchar_t* acceptTypes[] = {acceptType.c_str(), nullptr};
    handles::Internet request(::HttpOpenRequestW(connection.get(), L"GET", object.c_str(), L"HTTP/1.1", nullptr,
                                                 acceptTypes, requestFlags(protocol), 0));
    if (!request.valid()) {
        return UPDATE_REQUEST_FAILED;
    }

    // 8. The conditional header.
    const int64_t targetTime = target.getModificationTime();
    std::wstring headers;
    if (onlyIfNewer == 1 && targetTime != 0) {
        headers = L"If-Modified-Since: " + formatHttpDate(targetTime);
    }

    // 9. Send, working through certificate problems.
    DWORD sendError = 0;
    if (!sendWithCertificateHandling(request.get(), headers, &sendError)) {
        log(LOG_ERROR, FN_UPDATE, L"Unable to send the request to the server");
        request.reset();
        connection.reset();
        ::SetLastError(sendError);
        return UPDATE_SEND_FAILED;
    }

    // 10. A response at all.
    if (queryInfo(request.get(), HTTP_QUERY_RAW_HEADERS_CRLF).empty()) {
        return UPDATE_NO_RESPONSE;
    }

    // 11. The status.
    const std::wstring statusText = queryInfo(request.get(), HTTP_QUERY_STATUS_CODE);
    log(LOG_DEBUG, FN_UPDATE, L"Status code response: " + statusText);
    const long status = statusText.empty() ? 0 : std::wcstol(statusText.c_str(), nullptr, 10);
    if (status == 404) {
        return UPDATE_NOT_FOUND;
    }

    // 12. Is the server's copy newer than the target?
    bool newer = status != 304;
    bool serverTimeKnown = false;
    SYSTEMTIME serverTime = {};
    if (newer && !queryInfo(request.get(), HTTP_QUERY_LAST_MODIFIED).empty()) {
        SYSTEMTIME utc = {};
        DWORD size = sizeof(utc);
        TIME_ZONE_INFORMATION zone;
        if (::HttpQueryInfoW(request.get(), HTTP_QUERY_LAST_MODIFIED | HTTP_QUERY_FLAG_SYSTEMTIME, &utc, &size,
                             nullptr) &&
            ::GetTimeZoneInformation(&zone) != TIME_ZONE_ID_INVALID &&
            ::SystemTimeToTzSpecificLocalTime(&zone, &utc, &serverTime)) {
            serverTimeKnown = true;
            SYSTEMTIME now;
            ::GetLocalTime(&now);
            clampToPresent(&serverTime, now);
            int64_t serverSeconds = 0;
            if (localTimeToUnix(serverTime, &serverSeconds) && serverSeconds - targetTime < 1) {
                newer = false;
            }
        }
    }

    // 13. Only a newer copy is wanted.
    if (onlyIfNewer == 1 && !newer) {
        return UPDATE_NOT_NEWER;
    }

    // 14. The media type.
    if (queryInfo(request.get(), HTTP_QUERY_CONTENT_TYPE).find(mediaType) == std::wstring::npos) {
        return UPDATE_WRONG_TYPE;
    }

    // 15. Only a full answer carries the file.
    if (status != 200) {
        return UPDATE_BAD_STATUS;
    }

    // 16. The body into the temporary folder.
    wchar_t tempFolder[MAX_PATH + 1] = {};
    const DWORD tempLength = ::GetTempPathW(MAX_PATH, tempFolder);
    Fileobject tempFile(std::wstring(tempFolder, tempLength <= MAX_PATH ? tempLength : 0), targetName);
    const bool downloaded = downloadFile(request.get(), tempFile.getFullPath());
    request.reset();
    connection.reset();
    if (!downloaded) {
        return UPDATE_DOWNLOAD_FAILED;
    }

    // 17. Bodies of this size are no build of the program (error pages, placeholders).
    const uint64_t size = tempFile.getFilesize();
    if (size >= SIZE_REJECT_MIN && size <= SIZE_REJECT_MAX) {
        tempFile.deleteFile();
        log(LOG_ERROR, FN_UPDATE,
            textutil::format(L"Downloaded file rejected, its size of %llu bytes lies between %llu and %llu bytes",
                             static_cast<unsigned long long>(size), static_cast<unsigned long long>(SIZE_REJECT_MIN),
                             static_cast<unsigned long long>(SIZE_REJECT_MAX)));
        return UPDATE_SIZE_REJECTED;
    }

    // With a publisher pin, only a program signed by a pinned key goes any further.
    if (pinned && !signatureAccepted(tempFile.getFullPath())) {
        tempFile.deleteFile();
        return UPDATE_SIGNATURE_REJECTED;
    }

    // 18. The swap, then the server's time on the new file.
    if (!switchFiles(target.getFullPath(), tempFile.getFullPath(), targetFolder, targetName)) {
        return UPDATE_SWITCH_FAILED;
    }
    if (serverTimeKnown) {
        target.setModificationTime(serverTime);
    }
    return UPDATE_DONE;
}

bool cWebupdater::signatureAccepted(const std::wstring& file)
{
    std::vector<portable::Sha256::Digest> pin;
    if (!cSignaturecheck::parsePin(signerPin, &pin)) {
        log(LOG_ERROR, FN_UPDATE, L"Signature rejected (c): the signer pin of the deployment is malformed");
        return false;
    }
    const cSignaturecheck::Outcome outcome = cSignaturecheck(std::move(pin)).checkFile(file);
    const std::wstring signer = outcome.signer.empty() ? L"none" : outcome.signer;
    if (!outcome.accepted()) {
        log(LOG_ERROR, FN_UPDATE,
            L"Signature rejected (" + outcome.requirement() + L"): " + outcome.detail + L"; signer found: " + signer);
        return false;
    }
    log(LOG_DEBUG, FN_UPDATE, L"Signature accepted, signer: " + signer);
    return true;
}

bool cWebupdater::downloadFile(HINTERNET request, std::wstring tempFile)
{
    Fileobject file(tempFile);
    if (!file.createPath(file.getPath())) {
        log(LOG_WARNING, FN_DOWNLOAD, L"Unable to create path for file: " + tempFile);
    }

    handles::Kernel out(::CreateFileW(tempFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.valid()) {
        const DWORD error = ::GetLastError();
        log(LOG_ERROR, FN_DOWNLOAD, L"Unable to create temporary file: " + tempFile);
        log(LOG_ERROR, FN_DOWNLOAD, textutil::format(L"Error: %i", static_cast<int>(error)));
        return false;
    }
    // Every failure below leaves no partial file behind.
    auto fail = [&]() {
        out.reset();
        ::DeleteFileW(tempFile.c_str());
        return false;
    };

    // The announced length (a chunked body announces none): checked up front against the limit and
    // at the end against what arrived, because an early close of the connection reads as a normal end.
    uint64_t expected = 0;
    bool lengthKnown = false;
    const std::wstring transferEncoding = queryInfo(request, HTTP_QUERY_TRANSFER_ENCODING);
    const std::wstring lengthText = queryInfo(request, HTTP_QUERY_CONTENT_LENGTH);
    if (transferEncoding.empty() && !lengthText.empty()) {
        portable::DecimalValue parsed;
        if (portable::parseDecimal(lengthText, &parsed) && !parsed.negative) {
            lengthKnown = true;
            expected = parsed.overflow ? UINT64_MAX : parsed.value;
        }
    }
    if (lengthKnown && expected > maxDownloadSize) {
        log(LOG_ERROR, FN_DOWNLOAD,
            textutil::format(L"Download refused: %ls bytes announced, more than the limit of %llu bytes",
                             lengthText.c_str(), static_cast<unsigned long long>(maxDownloadSize)));
        return fail();
    }

    char buffer[READ_BLOCK];
    uint64_t received = 0;
    for (;;) {
        DWORD got = 0;
        if (!::InternetReadFile(request, buffer, READ_BLOCK, &got)) {
            const DWORD error = ::GetLastError();
            out.reset();
            log(LOG_ERROR, FN_DOWNLOAD, L"Unable to read from the network!");
            log(LOG_ERROR, FN_DOWNLOAD, textutil::format(L"Error: %i", static_cast<int>(error)));
            return fail();
        }
        if (got == 0) {
            break;
        }
        if (received + got > maxDownloadSize) {
            log(LOG_ERROR, FN_DOWNLOAD,
                textutil::format(L"Download refused: the body exceeds the limit of %llu bytes",
                                 static_cast<unsigned long long>(maxDownloadSize)));
            return fail();
        }
        DWORD written = 0;
        if (!::WriteFile(out.get(), buffer, got, &written, nullptr) || written < got) {
            out.reset();
            log(LOG_ERROR, FN_DOWNLOAD, L"Unable to write temporary file: " + tempFile);
            return fail();
        }
        received += got;
        if (progress) {
            progress(received, lengthKnown ? expected : 0);
        }
    }

    if (lengthKnown && received != expected) {
        log(LOG_ERROR, FN_DOWNLOAD,
            textutil::format(L"Download incomplete: %llu of %llu bytes received",
                             static_cast<unsigned long long>(received), static_cast<unsigned long long>(expected)));
        return fail();
    }
    if (!out.reset()) {
        const DWORD error = ::GetLastError();
        log(LOG_ERROR, FN_DOWNLOAD, L"Unable to write temporary file: " + tempFile);
        log(LOG_ERROR, FN_DOWNLOAD, textutil::format(L"Error: %i", static_cast<int>(error)));
        ::DeleteFileW(tempFile.c_str());
        return false;
    }
    return true;
}

bool cWebupdater::switchFiles(std::wstring target, std::wstring tempFile, std::wstring folder, std::wstring filename)
{
    Fileobject backup(folder, filename + BACKUP_SUFFIX);
    const std::wstring backupPath = backup.getFullPath();

    if (::GetFileAttributesW(backupPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
        ::DeleteFileW(backupPath.c_str());
    }
    if (!::MoveFileExW(target.c_str(), backupPath.c_str(), MOVEFILE_COPY_ALLOWED)) {
        return false;
    }
    log(LOG_DEBUG, FN_SWITCH, L"File backup created at: " + backupPath);

    if (!::MoveFileExW(tempFile.c_str(), target.c_str(), MOVEFILE_COPY_ALLOWED)) {
        // Never leave the user without the file: the previous version goes back to its name.
        const DWORD error = ::GetLastError();
        if (::MoveFileExW(backupPath.c_str(), target.c_str(), MOVEFILE_COPY_ALLOWED)) {
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

    const DWORD attributes = ::GetFileAttributesW(backupPath.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && ::SetFileAttributesW(target.c_str(), attributes)) {
        log(LOG_DEBUG, FN_SWITCH, L"File attributes set!");
    } else {
        log(LOG_FATAL, FN_SWITCH, L"UNABLE to set file attributes");
    }

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD got = ::GetNamedSecurityInfoW(backupPath.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                              nullptr, &dacl, nullptr, &descriptor);
    if (got != ERROR_SUCCESS) {
        log(LOG_FATAL, FN_SWITCH, L"UNABLE to get file security");
    } else {
        if (::SetNamedSecurityInfoW(const_cast<LPWSTR>(target.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS) {
            log(LOG_DEBUG, FN_SWITCH, L"File security set!");
        } else {
            log(LOG_FATAL, FN_SWITCH, L"UNABLE to set file security");
        }
    }
    if (descriptor != nullptr) {
        ::LocalFree(descriptor);
    }
    return true;
}
