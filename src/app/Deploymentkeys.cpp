#include "Deploymentkeys.h"

#include "cCFG.h"
#include "deploymentblock.h"
#include "deploymentkeytable.h"

std::optional<std::wstring> Deploymentkeys::entry(const std::wstring& content, const std::wstring& key)
{
    const portable::DeploymentKey* found = portable::deploymentKeyOfConfiguration(key);
    if (found == nullptr) {
        return std::nullopt;
    }
    return portable::readDeploymentEntry(content, found->word);
}

void Deploymentkeys::write(cCFG& cfg, const std::wstring& content)
{
    // Every value is read from the block first, then the file is written key by key.
    for (const auto& [key, value] : portable::deploymentFileEntries(content)) {
        cfg.writeParameter(key, value);
    }
}
