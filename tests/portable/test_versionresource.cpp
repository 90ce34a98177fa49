// The fixed version reader against a resource section built byte by byte: the tree as a linker
// writes it, then every field an attacker controls turned against the reader (counts, offsets
// out of range, a language entry looping back to the root, cut files, a short or foreign
// resource). The built programs are read in the Wine test, against Windows' own reader.
#include "versionresource.h"

#include "pebuilder.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using portable::FixedFileVersion;
using portable::readFixedFileVersion;

namespace {

using namespace pebuilder::versionlayout;
constexpr uint32_t RAW = RESOURCE_RAW; // the resource section: file offset, RVA, size
constexpr uint32_t RVA = RESOURCE_RVA;
constexpr uint32_t SIZE = RESOURCE_SIZE;
constexpr uint32_t SUB = 0x80000000u;

// A program whose only section holds a version resource: 3.39.0.52578, product 3.39.0.52579.
pebuilder::Image versioned() { return pebuilder::versionedProgram({3, 39, 0, 52578}, {3, 39, 0, 52579}); }

portable::Result read(const pebuilder::Image& im, FixedFileVersion* v)
{
    return readFixedFileVersion(im.data(), im.size(), v);
}

} // namespace

TEST(VersionResource, ReadsTheFixedVersion)
{
    FixedFileVersion v;
    const portable::Result r = read(versioned(), &v);
    ASSERT_TRUE(r.ok()) << r.reason;
    EXPECT_EQ(v.file, (FixedFileVersion::Parts{3, 39, 0, 52578}));
    EXPECT_EQ(v.product, (FixedFileVersion::Parts{3, 39, 0, 52579}));
    EXPECT_LT(v.file, v.product);
    EXPECT_EQ(v.fileFlags, 0x22u & 0x3Fu);
    EXPECT_EQ(v.fileOs, 0x40004u);
    EXPECT_EQ(v.fileType, 1u);
}

TEST(VersionResource, MalformedInputsFailWithTheirReason)
{
    struct Case {
        const char* name;
        std::function<void(pebuilder::Image&)> damage;
        const char* reason;
    };
    const Case cases[] = {
        {"no resource directory", [](auto& im) { im.pointDirectory(2, 0, 0); }, "no version resource"},
        {"directory outside the sections", [](auto& im) { im.pointDirectory(2, 0x5000, 0x10); }, "outside the file's"},
        {"directory longer than its section", [](auto& im) { im.pointDirectory(2, RVA, SIZE + 1); },
         "outside the file's"},
        {"mapped size shorter than the directory", [](auto& im) { im.put32(im.sectionTableOffset + 8, 0x20); },
         "outside the file's"},
        {"no RT_VERSION", [](auto& im) { im.put32(RAW + ROOT + 16, 24); }, "no version resource"},
        {"no id 1", [](auto& im) { im.put32(RAW + NAMES + 16, 2); }, "no version resource"},
        {"only named entries",
         [](auto& im) {
             im.put16(RAW + ROOT + 12, 1);
             im.put16(RAW + ROOT + 14, 0);
         },
         "no version resource"},
        {"entry count beyond the data", [](auto& im) { im.put16(RAW + ROOT + 14, 0xFFFF); }, "entries lie outside"},
        {"type without subdirectory", [](auto& im) { im.put32(RAW + ROOT + 20, NAMES); }, "malformed"},
        {"language loops back to the root", [](auto& im) { im.put32(RAW + LANGUAGES + 20, SUB | ROOT); }, "malformed"},
        {"subdirectory far outside", [](auto& im) { im.put32(RAW + ROOT + 20, SUB | 0x7FFFFFF8); }, "lies outside"},
        {"subdirectory cut at the end", [](auto& im) { im.put32(RAW + ROOT + 20, SUB | (SIZE - 8)); }, "lies outside"},
        {"data entry outside", [](auto& im) { im.put32(RAW + LANGUAGES + 20, SIZE - 8); }, "data entry lies outside"},
        {"data outside the sections", [](auto& im) { im.put32(RAW + DATA_ENTRY, 0x9000); }, "too short"},
        {"data wrapping around", [](auto& im) { im.put32(RAW + DATA_ENTRY, 0xFFFFFFF0); }, "too short"},
        {"data longer than its section", [](auto& im) { im.put32(RAW + DATA_ENTRY + 4, SIZE); }, "too short"},
        {"data shorter than the fixed part", [](auto& im) { im.put32(RAW + DATA_ENTRY + 4, 91); }, "too short"},
        {"length beyond the data", [](auto& im) { im.put16(RAW + VERSION, VERSION_SIZE + 2); }, "lengths"},
        {"value shorter than VS_FIXEDFILEINFO", [](auto& im) { im.put16(RAW + VERSION + 2, 50); }, "lengths"},
        {"another key", [](auto& im) { im.put16(RAW + VERSION + 6, 'W'); }, "VS_VERSION_INFO"},
        {"key without its end", [](auto& im) { im.put16(RAW + VERSION + 36, 'X'); }, "VS_VERSION_INFO"},
        {"no signature", [](auto& im) { im.put32(RAW + VERSION + 40, 0xFEEF04BC); }, "signature"},
        {"not a PE file", [](auto& im) { im.bytes[0] = 'X'; }, "no MZ header"},
    };
    FixedFileVersion control;
    ASSERT_TRUE(read(versioned(), &control).ok()) << "the undamaged image reads";
    for (const Case& c : cases) {
        pebuilder::Image im = versioned();
        c.damage(im);
        FixedFileVersion v;
        v.file = {1, 1, 1, 1};
        const portable::Result r = read(im, &v);
        EXPECT_FALSE(r.ok()) << c.name;
        EXPECT_NE(r.reason.find(c.reason), std::string::npos) << c.name << ": " << r.reason;
        EXPECT_EQ(v.file, (FixedFileVersion::Parts{})) << c.name << ": nothing is left from an earlier value";
    }
}

TEST(VersionResource, EveryCutFileFailsAndAFailingReadIsReported)
{
    const pebuilder::Image im = versioned();
    FixedFileVersion v;
    for (size_t size = 0; size < im.size(); ++size) {
        EXPECT_FALSE(readFixedFileVersion(im.data(), size, &v).ok()) << size;
    }
    int reads = 0;
    const portable::ReadAt failsLate = [&](uint64_t offset, uint8_t* buffer, size_t length) {
        if (++reads > 3) {
            return false;
        }
        std::copy(im.data() + offset, im.data() + offset + length, buffer);
        return true;
    };
    EXPECT_FALSE(readFixedFileVersion(failsLate, im.size(), &v).ok());
}
