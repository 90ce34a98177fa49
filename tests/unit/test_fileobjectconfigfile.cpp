// FileobjectConfigfile against real files in a scratch folder: the layout the platform's
// private-profile writer produces, creation before the first write, and the log lines.
#include "FileobjectConfigfile.h"
#include "logcapture.h"

#include <gtest/gtest.h>

using testsupport::TempDir;

namespace {

const wchar_t* const KEYS[8] = {L"DEPLOYMENT_SERVER_HOST",       L"DEPLOYMENT_SERVER_PROTOCOL",
                                L"DEPLOYMENT_SERVER_PORT",       L"DEPLOYMENT_SERVER_URL_CLIENT",
                                L"DEPLOYMENT_SERVER_URL_PORTAL", L"DEPLOYMENT_SERVER_URL_EVENTS",
                                L"DEPLOYMENT_PRODUCT",           L"DEPLOYMENT_LOGLEVEL"};

} // namespace

TEST(Configfile, FreshFileGetsSectionAndKeysInWriteOrder)
{
    logcapture::Capture cap;
    TempDir dir;
    const std::wstring folder = dir.path() + L"\\sub\\\\";
    FileobjectConfigfile cfg(cap.logger(), folder, L"CV.deployment");
    const std::wstring full = dir.path() + L"/sub/CV.deployment";
    EXPECT_EQ(cfg.getFullPath(), full);
    EXPECT_FALSE(testsupport::fileExists(full)) << "construction touches nothing on disk";

    std::string expected = "[common]\r\n";
    for (int i = 0; i < 8; ++i) {
        const std::wstring value = L"v" + std::to_wstring(i) + (i == 6 ? L" Br\u00e4ndel" : L"");
        EXPECT_TRUE(cfg.writeCFGparamSTRING(L"common", KEYS[i], value));
        expected += testsupport::narrow(KEYS[i]) + "=v" + std::to_string(i) + (i == 6 ? " Br\xe4ndel" : "") + "\r\n";
    }
    EXPECT_EQ(testsupport::readBytes(full), expected) << "ANSI text, CR LF, keys in the order of the writes";

    auto lines = cap.lines();
    ASSERT_GE(lines.size(), 3u);
    std::vector<logcapture::Line> mine;
    for (const auto& l : lines) {
        if (l.level > 0) {
            mine.push_back(l);
        }
    }
    ASSERT_EQ(mine.size(), 10u);
    EXPECT_EQ(mine[0].function, FileobjectConfigfile::FN_CONSTRUCTOR);
    EXPECT_EQ(mine[0].level, 5);
    EXPECT_EQ(mine[0].message, L"Prepared configfile: " + full);
    EXPECT_EQ(mine[1].function, FileobjectConfigfile::FN_CHECK4_CONFIGFILE);
    EXPECT_EQ(mine[1].level, 4);
    EXPECT_EQ(mine[1].message, L"Configfile does not exist (creating it): " + full);
    EXPECT_EQ(mine[2].function, FileobjectConfigfile::FN_WRITE_CFG_PARAM_STRING);
    EXPECT_EQ(mine[2].level, 5);
    EXPECT_EQ(mine[2].message, L"Writing parameter to: " + full + L" [common] DEPLOYMENT_SERVER_HOST = >v0<");
    EXPECT_EQ(mine[9].message, L"Writing parameter to: " + full + L" [common] DEPLOYMENT_LOGLEVEL = >v7<");
}

TEST(Configfile, RewriteKeepsPositionAndEmptyValues)
{
    logcapture::Capture cap;
    TempDir dir;
    FileobjectConfigfile cfg(cap.logger(), dir.path(), L"x.ini");
    ASSERT_TRUE(cfg.writeCFGparamSTRING(L"common", L"A", L"1"));
    ASSERT_TRUE(cfg.writeCFGparamSTRING(L"common", L"B", L"2"));
    ASSERT_TRUE(cfg.writeCFGparamSTRING(L"common", L"a", L"3")); // names match without case
    ASSERT_TRUE(cfg.writeCFGparamSTRING(L"common", L"C", L""));
    ASSERT_TRUE(cfg.writeCFGparamSTRING(L"other", L"A", L"4"));
    ASSERT_TRUE(cfg.writeCFGparamSTRING(L"COMMON", L"D", L"5"));
    const std::string text = testsupport::readBytes(dir.file(L"x.ini"));
    EXPECT_EQ(text.find("[common]\r\nA=3\r\nB=2\r\nC=\r\nD=5\r\n"), 0u) << text;
    EXPECT_NE(text.find("[other]\r\nA=4\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("A=1"), std::string::npos);

    auto writes = cap.of(FileobjectConfigfile::FN_WRITE_CFG_PARAM_STRING);
    ASSERT_EQ(writes.size(), 6u);
    EXPECT_EQ(writes[3].message, L"Writing parameter to: " + dir.file(L"x.ini") + L" [common] C = ><");
    EXPECT_EQ(cap.of(FileobjectConfigfile::FN_CHECK4_CONFIGFILE).size(), 1u) << "created once";
}

TEST(Configfile, DebugKeysAreNotLoggedAndValuesAreLoggedAsPassed)
{
    logcapture::Capture cap;
    TempDir dir;
    FileobjectConfigfile cfg(cap.logger(), dir.path(), L"x.ini");
    ASSERT_TRUE(cfg.writeCFGparamSTRING(L"common", L"LOGLEVEL_DEBUG", L"5"));
    ASSERT_TRUE(cfg.writeCFGparamSTRING(L"common", L"debug_level", L"4"));
    ASSERT_TRUE(cfg.writeCFGparamSTRING(L"common", L"PAD", L"  x  "));
    EXPECT_NE(testsupport::readBytes(dir.file(L"x.ini")).find("LOGLEVEL_DEBUG=5\r\n"), std::string::npos)
        << "written, only not logged";
    auto writes = cap.of(FileobjectConfigfile::FN_WRITE_CFG_PARAM_STRING);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].message, L"Writing parameter to: " + dir.file(L"x.ini") + L" [common] debug_level = >4<");
    EXPECT_EQ(writes[1].message, L"Writing parameter to: " + dir.file(L"x.ini") + L" [common] PAD = >  x  <");
}

TEST(Configfile, ExistingFileIsKeptAndUnwritablePlacesFail)
{
    logcapture::Capture cap;
    TempDir dir;
    ASSERT_TRUE(testsupport::writeBytes(dir.file(L"old.ini"), "[common]\r\nKEEP=1\r\n"));
    FileobjectConfigfile old(cap.logger(), dir.path(), L"old.ini");
    ASSERT_TRUE(old.writeCFGparamSTRING(L"common", L"NEW", L"2"));
    EXPECT_EQ(testsupport::readBytes(dir.file(L"old.ini")), "[common]\r\nKEEP=1\r\nNEW=2\r\n");
    EXPECT_TRUE(cap.of(FileobjectConfigfile::FN_CHECK4_CONFIGFILE).empty());

    // A folder below a plain file cannot be created: the write fails, nothing crashes.
    ASSERT_TRUE(testsupport::writeBytes(dir.file(L"plain"), "x"));
    FileobjectConfigfile blocked(cap.logger(), dir.file(L"plain") + L"/sub", L"x.ini");
    EXPECT_FALSE(blocked.writeCFGparamSTRING(L"common", L"K", L"v"));
    EXPECT_EQ(testsupport::readBytes(dir.file(L"plain")), "x");

    // A folder of the file's name counts as present and is not replaced.
    ASSERT_TRUE(::CreateDirectoryW(dir.file(L"dir.ini").c_str(), nullptr));
    FileobjectConfigfile folder(cap.logger(), dir.path(), L"dir.ini");
    EXPECT_FALSE(folder.writeCFGparamSTRING(L"common", L"K", L"v"));
    EXPECT_EQ(cap.of(FileobjectConfigfile::FN_CHECK4_CONFIGFILE).size(), 1u) << "only the blocked file was missing";
}
