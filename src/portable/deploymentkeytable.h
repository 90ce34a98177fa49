// deploymentkeytable: the one table of the deployment keys. The stamper (cvstamp) takes a key's
// value from its option and writes it into the block behind the installer; the installer reads it
// from there and writes it into the .deployment file beside itself. Every one of them walks this
// table, so that a new key is one row here (and its tests): its key word in the block, its key in
// the .deployment file, whether it may be left out, its place in the file, what the stamper
// accepts, the stamper's option and what the usage text says about it. Portable code: no platform
// headers.
#pragma once

#include "result.h"

#include <cstddef>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace portable {

// Whether a key may be left out. A required key is written into every block and every
// .deployment file (empty when it has no value); an optional one only when it has a value (in the
// block) or an entry (in the file).
enum class DeploymentPresence { Required, Optional };

// What the stamper accepts as a value (the installer takes every value as it stands).
enum class DeploymentValueRule {
    Text,       // any text a block can carry (checkDeploymentValue)
    SignerPin,  // one or more SHA-256 hashes, 64 hex digits each, separated by ","; written in lower case
    StrictOnly, // the word "strict"
};

struct DeploymentKey {
    const wchar_t* word;             // behind the entry prefix in the block, e.g. L"PORT"
    const wchar_t* configurationKey; // in section "common" of the .deployment file
    DeploymentPresence presence;
    size_t filePosition;      // the place in the .deployment file, from 1
    DeploymentValueRule rule; // what the stamper accepts
    const char* option;       // the stamper's option
    const char* placeholder;  // the option's value in the usage line
    const char* help;         // the usage text on the option (lines without their last line feed); "" for none

    constexpr bool optional() const { return presence == DeploymentPresence::Optional; }
};

// Every key, in the order of a block, of cvstamp's usage line and of its --show.
inline constexpr DeploymentKey DEPLOYMENT_KEYS[] = {
    {L"PROTOCOL", L"DEPLOYMENT_SERVER_PROTOCOL", DeploymentPresence::Required, 2, DeploymentValueRule::Text,
     "--protocol", "P", ""},
    {L"HOST", L"DEPLOYMENT_SERVER_HOST", DeploymentPresence::Required, 1, DeploymentValueRule::Text, "--host", "H", ""},
    {L"PORT", L"DEPLOYMENT_SERVER_PORT", DeploymentPresence::Required, 3, DeploymentValueRule::Text, "--port", "N", ""},
    {L"PORTAL", L"DEPLOYMENT_SERVER_URL_PORTAL", DeploymentPresence::Required, 5, DeploymentValueRule::Text, "--portal",
     "PATH", ""},
    {L"CLIENT", L"DEPLOYMENT_SERVER_URL_CLIENT", DeploymentPresence::Required, 4, DeploymentValueRule::Text, "--client",
     "PATH", ""},
    {L"EVENTS", L"DEPLOYMENT_SERVER_URL_EVENTS", DeploymentPresence::Required, 6, DeploymentValueRule::Text, "--events",
     "PATH", ""},
    {L"PRODUCT", L"DEPLOYMENT_PRODUCT", DeploymentPresence::Required, 7, DeploymentValueRule::Text, "--product", "NAME",
     ""},
    {L"LOGLEVEL", L"DEPLOYMENT_LOGLEVEL", DeploymentPresence::Required, 8, DeploymentValueRule::Text, "--loglevel", "L",
     ""},
    // The publisher pin: while present, the update accepts only programs signed by a pinned key.
    {L"SIGNER", L"DEPLOYMENT_SIGNER", DeploymentPresence::Optional, 9, DeploymentValueRule::SignerPin, "--signer",
     "SHA256[,SHA256...]",
     "--signer pins the publisher: hashes (64 hex digits) of the public keys allowed to sign\n"
     "the program the installer downloads, as --print-signer prints them for a signed file."},
    // Strict TLS: while present, every certificate problem of the update exchange ends the update.
    {L"TLS", L"DEPLOYMENT_TLS", DeploymentPresence::Optional, 10, DeploymentValueRule::StrictOnly, "--tls", "strict",
     "--tls strict: any certificate problem of the update exchange ends the update (https only)."},
};

namespace deploymentkeytable_detail {

template <typename Char>
constexpr bool sameText(const Char* a, const Char* b)
{
    for (; *a != 0 && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

// Words, configuration keys and options are each named once, and the file positions are 1 to N,
// each once.
constexpr bool wellFormed(std::span<const DeploymentKey> keys)
{
    for (size_t i = 0; i < keys.size(); ++i) {
        size_t atPosition = 0;
        for (size_t j = 0; j < keys.size(); ++j) {
            atPosition += keys[j].filePosition == i + 1 ? 1 : 0;
            if (j != i &&
                (sameText(keys[i].word, keys[j].word) || sameText(keys[i].configurationKey, keys[j].configurationKey) ||
                 sameText(keys[i].option, keys[j].option))) {
                return false;
            }
        }
        if (atPosition != 1) {
            return false;
        }
    }
    return true;
}

} // namespace deploymentkeytable_detail

static_assert(deploymentkeytable_detail::wellFormed(DEPLOYMENT_KEYS),
              "DEPLOYMENT_KEYS: a word, configuration key or option twice, or file positions that are not 1 to N");

// The configuration key of a key word, for constants that name one key (a word that is no key
// does not compile there).
consteval const wchar_t* deploymentConfigurationKey(const wchar_t* word)
{
    for (const DeploymentKey& key : DEPLOYMENT_KEYS) {
        if (deploymentkeytable_detail::sameText(key.word, word)) {
            return key.configurationKey;
        }
    }
    throw "no deployment key has this word";
}

// Every key, in table order.
std::span<const DeploymentKey> deploymentKeys();

// The key of a configuration key (compared exactly, letter case included); null for any other.
const DeploymentKey* deploymentKeyOfConfiguration(std::wstring_view configurationKey,
                                                  std::span<const DeploymentKey> keys = deploymentKeys());

// Values by key word.
using DeploymentValues = std::map<std::wstring, std::wstring>;

// The first key that is not optional and has no value; null when every such key has one.
const DeploymentKey* firstMissingDeploymentKey(const DeploymentValues& values,
                                               std::span<const DeploymentKey> keys = deploymentKeys());

// A block: the marker, one entry per key in table order (a key without a value gets an empty
// entry unless it is optional, then it is left out; values of unknown words are ignored), CR LF.
std::wstring writeDeploymentBlock(const DeploymentValues& values,
                                  std::span<const DeploymentKey> keys = deploymentKeys());

// What the .deployment file receives from a block (its text, as the installer reads it): pairs
// of configuration key and value in file order, every required key (empty when the block lacks
// its entry) and every optional key whose entry the block has.
using DeploymentFileEntries = std::vector<std::pair<std::wstring, std::wstring>>;
DeploymentFileEntries deploymentFileEntries(std::wstring_view block,
                                            std::span<const DeploymentKey> keys = deploymentKeys());

// A value given to the stamper for a key (UTF-8 text, a command line) checked by the key's rule
// and given as the block carries it; refused with the reason.
Result checkDeploymentKeyValue(const DeploymentKey& key, std::string_view utf8, std::wstring* value);

} // namespace portable
