#include "Publisherpin.h"

#include "authenticode.h"

#include <algorithm>

namespace {

bool contains(const Publisherpin::Keys& keys, const portable::Sha256::Digest& key)
{
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

} // namespace

std::wstring Publisherpin::shortHashes(const Keys& keys)
{
    std::wstring text;
    for (const auto& key : keys) {
        if (!text.empty()) {
            text += L",";
        }
        const std::string hex = portable::toHex(key.data(), 8);
        text += std::wstring(hex.begin(), hex.end()) + L"...";
    }
    return text;
}

Publisherpin::Decision Publisherpin::refuse(std::wstring why)
{
    Decision d;
    d.announcement = L"Publisher pin in force: none can pass (" + why + L")";
    d.refusal = std::move(why);
    return d;
}

Publisherpin::Decision Publisherpin::decideUnsigned(const std::optional<std::wstring>& signerEntry)
{
    Decision d;
    Keys keys;
    if (!signerEntry) {
        d.announcement = L"No publisher pin in force (unsigned installer, no signer entry in the deployment)";
    } else if (cSignaturecheck::parsePin(*signerEntry, &keys)) {
        d.announcement = L"Publisher pin in force: " + shortHashes(keys) +
                         L" (unsigned installer: the signer entry of the deployment)";
        d.keys = std::move(keys);
    } else {
        // The updater refuses every program with the malformed pin, as it always has.
        d.announcement = L"Publisher pin in force: none can pass (the signer entry of the deployment is malformed)";
    }
    return d;
}

Publisherpin::Decision Publisherpin::decide(const std::optional<std::wstring>& signerEntry, const OwnSignature& own,
                                            const char* builtIn)
{
    if (!own.unreadable.empty()) {
        return refuse(own.unreadable);
    }
    if (!own.present) {
        return decideUnsigned(signerEntry);
    }
    if (!own.outcome.accepted()) {
        return refuse(L"the installer's own signature fails its check (" + own.outcome.requirement() + L"): " +
                      own.outcome.detail);
    }
    Keys keys{own.outcome.signerKey};
    std::wstring origin = L"the installer's own signer";
    Keys builtInKeys;
    if (builtIn != nullptr && *builtIn != '\0' && portable::parseSignerPin(builtIn, &builtInKeys)) {
        for (const auto& key : builtInKeys) {
            if (!contains(keys, key)) {
                keys.push_back(key);
            }
        }
        origin += L" and the keys built in";
    }
    if (signerEntry) {
        Keys entryKeys;
        const bool entryRead = cSignaturecheck::parsePin(*signerEntry, &entryKeys);
        Keys narrowed;
        for (const auto& key : keys) {
            if (entryRead && contains(entryKeys, key)) {
                narrowed.push_back(key);
            }
        }
        if (narrowed.empty()) {
            return refuse(entryRead ? L"the signer entry of the deployment names none of the keys of the "
                                      L"installer's own publisher"
                                    : L"the signer entry of the deployment is malformed");
        }
        keys = std::move(narrowed);
        origin += L", narrowed by the signer entry of the deployment";
    }
    Decision d;
    d.announcement = L"Publisher pin in force: " + shortHashes(keys) + L" (signed installer: " + origin + L")";
    d.keys = std::move(keys);
    return d;
}
