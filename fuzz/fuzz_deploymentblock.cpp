// Fuzz target: the deployment-block reader on arbitrary file bytes. The bytes go through what the
// installer does with its own file (zero bytes as line feeds, code page 1252), then every key is
// read; the stamper's image end is computed on the raw bytes, and restamping must find the same
// end again.
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

// The installer's view of its file: every zero byte but the last as a line feed.
std::wstring asReaderSees(const uint8_t* data, size_t size)
{
    std::string bytes(reinterpret_cast<const char*>(data), size);
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == '\0') {
            bytes[i] = '\n';
        }
    }
    return portable::fromCp1252(bytes);
}

portable::DeploymentValues readEveryKey(std::wstring_view content)
{
    portable::DeploymentValues values;
    for (const portable::DeploymentKey& key : portable::deploymentKeys()) {
        const auto value = portable::readDeploymentEntry(content, key.word);
        if (value) {
            require(value->find(L'>') == std::wstring::npos);
            require(content.find(*value) != std::wstring_view::npos);
            values[key.word] = *value;
        }
    }
    return values;
}

// Restamping a file cut at its image end finds the same end.
void checkRestamp(const std::wstring& raw, size_t end)
{
    portable::DeploymentValues values;
    for (const portable::DeploymentKey& key : portable::deploymentKeys()) {
        values[key.word] = L"v";
    }
    const std::wstring stamped = raw.substr(0, end) + portable::writeDeploymentBlock(values);
    const auto again = portable::deploymentImageEnd(stamped);
    require(again.has_value() && *again == end);
    const std::wstring_view block = portable::deploymentBlock(stamped);
    require(block.size() == stamped.size() - end);
    for (const portable::DeploymentKey& key : portable::deploymentKeys()) {
        require(portable::readDeploymentEntry(block, key.word) == std::optional<std::wstring>(L"v"));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::wstring text = asReaderSees(data, size);
    const std::wstring_view content = portable::deploymentBlock(text);
    require(content.empty() || content.substr(0, 23) == portable::deploymentMarker());
    require(portable::countDeploymentMarkers(content) == portable::countDeploymentMarkers(text));
    readEveryKey(content);

    const std::wstring raw = portable::fromCp1252(std::string_view(reinterpret_cast<const char*>(data), size));
    const auto end = portable::deploymentImageEnd(raw);
    if (end) {
        require(*end <= raw.size());
        require(*end == raw.size() || raw.compare(*end, 23, portable::deploymentMarker()) == 0);
        checkRestamp(raw, *end);
    }
    return 0;
}
