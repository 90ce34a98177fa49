#include "Partialdownload.h"

#include "Httpexchange.h"
#include "Switchrecovery.h"
#include "updateterms.h"

#include "asciicase.h"
#include "decimal.h"
#include "filetime.h"
#include "textutil.h"

#include <vector>

namespace {

constexpr size_t READ_BATCH = 1048576;

// Text of printable ASCII only; false for anything else.
bool toAscii(const std::wstring& text, std::string* out)
{
    out->clear();
    for (const wchar_t c : text) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
        out->push_back(static_cast<char>(c));
    }
    return true;
}

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::wstring number(uint64_t value) { return textutil::format(L"%llu", static_cast<unsigned long long>(value)); }

int64_t nowSeconds()
{
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    return filetime::toUnixSeconds(ft);
}

// A header date as seconds since 1970; false when the header is absent or no date.
bool headerTime(HINTERNET request, DWORD level, int64_t* out)
{
    SYSTEMTIME t = {};
    DWORD size = sizeof(t);
    FILETIME ft;
    if (!::HttpQueryInfoW(request, level | HTTP_QUERY_FLAG_SYSTEMTIME, &t, &size, nullptr) ||
        !::SystemTimeToFileTime(&t, &ft)) {
        return false;
    }
    ULARGE_INTEGER v;
    v.LowPart = ft.dwLowDateTime;
    v.HighPart = ft.dwHighDateTime;
    *out = static_cast<int64_t>(v.QuadPart / 10000000ULL) - 11644473600LL;
    return true;
}

// Digits of a Content-Range part: at most 18, nothing else.
bool rangeNumber(const std::wstring& text, size_t* at, wchar_t end, uint64_t* out)
{
    size_t digits = 0;
    uint64_t value = 0;
    while (*at < text.size() && text[*at] >= L'0' && text[*at] <= L'9' && digits < 18) {
        value = value * 10 + static_cast<uint64_t>(text[*at] - L'0');
        ++*at;
        ++digits;
    }
    if (digits == 0 || (end == 0 ? *at != text.size() : *at >= text.size() || text[*at] != end)) {
        return false;
    }
    ++*at;
    *out = value;
    return true;
}

// "bytes <first>-<last>/<total>"
bool parseContentRange(const std::wstring& text, uint64_t* first, uint64_t* last, uint64_t* total)
{
    const std::wstring unit = L"bytes ";
    size_t at = unit.size();
    return text.compare(0, unit.size(), unit) == 0 && rangeNumber(text, &at, L'-', first) &&
           rangeNumber(text, &at, L'/', last) && rangeNumber(text, &at, 0, total);
}

} // namespace

Partialdownload::Partialdownload(Logger* logger, std::wstring tempFolder, std::wstring fileStem)
    : Loguser(logger), folder(std::move(tempFolder)), stem(std::move(fileStem))
{
}

std::wstring Partialdownload::recordPath() const { return folder + L"/" + stem + L".partial"; }

void Partialdownload::load(const std::wstring& url, uint64_t maxTotal)
{
    loadRecord(url, maxTotal);
    // A transfer cut off by a kill or a power loss left its private file without a record: only
    // the file of a usable record stays (one held open by another run cannot be deleted).
    Switchrecovery(logger).removeCopies(folder + L"/", stem, ready() ? wide(record.file) : std::wstring());
}

void Partialdownload::loadRecord(const std::wstring& url, uint64_t maxTotal)
{
    Downloadfile recordFile;
    DWORD error = 0;
    if (!recordFile.openExisting(recordPath(), &error)) {
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            log(LOG_WARNING, updateterms::FN_DOWNLOAD,
                textutil::format(L"Partial download record cannot be opened, error %lu", error));
        }
        return;
    }
    // A record is used once: a new one is written when the transfer is cut again.
    std::string text;
    const bool read = readRecord(&recordFile, &text);
    recordFile.discard();
    std::string stemText, urlText, why;
    if (!read || !toAscii(stem, &stemText) || !portable::PartialRecord::parse(text, stemText, &record, &why)) {
        log(LOG_WARNING, updateterms::FN_DOWNLOAD,
            L"Partial download record removed: " + (read ? wide(why) : std::wstring(L"it cannot be read")));
        return;
    }
    std::wstring refused = L"the URL asked for is not plain ASCII";
    if (!toAscii(url, &urlText) || !checkRecord(urlText, maxTotal, &refused)) {
        log(LOG_MESSAGE, updateterms::FN_DOWNLOAD, L"Partial download removed: " + refused);
        removeRecordedFile();
        return;
    }
    if (!checkHeld(&refused)) {
        log(LOG_WARNING, updateterms::FN_DOWNLOAD, L"Partial download removed: " + refused);
        held.discard();
        return;
    }
    log(LOG_MESSAGE, updateterms::FN_DOWNLOAD,
        L"Partial download found: " + number(record.held) + L" of " + number(record.total) + L" bytes of " + url);
}

bool Partialdownload::readRecord(Downloadfile* recordFile, std::string* text)
{
    std::vector<uint8_t> bytes(portable::PartialRecord::MAX_BYTES + 1);
    const size_t got = recordFile->readFully(0, bytes.data(), bytes.size());
    text->assign(reinterpret_cast<const char*>(bytes.data()), got);
    return got > 0;
}

bool Partialdownload::checkRecord(const std::string& url, uint64_t maxTotal, std::wstring* why)
{
    const int64_t now = nowSeconds();
    if (record.url != url) {
        *why = L"it was of another URL, " + wide(record.url);
    } else if (now - record.saved > MAX_AGE_SECONDS) {
        *why = L"it is older than a week";
    } else if (record.saved > now + 3600) {
        *why = L"its time lies in the future";
    } else if (record.total > maxTotal) {
        *why = L"its total exceeds the download limit";
    } else {
        return true;
    }
    return false;
}

bool Partialdownload::checkHeld(std::wstring* why)
{
    DWORD error = 0;
    if (!held.openExisting(folder + L"/" + wide(record.file), &error)) {
        *why = textutil::format(L"its file cannot be opened, error %lu", error);
        return false;
    }
    portable::Sha256::Digest digest{};
    if (held.size() != record.held) {
        *why = L"its file holds " + number(held.size()) + L" bytes, the record says " + number(record.held);
    } else if (!digestOf(&held, record.held, &digest) || digest != record.digest) {
        *why = L"its bytes do not match the record's digest";
    } else {
        return true;
    }
    return false;
}

void Partialdownload::removeRecordedFile()
{
    Downloadfile file;
    DWORD error = 0;
    if (file.openExisting(folder + L"/" + wide(record.file), &error)) {
        file.discard();
    }
}

std::wstring Partialdownload::requestHeaders() const
{
    return L"Range: bytes=" + number(record.held) + L"-\r\nIf-Range: " + wide(record.validator);
}

std::wstring Partialdownload::refusal(HINTERNET request) const
{
    const std::wstring range = Httpexchange::queryInfo(request, HTTP_QUERY_CONTENT_RANGE);
    uint64_t first = 0, last = 0, total = 0;
    if (!parseContentRange(range, &first, &last, &total)) {
        return L"the answer's Content-Range \"" + range + L"\" is no byte range";
    }
    if (first != record.held) {
        return L"the answer starts at byte " + number(first) + L", not at " + number(record.held);
    }
    if (total != record.total || last + 1 != total) {
        return L"the answer names bytes up to " + number(last) + L" of " + number(total) + L", not the rest of " +
               number(record.total);
    }
    const std::wstring length = Httpexchange::queryInfo(request, HTTP_QUERY_CONTENT_LENGTH);
    if (!length.empty() && length != number(total - first)) {
        return L"the answer announces " + length + L" bytes, not " + number(total - first);
    }
    const std::wstring tag = Httpexchange::queryInfo(request, HTTP_QUERY_ETAG);
    if (!tag.empty() && record.validator[0] == '"' && tag != wide(record.validator)) {
        return L"the answer names another ETag, " + tag;
    }
    if (answerOf(request).finalUrl != record.finalUrl) {
        return L"the answer comes from another URL";
    }
    return std::wstring();
}

void Partialdownload::drop(const std::wstring& why)
{
    log(LOG_WARNING, updateterms::FN_DOWNLOAD, L"Resume refused: " + why + L"; the partial download is deleted");
    held.discard();
}

bool Partialdownload::takeInto(Downloadfile* file)
{
    DWORD error = 0;
    if (!held.truncateTo(record.held, &error)) {
        drop(textutil::format(L"its file cannot be positioned, error %lu", error));
        return false;
    }
    log(LOG_MESSAGE, updateterms::FN_DOWNLOAD,
        L"Download resumed at byte " + number(record.held) + L" of " + number(record.total) + L" from " +
            wide(record.finalUrl));
    *file = std::move(held);
    return true;
}

bool Partialdownload::feed(Downloadfile* file, uint64_t bytes, Bodydigest* digest)
{
    return readThrough(file, bytes, [digest](const uint8_t* data, size_t size) { digest->update(data, size); });
}

bool Partialdownload::readThrough(Downloadfile* file, uint64_t bytes,
                                  const std::function<void(const uint8_t*, size_t)>& use)
{
    std::vector<uint8_t> batch(READ_BATCH);
    for (uint64_t at = 0; at < bytes;) {
        const size_t want = static_cast<size_t>(bytes - at < READ_BATCH ? bytes - at : READ_BATCH);
        if (file->readFully(at, batch.data(), want) != want) {
            return false;
        }
        use(batch.data(), want);
        at += want;
    }
    return true;
}

bool Partialdownload::digestOf(Downloadfile* file, uint64_t bytes, portable::Sha256::Digest* out)
{
    portable::Sha256 sha;
    if (!readThrough(file, bytes, [&sha](const uint8_t* data, size_t size) { sha.update(data, size); })) {
        return false;
    }
    *out = sha.finish();
    return true;
}

// A strong ETag (quoted, not "W/"); without any ETag a Last-Modified date a minute or more before
// the answer's Date (a copy changed within the same second would carry the same date).
Partialdownload::Answer Partialdownload::answerOf(HINTERNET request)
{
    Answer answer;
    const std::wstring tag = Httpexchange::queryInfo(request, HTTP_QUERY_ETAG);
    std::string text;
    int64_t modified = 0, date = 0;
    if (!tag.empty()) {
        if (tag.size() >= 2 && tag.front() == L'"' && tag.back() == L'"' && toAscii(tag, &text) &&
            portable::recordableValidator(text)) {
            answer.validator = text;
        }
    } else if (headerTime(request, HTTP_QUERY_LAST_MODIFIED, &modified) &&
               headerTime(request, HTTP_QUERY_DATE, &date) && date - modified >= DATE_VALIDATOR_MARGIN &&
               toAscii(Httpexchange::queryInfo(request, HTTP_QUERY_LAST_MODIFIED), &text) &&
               portable::recordableValidator(text)) {
        answer.validator = text;
    }
    std::vector<wchar_t> url(portable::PartialRecord::MAX_URL + 2, L'\0');
    DWORD size = static_cast<DWORD>(url.size() * sizeof(wchar_t));
    if (::InternetQueryOptionW(request, INTERNET_OPTION_URL, url.data(), &size) &&
        toAscii(std::wstring(url.data()), &text) && portable::recordableUrl(text)) {
        answer.finalUrl = text;
    }
    const std::wstring coding = Httpexchange::queryInfo(request, HTTP_QUERY_TRANSFER_ENCODING);
    portable::DecimalValue length;
    if ((coding.empty() || portable::equalsIgnoringAsciiCase(coding, L"identity")) &&
        portable::parseDecimal(Httpexchange::queryInfo(request, HTTP_QUERY_CONTENT_LENGTH), &length) &&
        !length.negative && !length.overflow) {
        answer.total = length.value;
    }
    return answer;
}

Partialdownload::Answer Partialdownload::resumedAnswer() const
{
    Answer answer;
    answer.validator = record.validator;
    answer.finalUrl = record.finalUrl;
    answer.total = record.total;
    return answer;
}

bool Partialdownload::keep(Downloadfile* file, const std::wstring& url, const Answer& answer)
{
    portable::PartialRecord r;
    const uint64_t size = file->size();
    const std::wstring& path = file->path();
    DWORD error = 0;
    if (answer.validator.empty() || answer.finalUrl.empty() || size < MIN_HELD || size >= answer.total ||
        !toAscii(url, &r.url) || !portable::recordableUrl(r.url) ||
        !toAscii(path.substr(path.find_last_of(L"/\\") + 1), &r.file)) {
        return false;
    }
    r.finalUrl = answer.finalUrl;
    r.validator = answer.validator;
    r.total = answer.total;
    r.held = size;
    r.saved = nowSeconds();
    if (!file->flush(&error) || !digestOf(file, size, &r.digest) || !writeRecord(r)) {
        log(LOG_WARNING, updateterms::FN_DOWNLOAD, L"Partial download not kept: its record cannot be written");
        return false;
    }
    if (!file->close(&error)) {
        return false;
    }
    log(LOG_MESSAGE, updateterms::FN_DOWNLOAD,
        L"Partial download kept for a resume: " + number(size) + L" of " + number(r.total) + L" bytes of " + url);
    return true;
}

void Partialdownload::putBack()
{
    DWORD error = 0;
    if (ready() && writeRecord(record)) {
        held.close(&error);
    }
}

// Written into a new private file, then renamed into the record's name through its handle.
bool Partialdownload::writeRecord(const portable::PartialRecord& r)
{
    const std::string text = r.format();
    Downloadfile out;
    DWORD error = 0;
    if (!out.create(folder, stem + L".partial", true, &error) ||
        !out.write(text.data(), static_cast<DWORD>(text.size()), &error) || !out.flush(&error)) {
        return false;
    }
    Downloadfile old;
    if (old.openExisting(recordPath(), &error)) {
        old.discard();
    }
    return out.renameTo(recordPath(), &error) && out.close(&error);
}
