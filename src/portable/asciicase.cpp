#include "asciicase.h"

namespace portable {

namespace {
wchar_t lower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }
} // namespace

std::wstring asciiLower(std::wstring text)
{
    for (auto& c : text) {
        c = lower(c);
    }
    return text;
}

bool equalsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

} // namespace portable
