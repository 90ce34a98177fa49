// cEnvironment against the process's real environment, and its log line.
#include "cEnvironment.h"
#include "logcapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>

TEST(Environment, ReadsSetUnsetAndEmptyVariables)
{
    logcapture::Capture cap;
    cEnvironment env(cap.logger());

    // WINDIR: the Windows folder as the platform reports it, backslashes kept.
    wchar_t windows[MAX_PATH] = {};
    ASSERT_GT(::GetWindowsDirectoryW(windows, MAX_PATH), 0u);
    std::wstring windir = env.getEnvironmentVariable(cEnvironment::ENV_WINDIR);
    std::wstring expected = windows;
    auto lower = [](std::wstring s) {
        std::transform(s.begin(), s.end(), s.begin(), [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
        return s;
    };
    EXPECT_EQ(lower(windir), lower(expected));
    EXPECT_NE(windir.find(L'\\'), std::wstring::npos);

    ASSERT_TRUE(::SetEnvironmentVariableW(L"CV_TEST_UNSET", nullptr));
    EXPECT_EQ(env.getEnvironmentVariable(L"CV_TEST_UNSET"), L"");

    ASSERT_TRUE(::SetEnvironmentVariableW(L"CV_TEST_EMPTY", L""));
    EXPECT_EQ(env.getEnvironmentVariable(L"CV_TEST_EMPTY"), L"");

    const std::wstring longValue = L" " + std::wstring(5000, L'x') + L" ";
    ASSERT_TRUE(::SetEnvironmentVariableW(L"CV_TEST_LONG", longValue.c_str()));
    EXPECT_EQ(env.getEnvironmentVariable(L"CV_TEST_LONG"), longValue) << "no trimming, no limit";

    EXPECT_STREQ(cEnvironment::ENV_APPDATA, L"APPDATA");
    EXPECT_STREQ(cEnvironment::ENV_USERNAME, L"USERNAME");
    EXPECT_STREQ(cEnvironment::ENV_WINDIR, L"WINDIR");

    auto lines = cap.of(cEnvironment::FN_GET_ENVIRONMENT_VARIABLE);
    ASSERT_EQ(lines.size(), 4u);
    for (const auto& l : lines) {
        EXPECT_EQ(l.level, 5);
    }
    EXPECT_EQ(lines[0].message, L"Red environment variable: WINDIR value: " + windir);
    EXPECT_EQ(lines[1].message, L"Red environment variable: CV_TEST_UNSET value: ");
    EXPECT_EQ(lines[2].message, L"Red environment variable: CV_TEST_EMPTY value: ");
}
