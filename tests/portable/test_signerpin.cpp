// The publisher pin's text: a comma-separated list of SHA-256 hashes in hex, nothing else.
#include "hex.h"
#include "signerpin.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace portable;

TEST(SignerPin, AcceptsHashListsOnly)
{
    const std::string a(64, 'a');
    const std::string b = "0123456789ABCDEF0123456789abcdef0123456789ABCDEF0123456789abcdef";
    std::vector<Sha256::Digest> pin;
    ASSERT_TRUE(parseSignerPin(a, &pin));
    ASSERT_EQ(pin.size(), 1u);
    EXPECT_EQ(pin[0][0], 0xAA);
    ASSERT_TRUE(parseSignerPin(a + "," + b, &pin));
    ASSERT_EQ(pin.size(), 2u);
    EXPECT_EQ(toHex(pin[1]), "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
    for (const std::string& bad : {std::string(), a.substr(1), a + "0", a + ",", "," + a, a + ", " + b,
                                   std::string(63, 'a') + "g", a + ",," + b}) {
        EXPECT_FALSE(parseSignerPin(bad, &pin)) << bad;
        EXPECT_TRUE(pin.empty());
    }
}
