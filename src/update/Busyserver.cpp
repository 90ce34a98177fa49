// rand_s is declared only on request, before the C library's headers come in.
#define _CRT_RAND_S
#include <stdlib.h>

#include "Busyserver.h"

#include "decimal.h"
#include "httpdate.h"

#include "Httpexchange.h"
#include "filetime.h"
#include "textutil.h"

#include <vector>

namespace {

int64_t nowSeconds()
{
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    return filetime::toUnixSeconds(ft);
}

std::wstring_view trimmed(std::wstring_view text)
{
    const size_t start = text.find_first_not_of(L" \t");
    if (start == std::wstring_view::npos) {
        return {};
    }
    return text.substr(start, text.find_last_not_of(L" \t") - start + 1);
}

} // namespace

Busyserver::Busyserver(Logger* logger, Pause pauseFor, StatusText status)
    : Loguser(logger), pause(std::move(pauseFor)), statusText(std::move(status))
{
}

bool Busyserver::retryDelay(std::wstring_view retryAfter, std::wstring_view date, int64_t now, int64_t* seconds)
{
    const std::wstring_view value = trimmed(retryAfter);
    if (!value.empty() && value.find_first_not_of(L"0123456789") == std::wstring_view::npos) {
        portable::DecimalValue parsed;
        portable::parseDecimal(value, &parsed);
        // Anything of more than 18 digits is far beyond every bound.
        *seconds =
            parsed.overflow || parsed.value > 999999999999999999ULL ? INT64_MAX : static_cast<int64_t>(parsed.value);
        return true;
    }
    int64_t at = 0;
    if (!portable::parseHttpDate(value, &at)) {
        return false;
    }
    int64_t reference = now;
    int64_t serverNow = 0;
    if (portable::parseHttpDate(date, &serverNow)) {
        reference = serverNow;
    }
    *seconds = at > reference ? at - reference : 0;
    return true;
}

uint64_t Busyserver::withRandomShare(int64_t seconds, uint32_t random)
{
    const uint64_t ms = static_cast<uint64_t>(seconds) * 1000;
    return ms + ms * (random % (MAX_EXTRA_PER_MILLE + 1)) / 1000;
}

uint32_t Busyserver::randomNumber()
{
    unsigned int value = 0;
    if (rand_s(&value) != 0) {
        // No random source: the tick count still differs between machines started together.
        value = static_cast<uint32_t>(::GetTickCount64() * 2654435761ULL);
    }
    return value;
}

void Busyserver::sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

bool Busyserver::waitIfBusy(HINTERNET request)
{
    const long status = Httpexchange::statusCode(Httpexchange::queryInfo(request, HTTP_QUERY_STATUS_CODE));
    if (status != 503 && status != 429) {
        return false;
    }
    const std::wstring retryAfter = Httpexchange::queryInfo(request, HTTP_QUERY_RETRY_AFTER);
    uint64_t ms = 0;
    if (!mayWait(status, retryAfter, Httpexchange::queryInfo(request, HTTP_QUERY_DATE), &ms)) {
        return false;
    }
    drainBody(request);
    ++retries;
    log(LOG_WARNING, FN_WAIT,
        textutil::format(L"Server busy (status %li, Retry-After \"%ls\"): waiting %llu.%03llu s before retry %i of %i",
                         status, retryAfter.c_str(), static_cast<unsigned long long>(ms / 1000),
                         static_cast<unsigned long long>(ms % 1000), retries, MAX_RETRIES));
    waitShowingStatus(ms);
    waitedMs += ms;
    return true;
}

// Whether this busy answer may be waited for, and how long; every refusal says why.
bool Busyserver::mayWait(long status, const std::wstring& retryAfter, const std::wstring& date, uint64_t* ms)
{
    const std::wstring busy = textutil::format(L"Server busy (status %li", status);
    int64_t seconds = 0;
    if (retryAfter.empty()) {
        log(LOG_WARNING, FN_WAIT, busy + L") without Retry-After: giving up");
        return false;
    }
    if (!retryDelay(retryAfter, date, nowSeconds(), &seconds)) {
        log(LOG_WARNING, FN_WAIT, busy + L", Retry-After \"" + retryAfter + L"\" unreadable): giving up");
        return false;
    }
    if (seconds > MAX_RETRY_AFTER_S) {
        log(LOG_WARNING, FN_WAIT,
            busy + L", Retry-After \"" + retryAfter +
                textutil::format(L"\"): %lld s is longer than %lld s, giving up", static_cast<long long>(seconds),
                                 static_cast<long long>(MAX_RETRY_AFTER_S)));
        return false;
    }
    if (retries >= MAX_RETRIES) {
        log(LOG_WARNING, FN_WAIT,
            busy + L", Retry-After \"" + retryAfter +
                textutil::format(L"\"): no retry left after %i, giving up", MAX_RETRIES));
        return false;
    }
    *ms = withRandomShare(seconds, randomNumber());
    if (waitedMs + *ms > MAX_TOTAL_WAIT_MS) {
        log(LOG_WARNING, FN_WAIT,
            busy + L", Retry-After \"" + retryAfter +
                textutil::format(L"\"): waiting %llu ms more would pass %llu ms of waiting in all, giving up",
                                 static_cast<unsigned long long>(*ms),
                                 static_cast<unsigned long long>(MAX_TOTAL_WAIT_MS)));
        return false;
    }
    return true;
}

// So that the connection can serve the next request; a long or slow body is cut by closing the
// request.
void Busyserver::drainBody(HINTERNET request)
{
    constexpr DWORD MAX_READ = 4096;
    std::vector<char> buffer(MAX_READ);
    const ULONGLONG start = ::GetTickCount64();
    DWORD total = 0;
    DWORD available = 0;
    DWORD read = 0;
    // A read returns once its whole size has come: only what is there is asked for.
    while (total < MAX_DRAINED_BYTES && ::GetTickCount64() - start < MAX_DRAIN_MS &&
           ::InternetQueryDataAvailable(request, &available, 0, 0) && available > 0 &&
           ::InternetReadFile(request, buffer.data(), available < MAX_READ ? available : MAX_READ, &read) && read > 0) {
        total += read;
    }
}

// In slices of a second, the status counting down the whole seconds left.
void Busyserver::waitShowingStatus(uint64_t ms)
{
    uint64_t left = ms;
    while (left > 0) {
        if (statusText) {
            statusText(textutil::format(STATUS_COUNTDOWN, static_cast<unsigned long long>((left + 999) / 1000)));
        }
        const DWORD slice = static_cast<DWORD>(left < 1000 ? left : 1000);
        pause(slice);
        left -= slice;
    }
    if (statusText) {
        statusText(STATUS_IDLE);
    }
}
