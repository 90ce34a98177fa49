// The publisher pin decided at start-up from the installer's own signature, the keys built in and
// the deployment block's signer entry: a block must only ever narrow what a signed installer
// trusts, and anything it cannot read or check refuses every update.
#include "Publisherpin.h"

#include "authenticode.h"

#include <gtest/gtest.h>

#include <string>

namespace {

portable::Sha256::Digest key(uint8_t fill)
{
    portable::Sha256::Digest d;
    d.fill(fill);
    return d;
}

std::wstring hex(uint8_t fill)
{
    const std::string h = portable::toHex(key(fill).data(), key(fill).size());
    return std::wstring(h.begin(), h.end());
}

std::string ascii(const std::wstring& w) { return std::string(w.begin(), w.end()); }

Publisherpin::OwnSignature unsignedInstaller() { return {}; }

Publisherpin::OwnSignature signedBy(uint8_t fill)
{
    Publisherpin::OwnSignature own;
    own.present = true;
    own.outcome.signerKey = key(fill);
    own.outcome.signer = hex(fill);
    return own;
}

Publisherpin::OwnSignature brokenSignature()
{
    Publisherpin::OwnSignature own;
    own.present = true;
    own.outcome.failure = cSignaturecheck::FAILED_IMAGE_DIGEST;
    own.outcome.detail = L"the image digest differs";
    return own;
}

} // namespace

TEST(Publisherpin, UnsignedInstallerTakesTheBlocksEntryOrNoPin)
{
    const auto none = Publisherpin::decide(std::nullopt, unsignedInstaller(), "");
    EXPECT_FALSE(none.keys.has_value());
    EXPECT_TRUE(none.refusal.empty());
    EXPECT_EQ(none.announcement, L"No publisher pin in force (unsigned installer, no signer entry in the deployment)");

    const auto entry = Publisherpin::decide(hex(1) + L"," + hex(2), unsignedInstaller(), "");
    ASSERT_TRUE(entry.keys.has_value());
    EXPECT_EQ(*entry.keys, (Publisherpin::Keys{key(1), key(2)}));
    EXPECT_TRUE(entry.refusal.empty());
    EXPECT_EQ(entry.announcement, L"Publisher pin in force: " + Publisherpin::shortHashes({key(1), key(2)}) +
                                      L" (unsigned installer: the signer entry of the deployment)");
}

TEST(Publisherpin, UnsignedInstallerWithAMalformedEntryKeepsNoKeysAndSaysNoneCanPass)
{
    // The updater is then given the entry's text, which accepts nothing; no refusal is needed.
    for (const std::wstring& bad : {std::wstring(L"zz"), hex(1).substr(0, 63), hex(1) + L",", std::wstring()}) {
        const auto d = Publisherpin::decide(bad, unsignedInstaller(), "");
        EXPECT_FALSE(d.keys.has_value()) << ascii(bad);
        EXPECT_EQ(d.announcement,
                  L"Publisher pin in force: none can pass (the signer entry of the deployment is malformed)");
    }
}

TEST(Publisherpin, SignedInstallerPinsItsOwnSignerAndTheKeysBuiltIn)
{
    const auto own = Publisherpin::decide(std::nullopt, signedBy(7), "");
    ASSERT_TRUE(own.keys.has_value());
    EXPECT_EQ(*own.keys, Publisherpin::Keys{key(7)});
    EXPECT_EQ(own.announcement, L"Publisher pin in force: " + Publisherpin::shortHashes({key(7)}) +
                                    L" (signed installer: the installer's own signer)");

    // A built-in key equal to the own signer's is not listed twice.
    const std::string builtIn = ascii(hex(8) + L"," + hex(7));
    const auto both = Publisherpin::decide(std::nullopt, signedBy(7), builtIn.c_str());
    ASSERT_TRUE(both.keys.has_value());
    EXPECT_EQ(*both.keys, (Publisherpin::Keys{key(7), key(8)}));
    EXPECT_NE(both.announcement.find(L"the installer's own signer and the keys built in"), std::wstring::npos);
}

TEST(Publisherpin, TheBlockOfASignedInstallerOnlyNarrows)
{
    const std::string builtIn = ascii(hex(8));
    const auto narrowed = Publisherpin::decide(hex(8) + L"," + hex(9), signedBy(7), builtIn.c_str());
    ASSERT_TRUE(narrowed.keys.has_value());
    EXPECT_EQ(*narrowed.keys, Publisherpin::Keys{key(8)}) << "key 9 of the block is not added";
    EXPECT_TRUE(narrowed.refusal.empty());
    EXPECT_NE(narrowed.announcement.find(L"narrowed by the signer entry of the deployment"), std::wstring::npos);

    // An attacker who re-stamps a signed installer's block with their own key gains nothing:
    // nothing is left of the pin and every update is refused.
    const auto foreign = Publisherpin::decide(hex(0xA5), signedBy(7), builtIn.c_str());
    EXPECT_FALSE(foreign.keys.has_value());
    EXPECT_EQ(foreign.refusal,
              L"the signer entry of the deployment names none of the keys of the installer's own publisher");
    EXPECT_EQ(foreign.announcement, L"Publisher pin in force: none can pass (" + foreign.refusal + L")");

    // A malformed entry does not fall back to the wider pin.
    const auto malformed = Publisherpin::decide(L"not a key", signedBy(7), builtIn.c_str());
    EXPECT_FALSE(malformed.keys.has_value());
    EXPECT_EQ(malformed.refusal, L"the signer entry of the deployment is malformed");
}

TEST(Publisherpin, ASignedInstallerWhoseOwnSignatureFailsRefusesEveryUpdate)
{
    // Whatever the block says: a tampered installer must not trust its block's keys instead.
    for (const std::optional<std::wstring>& entry : {std::optional<std::wstring>(), std::optional(hex(1))}) {
        const auto d = Publisherpin::decide(entry, brokenSignature(), "");
        EXPECT_FALSE(d.keys.has_value());
        EXPECT_EQ(d.refusal, L"the installer's own signature fails its check (a): the image digest differs");
    }
}
