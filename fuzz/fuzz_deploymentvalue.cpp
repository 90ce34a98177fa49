// Fuzz target: the stamper's check of a value given on the command line (UTF-8). An accepted
// value must convert to code page 1252 and back to the same UTF-8, and survive a block written
// with it in every entry; a refused one must say why.
#include "deploymentblock.h"
#include "deploymentkeytable.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

void checkAccepted(std::string_view utf8, const std::wstring& value)
{
    require(value.find(L'>') == std::wstring::npos);
    require(value.find(portable::DEPLOYMENT_ENTRY_PREFIX) == std::wstring::npos);
    for (const wchar_t c : value) {
        require(c >= 0x20 && c != 0x7F && !(c >= 0x80 && c <= 0x9F));
    }
    require(portable::toUtf8(value) == utf8);
    std::string bytes;
    require(portable::toCp1252(value, &bytes));
    require(bytes.size() == value.size());
    require(portable::fromCp1252(bytes) == value);

    portable::DeploymentValues values;
    for (const portable::DeploymentKey& key : portable::deploymentKeys()) {
        values[key.word] = value;
    }
    std::string file = "MZ";
    require(portable::toCp1252(portable::writeDeploymentBlock(values), &bytes));
    file += bytes;
    const std::wstring text = portable::fromCp1252(file);
    require(portable::deploymentImageEnd(text) == std::optional<size_t>(2));
    const std::wstring_view block = portable::deploymentBlock(text);
    for (const portable::DeploymentKey& key : portable::deploymentKeys()) {
        require(portable::readDeploymentEntry(block, key.word) == std::optional<std::wstring>(value));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view utf8(reinterpret_cast<const char*>(data), size);
    std::wstring value;
    if (const portable::Result checked = portable::checkDeploymentValue(utf8, &value)) {
        checkAccepted(utf8, value);
    } else {
        require(!checked.reason.empty());
    }
    return 0;
}
