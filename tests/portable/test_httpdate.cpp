// The HTTP date: known moments (the epoch, leap days and the century years that are not leap
// years, the ends of the range and one second past them) and a sweep over the whole range against
// the C library's own calendar.
#include "httpdate.h"

#include <gtest/gtest.h>

#include <climits>
#include <ctime>
#include <cwchar>
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

TEST(HttpDate, ParsesTheThreeForms)
{
    int64_t t = -1;
    ASSERT_TRUE(portable::parseHttpDate(L"Sun, 06 Nov 1994 08:49:37 GMT", &t));
    EXPECT_EQ(t, 784111777);
    t = -1;
    ASSERT_TRUE(portable::parseHttpDate(L"Sunday, 06-Nov-94 08:49:37 GMT", &t));
    EXPECT_EQ(t, 784111777);
    t = -1;
    ASSERT_TRUE(portable::parseHttpDate(L"  Sun Nov  6 08:49:37 1994 ", &t));
    EXPECT_EQ(t, 784111777);
    ASSERT_TRUE(portable::parseHttpDate(L"Thursday, 01-Jan-26 00:00:00 GMT", &t));
    EXPECT_EQ(t, 1767225600);
    ASSERT_TRUE(portable::parseHttpDate(L"Thu, 29 Feb 2024 23:59:60 GMT", &t));
    EXPECT_EQ(t, 1709251200);
    for (const wchar_t* bad :
         {L"", L"GMT", L"Sun, 06 Nov 1994 08:49:37", L"Sun, 06 Nov 1994 08:49:37 UTC", L"Sun, 6 Nov 1994 08:49:37 GMT",
          L"Sun, 06 nov 1994 08:49:37 GMT", L"Sun, 06 Nov 94 08:49:37 GMT", L"Sunday, 06-Nov-1994 08:49:37 GMT",
          L"Sun, 06 Nov 1994 24:00:00 GMT", L"Sun, 06 Nov 1994 08:60:00 GMT", L"Sun, 06 Nov 1994 8:49:37 GMT",
          L"Sun, 00 Nov 1994 08:49:37 GMT", L"Sun, 31 Nov 1994 08:49:37 GMT", L"Tue, 29 Feb 2100 08:49:37 GMT",
          L"Xyz, 06 Nov 1994 08:49:37 GMT", L"Sun, 06 Nov 1994 08:49:37 GMT extra", L"Sun Nov  6 08:49:37 94", L"120",
          L"Sun, +6 Nov 1994 08:49:37 GMT"}) {
        EXPECT_FALSE(portable::parseHttpDate(bad, &t)) << std::string(bad, bad + std::wcslen(bad));
    }
}

TEST(HttpDate, ParsesWhatTheLibraryCalendarWrites)
{
    const int64_t yearTenThousand = 253402300800LL; // four-digit years only
    const int64_t stride = 9 * 86400 + 3671;
    int checked = 0;
    for (int64_t t = portable::HTTP_DATE_FIRST; t < yearTenThousand; t += stride) {
        int64_t parsed = 0;
        if (!portable::parseHttpDate(libraryDate(t), &parsed) || parsed != t) {
            ADD_FAILURE() << "at " << t;
            break;
        }
        ++checked;
    }
    EXPECT_GT(checked, 100000);
}
