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

Result parseSignerPin(std::wstring_view text, std::vector<Sha256::Digest>* out)
{
    std::string ascii;
    for (const wchar_t c : text) {
        if (static_cast<uint32_t>(c) > 0x7F) {
            out->clear();
            return Result::failed("a pin holds only ASCII text");
        }
        ascii += static_cast<char>(c);
    }
    return parseSignerPin(ascii, out);
}

} // namespace portable
