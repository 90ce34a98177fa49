#include "httpdate.h"

#include <vector>

namespace portable {

namespace {

constexpr int64_t SECONDS_PER_DAY = 86400;

struct CivilDate {
    int64_t year;
    unsigned month; // 1 to 12
    unsigned day;   // 1 to 31
};

// The Gregorian date of a day count since 1970-01-01, by eras of 400 years (146097 days) that
// start on a 1 March, so that the leap day ends a year of the era.
CivilDate civilFromDays(int64_t days)
{
    const int64_t z = days + 719468; // days since 0000-03-01
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t dayOfEra = z - era * 146097;                                                           // 0 to 146096
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365; // 0 to 399
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);            // 0 to 365
    const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153; // 0 (March) to 11
    CivilDate date;
    date.day = static_cast<unsigned>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    date.month = static_cast<unsigned>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    date.year = yearOfEra + era * 400 + (date.month <= 2 ? 1 : 0);
    return date;
}

void appendNumber(std::wstring& out, int64_t value, unsigned width)
{
    wchar_t digits[24];
    unsigned n = 0;
    do {
        digits[n++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value > 0);
    while (n < width) {
        digits[n++] = L'0';
    }
    while (n > 0) {
        out += digits[--n];
    }
}

// The day count since 1970-01-01 of a Gregorian date (the inverse of civilFromDays).
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;                                              // 0 to 399
    const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1; // 0 to 365
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;  // 0 to 146096
    return era * 146097 + dayOfEra - 719468;
}

bool isLeapYear(int64_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

// The words of a date: runs of characters between blanks, commas and hyphens.
std::vector<std::wstring_view> dateWords(std::wstring_view text)
{
    std::vector<std::wstring_view> words;
    size_t i = 0;
    while (i < text.size()) {
        const size_t start = text.find_first_not_of(L" \t,-", i);
        if (start == std::wstring_view::npos) {
            break;
        }
        size_t end = text.find_first_of(L" \t,-", start);
        if (end == std::wstring_view::npos) {
            end = text.size();
        }
        words.push_back(text.substr(start, end - start));
        i = end;
    }
    return words;
}

// A number of minDigits to maxDigits decimal digits and nothing else.
bool readNumber(std::wstring_view word, size_t minDigits, size_t maxDigits, int64_t* value)
{
    if (word.size() < minDigits || word.size() > maxDigits) {
        return false;
    }
    *value = 0;
    for (const wchar_t c : word) {
        if (c < L'0' || c > L'9') {
            return false;
        }
        *value = *value * 10 + (c - L'0');
    }
    return true;
}

bool readMonth(std::wstring_view word, unsigned* month)
{
    static const wchar_t* const MONTHS[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                            L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    for (unsigned m = 0; m < 12; ++m) {
        if (word == MONTHS[m]) {
            *month = m + 1;
            return true;
        }
    }
    return false;
}

// "hh:mm:ss" as seconds of the day (a leap second 60 is taken).
bool readTimeOfDay(std::wstring_view word, int64_t* seconds)
{
    int64_t h = 0;
    int64_t m = 0;
    int64_t s = 0;
    if (word.size() != 8 || word[2] != L':' || word[5] != L':' || !readNumber(word.substr(0, 2), 2, 2, &h) ||
        !readNumber(word.substr(3, 2), 2, 2, &m) || !readNumber(word.substr(6, 2), 2, 2, &s) || h > 23 || m > 59 ||
        s > 60) {
        return false;
    }
    *seconds = h * 3600 + m * 60 + s;
    return true;
}

bool isWeekday(std::wstring_view word)
{
    static const wchar_t* const DAYS[] = {L"Sun", L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat"};
    static const wchar_t* const SUFFIXES[] = {L"day", L"day", L"sday", L"nesday", L"rsday", L"day", L"urday"};
    for (int d = 0; d < 7; ++d) {
        if (word.substr(0, 3) == DAYS[d] && (word.size() == 3 || word.substr(3) == SUFFIXES[d])) {
            return true;
        }
    }
    return false;
}

} // namespace

std::wstring formatHttpDate(int64_t seconds)
{
    static const wchar_t* const DAYS[] = {L"Sun", L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat"};
    static const wchar_t* const MONTHS[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                            L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    if (seconds < HTTP_DATE_FIRST || seconds > HTTP_DATE_LAST) {
        return {};
    }
    // Floor division: a moment before 1970 belongs to the day that starts before it.
    int64_t days = seconds / SECONDS_PER_DAY;
    int64_t secondOfDay = seconds % SECONDS_PER_DAY;
    if (secondOfDay < 0) {
        secondOfDay += SECONDS_PER_DAY;
        --days;
    }
    const CivilDate date = civilFromDays(days);
    const int64_t weekday = ((days % 7) + 7 + 4) % 7; // 1970-01-01 was a Thursday

    std::wstring out = DAYS[weekday];
    out += L", ";
    appendNumber(out, date.day, 2);
    out += L' ';
    out += MONTHS[date.month - 1];
    out += L' ';
    appendNumber(out, date.year, 4);
    out += L' ';
    appendNumber(out, secondOfDay / 3600, 2);
    out += L':';
    appendNumber(out, secondOfDay / 60 % 60, 2);
    out += L':';
    appendNumber(out, secondOfDay % 60, 2);
    out += L" GMT";
    return out;
}

bool parseHttpDate(std::wstring_view text, int64_t* seconds)
{
    const std::vector<std::wstring_view> w = dateWords(text);
    int64_t year = 0;
    int64_t day = 0;
    unsigned month = 0;
    int64_t timeOfDay = 0;
    bool read = false;
    if (w.size() == 6 && w[5] == L"GMT" && isWeekday(w[0]) && readNumber(w[1], 2, 2, &day) && readMonth(w[2], &month) &&
        readTimeOfDay(w[4], &timeOfDay)) {
        // The preferred form (four-digit year) or the obsolete one of RFC 850 (two digits).
        if (w[0].size() == 3 && readNumber(w[3], 4, 4, &year)) {
            read = true;
        } else if (w[0].size() > 3 && readNumber(w[3], 2, 2, &year)) {
            year += year < 70 ? 2000 : 1900;
            read = true;
        }
    } else if (w.size() == 5 && w[0].size() == 3 && isWeekday(w[0]) && readMonth(w[1], &month) &&
               readNumber(w[2], 1, 2, &day) && readTimeOfDay(w[3], &timeOfDay) && readNumber(w[4], 4, 4, &year)) {
        read = true; // the C library's asctime form
    }
    static const unsigned DAYS_IN_MONTH[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int64_t monthDays = DAYS_IN_MONTH[month == 0 ? 0 : month - 1] + (month == 2 && isLeapYear(year) ? 1 : 0);
    if (!read || day < 1 || day > monthDays) {
        return false;
    }
    *seconds = daysFromCivil(year, month, static_cast<unsigned>(day)) * SECONDS_PER_DAY + timeOfDay;
    return true;
}

} // namespace portable
