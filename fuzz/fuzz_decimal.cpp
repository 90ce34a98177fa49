// Fuzz target: the decimal and port parser against a plain reference that keeps the whole value
// in 128 bits (saturated). The input is read both as one character per byte and as 16-bit
// characters, so that wide characters that are not ASCII digits or blanks come in as well.
#include "decimal.h"

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

struct Reference {
    bool digits = false;
    bool negative = false;
    unsigned __int128 value = 0; // saturated just above 2^64
};

Reference reference(const std::wstring& text)
{
    Reference r;
    size_t i = 0;
    while (i < text.size() && std::wstring(L" \t\r\n\v\f").find(text[i]) != std::wstring::npos) {
        ++i;
    }
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        r.negative = text[i] == L'-';
        ++i;
    }
    const unsigned __int128 cap = static_cast<unsigned __int128>(1) << 70;
    uint64_t low = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        r.digits = true;
        const unsigned digit = static_cast<unsigned>(text[i] - L'0');
        low = low * 10 + digit;
        r.value = r.value * 10 + digit;
        if (r.value > cap) {
            r.value = cap;
        }
    }
    r.value = r.value > UINT64_MAX ? r.value : low;
    return r;
}

void check(const std::wstring& text)
{
    portable::DecimalValue parsed;
    const bool ok = portable::parseDecimal(text, &parsed);
    const Reference r = reference(text);
    require(ok == r.digits);
    if (!ok) {
        require(portable::parsePort(text) == 0);
        return;
    }
    require(parsed.negative == r.negative);
    require(parsed.overflow == (r.value > UINT64_MAX));
    if (!parsed.overflow) {
        require(parsed.value == static_cast<uint64_t>(r.value));
    }
    const uint16_t low = static_cast<uint16_t>(parsed.value & 0xFFFF);
    require(portable::parsePort(text) == (parsed.negative ? static_cast<uint16_t>(0x10000 - low) : low));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::wstring bytes;
    for (size_t i = 0; i < size; ++i) {
        bytes += static_cast<wchar_t>(data[i]);
    }
    check(bytes);
    std::wstring wide;
    for (size_t i = 0; i + 1 < size; i += 2) {
        wide += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    }
    check(wide);
    return 0;
}
