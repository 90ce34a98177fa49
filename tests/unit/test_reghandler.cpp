// cREGhandler against the prefix's real registry: scratch keys under HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER, created and removed by the tests, and the handler's log lines.
#include "cREGhandler.h"
#include "logcapture.h"
#include "textutil.h"

#include <gtest/gtest.h>

namespace {

// A scratch key below Software of a root, removed with its subtree at the end.
class ScratchKey {
public:
    ScratchKey(HKEY root, const std::wstring& tag)
        : root_(root), path_(L"Software\\CVTest-" + tag + L"-" + std::to_wstring(::GetCurrentProcessId()))
    {
        ::RegDeleteTreeW(root_, path_.c_str());
        HKEY key = nullptr;
        ok_ = ::RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
              ERROR_SUCCESS;
        if (ok_) {
            ::RegCloseKey(key);
        }
    }
    ~ScratchKey() { ::RegDeleteTreeW(root_, path_.c_str()); }
    const std::wstring& path() const { return path_; }
    bool ok() const { return ok_; }

    bool set(const std::wstring& name, DWORD type, const void* data, DWORD size)
    {
        HKEY key = nullptr;
        if (::RegOpenKeyExW(root_, path_.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
            return false;
        }
        const bool done =
            ::RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
        ::RegCloseKey(key);
        return done;
    }
    bool setText(const std::wstring& name, const std::wstring& text, DWORD type = REG_SZ)
    {
        return set(name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    bool setNumber(const std::wstring& name, DWORD n) { return set(name, REG_DWORD, &n, sizeof(n)); }

    // Type and raw bytes of a value; false when it is missing.
    bool get(const std::wstring& name, DWORD* type, std::string* bytes, const std::wstring& sub = L"") const
    {
        const std::wstring p = sub.empty() ? path_ : path_ + L"\\" + sub;
        HKEY key = nullptr;
        if (::RegOpenKeyExW(root_, p.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
            return false;
        }
        char buffer[1024];
        DWORD size = sizeof(buffer);
        const bool found = ::RegQueryValueExW(key, name.c_str(), nullptr, type, reinterpret_cast<BYTE*>(buffer),
                                              &size) == ERROR_SUCCESS;
        ::RegCloseKey(key);
        if (found) {
            bytes->assign(buffer, size);
        }
        return found;
    }
    DWORD number(const std::wstring& name) const
    {
        DWORD type = 0;
        std::string bytes;
        if (!get(name, &type, &bytes) || type != REG_DWORD || bytes.size() != 4) {
            return 0xDEADBEEF;
        }
        DWORD n;
        memcpy(&n, bytes.data(), 4);
        return n;
    }
    bool keyExists(const std::wstring& sub) const
    {
        HKEY key = nullptr;
        const std::wstring p = path_ + L"\\" + sub;
        if (::RegOpenKeyExW(root_, p.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
            return false;
        }
        ::RegCloseKey(key);
        return true;
    }

private:
    HKEY root_;
    std::wstring path_;
    bool ok_ = false;
};

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
    ASSERT_TRUE(hklm.set(L"empty", REG_SZ, L"", 0));

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
    ASSERT_TRUE(hklm.set(L"raw", REG_BINARY, t128.c_str(), 256));
    EXPECT_EQ(reg.getRegValue(hklm.path(), L"raw"), t128);
    // Binary data shorter than the buffer is taken as text up to what was read.
    const char bin[5] = {'A', 0, 'B', 0, 'C'};
    ASSERT_TRUE(hklm.set(L"bin", REG_BINARY, bin, 5));
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
    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(reg.setRegValue(HKEY_LOCAL_MACHINE, hklm.path(), L"k1", L"ab", 1));
    ASSERT_TRUE(hklm.get(L"k1", &type, &bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(bytes, std::string("a\0b\0\0\0", 6));

    ASSERT_TRUE(reg.setRegValue(HKEY_LOCAL_MACHINE, hklm.path(), L"k3", L"%TEMP%", 3));
    ASSERT_TRUE(hklm.get(L"k3", &type, &bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(bytes.size(), 14u);

    ASSERT_TRUE(reg.setRegValue(HKEY_LOCAL_MACHINE, hklm.path(), L"k7", L"x", 7));
    ASSERT_TRUE(hklm.get(L"k7", &type, &bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    // The type of an existing value is replaced.
    ASSERT_TRUE(reg.setRegValue(HKEY_LOCAL_MACHINE, hklm.path(), L"k1", L"5", 2));
    ASSERT_TRUE(hklm.get(L"k1", &type, &bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
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
    EXPECT_FALSE(hkcu.keyExists(L"missing"));

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
    DWORD type;
    std::string bytes;
    EXPECT_FALSE(hklm.get(L"gone", &type, &bytes));

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
    EXPECT_TRUE(hkcu.keyExists(L"New"));
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
    EXPECT_FALSE(hkcu.keyExists(L"nope")) << "the parent is never created";
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
