#include "cWebupdater.h"

#include "decimal.h"
#include "deploymentblock.h"
#include "httpdate.h"

#include "Bodyreceiver.h"
#include "Busyserver.h"
#include "Fileobject.h"
#include "Fileswitch.h"
#include "Httpexchange.h"
#include "Partialdownload.h"
#include "cSignaturecheck.h"
#include "filetime.h"

#include <cwchar>
#include <vector>

const wchar_t* const cWebupdater::MEDIA_TYPE_APPLICATION = L"application";
const wchar_t* const cWebupdater::MEDIA_TYPE_AUDIO = L"audio";
const wchar_t* const cWebupdater::MEDIA_TYPE_IMAGE = L"image";
const wchar_t* const cWebupdater::MEDIA_TYPE_MODEL = L"model";
const wchar_t* const cWebupdater::MEDIA_TYPE_MULTIPART = L"multipart";
const wchar_t* const cWebupdater::MEDIA_TYPE_TEXT = L"text";
const wchar_t* const cWebupdater::MEDIA_TYPE_VIDEO = L"video";

// A build-time choice (CMake option CV_ALLOW_DOWNGRADE), never one of the deployment: the server
// writes the deployment block.
#ifndef CV_ALLOW_DOWNGRADE
#define CV_ALLOW_DOWNGRADE 0
#endif

namespace {

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
    versionFloor.downgradeAllowed = CV_ALLOW_DOWNGRADE != 0;
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

uint16_t cWebupdater::parsePort(const std::wstring& port) { return portable::parsePort(port); }

std::wstring cWebupdater::formatHttpDate(int64_t seconds) { return portable::formatHttpDate(seconds); }

std::wstring cWebupdater::queryInfo(HINTERNET request, DWORD infoLevel)
{
    return Httpexchange::queryInfo(request, infoLevel);
}

int32_t cWebupdater::updateFile(std::wstring username, std::wstring password, std::wstring protocol, std::wstring host,
                                std::wstring port, std::wstring object, std::wstring mediaType, std::wstring targetFile,
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
    const portable::Result result = runUpdate(job);
    // Every handle of the call is closed by now; the caller reads the system error the old way.
    ::SetLastError(result.systemError);
    return result.ok() ? UPDATE_DONE : result.code;
}

// Connection, port and cookie; the exchange, the response and the body; the checks of the body;
// the switch.
portable::Result cWebupdater::runUpdate(const Job& job)
{
    Fileobject target(job.targetFile);
    if (strictTls && !portable::strictTlsFits(job.protocol)) {
        // No certificate to hold to its name and dates: nothing is sent at all.
        log(LOG_ERROR, FN_UPDATE,
            L"Strict TLS needs https, the deployment names \"" + job.protocol + L"\": no request is sent");
        return portable::Result::failedWith(UPDATE_SEND_FAILED, ERROR_INTERNET_UNRECOGNIZED_SCHEME);
    }
    uint16_t portNumber = 0;
    portable::Result r = checkConnectionAndPort(job, &portNumber);
    if (r) {
        r = checkCookie(job);
    }
    if (!r) {
        return r;
    }
    ServerCopy copy;
    Downloadfile download;
    r = exchangeAndDownload(job, target.getModificationTime(), portNumber, target.getFilename(), &copy, &download);
    if (r) {
        // From here on the bytes in the private file are a new, complete program.
        r = checkDownload(&download, target.getFullPath());
    }
    if (!r) {
        return r;
    }
    return switchIntoPlace(&target, &download, copy);
}

portable::Result cWebupdater::checkConnectionAndPort(const Job& job, uint16_t* portNumber)
{
    if (!isInternetConnected()) {
        return portable::Result::failedWith(UPDATE_NO_INTERNET, ::GetLastError());
    }
    *portNumber = parsePort(job.port);
    if (*portNumber == 0) {
        return portable::Result::failedWith(UPDATE_BAD_PORT, ::GetLastError());
    }
    return portable::Result::done();
}

// The cookie store is asked for the URL as the caller wrote it; only the success counts.
portable::Result cWebupdater::checkCookie(const Job& job)
{
    const std::wstring url = jobUrl(job);
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
            return portable::Result::failedWith(UPDATE_NO_COOKIE, error);
        }
        log(LOG_DEBUG, FN_UPDATE, L"Valid cookie found");
    }
    return portable::Result::done();
}

// The exchange and the body into a private temporary file; a transfer cut in an earlier run is
// resumed where the answer allows it (Partialdownload), and a refused resume is followed by a plain
// request in the same call. Held bytes this call did not use stay for the next. The waits for a busy
// server share one budget over both requests.
portable::Result cWebupdater::exchangeAndDownload(const Job& job, int64_t targetTime, uint16_t portNumber,
                                                  const std::wstring& stem, ServerCopy* copy, Downloadfile* download)
{
    Partialdownload partial(logger, temporaryFolder(), stem);
    partial.load(jobUrl(job), maxDownloadSize);
    Busyserver busy(
        logger, [this](DWORD ms) { pauseFor(ms); }, status);
    bool again = false;
    portable::Result r = exchangeOnce(job, targetTime, portNumber, &partial, &busy, copy, download, &again);
    if (again) {
        r = exchangeOnce(job, targetTime, portNumber, &partial, &busy, copy, download, &again);
    }
    partial.putBack();
    return r;
}

// The request (with the conditional header only for a wanted newer copy of an existing target,
// with the range headers when bytes are held), asked again after a bounded wait while the server
// says it is busy, the response, and its body; the request and the connection are closed before
// the body is checked. *again: a refused resume, to be asked again.
portable::Result cWebupdater::exchangeOnce(const Job& job, int64_t targetTime, uint16_t portNumber,
                                           Partialdownload* partial, Busyserver* busy, ServerCopy* copy,
                                           Downloadfile* download, bool* again)
{
    *again = false;
    Httpexchange::Location start;
    start.protocol = job.protocol;
    start.host = job.host;
    start.port = portNumber;
    start.object = job.object;
    Httpexchange::Request request;
    request.username = job.username;
    request.password = job.password;
    request.mediaType = job.mediaType;
    if (job.onlyIfNewer == 1 && targetTime != 0) {
        request.headers = L"If-Modified-Since: " + formatHttpDate(targetTime);
    }
    const bool resuming = partial->ready();
    if (resuming) {
        request.headers += (request.headers.empty() ? L"" : L"\r\n") + partial->requestHeaders();
    }
    Httpexchange exchange(logger, internetHandle.get(), strictTls, stallBoundMs);
    exchange.setUnattended(unattended);
    exchange.setFloor(floorRate, floorLeastMs);
    portable::Result r = exchange.run(start, request);
    while (r && busy->waitIfBusy(exchange.request())) {
        exchange.close();
        r = exchange.run(start, request);
    }
    if (r && resuming) {
        judgeResume(exchange.request(), partial, download, again);
    }
    if (r && !*again) {
        r = judgeResponse(job, targetTime, exchange.request(), download->isOpen(), copy);
    }
    activeWatch = &exchange.watch();
    if (r && !*again) {
        r = receiveBody(job, exchange.request(), partial, download);
    }
    activeWatch = nullptr;
    // A deadline that passed between the steps left a closed request behind.
    return exchange.watch().judge(r);
}

// A 206 that continues the held bytes takes them over; a 200 brings the whole file (the held bytes
// go); a 206 that does not fit and a 416 drop them and ask again without a range.
void cWebupdater::judgeResume(HINTERNET request, Partialdownload* partial, Downloadfile* download, bool* again)
{
    const long status = Httpexchange::statusCode(queryInfo(request, HTTP_QUERY_STATUS_CODE));
    if (status == 206) {
        const std::wstring why = partial->refusal(request);
        if (!why.empty()) {
            partial->drop(why);
        }
        *again = !why.empty() || !partial->takeInto(download);
    } else if (status == 416) {
        partial->drop(L"the server answered 416, the range cannot be satisfied");
        *again = true;
    } else if (status == 200) {
        partial->drop(L"the server answered 200 with the whole file");
    }
}

// The body after the held bytes, or the whole body; a cut transfer is kept for a resume when the
// answer allows one, any other failure deletes what arrived.
portable::Result cWebupdater::receiveBody(const Job& job, HINTERNET request, Partialdownload* partial,
                                          Downloadfile* download)
{
    const bool resumed = download->isOpen();
    heldBytes = resumed ? partial->heldBytes() : 0;
    if (downloadFile(request, temporaryFolder(), Fileobject(job.targetFile).getFilename(), download)) {
        return portable::Result::done();
    }
    const DWORD error = ::GetLastError();
    if (download->isOpen()) {
        const Partialdownload::Answer answer = resumed ? partial->resumedAnswer() : Partialdownload::answerOf(request);
        if (error == ERROR_FILE_TOO_LARGE || !partial->keep(download, jobUrl(job), answer)) {
            download->discard();
        }
    }
    return portable::Result::failedWith(UPDATE_DOWNLOAD_FAILED, error);
}

std::wstring cWebupdater::jobUrl(const Job& job)
{
    return job.protocol + L"://" + job.host + L":" + job.port + job.object;
}

// Status, newer test, media type: whether the response carries a file to take.
portable::Result cWebupdater::judgeResponse(const Job& job, int64_t targetTime, HINTERNET request, bool resumed,
                                            ServerCopy* copy)
{
    if (queryInfo(request, HTTP_QUERY_RAW_HEADERS_CRLF).empty()) {
        return portable::Result::failedWith(UPDATE_NO_RESPONSE, ::GetLastError());
    }
    const std::wstring statusText = queryInfo(request, HTTP_QUERY_STATUS_CODE);
    log(LOG_DEBUG, FN_UPDATE, L"Status code response: " + statusText);
    copy->status = Httpexchange::statusCode(statusText);
    if (copy->status == 404) {
        return portable::Result::failedWith(UPDATE_NOT_FOUND, ::GetLastError());
    }
    copy->newer = copy->status != 304;
    if (copy->newer) {
        readServerTime(request, targetTime, copy);
    }
    if (job.onlyIfNewer == 1 && !copy->newer) {
        return portable::Result::failedWith(UPDATE_NOT_NEWER, ::GetLastError());
    }
    if (queryInfo(request, HTTP_QUERY_CONTENT_TYPE).find(job.mediaType) == std::wstring::npos) {
        return portable::Result::failedWith(UPDATE_WRONG_TYPE, ::GetLastError());
    }
    if (copy->status != (resumed ? 206 : 200)) {
        return portable::Result::failedWith(UPDATE_BAD_STATUS, ::GetLastError());
    }
    return portable::Result::done();
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

void cWebupdater::pauseFor(DWORD milliseconds) { Busyserver::sleep(milliseconds); }

// Size, publisher, program image, not the target itself; the digest of the body is used up.
portable::Result cWebupdater::checkDownload(Downloadfile* download, const std::wstring& targetFile)
{
    const portable::Result r =
        Downloadchecks(logger, signerPin, bodyDigest.get(), versionFloor).check(download, targetFile);
    bodyDigest.reset();
    return r;
}

// The swap, then the server's time on the new file.
portable::Result cWebupdater::switchIntoPlace(Fileobject* target, Downloadfile* download, const ServerCopy& copy)
{
    if (!switchFiles(target->getFullPath(), download, target->getPath(), target->getFilename())) {
        const DWORD error = ::GetLastError();
        download->discard();
        return portable::Result::failedWith(UPDATE_SWITCH_FAILED, error);
    }
    if (copy.timeKnown) {
        target->setModificationTime(copy.time);
    }
    return portable::Result::done();
}

// Every failure leaves the system error that explains it as the thread's last-error value.
bool cWebupdater::downloadFile(HINTERNET request, const std::wstring& folder, const std::wstring& stem,
                               Downloadfile* file)
{
    bodyDigest = signerPin.set ? std::make_unique<Bodydigest>() : nullptr;
    // The digest and the scan of the signer entry see the held bytes first, as a whole body.
    if (heldBytes > 0 && bodyDigest && !Partialdownload::feed(file, heldBytes, bodyDigest.get())) {
        ::SetLastError(ERROR_READ_FAULT);
        return false;
    }
    Bodyreceiver::Limits limits;
    limits.maxSize = maxDownloadSize;
    limits.stallBoundMs = stallBoundMs;
    limits.watch = activeWatch;
    Bodyreceiver receiver(logger, limits, progress, bodyDigest.get());
    receiver.resumeAt(heldBytes);
    receiver.keepOnFailure(true);
    const portable::Result r = receiver.receive(request, folder, stem, file);
    ::SetLastError(r.systemError);
    return r.ok();
}

bool cWebupdater::switchFiles(std::wstring target, Downloadfile* download, std::wstring folder, std::wstring filename)
{
    const portable::Result r = Fileswitch(logger).switchFiles(target, download, folder, filename);
    ::SetLastError(r.systemError);
    return r.ok();
}

void cWebupdater::setSignerPin(const std::wstring& pinText)
{
    std::vector<portable::Sha256::Digest> keys;
    signerPin.malformed = !cSignaturecheck::parsePin(pinText, &keys);
    signerPin.keys = std::move(keys);
    signerPin.set = true;
}

void cWebupdater::setSignerPin(std::vector<portable::Sha256::Digest> keys)
{
    signerPin.keys = std::move(keys);
    signerPin.malformed = false;
    signerPin.set = true;
}

void cWebupdater::clearSignerPin() { signerPin = Downloadchecks::Pin(); }

void cWebupdater::setInstalledVersion(const portable::FixedFileVersion::Parts& version)
{
    versionFloor.version = version;
    versionFloor.known = true;
}
