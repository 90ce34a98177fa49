// The HTTP date: known moments (the epoch, leap days and the century years that are not leap
// years, the ends of the range and one second past them) and a sweep over the whole range against
// the C library's own calendar.
#include "httpdate.h"

#include <gtest/gtest.h>

#include <climits>
#include <ctime>
#include <string>

namespace {

std::wstring libraryDate(int64_t seconds)
{
    const time_t t = static_cast<time_t>(seconds);
    struct tm parts;
    if (gmtime_r(&t, &parts) == nullptr) {
        return L"(gmtime_r failed)";
    }
    char text[128];
    const size_t n = std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
    return std::wstring(text, text + n);
}

} // namespace

TEST(HttpDate, KnownMoments)
{
    EXPECT_EQ(portable::formatHttpDate(0), L"Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(portable::formatHttpDate(1362492429), L"Tue, 05 Mar 2013 14:07:09 GMT");
    EXPECT_EQ(portable::formatHttpDate(-1), L"Wed, 31 Dec 1969 23:59:59 GMT");
    EXPECT_EQ(portable::formatHttpDate(2147483648LL), L"Tue, 19 Jan 2038 03:14:08 GMT");
}

TEST(HttpDate, LeapDaysAndCenturies)
{
    EXPECT_EQ(portable::formatHttpDate(951782400), L"Tue, 29 Feb 2000 00:00:00 GMT");
    EXPECT_EQ(portable::formatHttpDate(13574563200LL), L"Tue, 29 Feb 2400 00:00:00 GMT");
    EXPECT_EQ(portable::formatHttpDate(-11544768000LL), L"Sun, 29 Feb 1604 00:00:00 GMT");
    // 1900 and 2100 have no 29 February.
    EXPECT_EQ(portable::formatHttpDate(-2203891201LL), L"Wed, 28 Feb 1900 23:59:59 GMT");
    EXPECT_EQ(portable::formatHttpDate(-2203891200LL), L"Thu, 01 Mar 1900 00:00:00 GMT");
    EXPECT_EQ(portable::formatHttpDate(4107499200LL), L"Sun, 28 Feb 2100 12:00:00 GMT");
    EXPECT_EQ(portable::formatHttpDate(4107542400LL), L"Mon, 01 Mar 2100 00:00:00 GMT");
}

TEST(HttpDate, RangeEnds)
{
    EXPECT_EQ(portable::formatHttpDate(portable::HTTP_DATE_FIRST), L"Mon, 01 Jan 1601 00:00:00 GMT");
    EXPECT_EQ(portable::formatHttpDate(portable::HTTP_DATE_LAST), L"Thu, 14 Sep 30828 02:48:05 GMT");
    EXPECT_EQ(portable::formatHttpDate(portable::HTTP_DATE_FIRST - 1), L"");
    EXPECT_EQ(portable::formatHttpDate(portable::HTTP_DATE_LAST + 1), L"");
    EXPECT_EQ(portable::formatHttpDate(LLONG_MIN), L"");
    EXPECT_EQ(portable::formatHttpDate(LLONG_MAX), L"");
}

TEST(HttpDate, SweepAgainstTheLibraryCalendar)
{
    // A stride of a little over nine days with an odd number of seconds visits every weekday,
    // every day of the month and every time of day many times over.
    const int64_t stride = 9 * 86400 + 3671;
    int checked = 0;
    for (int64_t t = portable::HTTP_DATE_FIRST; t <= portable::HTTP_DATE_LAST; t += stride) {
        const std::wstring got = portable::formatHttpDate(t);
        if (got != libraryDate(t)) {
            ADD_FAILURE() << "at " << t;
            break;
        }
        ++checked;
    }
    EXPECT_GT(checked, 1000000);
}
