// The deployment key table and its walks: the keys in block and file order, which of them a block
// and a .deployment file may leave out, the lookup by configuration key, and the stamper's rules
// for values.
#include "deploymentblock.h"
#include "deploymentkeytable.h"
#include "sampleblock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using portable::DeploymentKey;
using portable::DeploymentPresence;
using portable::DeploymentValueRule;

namespace {

std::wstring blockOf(const char* entries) { return portable::deploymentMarker() + portable::fromCp1252(entries); }

std::vector<std::wstring> fileKeys(const portable::DeploymentFileEntries& entries)
{
    std::vector<std::wstring> keys;
    for (const auto& entry : entries) {
        keys.push_back(entry.first);
    }
    return keys;
}

// A table of three keys whose file order is the reverse of their block order.
constexpr DeploymentKey REVERSED[] = {
    {L"A", L"KEY_A", DeploymentPresence::Required, 3, DeploymentValueRule::Text, "--a", "A", ""},
    {L"B", L"KEY_B", DeploymentPresence::Optional, 2, DeploymentValueRule::Text, "--b", "B", "--b: b."},
    {L"C", L"KEY_C", DeploymentPresence::Required, 1, DeploymentValueRule::Text, "--c", "C", ""},
};

} // namespace

TEST(DeploymentKeyTable, BlockOrderAndWhatMayBeLeftOut)
{
    std::vector<std::wstring> words;
    std::vector<std::wstring> optional;
    for (const DeploymentKey& key : portable::deploymentKeys()) {
        words.push_back(key.word);
        if (key.optional()) {
            optional.push_back(key.word);
        }
    }
    EXPECT_EQ(words, (std::vector<std::wstring>{L"PROTOCOL", L"HOST", L"PORT", L"PORTAL", L"CLIENT", L"EVENTS",
                                                L"PRODUCT", L"LOGLEVEL", L"SIGNER", L"TLS"}));
    // Only the publisher pin and the TLS mode may be left out.
    EXPECT_EQ(optional, (std::vector<std::wstring>{L"SIGNER", L"TLS"}));
}

TEST(DeploymentKeyTable, FileEntriesOfABlock)
{
    const std::vector<std::wstring> eight = {L"DEPLOYMENT_SERVER_HOST",       L"DEPLOYMENT_SERVER_PROTOCOL",
                                             L"DEPLOYMENT_SERVER_PORT",       L"DEPLOYMENT_SERVER_URL_CLIENT",
                                             L"DEPLOYMENT_SERVER_URL_PORTAL", L"DEPLOYMENT_SERVER_URL_EVENTS",
                                             L"DEPLOYMENT_PRODUCT",           L"DEPLOYMENT_LOGLEVEL"};
    // The sample: the eight keys in the file's order, each with its value.
    const portable::DeploymentFileEntries sample = portable::deploymentFileEntries(blockOf(sampleblock::ENTRIES));
    EXPECT_EQ(fileKeys(sample), eight);
    EXPECT_EQ(sample[0].second, L"callvane.vazu.example.de");
    EXPECT_EQ(sample[3].second, L"/vazu/portal/req?loadPortal");
    EXPECT_EQ(sample[7].second, L"3");
    // No block: the eight, empty; the optional keys are not written.
    const portable::DeploymentFileEntries none = portable::deploymentFileEntries(L"");
    EXPECT_EQ(fileKeys(none), eight);
    for (const auto& entry : none) {
        EXPECT_EQ(entry.second, L"") << entry.first;
    }
    // An optional entry is written when the block has it, even empty, and not when it is unclosed.
    std::vector<std::wstring> withOptional = eight;
    withOptional.push_back(L"DEPLOYMENT_TLS");
    const portable::DeploymentFileEntries tls =
        portable::deploymentFileEntries(blockOf("ADDED_SERVERPARAMETER_TLS<>ADDED_SERVERPARAMETER_SIGNER<ab"));
    EXPECT_EQ(fileKeys(tls), withOptional);
    EXPECT_EQ(tls.back().second, L"");
    // The file's order is the table's file positions, not the order of the rows.
    EXPECT_EQ(fileKeys(portable::deploymentFileEntries(blockOf("ADDED_SERVERPARAMETER_B<b>"), REVERSED)),
              (std::vector<std::wstring>{L"KEY_C", L"KEY_B", L"KEY_A"}));
    EXPECT_EQ(fileKeys(portable::deploymentFileEntries(L"", REVERSED)),
              (std::vector<std::wstring>{L"KEY_C", L"KEY_A"}));
}

TEST(DeploymentKeyTable, OptionalKeysAreWrittenOnlyWhenGiven)
{
    EXPECT_EQ(portable::writeDeploymentBlock({{L"A", L"a"}}, REVERSED),
              portable::deploymentMarker() + L"ADDED_SERVERPARAMETER_A<a>ADDED_SERVERPARAMETER_C<>\r\n");
    EXPECT_EQ(portable::writeDeploymentBlock({{L"B", L""}, {L"C", L"1"}}, REVERSED),
              portable::deploymentMarker() +
                  L"ADDED_SERVERPARAMETER_A<>ADDED_SERVERPARAMETER_B<>ADDED_SERVERPARAMETER_C<1>\r\n");
    // Only keys that are not optional can be missing.
    EXPECT_EQ(portable::firstMissingDeploymentKey({{L"A", L""}, {L"C", L""}}, REVERSED), nullptr);
    const DeploymentKey* missing = portable::firstMissingDeploymentKey({{L"B", L"x"}}, REVERSED);
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(std::wstring(missing->word), L"A");
    missing = portable::firstMissingDeploymentKey({{L"PROTOCOL", L""}, {L"HOST", L""}});
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(std::wstring(missing->word), L"PORT");
}

TEST(DeploymentKeyTable, KeyOfAConfigurationKey)
{
    for (const DeploymentKey& key : portable::deploymentKeys()) {
        EXPECT_EQ(portable::deploymentKeyOfConfiguration(key.configurationKey), &key) << key.word;
    }
    for (const wchar_t* other : {L"", L"HOST", L"DEPLOYMENT_server_HOST", L"DEPLOYMENT_SERVER_HOST ", L"DEPLOYMENT"}) {
        EXPECT_EQ(portable::deploymentKeyOfConfiguration(other), nullptr) << other;
    }
}

TEST(DeploymentKeyTable, StamperRulesForValues)
{
    const std::string hashA(64, 'A');
    const std::string hashB(64, 'b');
    const struct {
        const wchar_t* word;
        std::string given;
        const char* refusal; // null: accepted
        std::wstring value;
    } cases[] = {
        {L"HOST", "h\xc3\xa4st", nullptr, L"h\u00e4st"},
        {L"HOST", "a>b", "it holds \">\", which ends an entry of the block", L""},
        {L"SIGNER", hashA + "," + hashB, nullptr, std::wstring(64, L'a') + L"," + std::wstring(64, L'b')},
        {L"SIGNER", hashA + ",", "give one or more SHA-256 hashes (64 hex digits each) separated by \",\"", L""},
        {L"SIGNER", "", "give one or more SHA-256 hashes (64 hex digits each) separated by \",\"", L""},
        {L"TLS", "strict", nullptr, L"strict"},
        {L"TLS", "Strict", "the only value is \"strict\"", L""},
        {L"TLS", "", "the only value is \"strict\"", L""},
    };
    for (const auto& c : cases) {
        const DeploymentKey* key = nullptr;
        for (const DeploymentKey& k : portable::deploymentKeys()) {
            key = std::wstring(k.word) == c.word ? &k : key;
        }
        ASSERT_NE(key, nullptr);
        std::wstring value = L"left over";
        const portable::Result r = portable::checkDeploymentKeyValue(*key, c.given, &value);
        EXPECT_EQ(r.ok(), c.refusal == nullptr) << c.given;
        EXPECT_EQ(r.reason, c.refusal == nullptr ? "" : c.refusal) << c.given;
        if (r) {
            EXPECT_EQ(value, c.value) << c.given;
        }
    }
}
