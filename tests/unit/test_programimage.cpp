// The program image check against the real programs and libraries of this build, read from disk
// as the updater reads a download (the first 64 KiB and the whole size).
#include "programimage.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

using portable::checkProgramImage;
using portable::ImageFault;

namespace {

std::vector<uint8_t> fileBytes(const std::wstring& path)
{
    const std::string s = testsupport::readBytes(path);
    return std::vector<uint8_t>(s.begin(), s.end());
}

} // namespace

TEST(ProgramImage, TheBuildsOwnFiles)
{
    // The real programs pass from their first 64 KiB, the real provider library is a DLL, and the
    // same program cut in half fails.
    const std::vector<uint8_t> exe = fileBytes(testsupport::builtProgram(L"CV_setup.exe"));
    ASSERT_GT(exe.size(), portable::IMAGE_HEAD_BYTES);
    EXPECT_EQ(checkProgramImage(exe.data(), portable::IMAGE_HEAD_BYTES, exe.size()).fault, ImageFault::None);
    EXPECT_EQ(checkProgramImage(exe.data(), portable::IMAGE_HEAD_BYTES, exe.size() / 2).fault,
              ImageFault::SectionOutside);
    const std::vector<uint8_t> client = fileBytes(testsupport::fixture(L"democlient.exe"));
    ASSERT_FALSE(client.empty());
    EXPECT_EQ(checkProgramImage(client.data(), client.size(), client.size()).fault, ImageFault::None);
    const std::vector<uint8_t> provider = fileBytes(testsupport::builtProgram(L"provider/CV_TSP64.tsp"));
    ASSERT_FALSE(provider.empty());
    EXPECT_EQ(checkProgramImage(provider.data(), provider.size(), provider.size()).fault, ImageFault::IsDll);
    for (ImageFault f : {ImageFault::None, ImageFault::NoMzSignature, ImageFault::SectionOutside}) {
        EXPECT_GT(std::wcslen(portable::describeImageFault(f)), 5u);
    }
}
