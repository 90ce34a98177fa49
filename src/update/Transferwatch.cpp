#include "Transferwatch.h"

#include "cWebupdater.h"
#include "textutil.h"

#include <chrono>

Transferwatch::Transferwatch(Logger* logger, Bounds limits, Expiry onExpiry)
    : Loguser(logger), bounds(limits), expiry(std::move(onExpiry))
{
}

Transferwatch::~Transferwatch() { finish(); }

void Transferwatch::start()
{
    std::lock_guard<std::mutex> guard(lock);
    if (running || stopping) {
        return;
    }
    started = ::GetTickCount64();
    windowStart = started;
    if (bounds.windowMs == 0 && bounds.floorRate == 0) {
        return;
    }
    running = true;
    thread = std::thread([this] { watch(); });
}

void Transferwatch::announce(uint64_t size)
{
    std::lock_guard<std::mutex> guard(lock);
    if (bounds.floorRate == 0) {
        return;
    }
    announced = size;
    const uint64_t atFloor = size / bounds.floorRate * 1000 + size % bounds.floorRate * 1000 / bounds.floorRate;
    allowedMs = atFloor > bounds.floorMs ? atFloor : bounds.floorMs;
    wake.notify_all();
}

void Transferwatch::count(uint64_t bytes)
{
    std::lock_guard<std::mutex> guard(lock);
    windowCount += bytes;
    received += bytes;
}

void Transferwatch::finish()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
        wake.notify_all();
    }
    if (thread.joinable()) {
        thread.join();
    }
}

Transferwatch::Reason Transferwatch::expired() const
{
    std::lock_guard<std::mutex> guard(lock);
    return reason;
}

ULONGLONG Transferwatch::nextCheck() const
{
    ULONGLONG next = bounds.windowMs != 0 ? windowStart + bounds.windowMs : ~0ULL;
    if (allowedMs != 0 && started + allowedMs < next) {
        next = started + allowedMs;
    }
    return next;
}

Transferwatch::Reason Transferwatch::check(ULONGLONG now)
{
    if (allowedMs != 0 && now - started >= allowedMs) {
        return Reason::TOO_SLOW;
    }
    if (bounds.windowMs == 0 || now - windowStart < bounds.windowMs) {
        return Reason::NONE;
    }
    if (windowCount < bounds.windowBytes) {
        return Reason::STALLED;
    }
    windowStart = now;
    windowCount = 0;
    return Reason::NONE;
}

// Sleeps until the next deadline (or a new announcement, or the end); the expiry is called
// outside the lock, so that it may take locks of its own.
void Transferwatch::watch()
{
    std::unique_lock<std::mutex> guard(lock);
    while (!stopping) {
        const ULONGLONG now = ::GetTickCount64();
        const ULONGLONG next = nextCheck();
        if (now < next) {
            const ULONGLONG wait = next - now < 3600000 ? next - now : 3600000;
            wake.wait_for(guard, std::chrono::milliseconds(wait));
            continue;
        }
        const Reason found = check(now);
        if (found != Reason::NONE) {
            reason = found;
            expiredAfterMs = now - started;
            expiredWindowBytes = windowCount;
            expiredWindowMs = now - windowStart;
            guard.unlock();
            if (expiry) {
                expiry();
            }
            return;
        }
    }
}

portable::Result Transferwatch::judge(const portable::Result& r)
{
    std::unique_lock<std::mutex> guard(lock);
    if (r.ok() || reason == Reason::NONE) {
        return r;
    }
    if (!reported) {
        reported = true;
        const auto total = static_cast<unsigned long long>(received);
        std::wstring line =
            reason == Reason::STALLED
                ? textutil::format(L"Download stalled: %llu bytes in %llu ms, after %llu bytes received",
                                   static_cast<unsigned long long>(expiredWindowBytes),
                                   static_cast<unsigned long long>(expiredWindowMs), total)
                : textutil::format(L"Download too slow: %llu of %llu bytes in %llu ms, the floor rate allows %llu ms",
                                   total, static_cast<unsigned long long>(announced),
                                   static_cast<unsigned long long>(expiredAfterMs),
                                   static_cast<unsigned long long>(allowedMs));
        guard.unlock();
        log(LOG_ERROR, cWebupdater::FN_DOWNLOAD, line);
    }
    return portable::Result::failedWith(cWebupdater::UPDATE_DOWNLOAD_FAILED, ERROR_TIMEOUT);
}
