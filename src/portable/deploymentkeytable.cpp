#include "deploymentkeytable.h"

#include "deploymentblock.h"
#include "hex.h"
#include "signerpin.h"

#include <algorithm>

namespace portable {

namespace {

// A publisher pin as the block carries it: lower-case hex, "," between hashes.
Result checkSignerPin(std::string_view utf8, std::wstring* value)
{
    std::vector<Sha256::Digest> hashes;
    if (!parseSignerPin(std::string(utf8), &hashes)) {
        return Result::failed("give one or more SHA-256 hashes (64 hex digits each) separated by \",\"");
    }
    std::string joined;
    for (const auto& hash : hashes) {
        if (!joined.empty()) {
            joined += ',';
        }
        joined += toHex(hash);
    }
    *value = fromCp1252(joined);
    return Result::done();
}

} // namespace

std::span<const DeploymentKey> deploymentKeys() { return DEPLOYMENT_KEYS; }

const DeploymentKey* deploymentKeyOfConfiguration(std::wstring_view configurationKey,
                                                  std::span<const DeploymentKey> keys)
{
    for (const DeploymentKey& key : keys) {
        if (configurationKey == key.configurationKey) {
            return &key;
        }
    }
    return nullptr;
}

const DeploymentKey* firstMissingDeploymentKey(const DeploymentValues& values, std::span<const DeploymentKey> keys)
{
    for (const DeploymentKey& key : keys) {
        if (!key.optional() && values.count(key.word) == 0) {
            return &key;
        }
    }
    return nullptr;
}

std::wstring writeDeploymentBlock(const DeploymentValues& values, std::span<const DeploymentKey> keys)
{
    std::wstring block = deploymentMarker();
    for (const DeploymentKey& key : keys) {
        const auto value = values.find(key.word);
        if (value == values.end() && key.optional()) {
            continue;
        }
        block += DEPLOYMENT_ENTRY_PREFIX;
        block += key.word;
        block += L'<';
        if (value != values.end()) {
            block += value->second;
        }
        block += L'>';
    }
    block += L"\r\n";
    return block;
}

DeploymentFileEntries deploymentFileEntries(std::wstring_view block, std::span<const DeploymentKey> keys)
{
    std::vector<const DeploymentKey*> inFileOrder;
    for (const DeploymentKey& key : keys) {
        inFileOrder.push_back(&key);
    }
    std::stable_sort(inFileOrder.begin(), inFileOrder.end(),
                     [](const DeploymentKey* a, const DeploymentKey* b) { return a->filePosition < b->filePosition; });
    DeploymentFileEntries entries;
    for (const DeploymentKey* key : inFileOrder) {
        std::optional<std::wstring> value = readDeploymentEntry(block, key->word);
        if (!key->optional() || value.has_value()) {
            entries.emplace_back(key->configurationKey, value.value_or(std::wstring()));
        }
    }
    return entries;
}

Result checkDeploymentKeyValue(const DeploymentKey& key, std::string_view utf8, std::wstring* value)
{
    value->clear();
    switch (key.rule) {
    case DeploymentValueRule::SignerPin:
        return checkSignerPin(utf8, value);
    case DeploymentValueRule::StrictOnly:
        if (utf8 != "strict") {
            return Result::failed("the only value is \"strict\"");
        }
        *value = L"strict";
        return Result::done();
    case DeploymentValueRule::Text:
        break;
    }
    return checkDeploymentValue(utf8, value);
}

} // namespace portable
