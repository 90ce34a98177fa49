#include "decimal.h"

namespace portable {

namespace {
bool isBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f'; }
} // namespace

bool parseDecimal(std::wstring_view text, DecimalValue* out)
{
    size_t i = 0;
    while (i < text.size() && isBlank(text[i])) {
        ++i;
    }
    *out = DecimalValue{};
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        out->negative = text[i] == L'-';
        ++i;
    }
    bool digits = false;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        digits = true;
        const uint64_t digit = static_cast<uint64_t>(text[i] - L'0');
        if (out->value > (UINT64_MAX - digit) / 10) {
            out->overflow = true;
        }
        out->value = out->value * 10 + digit;
    }
    return digits;
}

uint16_t parsePort(std::wstring_view text)
{
    DecimalValue parsed;
    if (!parseDecimal(text, &parsed)) {
        return 0;
    }
    // The value is kept modulo 2^64 while parsing, so its low 16 bits are exact.
    const uint16_t low = static_cast<uint16_t>(parsed.value & 0xFFFFu);
    return parsed.negative ? static_cast<uint16_t>(0x10000u - low) : low;
}

} // namespace portable
