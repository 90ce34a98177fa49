#include "filepath.h"

#include <windows.h>

std::wstring withForwardSlashes(std::wstring path)
{
    for (auto& c : path) {
        if (c == L'\\') {
            c = L'/';
        }
    }
    return path;
}

std::wstring withBackslashes(std::wstring path)
{
    for (auto& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path;
}

std::wstring normalizePath(std::wstring p)
{
    p = withForwardSlashes(std::move(p));
    if (p.rfind(L"//", 0) != 0) {
        std::wstring collapsed;
        collapsed.reserve(p.size());
        for (wchar_t c : p) {
            if (c == L'/' && !collapsed.empty() && collapsed.back() == L'/') {
                continue;
            }
            collapsed += c;
        }
        p.swap(collapsed);
    }
    while (!p.empty() && p.back() == L'/') {
        p.pop_back();
    }
    return p;
}

bool pathExists(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != FALSE;
}

bool folderExists(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != FALSE &&
           (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring folderOf(const std::wstring& fullPath)
{
    const size_t slash = fullPath.rfind(L'/');
    return slash == std::wstring::npos ? std::wstring() : fullPath.substr(0, slash);
}

std::wstring modulePath()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD got = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return normalizePath(std::wstring(buffer, got > MAX_PATH ? MAX_PATH : got));
}
