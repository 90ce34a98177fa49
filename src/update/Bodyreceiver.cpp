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
    const ULONGLONG started = ::GetTickCount64();
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
    if (r) {
        log(LOG_DEBUG, updateterms::FN_DOWNLOAD,
            textutil::format(L"Body received and flushed: %llu bytes in %llu ms",
                             static_cast<unsigned long long>(file->size()),
                             static_cast<unsigned long long>(::GetTickCount64() - started)));
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

// Reads into batch until it holds BATCH_BYTES, the body ends or a read returns after BATCH_MS:
// the caller gets the bytes of a slow link without delay and hands the helper thread a call per
// batch rather than per block. A read takes what InternetQueryDataAvailable reports; once that is a
// full WinINet buffer (FULL_BUFFER: the data comes faster than it is read) whole READ_BLOCKs are
// read without asking, until one of them takes BATCH_MS (a block read waits for all its bytes) or
// comes back short (the body's end, which the next question answers with 0 bytes, as it always
// did). The call holds only shared data, so that one left blocked by a passed deadline writes into
// nothing of the caller's.
BOOL Bodyreceiver::fillBatch(const std::shared_ptr<Reading>& reading, const std::shared_ptr<Batch>& batch, DWORD* error)
{
    batch->size = 0;
    batch->end = false;
    const ULONGLONG start = ::GetTickCount64();
    ULONGLONG now = start;
    while (batch->size + updateterms::READ_BLOCK <= BATCH_BYTES && now - start < BATCH_MS) {
        DWORD want = updateterms::READ_BLOCK;
        BOOL ok = TRUE;
        if (!reading->wholeBlocks) {
            ok = ::InternetQueryDataAvailable(reading->request, &want, 0, 0);
            reading->wholeBlocks = ok && want >= FULL_BUFFER;
            want = reading->wholeBlocks ? updateterms::READ_BLOCK : want;
        }
        if (want > reading->left) {
            // Never past the announced end: a read that meets the end inside hands the connection
            // back to WinINet's pool there and then, which under Wine starts a thread (1 MiB more
            // while the transfer's own threads still run).
            want = static_cast<DWORD>(reading->left);
        }
        DWORD got = 0;
        const ULONGLONG before = ::GetTickCount64();
        if (ok && want > 0) {
            ok = ::InternetReadFile(reading->request, batch->bytes.data() + batch->size, want, &got);
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
        reading->left -= got < reading->left ? got : reading->left;
        now = ::GetTickCount64();
        if (got < want || now - before >= BATCH_MS) {
            reading->wholeBlocks = false;
        }
    }
    *error = 0;
    return TRUE;
}

void Bodyreceiver::beginBatch(const std::shared_ptr<Reading>& reading, const std::shared_ptr<Batch>& batch)
{
    Transferwatch::Call read = [reading, batch](DWORD* failure) { return fillBatch(reading, batch, failure); };
    if (limits.watch != nullptr) {
        limits.watch->begin(std::move(read));
    } else {
        here.ok = read(&here.error);
    }
}

bool Bodyreceiver::awaitBatch(DWORD* error)
{
    if (limits.watch != nullptr) {
        return limits.watch->await(error) != FALSE;
    }
    *error = here.error;
    return here.ok != FALSE;
}

// Two batches take turns: while the helper thread reads the next one from the network, this
// thread writes the last one to the file and feeds it to the digest, from the same buffer. A
// batch is read into again only after it was stored.
portable::Result Bodyreceiver::stream(HINTERNET request, Downloadfile* file, const Announced& length)
{
    if (limits.watch != nullptr) {
        // Only what is still to come counts for the deadlines; without an announced length the
        // transfer may take the size cap's time at the floor.
        limits.watch->announce(length.known ? length.length : (limits.maxSize > held ? limits.maxSize - held : 0));
    }
    std::shared_ptr<Batch> batches[2] = {std::make_shared<Batch>(), std::make_shared<Batch>()};
    for (const auto& b : batches) {
        b->bytes.resize(BATCH_BYTES);
    }
    Progressed so{held, length.known ? held + length.length : 0, held};
    // Whatever way the stream ends, no early flush runs on after it.
    const Settle settle{limits.watch};
    const auto reading = std::make_shared<Reading>();
    reading->request = request;
    reading->left = length.known ? length.length : UINT64_MAX;
    beginBatch(reading, batches[0]);
    for (int turn = 0;; turn ^= 1) {
        DWORD readError = 0;
        if (!awaitBatch(&readError)) {
            return readFailed(readError, so.received);
        }
        const Batch& batch = *batches[turn];
        if (limits.watch != nullptr) {
            limits.watch->count(batch.size);
        }
        if (!batch.end) {
            beginBatch(reading, batches[turn ^ 1]);
        }
        // A failure here leaves a read under way to the helper, as a passed deadline does.
        const portable::Result r = store(file, batch.bytes.data(), batch.size, so.received);
        if (!r) {
            return r;
        }
        stored(file, batch.size, &so);
        if (batch.end) {
            break;
        }
    }
    if (limits.watch != nullptr) {
        limits.watch->finish();
    }
    if (length.known && so.received != so.expected) {
        log(LOG_ERROR, updateterms::FN_DOWNLOAD,
            textutil::format(L"Download incomplete: %llu of %llu bytes received",
                             static_cast<unsigned long long>(so.received),
                             static_cast<unsigned long long>(so.expected)));
        return downloadFailed(ERROR_HANDLE_EOF);
    }
    return portable::Result::done();
}

// After a batch was stored: the count, an early flush when one is due, the progress (once per
// batch: the splash needs no more, and a slow link's batch ends after BATCH_MS).
void Bodyreceiver::stored(Downloadfile* file, DWORD size, Progressed* so)
{
    so->received += size;
    if (limits.watch != nullptr && so->received - so->flushOfferedAt >= EARLY_FLUSH_EVERY) {
        // The disk takes what was written while the network brings the rest: the flush before the
        // switch finds only the last bytes still to write.
        so->flushOfferedAt = so->received;
        const HANDLE handle = file->handle();
        limits.watch->offer([handle] { ::FlushFileBuffers(handle); });
    }
    if (progress && size > 0) {
        progress(so->received, so->expected);
    }
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

// A batch into the file, a write per READ_BLOCK (each one a step of its own for the kill tests),
// within the size cap; then into the digest, from the same buffer.
portable::Result Bodyreceiver::store(Downloadfile* file, const char* data, DWORD size, uint64_t received)
{
    for (DWORD at = 0; at < size;) {
        const DWORD got = size - at < updateterms::READ_BLOCK ? size - at : updateterms::READ_BLOCK;
        if (received + at + got > limits.maxSize) {
            log(LOG_ERROR, updateterms::FN_DOWNLOAD,
                textutil::format(L"Download refused: the body exceeds the limit of %llu bytes",
                                 static_cast<unsigned long long>(limits.maxSize)));
            return downloadFailed(ERROR_FILE_TOO_LARGE);
        }
        DWORD error = 0;
        if (!file->write(data + at, got, &error)) {
            log(LOG_ERROR, updateterms::FN_DOWNLOAD, L"Unable to write temporary file: " + file->path());
            return downloadFailed(error);
        }
        at += got;
    }
    if (digest != nullptr) {
        digest->update(reinterpret_cast<const uint8_t*>(data), size);
    }
    return portable::Result::done();
}
