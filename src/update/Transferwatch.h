// Transferwatch: the deadlines of one HTTP exchange, from the send of the request to the last byte
// of the body. A transfer that brings fewer than windowBytes within one window of windowMs has
// stalled, whatever it is busy with (response headers, chunk framing or the body), and a transfer
// that takes longer than its announced size allows at the floor rate (floorMs at least) is too
// slow. WinINet's calls block and report no bytes before the response headers are complete, so
// the header phase is counted as bringing nothing: headers that are not complete within one window
// are a stall. A thread of its own waits for the deadlines; when one passes, it calls the expiry
// given at construction once (Httpexchange closes the request there, which makes a blocked send or
// read return with an error on Windows) and ends. Wine's WinINet lets a blocked call run on after
// its request is closed, so the blocking calls run through perform (or begin and await) on a
// helper thread: the caller stops waiting when a deadline passes and leaves the call to end by
// itself. The watch's own thread, idle between deadlines, also runs the jobs the transfer offers
// it (Bodyreceiver's early flushes). Owned by Httpexchange for one exchange; Bodyreceiver counts
// the body bytes into it.
#pragma once

#include "Loguser.h"
#include "result.h"

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class Transferwatch : public Loguser {
public:
    struct Bounds {
        // 0: no window at all.
        DWORD windowMs = 0;
        uint64_t windowBytes = 0;
        // Bytes per second the whole transfer must keep on average; 0: no overall deadline.
        uint64_t floorRate = 0;
        // The overall deadline is never shorter than this.
        ULONGLONG floorMs = 0;
    };
    enum class Reason { NONE, STALLED, TOO_SLOW };
    using Expiry = std::function<void()>;
    // A blocking call: TRUE or FALSE as the platform's call, its error code in *error.
    using Call = std::function<BOOL(DWORD* error)>;

    Transferwatch(Logger* logger, Bounds bounds, Expiry expiry);
    ~Transferwatch() override;
    Transferwatch(const Transferwatch&) = delete;
    Transferwatch& operator=(const Transferwatch&) = delete;
    int32_t getClassKind() const override { return 0; }

    // Before start.
    void setFloor(uint64_t bytesPerSecond, ULONGLONG leastMs)
    {
        bounds.floorRate = bytesPerSecond;
        bounds.floorMs = leastMs;
    }
    // At the send: the first window and the overall clock start. Again after finish (a new
    // exchange on the same watch): everything starts afresh.
    void start();
    // The size the transfer is to bring: the overall deadline is size / floor rate (floorMs at
    // least) from the start.
    void announce(uint64_t size);
    // Bytes that arrived.
    void count(uint64_t bytes);
    // The transfer is over (or abandoned): no deadline passes any more. Idempotent.
    void finish();
    Reason expired() const;
    // Runs call on the helper thread and waits for it; when a deadline passes first, FALSE with
    // ERROR_TIMEOUT and the call is left to itself: it must hold only copies or shared data, never
    // the caller's stack. Without a started watch the call runs on the caller's thread.
    BOOL perform(Call call, DWORD* error);
    // Side work of the transfer that must not hold up the caller (Bodyreceiver's early flushes)
    // runs on the watch's own thread, between its looks at the deadlines. One job at a time: a job
    // offered while another waits replaces it. False (the job not taken) when no watch thread runs.
    bool offer(std::function<void()> job);
    // Drops a job that waits and waits for the one under way.
    void settleOffered();
    // perform in two halves, so that the caller works while the helper waits for the network:
    // begin hands call to the helper thread and returns at once (without a started watch the call
    // runs here), await waits for it as perform does. One call at a time; a call begun and never
    // awaited is left to itself as one whose deadline passed.
    void begin(Call call);
    BOOL await(DWORD* error);
    // A failure after a deadline has passed (what the closed request made fail): the deadline's
    // log line (once per watch) and UPDATE_DOWNLOAD_FAILED with ERROR_TIMEOUT; otherwise r itself.
    portable::Result judge(const portable::Result& r);

private:
    struct Helper;
    void watch();
    // The earlier of the window's end and the overall deadline, in ticks.
    ULONGLONG nextCheck() const;
    // Called under the lock at or after a deadline: the reason, or NONE when a new window begins.
    Reason check(ULONGLONG now);

    Bounds bounds;
    Expiry expiry;
    mutable std::mutex lock;
    std::condition_variable wake;
    std::thread thread;
    // Shared with the helper thread, which outlives the watch while a left call blocks.
    std::shared_ptr<Helper> helper;
    // The helper of the call begun and not yet awaited; a call that ran on the caller's thread
    // leaves its result here instead.
    std::shared_ptr<Helper> begun;
    bool ranHere = false;
    BOOL hereResult = FALSE;
    DWORD hereError = 0;
    bool running = false;
    bool stopping = false;
    bool reported = false;
    Reason reason = Reason::NONE;
    ULONGLONG started = 0;
    ULONGLONG windowStart = 0;
    uint64_t windowCount = 0;
    uint64_t received = 0;
    // 0: no overall deadline (nothing announced yet or no floor rate).
    ULONGLONG allowedMs = 0;
    // The facts of the deadline that passed, for the log line.
    ULONGLONG expiredAfterMs = 0;
    uint64_t expiredWindowBytes = 0;
    ULONGLONG expiredWindowMs = 0;
    uint64_t announced = 0;
    // The job offered and not yet taken, and whether one runs.
    std::function<void()> offered;
    bool offeredRuns = false;
    std::condition_variable offeredDone;
};
