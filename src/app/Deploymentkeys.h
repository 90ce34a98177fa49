// Deploymentkeys: the installer's side of the deployment key table (deploymentkeytable): the
// value of a .deployment key in the block read at start-up, and the .deployment file written from
// the block (stage 8). The table says which keys there are, which entry fills which key and in
// which order the file receives them; this class reads and writes through the configuration file.
#pragma once

#include <optional>
#include <string>

class cCFG;

class Deploymentkeys {
public:
    // The value of the key's entry in the block text; nullopt for an unknown key, a missing entry
    // or one without its closing ">".
    static std::optional<std::wstring> entry(const std::wstring& content, const std::wstring& key);
    // Writes the block's values into the .deployment file: the required keys in the file's order
    // (empty when missing), then each optional key whose entry the block has.
    static void write(cCFG& cfg, const std::wstring& content);
};
