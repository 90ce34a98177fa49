// Bodyreceiver: streams the body of an accepted response into a new private file (Downloadfile).
// The exchange's helper thread reads batches of up to four READ_BLOCKs while this thread writes the
// batch before to the file, a write per block, and feeds it to the body digest when there is one,
// from the same buffer (two buffers in all). It refuses a body announced or growing above the size
// cap, counts every batch into the exchange's Transferwatch (which ends a stalled or too slow
// transfer by closing the request; a read that timed out is a stall as well), compares what
// arrived with the announced length, reports the progress after every batch, has the written
// bytes flushed on the watch's thread while the rest arrives, and flushes the file at the end. A
// failed receive deletes the partial file. Created by cWebupdater for one download; it borrows
// the Logger, the progress callback and the digest.
#pragma once

#include "Bodydigest.h"
#include "Downloadfile.h"
#include "Loguser.h"
#include "Transferwatch.h"
#include "result.h"
#include "updateterms.h"

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class Bodyreceiver : public Loguser {
public:
    // Bytes received so far and the announced Content-Length (0 when none is announced).
    using Progress = std::function<void(uint64_t received, uint64_t expected)>;

    struct Limits {
        uint64_t maxSize = 0;
        DWORD stallBoundMs = 0;
        // The exchange's deadlines (may be null: then only a read that timed out is a stall).
        Transferwatch* watch = nullptr;
    };

    // progress and digest may be empty / null.
    Bodyreceiver(Logger* logger, Limits limits, const Progress& progress, Bodydigest* digest);
    int32_t getClassKind() const override { return 0; }

    // The body of request into "<folder>/<stem>.<random>.tmp", flushed; the file stays open. Fails
    // with updateterms::UPDATE_DOWNLOAD_FAILED and the system error that explains it: the
    // platform's code of a failed call, ERROR_FILE_TOO_LARGE for the size cap, ERROR_HANDLE_EOF for
    // a body shorter than announced and ERROR_TIMEOUT for a stalled transfer.
    portable::Result receive(HINTERNET request, const std::wstring& folder, const std::wstring& stem,
                             Downloadfile* file);
    // A resumed transfer: file is open and holds heldBytes already; the body is appended, and the
    // size cap, the announced length and the progress count the held bytes as received.
    void resumeAt(uint64_t heldBytes) { held = heldBytes; }
    // A failed receive leaves the partial file open (flushed as far as it got) for the caller.
    void keepOnFailure(bool keep) { keepCut = keep; }

private:
    // What the response announces: the length (unless a transfer coding replaces it) and its text.
    struct Announced {
        bool known = false;
        uint64_t length = 0;
        std::wstring text;
    };

    portable::Result createFile(const std::wstring& folder, const std::wstring& stem, Downloadfile* file);
    static Announced announced(HINTERNET request);
    portable::Result stream(HINTERNET request, Downloadfile* file, const Announced& length);
    portable::Result readFailed(DWORD readError, uint64_t received);
    portable::Result store(Downloadfile* file, const char* data, DWORD size, uint64_t received);
    // Bytes received (held ones included), the announced total (0: none) and where the last early
    // flush was offered.
    struct Progressed {
        uint64_t received;
        uint64_t expected;
        uint64_t flushOfferedAt;
    };
    void stored(Downloadfile* file, DWORD size, Progressed* so);
    // What the helper thread reads for one call (see fillBatch).
    struct Batch {
        std::vector<char> bytes;
        DWORD size = 0;
        bool end = false;
    };
    static constexpr DWORD BATCH_BYTES = 4 * updateterms::READ_BLOCK;
    static constexpr ULONGLONG BATCH_MS = 100;
    // WinINet's own read buffer holds this much: a full one says more is on its way.
    static constexpr DWORD FULL_BUFFER = 8192;
    // The file is flushed on the watch's thread after every EARLY_FLUSH_EVERY bytes written. These
    // flushes are no step of the update (the file's bytes are the same either way): they are not
    // kill points, and one that fails changes nothing (the flush before the switch reports its own).
    static constexpr uint64_t EARLY_FLUSH_EVERY = 8u * 1048576u;
    // Waits for an early flush under way when the stream ends (the file may be closed next).
    struct Settle {
        Transferwatch* watch;
        ~Settle()
        {
            if (watch != nullptr) {
                watch->settleOffered();
            }
        }
    };
    // How the body is read, from one batch to the next (see fillBatch).
    struct Reading {
        HINTERNET request = nullptr;
        bool wholeBlocks = false;
        // Bytes of the announced length still to come (UINT64_MAX: none announced).
        uint64_t left = UINT64_MAX;
    };
    static BOOL fillBatch(const std::shared_ptr<Reading>& reading, const std::shared_ptr<Batch>& batch, DWORD* error);
    // A batch read through the watch, in two halves (Transferwatch::begin and await); false with
    // the read's error (ERROR_TIMEOUT when a deadline passed).
    void beginBatch(const std::shared_ptr<Reading>& reading, const std::shared_ptr<Batch>& batch);
    bool awaitBatch(DWORD* error);

    // The result of a batch read on this thread (no watch).
    struct Here {
        BOOL ok = FALSE;
        DWORD error = 0;
    };

    Limits limits;
    Here here;
    const Progress& progress;
    Bodydigest* digest;
    uint64_t held = 0;
    bool keepCut = false;
};
