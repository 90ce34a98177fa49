// The one case folding: only A-Z and a-z fold; everything else compares as it stands.
#include "asciicase.h"

#include <gtest/gtest.h>

TEST(AsciiCase, FoldsOnlyAsciiLetters)
{
    EXPECT_EQ(portable::asciiLower(L"C:/Program Files/REZAROZ.EXE"), L"c:/program files/rezaroz.exe");
    // Letters outside ASCII stay (the platform's own folding would change them by locale).
    EXPECT_EQ(portable::asciiLower(L"\u00C4\u00D6\u0130Z"), L"\u00C4\u00D6\u0130z");
    // The neighbours of the ASCII ranges are not letters.
    EXPECT_EQ(portable::asciiLower(L"@[`{"), L"@[`{");
}

TEST(AsciiCase, ComparesWithoutRegardToAsciiCase)
{
    EXPECT_TRUE(portable::equalsIgnoringAsciiCase(L"HTTPS", L"https"));
    EXPECT_TRUE(portable::equalsIgnoringAsciiCase(L"CV_TSP.tsp", L"cv_tsp.TSP"));
    EXPECT_TRUE(portable::equalsIgnoringAsciiCase(L"", L""));
    EXPECT_FALSE(portable::equalsIgnoringAsciiCase(L"https", L"http"));
    EXPECT_FALSE(portable::equalsIgnoringAsciiCase(L"http", L"https")) << "a prefix is not equal";
    EXPECT_FALSE(portable::equalsIgnoringAsciiCase(L"@", L"`"))
        << "0x40 and 0x60 differ by the case bit but are no letters";
    EXPECT_FALSE(portable::equalsIgnoringAsciiCase(L"\u00E4", L"\u00C4"));
}
