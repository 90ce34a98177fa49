// The Logger against real files: header block, line layout, level filter, rotation, re-creation,
// and two processes writing the same file at once.
#include "Logger.h"
#include "cCV_INSTALLER.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <thread>

using testsupport::readBytes;
using testsupport::splitLines;
using testsupport::TempDir;

namespace {

std::string withoutStamp(const std::string& line)
{
    // level+instance \t date \t time \t\t name+message: replace date and time by fixed text.
    static const std::regex stamp("\t[0-9]{2}\\.[0-9]{2}\\.[0-9]{4}\t[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}\t\t");
    return std::regex_replace(line, stamp, "\tDATE\tTIME\t\t");
}

} // namespace

TEST(Logger, HeaderBlockAndLineLayoutByteForByte)
{
    TempDir dir;
    {
        Logger logger(dir.path() + L"/Vendra", L"CV.log", L"cCV_INSTALLER(1a2b)");
        logger.log(5, cCV_INSTALLER::FN_INIT_INSTANCE, L"Searching for previous instance");
        logger.log(3, L"a::b", L"short name");
        logger.log(0, L"x::y", L"level zero");
    }
    const std::string text = readBytes(dir.path() + L"/Vendra/CV.log");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    const auto lines = splitLines(text);
    ASSERT_EQ(lines.size(), 7u);
    const std::vector<std::string> expected = {
        "off     - cCV_INSTALLER(1a2b)\tDATE\tTIME\t\tLogger::log    ====================",
        "off     - cCV_INSTALLER(1a2b)\tDATE\tTIME\t\tLogger::log    Logging started for: cCV_INSTALLER(1a2b)",
        "off     - cCV_INSTALLER(1a2b)\tDATE\tTIME\t\tLogger::log          with loglevel: 5 - debug   - ",
        "off     - cCV_INSTALLER(1a2b)\tDATE\tTIME\t\tLogger::log    --------------------",
        "debug   - cCV_INSTALLER(1a2b)\tDATE\tTIME\t\tcCV_INSTALLER::InitInstance    Searching for previous instance",
        "WARNING - cCV_INSTALLER(1a2b)\tDATE\tTIME\t\ta::b                           short name",
        "off     - cCV_INSTALLER(1a2b)\tDATE\tTIME\t\tx::y                           level zero",
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(withoutStamp(lines[i]), expected[i]) << "line " << i;
    }
    // The date and time fields are today's local time.
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    char date[16];
    snprintf(date, sizeof date, "\t%02u.%02u.%04u\t", now.wDay, now.wMonth, now.wYear);
    EXPECT_NE(lines[4].find(date), std::string::npos) << lines[4];
}

TEST(Logger, LevelsAboveFiveAreDroppedAndEachRunGetsItsOwnHeader)
{
    TempDir dir;
    {
        Logger logger(dir.path(), L"CV.log", L"run1");
        logger.log(6, L"a::b", L"dropped");
        EXPECT_FALSE(testsupport::fileExists(dir.file(L"CV.log")))
            << "a dropped line writes nothing, not even the header";
        logger.log(1, L"a::b", L"fatal");
        logger.log(2, L"a::b", L"error");
        logger.log(4, L"a::b", L"message");
        logger.log(7, L"a::b", L"dropped too");
    }
    {
        Logger logger(dir.path(), L"CV.log", L"run2");
        logger.log(5, L"a::b", L"second run");
    }
    const auto lines = splitLines(readBytes(dir.file(L"CV.log")));
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[4].substr(0, 14), "FATAL   - run1");
    EXPECT_EQ(lines[5].substr(0, 14), "ERROR   - run1");
    EXPECT_EQ(lines[6].substr(0, 14), "message - run1");
    EXPECT_NE(lines[8].find("Logging started for: run2"), std::string::npos);
    EXPECT_EQ(lines[11].substr(0, 14), "debug   - run2");
    for (const auto& l : lines) {
        EXPECT_EQ(l.find("dropped"), std::string::npos);
    }
}

TEST(Logger, RotatesOnlyPastOneMebibyte)
{
    TempDir dir;
    Logger logger(dir.path(), L"CV.log", L"r");
    logger.log(5, L"a::b", L"first");
    const std::wstring live = dir.file(L"CV.log");

    // Pad the live file to exactly 1048576 bytes: the next line is appended, no rotation.
    std::string content = readBytes(live);
    content.append(1048576 - content.size(), 'p');
    ASSERT_TRUE(testsupport::writeBytes(live, content));
    logger.log(5, L"a::b", L"at the limit");
    EXPECT_FALSE(testsupport::fileExists(live + L".last.0.log"));
    const std::string grown = readBytes(live);
    EXPECT_GT(grown.size(), 1048576u);

    // Now the file is past the limit: the next line lands alone in a fresh file.
    logger.log(5, L"a::b", L"after rotation");
    EXPECT_EQ(readBytes(live + L".last.0.log"), grown);
    const auto lines = splitLines(readBytes(live));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("after rotation"), std::string::npos);
}

TEST(Logger, RotationShiftsCopiesAndDropsTheOldest)
{
    TempDir dir;
    const std::wstring live = dir.file(L"CV.log");
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(
            testsupport::writeBytes(live + L".last." + std::to_wstring(i) + L".log", "copy" + std::to_string(i)));
    }
    std::string big(1048577, 'b');
    ASSERT_TRUE(testsupport::writeBytes(live, big));

    Logger logger(dir.path(), L"CV.log", L"r");
    logger.log(5, L"a::b", L"x");
    EXPECT_EQ(readBytes(live + L".last.0.log"), big);
    EXPECT_EQ(readBytes(live + L".last.1.log"), "copy0");
    EXPECT_EQ(readBytes(live + L".last.2.log"), "copy1");
    EXPECT_EQ(readBytes(live + L".last.3.log"), "copy2");
    EXPECT_EQ(readBytes(live + L".last.4.log"), "copy3");
    EXPECT_FALSE(testsupport::fileExists(live + L".last.5.log"));
    // The header of the run went into the new file, the first header line rotated the old one.
    const auto lines = splitLines(readBytes(live));
    ASSERT_EQ(lines.size(), 5u);
}

TEST(Logger, DeletedLogFileIsRecreatedWithItsFolders)
{
    TempDir dir;
    const std::wstring folder = dir.path() + L"/a/b";
    Logger logger(folder, L"CV.log", L"r");
    logger.log(5, L"a::b", L"one");
    ASSERT_TRUE(testsupport::fileExists(folder + L"/CV.log"));
    testsupport::removeTree(dir.path() + L"/a");
    ASSERT_FALSE(testsupport::fileExists(folder));
    logger.log(5, L"a::b", L"two");
    const auto lines = splitLines(readBytes(folder + L"/CV.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("two"), std::string::npos);
}

TEST(Logger, ThreadsOfOneProcessNeverSplitLines)
{
    TempDir dir;
    Logger logger(dir.path(), L"CV.log", L"t");
    const int perThread = 300;
    auto worker = [&](int id) {
        for (int i = 0; i < perThread; ++i) {
            logger.log(5, L"worker::run", L"thread " + std::to_wstring(id) + L" line " + std::to_wstring(i) + L" end");
        }
    };
    std::thread a(worker, 1), b(worker, 2), c(worker, 3);
    a.join();
    b.join();
    c.join();
    const auto lines = splitLines(readBytes(dir.file(L"CV.log")));
    ASSERT_EQ(lines.size(), 4u + 3 * perThread);
    std::set<std::string> seen;
    static const std::regex shape(".*worker::run    thread [123] line [0-9]+ end$");
    for (size_t i = 4; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], shape)) << lines[i];
        seen.insert(lines[i].substr(lines[i].find("thread")));
    }
    EXPECT_EQ(seen.size(), 3u * perThread);
}

namespace {

// Runs two logwriter processes against one file and returns every line of the live file and
// its copies, oldest first.
std::vector<std::string> twoWriters(const TempDir& dir, int count, int padding)
{
    testsupport::Child a(testsupport::fixture(L"logwriter.exe"), L"\"" + dir.path() + L"\" CV.log procA " +
                                                                     std::to_wstring(count) + L" " +
                                                                     std::to_wstring(padding));
    testsupport::Child b(testsupport::fixture(L"logwriter.exe"), L"\"" + dir.path() + L"\" CV.log procB " +
                                                                     std::to_wstring(count) + L" " +
                                                                     std::to_wstring(padding));
    EXPECT_TRUE(a.started() && b.started());
    DWORD codeA = 1, codeB = 1;
    EXPECT_TRUE(a.wait(240000, &codeA));
    EXPECT_TRUE(b.wait(240000, &codeB));
    EXPECT_EQ(codeA, 0u);
    EXPECT_EQ(codeB, 0u);
    std::vector<std::string> all;
    for (int i = 4; i >= 0; --i) {
        for (auto& l : splitLines(readBytes(dir.file(L"CV.log.last." + std::to_wstring(i) + L".log")))) {
            all.push_back(l);
        }
    }
    for (auto& l : splitLines(readBytes(dir.file(L"CV.log")))) {
        all.push_back(l);
    }
    return all;
}

void expectEveryLineOnceAndWhole(const std::vector<std::string>& all, int count, int padding)
{
    const std::string pad(static_cast<size_t>(padding), 'x');
    std::map<std::string, std::vector<int>> byProcess;
    int headers = 0;
    const std::regex shape("^(off     - |debug   - )(proc[AB])\t[0-9.]{10}\t[0-9:.]{12}\t\t(.*)$");
    for (const auto& l : all) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, shape)) << "split or mixed line: " << l.substr(0, 120);
        if (m[1] == "off     - ") {
            ++headers;
            continue;
        }
        const std::string rest = m[3];
        const std::string prefix = "logwriter::wmain    " + std::string(m[2]) + " line ";
        ASSERT_EQ(rest.rfind(prefix, 0), 0u) << rest.substr(0, 120);
        const std::string tail = rest.substr(prefix.size());
        const size_t blank = tail.find(' ');
        ASSERT_EQ(tail.substr(blank), " " + pad + " end") << "line body damaged";
        byProcess[m[2]].push_back(std::stoi(tail.substr(0, blank)));
    }
    EXPECT_EQ(headers, 8);
    for (const char* p : {"procA", "procB"}) {
        const auto& seq = byProcess[p];
        ASSERT_EQ(seq.size(), static_cast<size_t>(count)) << p;
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(seq[static_cast<size_t>(i)], i) << p << ": lines lost or out of order";
        }
    }
}

} // namespace

TEST(Logger, TwoProcessesAppendingToOneFileLoseNoLine)
{
    TempDir dir;
    const int count = 2000;
    const auto all = twoWriters(dir, count, 10);
    EXPECT_FALSE(testsupport::fileExists(dir.file(L"CV.log.last.0.log"))) << "small run must not rotate";
    expectEveryLineOnceAndWhole(all, count, 10);
}

TEST(Logger, TwoProcessesAcrossRotationLoseNoLine)
{
    TempDir dir;
    // About 2 x 1500 x 1.1 KB = 3.3 MB: three rotations, all lines fit in the five copies.
    const int count = 1500;
    const int padding = 1000;
    const auto all = twoWriters(dir, count, padding);
    EXPECT_TRUE(testsupport::fileExists(dir.file(L"CV.log.last.2.log")));
    EXPECT_FALSE(testsupport::fileExists(dir.file(L"CV.log.last.5.log")));
    for (int i = 0; i < 5; ++i) {
        const std::string copy = readBytes(dir.file(L"CV.log.last." + std::to_wstring(i) + L".log"));
        EXPECT_LE(copy.size(), 1048576u + 1200u) << "a copy exceeds the limit by more than one line";
    }
    expectEveryLineOnceAndWhole(all, count, padding);
}
