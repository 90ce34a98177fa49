#include "Bodyreceiver.h"

#include "Httpexchange.h"
#include "cWebupdater.h"

#include "Fileobject.h"
#include "asciicase.h"
#include "decimal.h"
#include "textutil.h"

#include <cstring>
#include <memory>

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
    portable::Result r = createFile(folder, stem, file);
    if (!r) {
        return r;
    }
    const Announced length = announced(request);
    if (length.known && length.length > limits.maxSize) {
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
    if (!r) {
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

// A read holds only shared data, so that one left blocked by a passed deadline writes into
// nothing of the caller's.
bool Bodyreceiver::readAvailable(HINTERNET request, char* buffer, DWORD* got)
{
    struct Block {
        char bytes[cWebupdater::READ_BLOCK];
        DWORD got = 0;
    };
    auto block = std::make_shared<Block>();
    const Transferwatch::Call read = [request, block](DWORD* error) {
        DWORD available = 0;
        BOOL ok = ::InternetQueryDataAvailable(request, &available, 0, 0);
        if (ok && available > 0) {
            const DWORD want = available < cWebupdater::READ_BLOCK ? available : cWebupdater::READ_BLOCK;
            ok = ::InternetReadFile(request, block->bytes, want, &block->got);
        }
        *error = ok ? 0 : ::GetLastError();
        return ok;
    };
    DWORD error = 0;
    const BOOL ok = limits.watch != nullptr ? limits.watch->perform(read, &error) : read(&error);
    if (!ok) {
        ::SetLastError(error);
        return false;
    }
    *got = block->got;
    std::memcpy(buffer, block->bytes, block->got);
    return true;
}

portable::Result Bodyreceiver::stream(HINTERNET request, Downloadfile* file, const Announced& length)
{
    if (limits.watch != nullptr) {
        // Without an announced length the transfer may take the size cap's time at the floor.
        limits.watch->announce(length.known ? length.length : limits.maxSize);
    }
    char buffer[cWebupdater::READ_BLOCK];
    uint64_t received = 0;
    for (;;) {
        DWORD got = 0;
        const bool read = readAvailable(request, buffer, &got);
        if (!read) {
            return readFailed(::GetLastError(), received);
        }
        if (got == 0) {
            break;
        }
        if (limits.watch != nullptr) {
            limits.watch->count(got);
        }
        const portable::Result r = store(file, buffer, got, received);
        if (!r) {
            return r;
        }
        received += got;
        if (progress) {
            progress(received, length.known ? length.length : 0);
        }
    }
    if (limits.watch != nullptr) {
        limits.watch->finish();
    }
    if (length.known && received != length.length) {
        log(LOG_ERROR, cWebupdater::FN_DOWNLOAD,
            textutil::format(L"Download incomplete: %llu of %llu bytes received",
                             static_cast<unsigned long long>(received),
                             static_cast<unsigned long long>(length.length)));
        return downloadFailed(ERROR_HANDLE_EOF);
    }
    return portable::Result::done();
}

// A read that failed because the watch closed the request, or one that waited the whole receive
// time-out for nothing, is a stall; any other is the network's failure.
portable::Result Bodyreceiver::readFailed(DWORD readError, uint64_t received)
{
    const portable::Result failed = downloadFailed(readError);
    if (limits.watch != nullptr && limits.watch->expired() != Transferwatch::Reason::NONE) {
        return limits.watch->judge(failed);
    }
    if (readError == ERROR_INTERNET_TIMEOUT || readError == WSAETIMEDOUT) {
        log(LOG_ERROR, cWebupdater::FN_DOWNLOAD,
            textutil::format(L"Download stalled: nothing within the receive time-out, after %llu bytes received",
                             static_cast<unsigned long long>(received)));
        return downloadFailed(ERROR_TIMEOUT);
    }
    log(LOG_ERROR, cWebupdater::FN_DOWNLOAD, L"Unable to read from the network!");
    log(LOG_ERROR, cWebupdater::FN_DOWNLOAD, textutil::format(L"Error: %i", static_cast<int>(readError)));
    return failed;
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
