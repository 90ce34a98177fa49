// Text helpers shared by every class: the one place where wide text is converted to and from
// the ANSI code page of the calling thread, and printf-style formatting into std::wstring.
// Wide string arguments of format texts are written as %ls.
#pragma once

#include <string>

namespace textutil {

// Wide text to the thread's ANSI code page (CP_THREAD_ACP); unrepresentable characters become
// the code page's default character.
std::string toAnsi(const std::wstring& text);
// Bytes of the thread's ANSI code page to wide text; decoding stops at the first zero byte.
std::wstring fromAnsi(const char* bytes, size_t length);
std::wstring fromAnsi(const std::string& bytes);
// UTF-8 texts (command lines, files the tests and tools exchange).
std::wstring fromUtf8(const std::string& bytes);
std::string toUtf8(const std::wstring& text);

// printf-style formatting; %ls for wide strings, %s for narrow ones.
std::wstring format(const wchar_t* fmt, ...);

} // namespace textutil
