// cREGhandler against the prefix's real registry: scratch keys under HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER, created and removed by the tests, and the handler's log lines.
#include "cREGhandler.h"
#include "logcapture.h"
#include "registryfixture.h"
#include "textutil.h"

#include <gtest/gtest.h>

using registryfixture::number;
using registryfixture::raw;
using registryfixture::ScratchKey;
using registryfixture::text;

namespace {

// The one line a call logged since mark().
logcapture::Line onlyLine(const logcapture::Capture& cap)
{
    auto lines = cap.fresh();
    EXPECT_EQ(lines.size(), 1u);
    return lines.empty() ? logcapture::Line{} : lines.back();
}

class Registry : public ::testing::Test {
protected:
    logcapture::Capture cap;
    cREGhandler reg{cap.logger()};
    ScratchKey hklm{HKEY_LOCAL_MACHINE, L"reg"};
    ScratchKey hkcu{HKEY_CURRENT_USER, L"reg"};

    void SetUp() override
    {
        ASSERT_TRUE(hklm.ok());
        ASSERT_TRUE(hkcu.ok());
        reg.getRegValue(L"x", L"y"); // writes the header block before the first mark
        cap.mark();
    }
};

} // namespace

TEST_F(Registry, MissingValueAndMissingKeyAreLoggedDifferently)
{
    EXPECT_EQ(reg.getRegValue(hklm.path(), L"nothing"), L"");
    auto line = onlyLine(cap);
    EXPECT_EQ(line.level, 5);
    EXPECT_EQ(line.function, cREGhandler::FN_GET_REG_VALUE);
    EXPECT_EQ(line.message, L"Registry key does not exist:" + hklm.path() + L" - nothing");

    cap.mark();
    EXPECT_EQ(reg.getRegValue(hklm.path() + L"\\absent", L"v"), L"");
    line = onlyLine(cap);
    EXPECT_EQ(line.level, 3);
    EXPECT_EQ(line.message, L"Unable to open registry: " + hklm.path() + L"\\absent - v");
}

TEST_F(Registry, ReadsTextAndNumbers)
{
    ASSERT_TRUE(hklm.setNumber(L"n70000", 70000));
    ASSERT_TRUE(hklm.setNumber(L"nmax", 4294967295u));
    ASSERT_TRUE(hklm.setText(L"s", L"hello world"));
    ASSERT_TRUE(hklm.setText(L"x", L"%WINDIR%\\x", REG_EXPAND_SZ));
    ASSERT_TRUE(hklm.set(L"empty", raw(REG_SZ, L"", 0)));

    EXPECT_EQ(reg.getRegValue(hklm.path(), L"n70000"), L"70000");
    auto line = onlyLine(cap);
    EXPECT_EQ(line.level, 5);
    EXPECT_EQ(line.message, L"Registry key red:" + hklm.path() + L" - n70000 = 70000");
    EXPECT_EQ(reg.getRegValue(hklm.path(), L"nmax"), L"-1");
    EXPECT_EQ(reg.getRegValue(hklm.path(), L"S"), L"hello world") << "names match without case";
    EXPECT_EQ(reg.getRegValue(hklm.path(), L"x"), L"%WINDIR%\\x") << "expandable text comes back unexpanded";
    EXPECT_EQ(reg.getRegValue(hklm.path(), L"empty"), L"");
}

TEST_F(Registry, TextLengthLimit)
{
    const std::wstring t127(127, L'a');
    const std::wstring t128(128, L'b');
    ASSERT_TRUE(hklm.setText(L"t127", t127));
    ASSERT_TRUE(hklm.setText(L"t128", t128));
    EXPECT_EQ(reg.getRegValue(hklm.path(), L"t127"), t127);

    cap.mark();
    EXPECT_EQ(reg.getRegValue(hklm.path(), L"t128"), L"");
    auto line = onlyLine(cap);
    EXPECT_EQ(line.level, 3);
    EXPECT_EQ(line.message, L"Unable to read registry:" + hklm.path() + L" - t128");

    // 256 bytes of other data without a terminating zero: all 128 units, nothing read past them.
    ASSERT_TRUE(hklm.set(L"raw", raw(REG_BINARY, t128.c_str(), 256)));
    EXPECT_EQ(reg.getRegValue(hklm.path(), L"raw"), t128);
    // Binary data shorter than the buffer is taken as text up to what was read.
    const char bin[5] = {'A', 0, 'B', 0, 'C'};
    ASSERT_TRUE(hklm.set(L"bin", raw(REG_BINARY, bin, 5)));
    EXPECT_EQ(reg.getRegValue(hklm.path(), L"bin"), L"AB");
}

TEST_F(Registry, NumberConversionsOfKind2)
{
    const struct {
        const wchar_t* text;
        DWORD stored;
    } cases[] = {
        {L"12abc", 12},
        {L"abc", 0},
        {L"", 0},
        {L"-1", 4294967295u},
        {L"  +42", 42},
        {L"2147483647", 2147483647u},
        {L"2147483648", 2147483647u},
        {L"99999999999999999999999", 2147483647u},
        {L"-2147483648", 2147483648u},
        {L"-2147483649", 2147483648u},
        {L"-99999999999999999999999", 2147483648u},
        {L"11000", 11000},
    };
    for (const auto& c : cases) {
        cap.mark();
        ASSERT_TRUE(reg.setRegValue(HKEY_CURRENT_USER, hkcu.path(), L"num", c.text, cREGhandler::KIND_NUMBER));
        EXPECT_EQ(hkcu.number(L"num"), c.stored) << testsupport::narrow(c.text);
        auto line = onlyLine(cap);
        EXPECT_EQ(line.level, 5);
        EXPECT_EQ(line.message, L"Registry written: " + hkcu.path() + L" - num = " + c.text)
            << "the caller's text is shown, not the number";
    }
}

TEST_F(Registry, KindsChooseTheType)
{
    ASSERT_TRUE(reg.setRegValue(HKEY_LOCAL_MACHINE, hklm.path(), L"k1", L"ab", 1));
    EXPECT_EQ(hklm.value(L"k1"), raw(REG_SZ, "a\0b\0\0\0", 6));

    ASSERT_TRUE(reg.setRegValue(HKEY_LOCAL_MACHINE, hklm.path(), L"k3", L"%TEMP%", 3));
    EXPECT_EQ(hklm.value(L"k3"), text(L"%TEMP%", REG_EXPAND_SZ));

    ASSERT_TRUE(reg.setRegValue(HKEY_LOCAL_MACHINE, hklm.path(), L"k7", L"x", 7));
    EXPECT_EQ(hklm.value(L"k7"), text(L"x"));

    // The type of an existing value is replaced.
    ASSERT_TRUE(reg.setRegValue(HKEY_LOCAL_MACHINE, hklm.path(), L"k1", L"5", 2));
    EXPECT_EQ(hklm.value(L"k1"), number(5));
    EXPECT_EQ(reg.getRegValue(hklm.path(), L"k1"), L"5");
}

TEST_F(Registry, WritingToAMissingKeyCreatesNothing)
{
    const std::wstring missing = hkcu.path() + L"\\missing";
    EXPECT_FALSE(reg.setRegValue(HKEY_CURRENT_USER, missing, L"v", L"1", 2));
    auto line = onlyLine(cap);
    EXPECT_EQ(line.level, 3);
    EXPECT_EQ(line.function, cREGhandler::FN_SET_REG_VALUE);
    EXPECT_EQ(line.message, L"Unable to open registry: " + missing + L" - v");
    EXPECT_FALSE(hkcu.exists(L"missing"));

    cap.mark();
    EXPECT_FALSE(reg.setRegValue(nullptr, hkcu.path(), L"v", L"1", 1)) << "no root";
    EXPECT_EQ(onlyLine(cap).level, 3);
}

TEST_F(Registry, DeleteValue)
{
    ASSERT_TRUE(hklm.setText(L"gone", L"x"));
    EXPECT_TRUE(reg.delRegValue(hklm.path(), L"gone"));
    auto line = onlyLine(cap);
    EXPECT_EQ(line.level, 5);
    EXPECT_EQ(line.function, cREGhandler::FN_DEL_REG_VALUE);
    EXPECT_EQ(line.message, L"Registry value deleted from: " + hklm.path() + L" - gone");
    EXPECT_FALSE(hklm.value(L"gone"));

    cap.mark();
    EXPECT_FALSE(reg.delRegValue(hklm.path(), L"gone"));
    line = onlyLine(cap);
    EXPECT_EQ(line.level, 3);
    EXPECT_EQ(line.message, L"Unable to delete registry value from: " + hklm.path() + L" - gone");

    cap.mark();
    EXPECT_FALSE(reg.delRegValue(hklm.path() + L"\\nokey", L"v"));
    line = onlyLine(cap);
    EXPECT_EQ(line.level, 3);
    EXPECT_EQ(line.message, L"Unable to open registry: " + hklm.path() + L"\\nokey - v");
}

TEST_F(Registry, AddKey)
{
    EXPECT_TRUE(reg.addRegKey(hkcu.path(), L"New"));
    EXPECT_TRUE(hkcu.exists(L"New"));
    auto line = onlyLine(cap);
    EXPECT_EQ(line.level, 5);
    EXPECT_EQ(line.function, cREGhandler::FN_ADD_REG_KEY);
    EXPECT_EQ(line.message, L"Registry key added: " + hkcu.path() + L" - New");

    cap.mark();
    EXPECT_TRUE(reg.addRegKey(hkcu.path(), L"new")) << "present already";
    EXPECT_EQ(onlyLine(cap).message, L"Registry key added: " + hkcu.path() + L" - new");

    cap.mark();
    EXPECT_FALSE(reg.addRegKey(hkcu.path() + L"\\nope", L"child"));
    line = onlyLine(cap);
    EXPECT_EQ(line.level, 3);
    EXPECT_EQ(line.message, L"Unable to open registry: " + hkcu.path() + L"\\nope - child");
    EXPECT_FALSE(hkcu.exists(L"nope")) << "the parent is never created";
}

TEST_F(Registry, KeysAreClosedOnEveryPath)
{
    // Each operation closes what it opened: the process's handle count does not grow.
    ASSERT_TRUE(hklm.setText(L"v", L"x"));
    DWORD before = 0, after = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &before);
    for (int i = 0; i < 50; ++i) {
        reg.getRegValue(hklm.path(), L"v");
        reg.getRegValue(hklm.path(), L"missing");
        reg.getRegValue(hklm.path() + L"\\absent", L"v");
        reg.setRegValue(HKEY_LOCAL_MACHINE, hklm.path(), L"w", L"1", 2);
        reg.delRegValue(hklm.path(), L"w");
        reg.delRegValue(hklm.path(), L"w");
        reg.addRegKey(hkcu.path(), L"sub");
    }
    ::GetProcessHandleCount(::GetCurrentProcess(), &after);
    EXPECT_LT(after, before + 10);
}
