// Binaryresourcemanager against real files: this test program carries the provider builds as
// resources "TSP" 5 and 6 (test_binaryresourcemanager.rc includes resources/tsp.rc), so the
// extraction reads its own module exactly as CV_setup.exe does. The bytes go through a temporary
// file in the target's folder: after every call the folder holds no temporary file, and a failed
// call leaves the target as it was.
#include "Binaryresourcemanager.h"
#include "handles.h"
#include "logcapture.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using logcapture::Capture;
using testsupport::TempDir;

namespace {

const wchar_t* const F = Binaryresourcemanager::FN_EXTRACT_RESOURCE;

std::vector<std::wstring> messages(const Capture& log)
{
    std::vector<std::wstring> out;
    for (const auto& l : log.of(F)) {
        out.push_back(l.message);
    }
    return out;
}

// The resource bytes as the module holds them.
std::string ownResource(WORD id)
{
    HMODULE self = ::GetModuleHandleW(nullptr);
    HRSRC found = ::FindResourceW(self, MAKEINTRESOURCEW(id), L"TSP");
    if (found == nullptr) {
        return {};
    }
    const void* bytes = ::LockResource(::LoadResource(self, found));
    return std::string(static_cast<const char*>(bytes), ::SizeofResource(self, found));
}

// Machine field of a PE file's header.
WORD peMachine(const std::string& image)
{
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') {
        return 0;
    }
    const DWORD pe = *reinterpret_cast<const DWORD*>(image.data() + 0x3C);
    if (pe + 6 > image.size() || image.compare(pe, 4, std::string("PE\0\0", 4)) != 0) {
        return 0;
    }
    return *reinterpret_cast<const WORD*>(image.data() + pe + 4);
}

// The names in a folder.
std::vector<std::wstring> folderContent(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW((folder + L"/*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
}

} // namespace

TEST(Binaryresourcemanager, CarriesBothProviderBuildsLanguageNeutral)
{
    // Both builds, as the provider build wrote them, are in the module, language neutral.
    const std::string dll32 = testsupport::readBytes(testsupport::builtProgram(L"provider/CV_TSP32.tsp"));
    const std::string dll64 = testsupport::readBytes(testsupport::builtProgram(L"provider/CV_TSP64.tsp"));
    ASSERT_FALSE(dll32.empty());
    ASSERT_FALSE(dll64.empty());
    EXPECT_EQ(peMachine(dll32), IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(peMachine(dll64), IMAGE_FILE_MACHINE_AMD64);
    EXPECT_TRUE(ownResource(5) == dll32);
    EXPECT_TRUE(ownResource(6) == dll64);
    HMODULE self = ::GetModuleHandleW(nullptr);
    EXPECT_NE(::FindResourceExW(self, L"TSP", MAKEINTRESOURCEW(5), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)), nullptr);
    EXPECT_NE(::FindResourceExW(self, L"TSP", MAKEINTRESOURCEW(6), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)), nullptr);
}

TEST(Binaryresourcemanager, WritesTheBuildOfTheOwnBitnessByteForByte)
{
    TempDir dir;
    Capture log;
    Binaryresourcemanager manager(log.logger());
    const std::wstring target = dir.file(L"CV_TSP.tsp");

    ASSERT_TRUE(manager.extractResource(L"TSP", target, true));
    const std::string written = testsupport::readBytes(target);
    const WORD expectedId = sizeof(void*) == 8 ? 6 : 5;
    EXPECT_EQ(Binaryresourcemanager::RESOURCE_ID, expectedId);
    const std::string expected = ownResource(expectedId);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(written.size(), expected.size());
    EXPECT_TRUE(written == expected) << "content differs from the resource";
    EXPECT_EQ(peMachine(written), sizeof(void*) == 8 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(messages(log),
              (std::vector<std::wstring>{L"File not found: " + target, L"Extracted resource to: " + target}));
    for (const auto& l : log.of(F)) {
        EXPECT_EQ(l.level, 5) << testsupport::narrow(l.message);
    }
    EXPECT_EQ(folderContent(dir.path()), (std::vector<std::wstring>{L"CV_TSP.tsp"})) << "no temporary file left";
}

TEST(Binaryresourcemanager, ExtractsEitherBuildById)
{
    TempDir dir;
    Capture log;
    Binaryresourcemanager manager(log.logger());
    for (WORD id : {Binaryresourcemanager::RESOURCE_ID_32BIT, Binaryresourcemanager::RESOURCE_ID_64BIT}) {
        const std::wstring target = dir.file(L"build" + std::to_wstring(id) + L".tsp");
        ASSERT_TRUE(manager.extractResource(L"TSP", id, target, false));
        EXPECT_TRUE(testsupport::readBytes(target) == ownResource(id)) << id;
    }
    EXPECT_EQ(peMachine(testsupport::readBytes(dir.file(L"build5.tsp"))), IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(peMachine(testsupport::readBytes(dir.file(L"build6.tsp"))), IMAGE_FILE_MACHINE_AMD64);
}

TEST(Binaryresourcemanager, ExistingTargetKeptOrReplacedByOverride)
{
    TempDir dir;
    Capture log;
    Binaryresourcemanager manager(log.logger());
    const std::wstring target = dir.file(L"CV_TSP.tsp");
    const std::string previous(70000, 'p'); // longer than the resource: truncation shows
    ASSERT_TRUE(testsupport::writeBytes(target, previous));

    EXPECT_FALSE(manager.extractResource(L"TSP", target, false));
    EXPECT_TRUE(testsupport::readBytes(target) == previous) << "refused override must leave the file alone";
    EXPECT_EQ(messages(log), (std::vector<std::wstring>{L"Found file: " + target, L"Do not override it!"}));

    log.mark();
    EXPECT_TRUE(manager.extractResource(L"TSP", target, true));
    EXPECT_TRUE(testsupport::readBytes(target) == ownResource(Binaryresourcemanager::RESOURCE_ID));
    std::vector<std::wstring> fresh;
    for (const auto& l : log.fresh()) {
        fresh.push_back(l.message);
    }
    EXPECT_EQ(fresh, (std::vector<std::wstring>{L"Found file: " + target, L"Override it!",
                                                L"Extracted resource to: " + target}));
}

TEST(Binaryresourcemanager, FileInUseWithoutDeleteSharingIsKeptWhole)
{
    // Someone holds the old file open (read and write shared, not delete): it cannot be replaced,
    // and it is not truncated or half-written either.
    TempDir dir;
    Capture log;
    Binaryresourcemanager manager(log.logger());
    const std::wstring target = dir.file(L"busy.tsp");
    const std::string previous(100, 'x');
    ASSERT_TRUE(testsupport::writeBytes(target, previous));
    handles::Kernel holder(::CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.valid());

    EXPECT_FALSE(manager.extractResource(L"TSP", target, true));
    holder.reset();
    EXPECT_TRUE(testsupport::readBytes(target) == previous);
    EXPECT_EQ(messages(log), (std::vector<std::wstring>{L"Found file: " + target, L"Override it!",
                                                        L"Unable to create file: " + target}));
    EXPECT_EQ(folderContent(dir.path()), (std::vector<std::wstring>{L"busy.tsp"})) << "no temporary file left";

    // Released, the same call replaces it.
    EXPECT_TRUE(manager.extractResource(L"TSP", target, true));
    EXPECT_TRUE(testsupport::readBytes(target) == ownResource(Binaryresourcemanager::RESOURCE_ID));
}

TEST(Binaryresourcemanager, MissingResourceLeavesTheTargetAsItWas)
{
    TempDir dir;
    Capture log;
    Binaryresourcemanager manager(log.logger());
    const std::wstring target = dir.file(L"none.bin");

    EXPECT_FALSE(manager.extractResource(L"NOSUCHTYPE", target, true));
    EXPECT_FALSE(testsupport::fileExists(target));
    EXPECT_EQ(messages(log),
              (std::vector<std::wstring>{L"File not found: " + target, L"Unable to find resourcetype: NOSUCHTYPE"}));
    EXPECT_EQ(log.of(F).back().level, 5);

    // An existing file keeps its content when the resource (here: an id the module lacks) is missing.
    ASSERT_TRUE(testsupport::writeBytes(target, "installed before"));
    EXPECT_FALSE(manager.extractResource(L"TSP", 99, target, true));
    EXPECT_EQ(testsupport::readBytes(target), "installed before");
    EXPECT_EQ(folderContent(dir.path()), (std::vector<std::wstring>{L"none.bin"})) << "no temporary file left";
}

TEST(Binaryresourcemanager, MissingFolderIsNotCreated)
{
    TempDir dir;
    Capture log;
    Binaryresourcemanager manager(log.logger());
    const std::wstring target = dir.path() + L"/absent/CV_TSP.tsp";

    EXPECT_FALSE(manager.extractResource(L"TSP", target, true));
    EXPECT_FALSE(testsupport::fileExists(dir.path() + L"/absent"));
    EXPECT_EQ(messages(log),
              (std::vector<std::wstring>{L"File not found: " + target, L"Unable to create file: " + target}));
}

TEST(Binaryresourcemanager, FolderAsTargetCountsAsFoundAndCannotBeCreated)
{
    TempDir dir;
    Capture log;
    Binaryresourcemanager manager(log.logger());
    const std::wstring target = dir.path() + L"/CV_TSP.tsp";
    ASSERT_TRUE(::CreateDirectoryW(target.c_str(), nullptr));

    EXPECT_FALSE(manager.extractResource(L"TSP", target, true));
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u) << "the folder stays";
    EXPECT_EQ(messages(log), (std::vector<std::wstring>{L"Found file: " + target, L"Override it!",
                                                        L"Unable to create file: " + target}));
}
