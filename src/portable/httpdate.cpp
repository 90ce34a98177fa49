#include "httpdate.h"

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

} // namespace portable
