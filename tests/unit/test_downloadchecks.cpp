// Downloadchecks on real private download files: the size rule, bodies that are no program, the
// current build itself, the publisher pin (an unsigned program and a malformed pin are refused)
// and, under a pin, the version floor (an older build or one without a version is refused, after
// the signature). Every failure deletes the download.
#include "Downloadchecks.h"

#include "Logger.h"
#include "cWebupdater.h"
#include "pebuilder.h"
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
        return run(bytes, [this](Downloadchecks& checks, Downloadfile* d) { return checks.check(d, target); });
    }
    // The version check alone.
    int32_t checkVersion(const std::string& bytes)
    {
        return run(bytes, [](Downloadchecks& checks, Downloadfile* d) { return checks.checkVersion(d); });
    }
    template <typename Step>
    int32_t run(const std::string& bytes, Step step)
    {
        Downloadfile download;
        DWORD error = 0;
        EXPECT_TRUE(download.create(dir.path(), L"dc_target.exe", false, &error)) << error;
        EXPECT_TRUE(download.write(bytes.data(), static_cast<DWORD>(bytes.size()), &error)) << error;
        Downloadchecks checks(logger.get(), pin, nullptr, floor);
        const portable::Result r = step(checks, &download);
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
    Downloadchecks::VersionFloor floor;
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
    EXPECT_TRUE(
        log.logged(2, cWebupdater::FN_UPDATE,
                   "Signature rejected (c): the signer pin of the deployment is malformed; signer found: none"));

    // The control: without a pin the signature is not looked at.
    pin = Downloadchecks::Pin();
    EXPECT_EQ(check(programBytes(200000)), cWebupdater::UPDATE_DONE) << log.dump();
}

namespace {

std::string versioned(const pebuilder::VersionParts& file, const pebuilder::VersionParts& product = {})
{
    return pebuilder::versionedProgram(file, product).bytes;
}

} // namespace

TEST_F(Checks, VersionFloorRefusesOlderBuildsAndProgramsWithoutVersion)
{
    floor.known = true;
    floor.version = {3, 39, 0, 52578};
    struct Case {
        std::string bytes;
        int32_t result;
        const char* line; // the whole message of the one level-2 line, or none
    };
    std::string outside = versioned({3, 39, 0, 52578});
    pebuilder::put32(outside, pebuilder::versionlayout::RESOURCE_RAW + pebuilder::versionlayout::DATA_ENTRY, 0x9000);
    const Case cases[] = {
        {versioned({3, 38, 0, 50000}), cWebupdater::UPDATE_OLDER_BUILD,
         "Downloaded program has version 3.38.0.50000, older than this installer's 3.39.0.52578: refused"},
        {versioned({3, 39, 0, 52577}), cWebupdater::UPDATE_OLDER_BUILD,
         "Downloaded program has version 3.39.0.52577, older than this installer's 3.39.0.52578: refused"},
        // Part by part, most significant first: a higher build number does not lift a lower major.
        {versioned({2, 99, 65535, 65535}), cWebupdater::UPDATE_OLDER_BUILD,
         "Downloaded program has version 2.99.65535.65535, older than this installer's 3.39.0.52578: refused"},
        // The file version counts, not the product version a build can set apart from it.
        {versioned({3, 38, 0, 1}, {9, 0, 0, 0}), cWebupdater::UPDATE_OLDER_BUILD,
         "Downloaded program has version 3.38.0.1, older than this installer's 3.39.0.52578: refused"},
        {programBytes(200000), cWebupdater::UPDATE_NO_VERSION,
         "Downloaded program carries no version to compare with this installer's 3.39.0.52578 (no version "
         "resource): refused"},
        {outside, cWebupdater::UPDATE_NO_VERSION,
         "Downloaded program carries no version to compare with this installer's 3.39.0.52578 (the version "
         "resource lies outside the file's sections or is too short): refused"},
        // Equal (a re-stamped build of this version) and higher pass.
        {versioned({3, 39, 0, 52578}), cWebupdater::UPDATE_DONE, nullptr},
        {versioned({3, 39, 0, 52579}), cWebupdater::UPDATE_DONE, nullptr},
        {versioned({3, 40, 0, 0}), cWebupdater::UPDATE_DONE, nullptr},
        {versioned({4, 0, 0, 0}), cWebupdater::UPDATE_DONE, nullptr},
    };
    for (const Case& c : cases) {
        const size_t before = log.lines().size();
        EXPECT_EQ(checkVersion(c.bytes), c.result) << log.dump();
        const auto errors = linesFrom(log.lines(), before);
        EXPECT_EQ(countLevel(errors, "ERROR   - ", ""), c.line ? 1 : 0) << log.dump();
        if (c.line != nullptr) {
            EXPECT_TRUE(log.logged(2, cWebupdater::FN_UPDATE, c.line)) << log.dump();
            EXPECT_EQ(lastError,
                      static_cast<DWORD>(c.result == cWebupdater::UPDATE_OLDER_BUILD ? ERROR_INVALID_DATA
                                                                                     : ERROR_RESOURCE_TYPE_NOT_FOUND));
        }
    }

    // Without a floor to compare with, nothing passes.
    floor = Downloadchecks::VersionFloor();
    EXPECT_EQ(checkVersion(versioned({9, 9, 9, 9})), cWebupdater::UPDATE_OLDER_BUILD);
    EXPECT_TRUE(
        log.logged(2, cWebupdater::FN_UPDATE,
                   "Downloaded program has version 9.9.9.9, this installer's own version is not known: refused"));
}

TEST_F(Checks, VersionComesAfterTheSignatureAndOnlyUnderAPin)
{
    floor.known = true;
    floor.version = {3, 39, 0, 52578};
    const std::string older = versioned({3, 38, 0, 50000});
    // No pin: the version is not looked at, the older build is a program like any other.
    EXPECT_EQ(check(older), cWebupdater::UPDATE_DONE) << log.dump();
    EXPECT_EQ(countLevel(log.lines(), "", "Downloaded program has version"), 0) << log.dump();

    // Under a pin an unsigned older build fails on its signature: its version means nothing.
    pin.set = true;
    pin.keys.push_back(portable::Sha256::Digest{});
    EXPECT_EQ(check(older), cWebupdater::UPDATE_SIGNATURE_REJECTED) << log.dump();
    EXPECT_FALSE(kept);
    EXPECT_EQ(countLevel(log.lines(), "", "Downloaded program has version"), 0) << log.dump();
}

TEST_F(Checks, BuildThatAllowsDowngradesTakesOlderBuildsWithAWarning)
{
    floor.known = true;
    floor.version = {3, 39, 0, 52578};
    floor.downgradeAllowed = true;
    EXPECT_EQ(checkVersion(versioned({3, 38, 0, 50000})), cWebupdater::UPDATE_DONE);
    EXPECT_TRUE(log.logged(3, cWebupdater::FN_UPDATE,
                           "Downloaded program has version 3.38.0.50000, older than this installer's 3.39.0.52578: "
                           "accepted, this build allows downgrades"))
        << log.dump();
    EXPECT_EQ(checkVersion(programBytes(200000)), cWebupdater::UPDATE_DONE);
    EXPECT_EQ(countLevel(log.lines(), "WARNING - ", "(no version resource): accepted, this build allows downgrades"), 1)
        << log.dump();
    EXPECT_EQ(countLevel(log.lines(), "ERROR   - ", ""), 0) << log.dump();
}
