#include "Deploymentkeys.h"

#include "cCFG.h"
#include "cCV_INSTALLER.h"
#include "deploymentblock.h"

namespace {

// Configuration key of the .deployment file -> key word of the block entry.
// Required keys are always written (empty when the block lacks them), in the file's fixed order;
// optional ones only when the block has their entry.
const struct {
    const wchar_t* key;
    const wchar_t* word;
    bool required;
} DEPLOYMENT_WORDS[] = {
    {cCV_INSTALLER::DEPLOYMENT_SERVER_HOST, L"HOST", true},
    {cCV_INSTALLER::DEPLOYMENT_SERVER_PROTOCOL, L"PROTOCOL", true},
    {cCV_INSTALLER::DEPLOYMENT_SERVER_PORT, L"PORT", true},
    {cCV_INSTALLER::DEPLOYMENT_SERVER_URL_CLIENT, L"CLIENT", true},
    {cCV_INSTALLER::DEPLOYMENT_SERVER_URL_PORTAL, L"PORTAL", true},
    {cCV_INSTALLER::DEPLOYMENT_SERVER_URL_EVENTS, L"EVENTS", true},
    {cCV_INSTALLER::DEPLOYMENT_PRODUCT, L"PRODUCT", true},
    {cCV_INSTALLER::DEPLOYMENT_LOGLEVEL, L"LOGLEVEL", true},
    {cCV_INSTALLER::DEPLOYMENT_SIGNER, L"SIGNER", false},
    {cCV_INSTALLER::DEPLOYMENT_TLS, L"TLS", false},
};

} // namespace

std::optional<std::wstring> Deploymentkeys::entry(const std::wstring& content, const std::wstring& key)
{
    for (const auto& entry : DEPLOYMENT_WORDS) {
        if (key == entry.key) {
            return portable::readDeploymentEntry(content, entry.word);
        }
    }
    return std::nullopt;
}

void Deploymentkeys::write(cCFG& cfg, const std::wstring& content)
{
    for (const auto& entry : DEPLOYMENT_WORDS) {
        const std::optional<std::wstring> value = portable::readDeploymentEntry(content, entry.word);
        if (entry.required || value.has_value()) {
            cfg.writeParameter(entry.key, value.value_or(std::wstring()));
        }
    }
}
