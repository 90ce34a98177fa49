// signerpin: the publisher pin as deployment blocks, cvstamp's --signer and the build's
// CV_TRUSTED_SIGNERS write it: one or more SHA-256 hashes of signers' public keys, 64 hex digits
// each, separated by ",". Portable code: no platform headers.
#pragma once

#include "result.h"
#include "sha256.h"

#include <string>
#include <string_view>
#include <vector>

namespace portable {

// The hashes of text; fails (out empty) for anything else: no blanks, no empty items.
Result parseSignerPin(const std::string& text, std::vector<Sha256::Digest>* out);
// The same for block text (deploymentText): a character outside ASCII fails.
Result parseSignerPin(std::wstring_view text, std::vector<Sha256::Digest>* out);

} // namespace portable
