// asciicase: the installer's one case folding, for names the platform compares without regard to
// case (executable names, provider file names, protocols). Only A-Z and a-z are folded.
#pragma once

#include <string>
#include <string_view>

namespace portable {

std::wstring asciiLower(std::wstring text);
bool equalsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b);

} // namespace portable
