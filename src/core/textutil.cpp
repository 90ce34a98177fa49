#include "textutil.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <vector>

namespace textutil {

std::string toAnsi(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    int needed = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                       nullptr, nullptr);
    if (needed <= 0) {
        return {};
    }
    std::string out(static_cast<size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), needed, nullptr,
                          nullptr);
    return out;
}

std::wstring fromAnsi(const char* bytes, size_t length)
{
    size_t end = 0;
    while (end < length && bytes[end] != '\0') {
        ++end;
    }
    if (end == 0) {
        return {};
    }
    int needed = ::MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, static_cast<int>(end), nullptr, 0);
    if (needed <= 0) {
        return {};
    }
    std::wstring out(static_cast<size_t>(needed), L'\0');
    ::MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, static_cast<int>(end), out.data(), needed);
    return out;
}

std::wstring fromAnsi(const std::string& bytes) { return fromAnsi(bytes.data(), bytes.size()); }

std::wstring fromUtf8(const std::string& bytes)
{
    if (bytes.empty()) {
        return {};
    }
    int needed = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (needed <= 0) {
        return {};
    }
    std::wstring out(static_cast<size_t>(needed), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), needed);
    return out;
}

std::string toUtf8(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    const int needed =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return {};
    }
    std::string out(static_cast<size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), needed, nullptr, nullptr);
    return out;
}

std::wstring format(const wchar_t* fmt, ...)
{
    std::vector<wchar_t> buffer(256);
    for (;;) {
        va_list args;
        va_start(args, fmt);
        int written = std::vswprintf(buffer.data(), buffer.size(), fmt, args);
        va_end(args);
        if (written >= 0 && static_cast<size_t>(written) < buffer.size()) {
            return std::wstring(buffer.data(), static_cast<size_t>(written));
        }
        if (buffer.size() >= (1u << 24)) {
            return {};
        }
        buffer.resize(buffer.size() * 4);
    }
}

} // namespace textutil
