// The deployment block: writing (byte for byte what the installer expects, from the key table),
// reading entries the way the installer does, where the stamper cuts the image, the checks on
// values, and code page 1252 in both directions.
#include "deploymentblock.h"
#include "deploymentkeytable.h"
#include "sampleblock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using portable::DeploymentValues;

namespace {

// The marker is put together here as well: test programs must not carry it whole either.
const std::string MARKER = std::string("ADDED_SERVERPARAMETERS") + ":";

const char* const SAMPLE_ENTRIES = sampleblock::ENTRIES;

DeploymentValues sampleValues()
{
    return {{L"PROTOCOL", L"https"},
            {L"HOST", L"callvane.vazu.example.de"},
            {L"PORT", L"8443"},
            {L"PORTAL", L"/vazu/portal/req?loadPortal"},
            {L"CLIENT", L"/vazu/portal/req?loadPortal"},
            {L"EVENTS", L"/vazu/webportlets/portal/eventViewer"},
            {L"PRODUCT", L"Brightel RudEvuvor"},
            {L"LOGLEVEL", L"3"}};
}

std::wstring text(const std::string& bytes) { return portable::fromCp1252(bytes); }

std::optional<std::wstring> entry(const std::string& content, const wchar_t* word)
{
    return portable::readDeploymentEntry(text(content), word);
}

std::string blockBytes(const DeploymentValues& values)
{
    std::string bytes;
    EXPECT_TRUE(portable::toCp1252(portable::writeDeploymentBlock(values), &bytes));
    return bytes;
}

std::string checkRefusal(const std::string& utf8)
{
    std::wstring value = L"left over";
    const portable::Result r = portable::checkDeploymentValue(utf8, &value);
    EXPECT_FALSE(r) << utf8;
    return r.reason;
}

} // namespace

TEST(DeploymentBlock, Marker) { EXPECT_EQ(portable::toUtf8(portable::deploymentMarker()), MARKER); }

TEST(DeploymentBlock, WritesTheSampleByteForByte)
{
    const std::string bytes = blockBytes(sampleValues());
    EXPECT_EQ(bytes, MARKER + SAMPLE_ENTRIES);
    EXPECT_EQ(bytes.size(), 408u);
    // Without values every entry is written empty; words that are no key are left out.
    DeploymentValues none{{L"COLOUR", L"red"}};
    EXPECT_EQ(blockBytes(none),
              MARKER + "ADDED_SERVERPARAMETER_PROTOCOL<>ADDED_SERVERPARAMETER_HOST<>ADDED_SERVERPARAMETER_PORT<>"
                       "ADDED_SERVERPARAMETER_PORTAL<>ADDED_SERVERPARAMETER_CLIENT<>"
                       "ADDED_SERVERPARAMETER_EVENTS<>ADDED_SERVERPARAMETER_PRODUCT<>"
                       "ADDED_SERVERPARAMETER_LOGLEVEL<>\r\n");
}

TEST(DeploymentBlock, ReadsEntriesAsTheInstallerDoes)
{
    const std::string sample = MARKER + SAMPLE_ENTRIES;
    for (const auto& [word, value] : sampleValues()) {
        EXPECT_EQ(entry(sample, word.c_str()), value);
    }
    const std::string reordered = MARKER + "ADDED_SERVERPARAMETER_LOGLEVEL<1>ADDED_SERVERPARAMETER_PORTAL</p>"
                                           "ADDED_SERVERPARAMETER_PORT<80>ADDED_SERVERPARAMETER_PORT<81>"
                                           "ADDED_SERVERPARAMETER_HOST< h >\r\n";
    EXPECT_EQ(entry(reordered, L"PORT"), L"80");  // the first one counts
    EXPECT_EQ(entry(reordered, L"HOST"), L" h "); // no trimming
    EXPECT_EQ(entry(reordered, L"LOGLEVEL"), L"1");
    EXPECT_EQ(entry(reordered, L"PROTOCOL"), std::nullopt);
    // The "<" keeps the PORT tag from matching inside the PORTAL entry.
    EXPECT_EQ(entry(MARKER + "ADDED_SERVERPARAMETER_PORTAL<8443>\r\n", L"PORT"), std::nullopt);
    EXPECT_EQ(entry(MARKER + "ADDED_SERVERPARAMETER_PORT<>\r\n", L"PORT"), L"");
    const std::string unclosed = MARKER + "ADDED_SERVERPARAMETER_HOST<h>ADDED_SERVERPARAMETER_PRODUCT<no end\r\n";
    EXPECT_EQ(entry(unclosed, L"HOST"), L"h");
    EXPECT_EQ(entry(unclosed, L"PRODUCT"), std::nullopt);
    EXPECT_EQ(entry(sample, L""), std::nullopt);
    EXPECT_EQ(entry(sample, L"COLOUR"), std::nullopt);
    EXPECT_EQ(entry("", L"HOST"), std::nullopt);
    // A value may run across line feeds (zero bytes the reader turned into them).
    EXPECT_EQ(entry(MARKER + "ADDED_SERVERPARAMETER_HOST<a\n\nb>", L"HOST"), L"a\n\nb");
}

TEST(DeploymentBlock, FindsTheFirstBlock)
{
    const std::string image = std::string("MZ\x90\0\x03", 5) + "ADDED_SERVERPARAMETER_HOST<image>";
    const std::string file =
        image + MARKER + "ADDED_SERVERPARAMETER_HOST<first>\r\n" + MARKER + "ADDED_SERVERPARAMETER_HOST<second>\r\n";
    const std::wstring all = text(file);
    const std::wstring_view block = portable::deploymentBlock(all);
    EXPECT_EQ(all.size() - block.size(), image.size());
    EXPECT_EQ(portable::readDeploymentEntry(block, L"HOST"), L"first");
    EXPECT_EQ(portable::countDeploymentMarkers(all), 2u);
    EXPECT_TRUE(portable::deploymentBlock(text(image)).empty());
    EXPECT_EQ(portable::countDeploymentMarkers(text(image)), 0u);
    // Part of the marker is no marker.
    EXPECT_TRUE(portable::deploymentBlock(text(image + MARKER.substr(0, 22))).empty());
}

TEST(DeploymentBlock, ImageEndForStamping)
{
    const std::string image = std::string("MZ\0\0\xff", 5) + "ADDED_SERVERPARAMETER_X<";
    const std::string block = MARKER + SAMPLE_ENTRIES;
    auto end = [](const std::string& bytes) { return portable::deploymentImageEnd(text(bytes)); };
    EXPECT_EQ(end(image), image.size());
    EXPECT_EQ(end(image + block), image.size());
    EXPECT_EQ(end(image + block + block), image.size());
    EXPECT_EQ(end(image + MARKER + "ADDED_SERVERPARAMETER_HOST<h>\n" + MARKER), image.size());
    EXPECT_EQ(end(image + MARKER + "ADDED_SERVERPARAMETER_HOST<h>"), image.size()); // no line end at the file's end
    // Anything else behind a marker: do not cut.
    EXPECT_EQ(end(image + MARKER + "garbage"), std::nullopt);
    EXPECT_EQ(end(image + block + "MZ"), std::nullopt);
    EXPECT_EQ(end(image + MARKER + "ADDED_SERVERPARAMETER_host<h>\r\n"), std::nullopt);
    EXPECT_EQ(end(image + MARKER + "ADDED_SERVERPARAMETER_HOST<h\r\n"), std::nullopt);
    EXPECT_EQ(end(image + MARKER + "ADDED_SERVERPARAMETER_HOST"), std::nullopt);
    EXPECT_EQ(end(image + MARKER + "\r\n\r\n"), std::nullopt);
}

TEST(DeploymentBlock, RoundTripThroughTheCodePage)
{
    DeploymentValues values = sampleValues();
    values[L"PRODUCT"] = L" Br\u00e4nd\u20acl <x \u0178\u017d\u00ff";
    values[L"HOST"] = L"";
    std::string bytes;
    ASSERT_TRUE(portable::toCp1252(portable::writeDeploymentBlock(values), &bytes));
    EXPECT_NE(bytes.find("PRODUCT< Br\xe4nd\x80l <x \x9f\x8e\xff>"), std::string::npos);
    const std::string file = std::string("MZ", 2) + std::string(1000, '\0') + bytes;
    const std::wstring read = text(file);
    EXPECT_EQ(portable::deploymentImageEnd(read), 1002u);
    const std::wstring_view block = portable::deploymentBlock(read);
    for (const auto& [word, value] : values) {
        EXPECT_EQ(portable::readDeploymentEntry(block, word), value);
    }
}

TEST(DeploymentBlock, MarkerTextInsideAValue)
{
    // The marker is no entry prefix, so a value may hold it; it stays inside its entry for the
    // reader, and the stamper still cuts at the real block.
    std::wstring value;
    const portable::Result r = portable::checkDeploymentValue(MARKER, &value);
    ASSERT_TRUE(r) << r.reason;
    DeploymentValues values = sampleValues();
    values[L"HOST"] = value;
    std::string bytes;
    ASSERT_TRUE(portable::toCp1252(portable::writeDeploymentBlock(values), &bytes));
    const std::wstring read = text("MZ" + bytes);
    EXPECT_EQ(portable::deploymentImageEnd(read), 2u);
    EXPECT_EQ(portable::countDeploymentMarkers(read), 2u);
    const std::wstring_view block = portable::deploymentBlock(read);
    EXPECT_EQ(portable::readDeploymentEntry(block, L"HOST"), value);
    EXPECT_EQ(portable::readDeploymentEntry(block, L"PORT"), L"8443");
}

TEST(DeploymentBlock, AcceptedValues)
{
    for (const std::string utf8 : {"", " ", "<", "/vazu/portal/req?loadPortal", " Br\xc3\xa4nd\xe2\x82\xacl <x",
                                   "\xc5\xb8\xc2\xa0\xc3\xbf", "ADDED_SERVERPARAMETE"}) {
        std::wstring value;
        const portable::Result r = portable::checkDeploymentValue(utf8, &value);
        EXPECT_TRUE(r) << utf8 << ": " << r.reason;
        EXPECT_EQ(portable::toUtf8(value), utf8);
    }
    std::wstring value;
    ASSERT_TRUE(portable::checkDeploymentValue("\xe2\x82\xac\xc3\xa4", &value));
    EXPECT_EQ(value, L"\u20ac\u00e4");
}

TEST(DeploymentBlock, RefusedValues)
{
    EXPECT_EQ(checkRefusal("a>b"), "it holds \">\", which ends an entry of the block");
    EXPECT_EQ(checkRefusal("tab\there"), "it holds the control character U+0009");
    EXPECT_EQ(checkRefusal(std::string("\0", 1)), "it holds the control character U+0000");
    EXPECT_EQ(checkRefusal("del\x7f"), "it holds the control character U+007F");
    EXPECT_EQ(checkRefusal("c1\xc2\x85"), "it holds the control character U+0085");
    EXPECT_EQ(checkRefusal("\xe2\x86\x92"), "it holds U+2192, which the ANSI code page 1252 cannot represent");
    EXPECT_EQ(checkRefusal("\xf0\x9f\x98\x80"), "it holds U+1F600, which the ANSI code page 1252 cannot represent");
    EXPECT_EQ(checkRefusal("xADDED_SERVERPARAMETER_PORT<1"),
              "it holds \"ADDED_SERVERPARAMETER_\", which the installer would take for an entry");
    // Not UTF-8: a lone continuation byte, an overlong form, a surrogate, past U+10FFFF, a cut
    // sequence, a byte that never starts one.
    for (const std::string bad : {"\x80", "\xc0\x80", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "a\xe2\x82",
                                  "\xf8\x88\x80\x80\x80", "\xff"}) {
        EXPECT_EQ(checkRefusal(bad), "it is not valid UTF-8 text");
    }
    // The first offending character is the one reported.
    EXPECT_EQ(checkRefusal(">\x01"), "it holds \">\", which ends an entry of the block");
    EXPECT_EQ(checkRefusal("\x01>"), "it holds the control character U+0001");
    EXPECT_EQ(checkRefusal("\x01\xff"), "it holds the control character U+0001");
    EXPECT_EQ(checkRefusal("\xff\x01"), "it is not valid UTF-8 text");
}

TEST(DeploymentBlock, CodePage1252)
{
    const std::vector<int> unassigned = {0x81, 0x8D, 0x8F, 0x90, 0x9D};
    for (int b = 0; b < 256; ++b) {
        const uint32_t cp = portable::cp1252CodePoint(static_cast<unsigned char>(b));
        const bool isUnassigned = std::find(unassigned.begin(), unassigned.end(), b) != unassigned.end();
        EXPECT_EQ(portable::cp1252Byte(cp), isUnassigned ? -1 : b) << b;
        EXPECT_EQ(cp == 0xFFFD, isUnassigned) << b;
    }
    EXPECT_EQ(portable::cp1252CodePoint(0x80), 0x20ACu);
    EXPECT_EQ(portable::cp1252CodePoint(0x9F), 0x0178u);
    EXPECT_EQ(portable::cp1252CodePoint(0xE4), 0x00E4u);
    EXPECT_EQ(portable::cp1252Byte(0x0085), -1); // a C1 control has no byte in this code page
    EXPECT_EQ(portable::cp1252Byte(0x0100), -1);
    std::string bytes;
    EXPECT_FALSE(portable::toCp1252(L"ok\u2192", &bytes));
    EXPECT_EQ(portable::fromCp1252(std::string("a\0\x81", 3)), std::wstring(L"a\0\uFFFD", 3));
}

TEST(DeploymentBlock, Utf8ForPrinting)
{
    EXPECT_EQ(portable::toUtf8(L"a\u00e4\u20ac"), "a\xc3\xa4\xe2\x82\xac");
    EXPECT_EQ(portable::toUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xef\xbf\xbd");
    if (sizeof(wchar_t) == 4) {
        EXPECT_EQ(portable::toUtf8(std::wstring(1, static_cast<wchar_t>(0x1F600))), "\xf0\x9f\x98\x80");
        EXPECT_EQ(portable::toUtf8(std::wstring(1, static_cast<wchar_t>(0x110000))), "\xef\xbf\xbd");
    }
}
