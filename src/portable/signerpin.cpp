#include "signerpin.h"

#include "hex.h"

namespace portable {

Result parseSignerPin(const std::string& text, std::vector<Sha256::Digest>* out)
{
    out->clear();
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        const size_t end = comma == std::string::npos ? text.size() : comma;
        Sha256::Digest d;
        if (!fromHex(std::string_view(text).substr(start, end - start), &d)) {
            out->clear();
            return Result::failed("a pin is one or more SHA-256 hashes (64 hex digits each) separated by \",\"");
        }
        out->push_back(d);
        if (comma == std::string::npos) {
            return Result::done();
        }
        start = comma + 1;
    }
}

} // namespace portable
