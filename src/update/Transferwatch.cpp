#include "Transferwatch.h"

#include "textutil.h"
#include "updateterms.h"

#include <chrono>

namespace {

// SRWLOCK held for a scope. The hand-over to the helper thread uses the platform's slim lock and
// condition variable: their waits are about ten times cheaper under Wine than those of the C++
// library's (mingw's) condition variable, which the transfer pays twice per batch.
class Exclusive {
public:
    explicit Exclusive(SRWLOCK* lock) : lock(lock) { ::AcquireSRWLockExclusive(lock); }
    ~Exclusive()
    {
        if (held) {
            ::ReleaseSRWLockExclusive(lock);
        }
    }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;
    void unlock()
    {
        held = false;
        ::ReleaseSRWLockExclusive(lock);
    }
    void relock()
    {
        ::AcquireSRWLockExclusive(lock);
        held = true;
    }

private:
    SRWLOCK* lock;
    bool held = true;
};

} // namespace

// The helper thread's side: one call at a time, handed over under the lock.
struct Transferwatch::Helper {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE wake = CONDITION_VARIABLE_INIT;
    Call call;
    bool pending = false;
    bool done = false;
    bool quit = false;
    BOOL result = FALSE;
    DWORD error = 0;

    static void serve(const std::shared_ptr<Helper>& self)
    {
        Exclusive guard(&self->lock);
        for (;;) {
            while (!self->pending && !self->quit) {
                ::SleepConditionVariableSRW(&self->wake, &self->lock, INFINITE, 0);
            }
            if (self->quit) {
                return;
            }
            Call job = std::move(self->call);
            self->pending = false;
            guard.unlock();
            DWORD error = 0;
            const BOOL result = job(&error);
            job = nullptr;
            guard.relock();
            self->result = result;
            self->error = error;
            self->done = true;
            ::WakeAllConditionVariable(&self->wake);
        }
    }
};

Transferwatch::Transferwatch(Logger* logger, Bounds limits, Expiry onExpiry)
    : Loguser(logger), bounds(limits), expiry(std::move(onExpiry))
{
}

Transferwatch::~Transferwatch() { finish(); }

// After finish the watch may start again for a new exchange: every count and verdict starts afresh.
void Transferwatch::start()
{
    if (thread.joinable()) {
        // A watch whose deadline passed has ended its thread by itself.
        finish();
    }
    std::lock_guard<std::mutex> guard(lock);
    if (running && !stopping) {
        return;
    }
    stopping = false;
    reported = false;
    reason = Reason::NONE;
    windowCount = 0;
    received = 0;
    allowedMs = 0;
    announced = 0;
    started = ::GetTickCount64();
    windowStart = started;
    running = false;
    if (bounds.windowMs == 0 && bounds.floorRate == 0) {
        return;
    }
    running = true;
    thread = std::thread([this] { watch(); });
    helper = std::make_shared<Helper>();
    std::thread([keep = helper] { Helper::serve(keep); }).detach();
}

BOOL Transferwatch::perform(Call call, DWORD* error)
{
    begin(std::move(call));
    return await(error);
}

void Transferwatch::begin(Call call)
{
    std::shared_ptr<Helper> h;
    {
        std::lock_guard<std::mutex> guard(lock);
        h = helper;
    }
    begun.reset();
    ranHere = false;
    if (!h) {
        ranHere = true;
        hereResult = call(&hereError);
        return;
    }
    if (expired() != Reason::NONE) {
        ranHere = true;
        hereResult = FALSE;
        hereError = ERROR_TIMEOUT;
        return;
    }
    {
        Exclusive guard(&h->lock);
        h->call = std::move(call);
        h->pending = true;
        h->done = false;
    }
    ::WakeAllConditionVariable(&h->wake);
    begun = std::move(h);
}

BOOL Transferwatch::await(DWORD* error)
{
    if (ranHere) {
        ranHere = false;
        *error = hereError;
        return hereResult;
    }
    const std::shared_ptr<Helper> h = std::move(begun);
    if (!h) {
        *error = ERROR_INVALID_FUNCTION;
        return FALSE;
    }
    Exclusive guard(&h->lock);
    // The deadline is looked at every tenth of a second; a call that returns wakes the wait at once.
    while (!h->done) {
        ::SleepConditionVariableSRW(&h->wake, &h->lock, 100, 0);
        if (!h->done && expired() != Reason::NONE) {
            // The helper stays with the left call and ends after it.
            h->quit = true;
            guard.unlock();
            std::lock_guard<std::mutex> own(lock);
            helper.reset();
            *error = ERROR_TIMEOUT;
            return FALSE;
        }
    }
    *error = h->error;
    return h->result;
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
    std::shared_ptr<Helper> h;
    {
        std::lock_guard<std::mutex> guard(lock);
        h.swap(helper);
    }
    if (h) {
        {
            Exclusive guard(&h->lock);
            h->quit = true;
        }
        ::WakeAllConditionVariable(&h->wake);
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

bool Transferwatch::offer(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!running || stopping || reason != Reason::NONE) {
            return false;
        }
        offered = std::move(job);
    }
    wake.notify_all();
    return true;
}

void Transferwatch::settleOffered()
{
    std::unique_lock<std::mutex> guard(lock);
    offered = nullptr;
    offeredDone.wait(guard, [this] { return !offeredRuns; });
}

// Sleeps until the next deadline (or a new announcement, an offered job, or the end); the expiry
// and the jobs run outside the lock, so that they may take locks of their own.
void Transferwatch::watch()
{
    std::unique_lock<std::mutex> guard(lock);
    while (!stopping) {
        if (offered) {
            const std::function<void()> job = std::move(offered);
            offered = nullptr;
            offeredRuns = true;
            guard.unlock();
            job();
            guard.lock();
            offeredRuns = false;
            offeredDone.notify_all();
            continue;
        }
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
            offered = nullptr;
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
    offered = nullptr;
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
        log(LOG_ERROR, updateterms::FN_DOWNLOAD, line);
    }
    return portable::Result::failedWith(updateterms::UPDATE_DOWNLOAD_FAILED, ERROR_TIMEOUT);
}
