// The scan of a program's bytes for what its deployment block says about the publisher pin: fed
// in pieces of every size (so that the marker, the entry's tag and its value straddle pieces), it
// must find the block and judge whether it narrows a pin, including the files an attacker would
// build to make a reader see a different entry than the scan.
#include "deploymentblock.h"
#include "signerentryscan.h"
#include "signerpin.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

using namespace portable;

namespace {

const std::string MARKER = std::string("ADDED_SERVERPARAMETERS") + ":";
const std::string A(64, 'a');
const std::string B(64, 'b');
const std::string C(64, 'c');

std::vector<Sha256::Digest> keys(const std::string& text)
{
    std::vector<Sha256::Digest> out;
    EXPECT_TRUE(parseSignerPin(text, &out)) << text;
    return out;
}

std::string block(const std::string& signer, bool withEntry = true)
{
    std::string b = MARKER + "ADDED_SERVERPARAMETER_PROTOCOL<http>ADDED_SERVERPARAMETER_HOST<127.0.0.1>";
    if (withEntry) {
        b += "ADDED_SERVERPARAMETER_SIGNER<" + signer + ">";
    }
    return b + "\r\n";
}

// Some program bytes (zeros and text, with the letter that opens both texts) before the block.
std::string program(const std::string& tail)
{
    std::string p(3000, '\0');
    for (size_t i = 0; i < p.size(); i += 7) {
        p[i] = 'A';
    }
    return p + "ADDED_SERVERPARAMETER" + std::string(5, 'x') + tail;
}

// The verdict for pin, fed in pieces of step bytes: "" when the block narrows the pin, "no block"
// without one, the reason otherwise.
std::string judge(const std::string& file, const std::vector<Sha256::Digest>& pin, size_t step)
{
    SignerEntryScan scan;
    for (size_t at = 0; at < file.size(); at += step) {
        const std::string piece = file.substr(at, step);
        scan.update(reinterpret_cast<const uint8_t*>(piece.data()), piece.size());
    }
    if (!scan.hasBlock()) {
        return "no block";
    }
    const Result r = scan.narrows(pin);
    return r ? "" : r.reason;
}

// The same verdict for every way of cutting the file.
std::string verdict(const std::string& file, const std::vector<Sha256::Digest>& pin)
{
    const std::string whole = judge(file, pin, file.size() + 1);
    for (size_t step : {1u, 2u, 3u, 7u, 22u, 23u, 29u, 64u, 1000u}) {
        EXPECT_EQ(judge(file, pin, step), whole) << "pieces of " << step;
    }
    return whole;
}

} // namespace

TEST(SignerEntryScan, AProgramWithoutBlockIsNotLookedAt)
{
    EXPECT_EQ(verdict(program(""), keys(A)), "no block");
    EXPECT_EQ(verdict("", keys(A)), "no block");
}

TEST(SignerEntryScan, ABlockMayOnlyNarrowThePin)
{
    EXPECT_EQ(verdict(program(block(A)), keys(A)), "");
    EXPECT_EQ(verdict(program(block(A)), keys(A + "," + B)), "");
    EXPECT_EQ(verdict(program(block(B + "," + A)), keys(A + "," + B)), "");
    EXPECT_EQ(verdict(program(block(A + "," + C)), keys(A + "," + B)),
              "its signer entry names a key outside the pin in force");
    EXPECT_EQ(verdict(program(block("", false)), keys(A)), "it has no signer entry");
    EXPECT_EQ(verdict(program(block("")), keys(A)), "its signer entry is malformed");
    EXPECT_EQ(verdict(program(block(A + ",")), keys(A)), "its signer entry is malformed");
    // Upper-case hex names the same key.
    EXPECT_EQ(verdict(program(block(std::string(64, 'A'))), keys(A)), "");
}

TEST(SignerEntryScan, WhatAReaderCouldSeeDifferentlyIsRefused)
{
    // An entry before the block does not count (readers search from the marker on).
    EXPECT_EQ(verdict(program("ADDED_SERVERPARAMETER_SIGNER<" + A + ">" + block("", false)), keys(A)),
              "it has no signer entry");
    // A first block with the entry and a second one without: a reader that steps over the first
    // marker (a double-byte code page can swallow its first letter) would read no pin.
    const std::string leadByte(1, '\x81');
    EXPECT_EQ(verdict(program(leadByte + block(A) + block("", false)), keys(A)), "it has no signer entry");
    // A later entry that widens: a reader may take that one.
    EXPECT_EQ(verdict(program(block(A) + "ADDED_SERVERPARAMETER_SIGNER<" + C + ">"), keys(A)),
              "its signer entry names a key outside the pin in force");
    // An entry whose value never closes, one too long to be a pin, one with a tag inside its value.
    EXPECT_EQ(verdict(program(MARKER + "ADDED_SERVERPARAMETER_SIGNER<" + A), keys(A)), "its signer entry is malformed");
    std::string longValue;
    for (int i = 0; i < 300; ++i) {
        longValue += A;
        longValue += ',';
    }
    longValue += A;
    EXPECT_EQ(verdict(program(block(longValue)), keys(A)), "its signer entry is malformed");
    EXPECT_EQ(verdict(program(MARKER + "ADDED_SERVERPARAMETER_SIGNER<" + A + "ADDED_SERVERPARAMETER_SIGNER<" + A + ">"),
                      keys(A)),
              "its signer entry is malformed");
    // Two blocks that both keep the pin pass.
    EXPECT_EQ(verdict(program(block(A) + block(A)), keys(A + "," + B)), "");
}

namespace {

// How an installer turns its file's bytes into its block text.
using BlockReader = std::function<std::wstring(const std::string& bytes)>;

// A reader of a double-byte ANSI code page (as code page 932 reads): a lead byte takes the next
// byte with it into one character. Only to show that the comparison below notices a reader that
// decodes otherwise.
std::wstring doubleByteBlock(const std::string& bytes)
{
    std::wstring text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) && i + 1 < bytes.size()) {
            text += static_cast<wchar_t>(0x3000 + b);
            ++i;
        } else {
            text += static_cast<wchar_t>(b);
        }
    }
    return std::wstring(deploymentBlock(text));
}

// What the installer's reader takes from a file: its host and its signer keys (nullopt when the
// block or the entry is missing or the entry is malformed).
struct Reading {
    std::optional<std::wstring> host;
    std::optional<std::vector<Sha256::Digest>> signer;
};

Reading readAsInstaller(const BlockReader& reader, const std::string& file)
{
    const std::wstring block = reader(file);
    Reading r;
    r.host = readDeploymentEntry(block, L"HOST");
    if (const auto entry = readDeploymentEntry(block, L"SIGNER")) {
        std::vector<Sha256::Digest> keys;
        if (parseSignerPin(*entry, &keys)) {
            r.signer = keys;
        }
    }
    return r;
}

// The byte values for which the two readers disagree when the byte stands right before the marker
// (beforeTag false) or right before the signer entry's tag: the scan lets the block pass with a
// pin while the installer would read a pin that is missing or names a key outside it (or the other
// way round), or the installer loses the block's host. Signers and pins: the narrow pin, a
// stranger's key outside the pin, the stranger's key inside a wider pin.
std::vector<int> disagreements(const BlockReader& reader, bool beforeTag)
{
    const struct {
        std::string signer;
        std::string pin;
    } CASES[] = {{A, A}, {C, A}, {C, A + "," + C}};
    const std::string entries = "ADDED_SERVERPARAMETER_HOST<127.0.0.1>";
    std::vector<int> found;
    for (int value = 0; value < 256; ++value) {
        const std::string b(1, static_cast<char>(value));
        for (const auto& c : CASES) {
            const std::string tag = "ADDED_SERVERPARAMETER_SIGNER<" + c.signer + ">\r\n";
            const std::string file = program(beforeTag ? MARKER + entries + b + tag : b + MARKER + entries + tag);
            const auto pin = keys(c.pin);
            SignerEntryScan scan;
            scan.update(reinterpret_cast<const uint8_t*>(file.data()), file.size());
            const Reading r = readAsInstaller(reader, file);
            const bool readerKeepsPin =
                r.signer && std::all_of(r.signer->begin(), r.signer->end(), [&](const Sha256::Digest& k) {
                    return std::find(pin.begin(), pin.end(), k) != pin.end();
                });
            const bool scanPasses = scan.hasBlock() && scan.narrows(pin).ok();
            if (scanPasses != readerKeepsPin || r.host != L"127.0.0.1") {
                found.push_back(value);
                break;
            }
        }
    }
    return found;
}

} // namespace

TEST(SignerEntryScan, EveryByteBeforeTheMarkerOrTheEntryReadsAlikeForTheInstallerAndTheScan)
{
    const BlockReader installer = [](const std::string& bytes) { return deploymentBlockOfBytes(bytes); };
    // Control: a double-byte reader disagrees behind each of its lead bytes (0x81-0x9F, 0xE0-0xFC:
    // 60 values): it loses the block behind one before the marker, and the signer entry behind one
    // before the tag (the scan passed the narrow pin, the reader has none).
    for (const bool beforeTag : {false, true}) {
        const std::vector<int> lost = disagreements(doubleByteBlock, beforeTag);
        ASSERT_EQ(lost.size(), 60u) << beforeTag;
        EXPECT_EQ(lost.front(), 0x81);
        EXPECT_EQ(lost.back(), 0xFC);
    }
    // The installer's reader and the scan agree on every byte value in both places.
    EXPECT_EQ(disagreements(installer, false), std::vector<int>());
    EXPECT_EQ(disagreements(installer, true), std::vector<int>());
    for (int value = 0; value < 256; ++value) {
        std::string tail(1, static_cast<char>(value));
        tail += block(A);
        const std::string file = program(tail);
        EXPECT_EQ(readAsInstaller(installer, file).signer, keys(A)) << value;
    }
}
