// Downloadchecks on real private download files: the size rule, bodies that are no program, the
// current build itself, and the publisher pin (an unsigned program and a malformed pin are
// refused). Every failure deletes the download.
#include "Downloadchecks.h"

#include "Logger.h"
#include "cWebupdater.h"
#include "updatertest.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using testsupport::countLevel;
using testsupport::linesFrom;
using testsupport::programBytes;
using testsupport::readBytes;
using testsupport::TempDir;
using testsupport::writeBytes;

namespace {

class Checks : public ::testing::Test {
protected:
    void SetUp() override
    {
        logger = std::make_unique<Logger>(dir.path(), L"web.log", L"CV_setup.exe");
        target = dir.file(L"dc_target.exe");
        ASSERT_TRUE(writeBytes(target, "old"));
    }

    // bytes as a private download, then all checks: UPDATE_DONE or the result code, the system
    // error in lastError.
    int32_t check(const std::string& bytes)
    {
        Downloadfile download;
        DWORD error = 0;
        EXPECT_TRUE(download.create(dir.path(), L"dc_target.exe", false, &error)) << error;
        EXPECT_TRUE(download.write(bytes.data(), static_cast<DWORD>(bytes.size()), &error)) << error;
        const portable::Result r = Downloadchecks(logger.get(), pin, nullptr).check(&download, target);
        lastError = r.systemError;
        kept = download.isOpen();
        download.discard();
        return r.ok() ? cWebupdater::UPDATE_DONE : r.code;
    }
    int leftovers() const { return testsupport::leftoverDownloads({dir.path()}, L"dc_target.exe"); }

    TempDir dir{L"dc"};
    testsupport::Logfile log{dir.path() + L"/web.log"};
    std::unique_ptr<Logger> logger;
    Downloadchecks::Pin pin;
    std::wstring target;
    DWORD lastError = 0;
    bool kept = false;
};

} // namespace

TEST_F(Checks, SizeRuleDiscardsSmallBodies)
{
    for (size_t n : {2000u, 50000u, 120000u}) {
        EXPECT_EQ(check(programBytes(n)), cWebupdater::UPDATE_SIZE_REJECTED) << n;
        EXPECT_FALSE(kept) << "the download is deleted";
        EXPECT_EQ(leftovers(), 0);
    }
    EXPECT_TRUE(log.logged(2, cWebupdater::FN_UPDATE,
                           "Downloaded file rejected, its size of 50000 bytes lies between 2000 and 120000 bytes"));
    EXPECT_EQ(countLevel(log.lines(), "ERROR   - ", ""), 3) << "one error line per rejected body";
    // The control: just outside the range on both sides.
    EXPECT_EQ(check(programBytes(1999)), cWebupdater::UPDATE_DONE) << log.dump();
    EXPECT_TRUE(kept);
    EXPECT_EQ(check(programBytes(120001)), cWebupdater::UPDATE_DONE) << log.dump();
    EXPECT_EQ(readBytes(target), "old");
}

TEST_F(Checks, BodiesThatAreNoProgramAreDeleted)
{
    const std::string json500 = "{\"error\": \"" + std::string(487, 'x') + "\"}";
    std::string html = "<html><body>";
    while (html.size() < 300000) {
        html += "<p>Maintenance</p>";
    }
    struct Case {
        std::string bytes;
        const char* failed;
    };
    const Case cases[] = {
        {"", "no MZ signature"},
        {json500, "no MZ signature"},
        {html, "no MZ signature"},
        {programBytes(200000, 1), "a DLL, not a program"},
        {programBytes(200000, 2), "a section's raw data ends beyond the file (section 0)"},
    };
    for (const Case& c : cases) {
        const size_t before = log.lines().size();
        EXPECT_EQ(check(c.bytes), cWebupdater::UPDATE_NOT_A_PROGRAM) << c.failed << "\n" << log.dump();
        EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
        EXPECT_FALSE(kept);
        const std::string size = " of " + std::to_string(c.bytes.size()) + " bytes ";
        EXPECT_EQ(countLevel(linesFrom(log.lines(), before), "ERROR   - ", size + "is not a program: " + c.failed), 1)
            << log.dump();
    }
    // The control: a program of the same size passes.
    EXPECT_EQ(check(programBytes(200000)), cWebupdater::UPDATE_DONE) << log.dump();
}

TEST_F(Checks, TheCurrentBuildIsNotSwitchedAgain)
{
    ASSERT_TRUE(writeBytes(target, programBytes(200000)));
    EXPECT_EQ(check(programBytes(200000)), cWebupdater::UPDATE_ALREADY_CURRENT) << log.dump();
    EXPECT_EQ(lastError, 0u);
    EXPECT_FALSE(kept);
    EXPECT_EQ(countLevel(log.lines(), "WARNING - ", "is the current version already"), 1) << log.dump();
    EXPECT_EQ(countLevel(log.lines(), "ERROR   - ", ""), 0);

    // One byte different (the last one): a new build.
    std::string other = programBytes(200000);
    other.back() = static_cast<char>(other.back() ^ 1);
    EXPECT_EQ(check(other), cWebupdater::UPDATE_DONE) << log.dump();
}

TEST_F(Checks, PinnedPublisherRefusesUnsignedProgramsAndMalformedPins)
{
    // A pin of one key: an unsigned program carries no signature of it.
    pin.set = true;
    pin.keys.push_back(portable::Sha256::Digest{});
    EXPECT_EQ(check(programBytes(200000)), cWebupdater::UPDATE_SIGNATURE_REJECTED) << log.dump();
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_FALSE(kept);
    EXPECT_EQ(countLevel(log.lines(), "ERROR   - ", "Signature rejected ("), 1) << log.dump();

    // A malformed pin accepts nothing.
    pin.malformed = true;
    EXPECT_EQ(check(programBytes(200000)), cWebupdater::UPDATE_SIGNATURE_REJECTED);
    EXPECT_TRUE(log.logged(2, cWebupdater::FN_UPDATE,
                           "Signature rejected (c): the signer pin of the deployment is malformed; signer found: none"));

    // The control: without a pin the signature is not looked at.
    pin = Downloadchecks::Pin();
    EXPECT_EQ(check(programBytes(200000)), cWebupdater::UPDATE_DONE) << log.dump();
}
