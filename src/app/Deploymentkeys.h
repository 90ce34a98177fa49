// Deploymentkeys: which entry of the deployment block each key of the .deployment file is read
// from (DEPLOYMENT_SERVER_HOST from "HOST", and so on).
#pragma once

#include <optional>
#include <string>

class Deploymentkeys {
public:
    // The value of the key's entry in the block text; nullopt for an unknown key, a missing entry
    // or one without its closing ">".
    static std::optional<std::wstring> entry(const std::wstring& content, const std::wstring& key);
};
