// Publisherpin: which signers the update accepts, decided once at start-up. An unsigned installer
// takes its deployment block's signer entry, or no pin. A signed one pins its own signer's key and
// the keys built in (builtinsigners), narrowed by the block's entry when there is one; when its own
// signature fails its check, or nothing is left of the pin, every update is refused. So is every
// update when the installer cannot read its own file: it cannot tell whether it is signed.
#pragma once

#include "cSignaturecheck.h"
#include "sha256.h"

#include <optional>
#include <string>
#include <vector>

class Publisherpin {
public:
    using Keys = std::vector<portable::Sha256::Digest>;

    // Whether the installer's own file carries a signature, and how it fares in the check;
    // unreadable says why the file could not be read at all (then nothing else is known).
    struct OwnSignature {
        bool present = false;
        cSignaturecheck::Outcome outcome;
        std::wstring unreadable;
    };

    struct Decision {
        std::optional<Keys> keys;  // the pin; nullopt when no pin is in force
        std::wstring refusal;      // why every update is refused; empty when updates may pass
        std::wstring announcement; // the line that tells the run which pin is in force
    };

    // signerEntry: the block's signer entry when it has one; builtIn: the keys built into this
    // build, as pin text ("" for none).
    static Decision decide(const std::optional<std::wstring>& signerEntry, const OwnSignature& own,
                           const char* builtIn);

    // Hashes as the log shows them: the first 16 hex digits of each, separated by ",".
    static std::wstring shortHashes(const Keys& keys);

private:
    static Decision decideUnsigned(const std::optional<std::wstring>& signerEntry);
    static Decision refuse(std::wstring why);
};
