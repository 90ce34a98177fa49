// Bodyreceiver: streams the body of an accepted response into a new private file (Downloadfile)
// in READ_BLOCK pieces. It refuses a body announced or growing above the size cap, counts every
// block into the exchange's Transferwatch (which ends a stalled or too slow transfer by closing the
// request; a read that timed out is a stall as well), compares what arrived
// with the announced length, reports the progress after every block and feeds every block to the
// body digest when there is one. A failed receive deletes the partial file. Created by
// cWebupdater for one download; it borrows the Logger, the progress callback and the digest.
#pragma once

#include "Bodydigest.h"
#include "Downloadfile.h"
#include "Loguser.h"
#include "Transferwatch.h"
#include "result.h"

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
    portable::Result store(Downloadfile* file, const char* data, DWORD got, uint64_t received);
    // What the helper thread reads for one call (see fillBatch).
    struct Batch {
        std::vector<char> bytes;
        DWORD size = 0;
        bool end = false;
    };
    static constexpr DWORD BATCH_BYTES = 262144;
    static constexpr ULONGLONG BATCH_MS = 100;
    static BOOL fillBatch(HINTERNET request, const std::shared_ptr<Batch>& batch, DWORD* error);
    // A batch through the watch; false with the read's error (ERROR_TIMEOUT when a deadline passed).
    bool readBatch(HINTERNET request, const std::shared_ptr<Batch>& batch, DWORD* error);

    Limits limits;
    const Progress& progress;
    Bodydigest* digest;
    uint64_t held = 0;
    bool keepCut = false;
};
