// Bodyreceiver: streams the body of an accepted response into a new private file (Downloadfile)
// in READ_BLOCK pieces. It refuses a body announced or growing above the size cap, ends a
// transfer that brings fewer than STALL_MIN_BYTES within one stall window, compares what arrived
// with the announced length, reports the progress after every block and feeds every block to the
// body digest when there is one. A failed receive deletes the partial file. Created by
// cWebupdater for one download; it borrows the Logger, the progress callback and the digest.
#pragma once

#include "Bodydigest.h"
#include "Downloadfile.h"
#include "Loguser.h"
#include "result.h"

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <functional>
#include <string>

class Bodyreceiver : public Loguser {
public:
    // Bytes received so far and the announced Content-Length (0 when none is announced).
    using Progress = std::function<void(uint64_t received, uint64_t expected)>;

    struct Limits {
        uint64_t maxSize = 0;
        DWORD stallBoundMs = 0;
    };

    // progress and digest may be empty / null.
    Bodyreceiver(Logger* logger, Limits limits, const Progress& progress, Bodydigest* digest);
    int32_t getClassKind() const override { return 0; }

    // The body of request into "<folder>/<stem>.<random>.tmp", flushed; the file stays open. Fails
    // with cWebupdater::UPDATE_DOWNLOAD_FAILED and the system error that explains it: the
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
    // The stall window under way.
    struct Window {
        ULONGLONG start = 0;
        uint64_t bytes = 0;
    };

    portable::Result createFile(const std::wstring& folder, const std::wstring& stem, Downloadfile* file);
    static Announced announced(HINTERNET request);
    portable::Result stream(HINTERNET request, Downloadfile* file, const Announced& length);
    portable::Result checkWindow(Window* window, bool read, DWORD readError, DWORD got, uint64_t received);
    portable::Result store(Downloadfile* file, const char* data, DWORD got, uint64_t received);
    // Reads what has arrived, up to one block; waits (within the receive time-out) when nothing has.
    static bool readAvailable(HINTERNET request, char* buffer, DWORD* got);

    Limits limits;
    const Progress& progress;
    Bodydigest* digest;
    uint64_t held = 0;
    bool keepCut = false;
};
