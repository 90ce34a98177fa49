#include "Bodyreceiver.h"

#include "Httpexchange.h"
#include "cWebupdater.h"

#include "Fileobject.h"
#include "asciicase.h"
#include "decimal.h"
#include "textutil.h"

namespace {

portable::Result downloadFailed(DWORD error)
{
    return portable::Result::failedWith(cWebupdater::UPDATE_DOWNLOAD_FAILED, error);
}

} // namespace

Bodyreceiver::Bodyreceiver(Logger* logger, Limits bounds, const Progress& progressCallback, Bodydigest* bodyDigest)
    : Loguser(logger), limits(bounds), progress(progressCallback), digest(bodyDigest)
{
}

portable::Result Bodyreceiver::receive(HINTERNET request, const std::wstring& folder, const std::wstring& stem,
                                       Downloadfile* file)
{
    portable::Result r = held == 0 ? createFile(folder, stem, file) : portable::Result::done();
    if (!r) {
        return r;
    }
    const Announced length = announced(request);
    if (length.known && (length.length > limits.maxSize || held + length.length > limits.maxSize)) {
        log(LOG_ERROR, cWebupdater::FN_DOWNLOAD,
            textutil::format(L"Download refused: %ls bytes announced, more than the limit of %llu bytes",
                             length.text.c_str(), static_cast<unsigned long long>(limits.maxSize)));
        r = downloadFailed(ERROR_FILE_TOO_LARGE);
    } else {
        r = stream(request, file, length);
    }
    DWORD error = 0;
    if (r && !file->flush(&error)) {
        log(LOG_ERROR, cWebupdater::FN_DOWNLOAD, L"Unable to write temporary file: " + file->path());
        log(LOG_ERROR, cWebupdater::FN_DOWNLOAD, textutil::format(L"Error: %i", static_cast<int>(error)));
        r = downloadFailed(error);
    }
    if (!r && !keepCut) {
        // No partial file is left behind.
        file->discard();
    }
    return r;
}

portable::Result Bodyreceiver::createFile(const std::wstring& folder, const std::wstring& stem, Downloadfile* file)
{
    Fileobject place(folder, stem);
    const bool pathMade = place.createPath(place.getPath());
    DWORD error = 0;
    const bool created = file->create(place.getPath(), stem, false, &error);
    // Both lines name the file really attempted (its random name included).
    if (!pathMade) {
        log(LOG_WARNING, cWebupdater::FN_DOWNLOAD, L"Unable to create path for file: " + file->path());
    }
    if (!created) {
        log(LOG_ERROR, cWebupdater::FN_DOWNLOAD, L"Unable to create temporary file: " + file->path());
        log(LOG_ERROR, cWebupdater::FN_DOWNLOAD, textutil::format(L"Error: %i", static_cast<int>(error)));
        return downloadFailed(error);
    }
    return portable::Result::done();
}

// The announced length, unless a transfer coding replaces it: checked up front against the limit
// and at the end against what arrived, because an early close of the connection reads as a
// normal end.
Bodyreceiver::Announced Bodyreceiver::announced(HINTERNET request)
{
    Announced out;
    const std::wstring transferEncoding = Httpexchange::queryInfo(request, HTTP_QUERY_TRANSFER_ENCODING);
    out.text = Httpexchange::queryInfo(request, HTTP_QUERY_CONTENT_LENGTH);
    const bool coded = !transferEncoding.empty() && !portable::equalsIgnoringAsciiCase(transferEncoding, L"identity");
    if (coded || out.text.empty()) {
        return out;
    }
    portable::DecimalValue parsed;
    if (!portable::parseDecimal(out.text, &parsed) || parsed.negative) {
        return out;
    }
    out.length = parsed.overflow ? UINT64_MAX : parsed.value;
    out.known = true;
    return out;
}

bool Bodyreceiver::readAvailable(HINTERNET request, char* buffer, DWORD* got)
{
    DWORD available = 0;
    if (!::InternetQueryDataAvailable(request, &available, 0, 0)) {
        return false;
    }
    if (available == 0) {
        *got = 0;
        return true;
    }
    const DWORD block = cWebupdater::READ_BLOCK;
    return ::InternetReadFile(request, buffer, available < block ? available : block, got) != FALSE;
}

portable::Result Bodyreceiver::stream(HINTERNET request, Downloadfile* file, const Announced& length)
{
    char buffer[cWebupdater::READ_BLOCK];
    Window window;
    window.start = ::GetTickCount64();
    uint64_t received = held;
    const uint64_t expected = length.known ? held + length.length : 0;
    for (;;) {
        DWORD got = 0;
        const bool read = readAvailable(request, buffer, &got);
        const DWORD readError = ::GetLastError();
        portable::Result r = checkWindow(&window, read, readError, got, received);
        if (!r) {
            return r;
        }
        if (!read) {
            log(LOG_ERROR, cWebupdater::FN_DOWNLOAD, L"Unable to read from the network!");
            log(LOG_ERROR, cWebupdater::FN_DOWNLOAD, textutil::format(L"Error: %i", static_cast<int>(readError)));
            return downloadFailed(readError);
        }
        if (got == 0) {
            break;
        }
        window.bytes += got;
        r = store(file, buffer, got, received);
        if (!r) {
            return r;
        }
        received += got;
        if (progress) {
            progress(received, expected);
        }
    }
    if (length.known && received != expected) {
        log(LOG_ERROR, cWebupdater::FN_DOWNLOAD,
            textutil::format(L"Download incomplete: %llu of %llu bytes received",
                             static_cast<unsigned long long>(received), static_cast<unsigned long long>(expected)));
        return downloadFailed(ERROR_HANDLE_EOF);
    }
    return portable::Result::done();
}

// At the end of every window: fewer than STALL_MIN_BYTES in it is a stall. A read that timed out
// waited the whole bound (the receive time-out) for nothing.
portable::Result Bodyreceiver::checkWindow(Window* window, bool read, DWORD readError, DWORD got, uint64_t received)
{
    const ULONGLONG now = ::GetTickCount64();
    const bool timedOut = !read && (readError == ERROR_INTERNET_TIMEOUT || readError == WSAETIMEDOUT);
    if (now - window->start < limits.stallBoundMs && !timedOut) {
        return portable::Result::done();
    }
    if (timedOut || window->bytes + got < cWebupdater::STALL_MIN_BYTES) {
        log(LOG_ERROR, cWebupdater::FN_DOWNLOAD,
            textutil::format(L"Download stalled: %llu bytes in %llu ms, after %llu bytes received",
                             static_cast<unsigned long long>(window->bytes + got),
                             static_cast<unsigned long long>(now - window->start),
                             static_cast<unsigned long long>(received)));
        return downloadFailed(ERROR_TIMEOUT);
    }
    window->start = now;
    window->bytes = 0;
    return portable::Result::done();
}

// One block into the file and the digest, within the size cap.
portable::Result Bodyreceiver::store(Downloadfile* file, const char* data, DWORD got, uint64_t received)
{
    if (received + got > limits.maxSize) {
        log(LOG_ERROR, cWebupdater::FN_DOWNLOAD,
            textutil::format(L"Download refused: the body exceeds the limit of %llu bytes",
                             static_cast<unsigned long long>(limits.maxSize)));
        return downloadFailed(ERROR_FILE_TOO_LARGE);
    }
    DWORD error = 0;
    if (!file->write(data, got, &error)) {
        log(LOG_ERROR, cWebupdater::FN_DOWNLOAD, L"Unable to write temporary file: " + file->path());
        return downloadFailed(error);
    }
    if (digest != nullptr) {
        digest->update(reinterpret_cast<const uint8_t*>(data), got);
    }
    return portable::Result::done();
}
