// Busyserver: the updater's patience with a server (or the load balancer in front of it) that
// answers 503 (Service Unavailable) or 429 (Too Many Requests) with a Retry-After of at most
// MAX_RETRY_AFTER_S seconds: it reads and drops that answer's body, waits as long as asked plus a
// random 0 to 20 % (so that installers started together do not come back together), and lets the
// updater ask again; at most MAX_RETRIES times per updateFile call and never past MAX_TOTAL_WAIT_MS
// of waiting in all. A longer, missing or unreadable Retry-After, or a busy answer past those
// bounds, is left to be judged as any other answer. Created by cWebupdater on the stack of one
// call; it borrows the Logger. The pause and the status text are the caller's: the pause is the
// seam that keeps tests from sleeping.
#pragma once

#include "Loguser.h"

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class Busyserver : public Loguser {
public:
    static constexpr int MAX_RETRIES = 3;
    static constexpr int64_t MAX_RETRY_AFTER_S = 120;
    static constexpr uint64_t MAX_TOTAL_WAIT_MS = 300000;
    // The random share added to a wait, in tenths of a percent.
    static constexpr uint32_t MAX_EXTRA_PER_MILLE = 200;
    // The body of a busy answer is read for at most this many bytes and milliseconds (plus one read,
    // which the request's receive time-out bounds) before the request is closed anyway.
    static constexpr DWORD MAX_DRAINED_BYTES = 65536;
    static constexpr ULONGLONG MAX_DRAIN_MS = 5000;
    static constexpr const wchar_t* FN_WAIT = L"cWebupdater::waitForBusyServer";
    // The status line while a wait counts down (the whole seconds left), and once it is over.
    static constexpr const wchar_t* STATUS_COUNTDOWN = L"Server busy, retrying in %llu s";
    static constexpr const wchar_t* STATUS_IDLE = L"Please wait";

    using Pause = std::function<void(DWORD milliseconds)>;
    using StatusText = std::function<void(const std::wstring& text)>;

    // statusText may be empty (no splash).
    Busyserver(Logger* logger, Pause pause, StatusText statusText);
    int32_t getClassKind() const override { return 0; }

    // After an answer to the open request: true when it was a busy answer that may be waited for
    // and the wait is over (ask again); false when the answer is to be judged as it stands.
    bool waitIfBusy(HINTERNET request);

    // The seconds a Retry-After value asks to wait: delta-seconds, or an HTTP date less the
    // answer's Date (both stamped by the server's clock, so a wrong local clock does not matter),
    // less now (seconds since 1970 by the local clock) when the answer has no readable Date. A
    // date already past gives 0. False when the value is neither.
    static bool retryDelay(std::wstring_view retryAfter, std::wstring_view date, int64_t now, int64_t* seconds);
    // seconds in milliseconds plus random % (MAX_EXTRA_PER_MILLE + 1) tenths of a percent of them.
    static uint64_t withRandomShare(int64_t seconds, uint32_t random);
    // A number from the system's random source (rand_s).
    static uint32_t randomNumber();
    // Sleep, as the pause outside tests.
    static void sleep(DWORD milliseconds);

private:
    bool mayWait(long status, const std::wstring& retryAfter, const std::wstring& date, uint64_t* milliseconds);
    void drainBody(HINTERNET request);
    void waitShowingStatus(uint64_t milliseconds);

    Pause pause;
    StatusText statusText;
    int retries = 0;
    uint64_t waitedMs = 0;
};
