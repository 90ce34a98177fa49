// The version resource of the built programs, 32-bit and 64-bit, as Windows reads it
// (GetFileVersionInfoW, VerQueryValueW): the fixed file and product versions derived from the
// program's version label, the strings Explorer shows, and the portable reader of the fixed
// version agreeing with Windows on the same bytes. The control: a program built without a version
// resource has none for either reader.
#include "cCV_INSTALLER.h"
#include "testsupport.h"
#include "versionresource.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

// "3.39-QRN32-VLM6.52578": major, the digits after the first dot, the number after the last dot.
portable::FixedFileVersion::Parts versionOfLabel(const std::wstring& label)
{
    const size_t dot = label.find(L'.');
    const size_t last = label.rfind(L'.');
    return {static_cast<uint16_t>(std::stoul(label.substr(0, dot))),
            static_cast<uint16_t>(std::stoul(label.substr(dot + 1))), 0,
            static_cast<uint16_t>(std::stoul(label.substr(last + 1)))};
}

std::vector<uint8_t> fileBytes(const std::wstring& path)
{
    const std::string bytes = testsupport::readBytes(path);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::wstring stringValue(const std::vector<uint8_t>& info, const std::wstring& name)
{
    void* value = nullptr;
    UINT length = 0;
    const std::wstring path = L"\\StringFileInfo\\040904b0\\" + name;
    if (!::VerQueryValueW(info.data(), path.c_str(), &value, &length) || value == nullptr) {
        return L"<none>";
    }
    return std::wstring(static_cast<const wchar_t*>(value));
}

// Both builds of the installer: this test's own build folder holds one, the other lies beside it.
std::vector<std::wstring> builtInstallers()
{
    const std::wstring own = testsupport::builtProgram(L"CV_setup.exe");
    const std::wstring folder = own.substr(0, own.rfind(L'/'));
    const std::wstring root = folder.substr(0, folder.rfind(L'/'));
    return {root + L"/win32/CV_setup.exe", root + L"/win64/CV_setup.exe"};
}

} // namespace

TEST(VersionResource, ControlProgramWithoutResourceHasNone)
{
    const std::wstring program = testsupport::fixture(L"dwtwindow.exe");
    DWORD handle = 0;
    EXPECT_EQ(::GetFileVersionInfoSizeW(program.c_str(), &handle), 0u);
    const std::vector<uint8_t> bytes = fileBytes(program);
    ASSERT_GT(bytes.size(), 1000u);
    portable::FixedFileVersion v;
    EXPECT_EQ(portable::readFixedFileVersion(bytes.data(), bytes.size(), &v).reason, "no version resource");
}

TEST(VersionResource, BothBuildsCarryTheLabelsVersionAndTheExplorerStrings)
{
    const portable::FixedFileVersion::Parts expected = versionOfLabel(cCV_INSTALLER::VERSION_LABEL);
    EXPECT_EQ(expected, (portable::FixedFileVersion::Parts{3, 39, 0, 52578}));
    for (const std::wstring& program : builtInstallers()) {
        SCOPED_TRACE(std::string(program.begin(), program.end()));
        DWORD handle = 0;
        const DWORD size = ::GetFileVersionInfoSizeW(program.c_str(), &handle);
        ASSERT_GT(size, 0u) << "no version resource (error " << ::GetLastError() << ")";
        std::vector<uint8_t> info(size);
        ASSERT_TRUE(::GetFileVersionInfoW(program.c_str(), 0, size, info.data()));
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
        const DWORD high = MAKELONG(expected[1], expected[0]);
        const DWORD low = MAKELONG(expected[3], expected[2]);
        EXPECT_EQ(fixed->dwFileVersionMS, high);
        EXPECT_EQ(fixed->dwFileVersionLS, low);
        EXPECT_EQ(fixed->dwProductVersionMS, high);
        EXPECT_EQ(fixed->dwProductVersionLS, low);
        EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

        const std::wstring label = cCV_INSTALLER::VERSION_LABEL;
        EXPECT_EQ(stringValue(info, L"CompanyName"), L"Vendra");
        EXPECT_EQ(stringValue(info, L"ProductName"), L"Callvane");
        EXPECT_EQ(stringValue(info, L"FileDescription"), L"Callvane installer");
        EXPECT_EQ(stringValue(info, L"FileVersion"), L"3.39.0.52578 (" + label + L")");
        EXPECT_EQ(stringValue(info, L"ProductVersion"), label);
        EXPECT_EQ(stringValue(info, L"OriginalFilename"), L"CV_setup.exe");
        EXPECT_EQ(stringValue(info, L"InternalName"), L"CV_setup");
        EXPECT_EQ(stringValue(info, L"LegalCopyright"), L"Copyright (C) Vendra");

        const std::vector<uint8_t> bytes = fileBytes(program);
        portable::FixedFileVersion v;
        const portable::Result r = portable::readFixedFileVersion(bytes.data(), bytes.size(), &v);
        ASSERT_TRUE(r.ok()) << r.reason;
        EXPECT_EQ(v.file, expected);
        EXPECT_EQ(v.product, expected);
        EXPECT_EQ(v.fileOs, fixed->dwFileOS);
        EXPECT_EQ(v.fileType, fixed->dwFileType);
        EXPECT_EQ(v.fileFlags, fixed->dwFileFlags & fixed->dwFileFlagsMask);
    }
}
