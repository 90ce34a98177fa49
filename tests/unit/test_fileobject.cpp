// Fileobject and normalizePath against real files in a scratch folder.
#include "Fileobject.h"
#include "handles.h"
#include "testsupport.h"

#include <gtest/gtest.h>

using testsupport::TempDir;

TEST(NormalizePath, SeparatorsRunsAndTrailingSlashes)
{
    EXPECT_EQ(normalizePath(L"a\\b////c/"), L"a/b/c");
    EXPECT_EQ(normalizePath(L"//srv//share/"), L"//srv//share");
    EXPECT_EQ(normalizePath(L"/"), L"");
    EXPECT_EQ(normalizePath(L"///"), L"");
    EXPECT_EQ(normalizePath(L"C:\\Apps\\Tool\\"), L"C:/Apps/Tool");
    EXPECT_EQ(normalizePath(L"C:/Apps//Tool/"), L"C:/Apps/Tool");
    EXPECT_EQ(normalizePath(L"\\\\server\\share\\\\x\\"), L"//server/share//x");
}

TEST(Fileobject, SplitsAndJoinsPaths)
{
    Fileobject a(L"C:\\Apps\\Tool\\CV.exe");
    EXPECT_EQ(a.getPath(), L"C:/Apps/Tool");
    EXPECT_EQ(a.getFilename(), L"CV.exe");
    EXPECT_EQ(a.getFullPath(), L"C:/Apps/Tool/CV.exe");

    Fileobject b(L"CV.exe");
    EXPECT_EQ(b.getPath(), L"");
    EXPECT_EQ(b.getFilename(), L"CV.exe");
    EXPECT_EQ(b.getFullPath(), L"CV.exe");

    Fileobject c(L"C:/Apps/", L"x.log");
    EXPECT_EQ(c.getFullPath(), L"C:/Apps/x.log");
    EXPECT_EQ(c.getPath(), L"C:/Apps");

    EXPECT_EQ(Fileobject(L"C:/a/CV_Setup.1.2.exe").getFilenameWithoutExtension(), L"CV_Setup");
    EXPECT_EQ(Fileobject(L"C:/a/.profile").getFilenameWithoutExtension(), L".profile");
    EXPECT_EQ(Fileobject(L"C:/a/noext").getFilenameWithoutExtension(), L"noext");
}

TEST(Fileobject, MissingFileIsNotAnError)
{
    TempDir dir;
    Fileobject f(dir.file(L"missing.txt"));
    EXPECT_TRUE(f.deleteFile());
    EXPECT_EQ(f.getFilesize(), 0u);
    EXPECT_EQ(f.getModificationTime(), 0);
    EXPECT_EQ(f.readFile(), L"");
    EXPECT_FALSE(f.appendToFile(L"x"));
    EXPECT_FALSE(testsupport::fileExists(f.getFullPath())) << "append must never create the file";
}

TEST(Fileobject, CreateFileBuildsFolderChainAndTruncates)
{
    TempDir dir;
    Fileobject f(dir.path() + L"/b/c", L"x.log");
    ASSERT_TRUE(f.createFile());
    EXPECT_TRUE(testsupport::fileExists(dir.path() + L"/b"));
    EXPECT_TRUE(testsupport::fileExists(dir.path() + L"/b/c/x.log"));
    EXPECT_EQ(f.getFilesize(), 0u);

    ASSERT_TRUE(f.appendToFile(L"hello"));
    EXPECT_EQ(f.getFilesize(), 5u);
    ASSERT_TRUE(f.createFile());
    EXPECT_EQ(f.getFilesize(), 0u) << "createFile empties an existing file";
}

TEST(Fileobject, DeleteRemovesFileButNotFolder)
{
    TempDir dir;
    Fileobject f(dir.file(L"x.txt"));
    ASSERT_TRUE(f.createFile());
    EXPECT_TRUE(f.deleteFile());
    EXPECT_FALSE(testsupport::fileExists(f.getFullPath()));

    ::CreateDirectoryW(dir.file(L"folder").c_str(), nullptr);
    Fileobject folder(dir.file(L"folder"));
    EXPECT_FALSE(folder.deleteFile());
}

TEST(Fileobject, ReadFileTurnsZeroBytesIntoLineFeedsButNotTheLast)
{
    TempDir dir;
    const std::wstring p = dir.file(L"bin.dat");
    ASSERT_TRUE(testsupport::writeBytes(p, std::string("A\0B\0", 4)));
    Fileobject f(p);
    EXPECT_EQ(f.readFile(), L"A\nB");

    ASSERT_TRUE(testsupport::writeBytes(p, std::string("\0\0x", 3)));
    EXPECT_EQ(f.readFile(), L"\n\nx");
}

TEST(Fileobject, ReadFileOfSeveralMegabytesKeepsLengthAndTail)
{
    TempDir dir;
    const std::wstring p = dir.file(L"big.dat");
    std::string bytes(6 * 1024 * 1024, '\0');
    for (size_t i = 0; i < bytes.size(); i += 7) {
        bytes[i] = static_cast<char>('a' + (i % 26));
    }
    bytes += "MARKER<end>";
    ASSERT_TRUE(testsupport::writeBytes(p, bytes));
    Fileobject f(p);
    const std::wstring text = f.readFile();
    EXPECT_EQ(text.size(), bytes.size());
    EXPECT_EQ(text.substr(text.size() - 11), L"MARKER<end>");
}

TEST(Fileobject, AppendWritesCodePageBytes)
{
    TempDir dir;
    Fileobject f(dir.file(L"cp.txt"));
    ASSERT_TRUE(f.createFile());
    ASSERT_TRUE(f.appendToFile(L"\u00e9"));
    ASSERT_TRUE(f.appendToFile(L"ab\r\n"));
    const std::string bytes = testsupport::readBytes(f.getFullPath());
    if (::GetACP() == 1252) {
        EXPECT_EQ(bytes, std::string("\xE9"
                                     "ab\r\n"));
    } else {
        EXPECT_EQ(bytes.substr(bytes.size() - 4), "ab\r\n");
    }
    EXPECT_EQ(f.isMutexHeld(), 0) << "the cross-process section is left after the append";
}

TEST(Fileobject, OverlongPathsAreRefused)
{
    TempDir dir;
    std::wstring longName(300 - dir.path().size(), L'n');
    Fileobject f(dir.path(), longName);
    EXPECT_FALSE(f.createFile());
    EXPECT_FALSE(f.appendToFile(L"x"));
    EXPECT_EQ(f.readFile(), L"");
}

TEST(Fileobject, ReadFullyStopsAtTheEndAndReportsAFailedRead)
{
    TempDir dir;
    const std::wstring path = dir.file(L"r.bin");
    std::string bytes(100, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i * 7);
    }
    {
        handles::Kernel out(
            ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(out.valid());
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(out.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        ASSERT_EQ(written, bytes.size());
    }

    std::string buffer(200, 'x');
    size_t got = 0;
    {
        handles::Kernel in(
            ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(in.valid());
        EXPECT_TRUE(readFully(in.get(), buffer.data(), 40, &got));
        EXPECT_EQ(got, 40u);
        EXPECT_TRUE(readFully(in.get(), buffer.data() + 40, 160, &got)) << "the end of the file is no failure";
        EXPECT_EQ(got, 60u);
        EXPECT_EQ(buffer.substr(0, 100), bytes);
        EXPECT_EQ(buffer[100], 'x') << "nothing written past what came";
    }

    handles::Kernel writeOnly(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writeOnly.valid());
    EXPECT_FALSE(readFully(writeOnly.get(), buffer.data(), 10, &got));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(got, 0u);
}

TEST(Fileobject, ModificationTimeRoundTrip)
{
    TempDir dir;
    Fileobject f(dir.file(L"t.txt"));
    ASSERT_TRUE(f.createFile());
    SYSTEMTIME local{};
    local.wYear = 2021;
    local.wMonth = 3;
    local.wDay = 4;
    local.wHour = 12;
    local.wMinute = 34;
    local.wSecond = 56;
    ASSERT_TRUE(f.setModificationTime(local));

    // The platform's local-to-UTC conversion for the zone's rules of that date, as the
    // updater's newer test reads the server's time.
    SYSTEMTIME utc{};
    ASSERT_TRUE(::TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc));
    FILETIME utcFt;
    ASSERT_TRUE(::SystemTimeToFileTime(&utc, &utcFt));
    ULARGE_INTEGER u;
    u.LowPart = utcFt.dwLowDateTime;
    u.HighPart = utcFt.dwHighDateTime;
    const int64_t expected = static_cast<int64_t>((u.QuadPart - 116444736000000000ULL) / 10000000ULL);
    EXPECT_EQ(f.getModificationTime(), expected);

    const int64_t before = f.getModificationTime();
    SYSTEMTIME old = local;
    old.wYear = 1899;
    EXPECT_TRUE(f.setModificationTime(old));
    EXPECT_EQ(f.getModificationTime(), before) << "a year before 1900 leaves the time unchanged";
    old.wYear = 1969;
    old.wMonth = 12;
    old.wDay = 30;
    EXPECT_TRUE(f.setModificationTime(old));
    EXPECT_EQ(f.getModificationTime(), before) << "a time before 1970 leaves the time unchanged";
    SYSTEMTIME late = local;
    late.wYear = 3001;
    EXPECT_TRUE(f.setModificationTime(late));
    EXPECT_EQ(f.getModificationTime(), before) << "a time after 3000 leaves the time unchanged";
    late.wYear = 2999;
    EXPECT_TRUE(f.setModificationTime(late));
    EXPECT_GT(f.getModificationTime(), before) << "2999 is still a file time";

    Fileobject missing(dir.file(L"none.txt"));
    EXPECT_FALSE(missing.setModificationTime(local));
}
