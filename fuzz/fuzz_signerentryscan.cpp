// Fuzz target: the scan for the signer entry of a deployment block on arbitrary bytes. Fed whole
// and in pieces of a size the input chooses, it must give the same verdict for a fixed pin, and
// a verdict of "narrows" must mean that the text holds a marker with a signer entry behind it.
#include "signerentryscan.h"
#include "signerpin.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace portable;

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// 0: no block, 1: narrows, 2: refused.
int verdict(const uint8_t* data, size_t size, size_t step, const std::vector<Sha256::Digest>& pin)
{
    SignerEntryScan scan;
    for (size_t at = 0; at < size; at += step) {
        scan.update(data + at, size - at < step ? size - at : step);
    }
    if (!scan.hasBlock()) {
        return 0;
    }
    const Result narrows = scan.narrows(pin);
    require(narrows.ok() == narrows.reason.empty());
    return narrows ? 1 : 2;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<Sha256::Digest> pin;
    require(parseSignerPin(std::string(64, 'a') + "," + std::string(64, 'b'), &pin).ok());
    const int whole = verdict(data, size, size + 1, pin);
    const size_t step = 1 + (size > 0 ? data[0] % 41 : 0);
    require(verdict(data, size, step, pin) == whole);
    if (whole == 1) {
        const std::string text(reinterpret_cast<const char*>(data), size);
        const size_t marker = text.find(std::string("ADDED_SERVERPARAMETERS") + ":");
        require(marker != std::string::npos && text.find("ADDED_SERVERPARAMETER_SIGNER<", marker) != std::string::npos);
    }
    return 0;
}
