// The record of a cut download: what format writes parse gives back, and every record an
// attacker with write access to the temporary folder could leave is refused.
#include "partialrecord.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace {

portable::PartialRecord sample()
{
    portable::PartialRecord r;
    r.url = "http://127.0.0.1:8080/CV_setup.exe";
    r.finalUrl = "http://127.0.0.1:8080/builds/CV_setup.exe";
    r.validator = "\"5f1a-3c00000\"";
    r.total = 62914560;
    r.held = 37748736;
    for (size_t i = 0; i < r.digest.size(); ++i) {
        r.digest[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    r.saved = 1796860800;
    r.file = "CV_setup.exe.0123456789abcdef.tmp";
    return r;
}

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

} // namespace

TEST(PartialRecord, WhatIsWrittenIsReadBack)
{
    const portable::PartialRecord r = sample();
    portable::PartialRecord back;
    std::string why;
    ASSERT_TRUE(portable::PartialRecord::parse(r.format(), "CV_setup.exe", &back, &why)) << why;
    EXPECT_EQ(back.url, r.url);
    EXPECT_EQ(back.finalUrl, r.finalUrl);
    EXPECT_EQ(back.validator, r.validator);
    EXPECT_EQ(back.total, r.total);
    EXPECT_EQ(back.held, r.held);
    EXPECT_EQ(back.digest, r.digest);
    EXPECT_EQ(back.saved, r.saved);
    EXPECT_EQ(back.file, r.file);
    EXPECT_EQ(back.format(), r.format());
    // A date as validator keeps its blanks.
    portable::PartialRecord dated = r;
    dated.validator = "Tue, 01 Dec 2026 10:00:00 GMT";
    ASSERT_TRUE(portable::PartialRecord::parse(dated.format(), "CV_setup.exe", &back, &why)) << why;
    EXPECT_EQ(back.validator, dated.validator);
}

TEST(PartialRecord, HostileRecordsAreRefused)
{
    const std::string good = sample().format();
    const std::string digestHex = good.substr(good.find("sha256 ") + 7, 64);
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"other magic", replaced(good, "CV-PARTIAL 1", "CV-PARTIAL 2")},
        {"no final newline", good.substr(0, good.size() - 1)},
        {"extra line", good + "x 1\n"},
        {"CR LF", replaced(good, "\nheld", "\r\nheld")},
        {"fields swapped", replaced(replaced(good, "total ", "TMP "), "held ", "total ")},
        {"missing field", replaced(good, "saved 1796860800\n", "")},
        {"empty url", replaced(good, "url http://127.0.0.1:8080/CV_setup.exe", "url ")},
        {"blank in url", replaced(good, "8080/CV_setup", "8080/CV setup")},
        {"control in validator", replaced(good, "\"5f1a", "\"5f\t1a")},
        {"high byte in url", replaced(good, "CV_setup.exe\nfinal", "CV_setup\xe9.exe\nfinal")},
        {"held zero", replaced(good, "held 37748736", "held 0")},
        {"held equals total", replaced(good, "held 37748736", "held 62914560")},
        {"held above total", replaced(good, "held 37748736", "held 99999999")},
        {"negative", replaced(good, "held 37748736", "held -1")},
        {"plus sign", replaced(good, "held 37748736", "held +37748736")},
        {"leading zero", replaced(good, "held 37748736", "held 037748736")},
        {"overflowing total", replaced(good, "total 62914560", "total 18446744073709551617")},
        {"blank after number", replaced(good, "held 37748736", "held 37748736 ")},
        {"short digest", replaced(good, digestHex, digestHex.substr(0, 62))},
        {"upper-case digest", replaced(good, digestHex, "AB" + digestHex.substr(2))},
        {"non-hex digest", replaced(good, digestHex, "zz" + digestHex.substr(2))},
        {"file with folder", replaced(good, "file CV_setup", "file ..\\CV_setup")},
        {"file of another stem", replaced(good, "file CV_setup.exe.", "file other.exe.")},
        {"file name other ending", replaced(good, "abcdef.tmp", "abcdef.exe")},
        {"file tag short", replaced(good, "0123456789abcdef", "0123456789abcde")},
        {"file tag upper case", replaced(good, "0123456789abcdef", "0123456789ABCDEF")},
        {"too long", replaced(good, "validator ", "validator " + std::string(5000, 'a'))},
        {"validator too long", replaced(good, "validator ", "validator " + std::string(300, 'a'))},
        {"url too long", replaced(good, "url ", "url " + std::string(1100, 'a'))},
        {"nul byte", replaced(good, "final http", std::string("final \0http", 11))},
    };
    for (const auto& c : cases) {
        portable::PartialRecord out;
        out.held = 42;
        std::string why;
        EXPECT_FALSE(portable::PartialRecord::parse(c.text, "CV_setup.exe", &out, &why)) << c.what;
        EXPECT_FALSE(why.empty()) << c.what;
        EXPECT_EQ(out.held, 42u) << c.what << ": nothing is taken from a refused record";
    }
}

// The fuzz target's seeds are records the reader accepts, so that the fuzzer starts inside them.
TEST(PartialRecord, FuzzSeedsAreAccepted)
{
    for (const char* name : {"record.txt", "dated.txt"}) {
        std::ifstream in(std::string(CV_SOURCE_DIR) + "/fuzz/corpus/partialrecord/" + name, std::ios::binary);
        ASSERT_TRUE(in) << name;
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        portable::PartialRecord r;
        std::string why;
        EXPECT_TRUE(portable::PartialRecord::parse(text, "CV_setup.exe", &r, &why)) << name << ": " << why;
    }
}
