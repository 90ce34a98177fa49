#include "Deploymentkeys.h"

#include "cCV_INSTALLER.h"
#include "deploymentblock.h"

namespace {

// Configuration key of the .deployment file -> key word of the block entry.
const struct {
    const wchar_t* key;
    const wchar_t* word;
} DEPLOYMENT_WORDS[] = {
    {cCV_INSTALLER::DEPLOYMENT_SERVER_PROTOCOL, L"PROTOCOL"},
    {cCV_INSTALLER::DEPLOYMENT_SERVER_HOST, L"HOST"},
    {cCV_INSTALLER::DEPLOYMENT_SERVER_PORT, L"PORT"},
    {cCV_INSTALLER::DEPLOYMENT_SERVER_URL_PORTAL, L"PORTAL"},
    {cCV_INSTALLER::DEPLOYMENT_SERVER_URL_CLIENT, L"CLIENT"},
    {cCV_INSTALLER::DEPLOYMENT_SERVER_URL_EVENTS, L"EVENTS"},
    {cCV_INSTALLER::DEPLOYMENT_PRODUCT, L"PRODUCT"},
    {cCV_INSTALLER::DEPLOYMENT_LOGLEVEL, L"LOGLEVEL"},
    {cCV_INSTALLER::DEPLOYMENT_SIGNER, L"SIGNER"},
    {cCV_INSTALLER::DEPLOYMENT_TLS, L"TLS"},
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
