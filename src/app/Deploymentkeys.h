// Deploymentkeys: which entry of the deployment block each key of the .deployment file is read
// from (DEPLOYMENT_SERVER_HOST from "HOST", and so on), and which keys the file always has.
#pragma once

#include <optional>
class cCFG;

#include <string>

class Deploymentkeys {
public:
    // The value of the key's entry in the block text; nullopt for an unknown key, a missing entry
    // or one without its closing ">".
    static std::optional<std::wstring> entry(const std::wstring& content, const std::wstring& key);
    // Writes the block's values into the .deployment file: the eight required keys in their
    // fixed order (empty when missing), then each optional key whose entry the block has.
    static void write(cCFG& cfg, const std::wstring& content);
};
