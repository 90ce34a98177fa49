#include "Bodyreceiver.h"

#include "Httpexchange.h"
#include "updateterms.h"

#include "Fileobject.h"
#include "asciicase.h"
#include "decimal.h"
#include "textutil.h"

#include <memory>

namespace {

portable::Result downloadFailed(DWORD error)
{
    return portable::Result::failedWith(updateterms::UPDATE_DOWNLOAD_FAILED, error);
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
        log(LOG_ERROR, updateterms::FN_DOWNLOAD,
            textutil::format(L"Download refused: %ls bytes announced, more than the limit of %llu bytes",
                             length.text.c_str(), static_cast<unsigned long long>(limits.maxSize)));
        r = downloadFailed(ERROR_FILE_TOO_LARGE);
    } else {
        r = stream(request, file, length);
    }
    DWORD error = 0;
    if (r && !file->flush(&error)) {
        log(LOG_ERROR, updateterms::FN_DOWNLOAD, L"Unable to write temporary file: " + file->path());
        log(LOG_ERROR, updateterms::FN_DOWNLOAD, textutil::format(L"Error: %i", static_cast<int>(error)));
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
        log(LOG_WARNING, updateterms::FN_DOWNLOAD, L"Unable to create path for file: " + file->path());
    }
    if (!created) {
        log(LOG_ERROR, updateterms::FN_DOWNLOAD, L"Unable to create temporary file: " + file->path());
        log(LOG_ERROR, updateterms::FN_DOWNLOAD, textutil::format(L"Error: %i", static_cast<int>(error)));
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

// Reads in READ_BLOCK pieces into batch until it holds BATCH_BYTES, the body ends or a read
// returns after BATCH_MS: the caller gets the bytes of a slow link without delay and hands the
// helper thread a call per batch rather than per block. The call holds only the shared batch, so
// that one left blocked by a passed deadline writes into nothing of the caller's.
BOOL Bodyreceiver::fillBatch(HINTERNET request, const std::shared_ptr<Batch>& batch, DWORD* error)
{
    batch->size = 0;
    batch->end = false;
    const ULONGLONG start = ::GetTickCount64();
    while (batch->size + updateterms::READ_BLOCK <= BATCH_BYTES && ::GetTickCount64() - start < BATCH_MS) {
        DWORD available = 0;
        DWORD got = 0;
        BOOL ok = ::InternetQueryDataAvailable(request, &available, 0, 0);
        if (ok && available > 0) {
            const DWORD want = available < updateterms::READ_BLOCK ? available : updateterms::READ_BLOCK;
            ok = ::InternetReadFile(request, batch->bytes.data() + batch->size, want, &got);
        }
        if (!ok) {
            *error = ::GetLastError();
            return FALSE;
        }
        if (got == 0) {
            batch->end = true;
            break;
        }
        batch->size += got;
    }
    *error = 0;
    return TRUE;
}

bool Bodyreceiver::readBatch(HINTERNET request, const std::shared_ptr<Batch>& batch, DWORD* error)
{
    const Transferwatch::Call read = [request, batch](DWORD* failure) { return fillBatch(request, batch, failure); };
    return (limits.watch != nullptr ? limits.watch->perform(read, error) : read(error)) != FALSE;
}

portable::Result Bodyreceiver::stream(HINTERNET request, Downloadfile* file, const Announced& length)
{
    if (limits.watch != nullptr) {
        // Only what is still to come counts for the deadlines; without an announced length the
        // transfer may take the size cap's time at the floor.
        limits.watch->announce(length.known ? length.length : (limits.maxSize > held ? limits.maxSize - held : 0));
    }
    auto batch = std::make_shared<Batch>();
    batch->bytes.resize(BATCH_BYTES);
    uint64_t received = held;
    const uint64_t expected = length.known ? held + length.length : 0;
    do {
        DWORD readError = 0;
        if (!readBatch(request, batch, &readError)) {
            return readFailed(readError, received);
        }
        if (limits.watch != nullptr) {
            limits.watch->count(batch->size);
        }
        for (DWORD at = 0; at < batch->size; at += updateterms::READ_BLOCK) {
            const DWORD got = batch->size - at < updateterms::READ_BLOCK ? batch->size - at : updateterms::READ_BLOCK;
            const portable::Result r = store(file, batch->bytes.data() + at, got, received);
            if (!r) {
                return r;
            }
            received += got;
            if (progress) {
                progress(received, expected);
            }
        }
    } while (!batch->end);
    if (limits.watch != nullptr) {
        limits.watch->finish();
    }
    if (length.known && received != expected) {
        log(LOG_ERROR, updateterms::FN_DOWNLOAD,
            textutil::format(L"Download incomplete: %llu of %llu bytes received",
                             static_cast<unsigned long long>(received), static_cast<unsigned long long>(expected)));
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
        log(LOG_ERROR, updateterms::FN_DOWNLOAD,
            textutil::format(L"Download stalled: nothing within the receive time-out, after %llu bytes received",
                             static_cast<unsigned long long>(received)));
        return downloadFailed(ERROR_TIMEOUT);
    }
    log(LOG_ERROR, updateterms::FN_DOWNLOAD, L"Unable to read from the network!");
    log(LOG_ERROR, updateterms::FN_DOWNLOAD, textutil::format(L"Error: %i", static_cast<int>(readError)));
    return failed;
}

// One block into the file and the digest, within the size cap.
portable::Result Bodyreceiver::store(Downloadfile* file, const char* data, DWORD got, uint64_t received)
{
    if (received + got > limits.maxSize) {
        log(LOG_ERROR, updateterms::FN_DOWNLOAD,
            textutil::format(L"Download refused: the body exceeds the limit of %llu bytes",
                             static_cast<unsigned long long>(limits.maxSize)));
        return downloadFailed(ERROR_FILE_TOO_LARGE);
    }
    DWORD error = 0;
    if (!file->write(data, got, &error)) {
        log(LOG_ERROR, updateterms::FN_DOWNLOAD, L"Unable to write temporary file: " + file->path());
        return downloadFailed(error);
    }
    if (digest != nullptr) {
        digest->update(reinterpret_cast<const uint8_t*>(data), got);
    }
    return portable::Result::done();
}
