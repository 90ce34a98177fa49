// The decimal and port parser: blanks and signs, digits up to the first other character, text
// without digits, values past 64 bits and ports taken modulo 2^16.
#include "decimal.h"

#include <gtest/gtest.h>

#include <string>

namespace {

portable::DecimalValue parsed(std::wstring_view text, bool* digits = nullptr)
{
    portable::DecimalValue value;
    value.value = 12345; // must be reset by the parser
    const bool ok = portable::parseDecimal(text, &value);
    if (digits != nullptr) {
        *digits = ok;
    }
    return value;
}

} // namespace

TEST(Decimal, BlanksSignAndTrailingText)
{
    bool digits = false;
    EXPECT_EQ(parsed(L"8443", &digits).value, 8443u);
    EXPECT_TRUE(digits);
    EXPECT_EQ(parsed(L" \t\r\n\v\f42").value, 42u);
    EXPECT_EQ(parsed(L"12ab34").value, 12u);
    EXPECT_EQ(parsed(L"007").value, 7u);
    const auto negative = parsed(L"  -15 ");
    EXPECT_TRUE(negative.negative);
    EXPECT_EQ(negative.value, 15u);
    EXPECT_FALSE(parsed(L"+15").negative);
    EXPECT_EQ(parsed(L"+15").value, 15u);
}

TEST(Decimal, TextWithoutDigits)
{
    for (const wchar_t* text : {L"", L"   ", L"-", L"+", L"+-1", L"abc", L"x1", L"- 1", L"\u0661", L"\uFF17"}) {
        bool digits = true;
        const auto value = parsed(text, &digits);
        EXPECT_FALSE(digits) << testing::PrintToString(std::wstring(text));
        EXPECT_EQ(value.value, 0u);
        EXPECT_EQ(portable::parsePort(text), 0);
    }
    // A zero character is not a blank: the digits behind it do not count.
    EXPECT_EQ(portable::parsePort(std::wstring_view(L"\0"
                                                    L"80",
                                                    3)),
              0);
}

TEST(Decimal, SixtyFourBitsAndPast)
{
    const auto max = parsed(L"18446744073709551615");
    EXPECT_FALSE(max.overflow);
    EXPECT_EQ(max.value, UINT64_MAX);
    const auto past = parsed(L"18446744073709551616");
    EXPECT_TRUE(past.overflow);
    EXPECT_EQ(past.value, 0u); // 2^64 modulo 2^64
    const auto far = parsed(L"99999999999999999999x");
    EXPECT_TRUE(far.overflow);
    EXPECT_EQ(far.value, 7766279631452241919u); // modulo 2^64
    const auto negative = parsed(L"-18446744073709551617");
    EXPECT_TRUE(negative.overflow);
    EXPECT_TRUE(negative.negative);
    EXPECT_EQ(negative.value, 1u);
}

TEST(Decimal, Ports)
{
    EXPECT_EQ(portable::parsePort(L"8443"), 8443);
    EXPECT_EQ(portable::parsePort(L"65535"), 65535);
    EXPECT_EQ(portable::parsePort(L"65536"), 0);
    EXPECT_EQ(portable::parsePort(L"70000"), 4464);
    EXPECT_EQ(portable::parsePort(L" 443/"), 443);
    EXPECT_EQ(portable::parsePort(L"-1"), 65535);
    EXPECT_EQ(portable::parsePort(L"-0"), 0);
    EXPECT_EQ(portable::parsePort(L"-65536"), 0);
    EXPECT_EQ(portable::parsePort(L"-65535"), 1);
    // Past 64 bits the low 16 bits still count: 2^64 + 80.
    EXPECT_EQ(portable::parsePort(L"18446744073709551696"), 80);
    EXPECT_EQ(portable::parsePort(L"0"), 0);
}
