#include "updatertest.h"

#include "Fileobject.h"

#include <algorithm>
#include <cstring>

namespace testsupport {

const wchar_t* const UPDATER_AGENT = L"Callvane installer - Webupdate";
const std::wstring UPDATE_OBJECT = L"/vazu/public/req?getCVupdate&var=cvmode:on&var=cvversion:3.39-QRN32-VLM6.52578";

std::string patternBytes(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>(i % 251);
    }
    return s;
}

std::string programBytes(size_t n, int kind)
{
    std::string s = patternBytes(n);
    auto put16 = [&](size_t at, uint16_t v) {
        s[at] = static_cast<char>(v & 0xFF);
        s[at + 1] = static_cast<char>(v >> 8);
    };
    auto put32 = [&](size_t at, uint32_t v) {
        put16(at, static_cast<uint16_t>(v & 0xFFFF));
        put16(at + 2, static_cast<uint16_t>(v >> 16));
    };
    std::fill(s.begin(), s.begin() + 0x200, '\0');
    s[0] = 'M';
    s[1] = 'Z';
    put32(0x3C, 0x40);
    s[0x40] = 'P';
    s[0x41] = 'E';
    put16(0x44, kind == 3 ? 0x1234 : 0x8664);   // machine
    put16(0x46, 1);                             // one section
    put16(0x54, 240);                           // PE32+ optional header
    put16(0x56, kind == 1 ? 0x2022 : 0x0022);   // executable, large addresses (, DLL)
    put16(0x58, 0x20B);                         // PE32+
    put16(0x58 + 68, 2);                        // GUI subsystem
    std::memcpy(&s[0x148], ".text", 5);         // section table after the optional header
    put32(0x148 + 8, static_cast<uint32_t>(n)); // virtual size
    put32(0x148 + 12, 0x1000);                  // virtual address
    put32(0x148 + 16, static_cast<uint32_t>(n - 0x200 + (kind == 2 ? 1 : 0))); // raw size
    put32(0x148 + 20, 0x200);                                                  // raw data offset
    return s;
}

std::vector<std::string> Logfile::lines() const { return splitLines(readBytes(path_)); }

std::string Logfile::dump() const { return readBytes(path_); }

bool Logfile::logged(int level, const std::wstring& functionName, const std::string& message) const
{
    static const char* const prefixes[] = {"off     - ", "FATAL   - ", "ERROR   - ",
                                           "WARNING - ", "message - ", "debug   - "};
    const std::string function = narrow(functionName);
    for (const auto& l : lines()) {
        if (l.rfind(prefixes[level], 0) != 0 || l.size() < message.size()) {
            continue;
        }
        const size_t at = l.find(function + " ");
        if (at != std::string::npos && l.compare(l.size() - message.size(), message.size(), message) == 0 &&
            l.find_first_not_of(' ', at + function.size()) == l.size() - message.size()) {
            return true;
        }
    }
    return false;
}

int countLevel(const std::vector<std::string>& lines, const char* prefix, const std::string& part)
{
    int n = 0;
    for (const auto& l : lines) {
        n += l.rfind(prefix, 0) == 0 && l.find(part) != std::string::npos ? 1 : 0;
    }
    return n;
}

std::vector<std::string> linesFrom(const std::vector<std::string>& lines, size_t from)
{
    return std::vector<std::string>(lines.begin() + static_cast<long>(std::min(from, lines.size())), lines.end());
}

std::wstring tempFolder()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH, buffer);
    return normalizePath(buffer);
}

int leftoverDownloads(const std::vector<std::wstring>& folders, const std::wstring& stem)
{
    int count = 0;
    for (const std::wstring& folder : folders) {
        WIN32_FIND_DATAW found;
        const std::wstring pattern = folder + L"/" + stem + L".*.tmp";
        HANDLE h = ::FindFirstFileW(pattern.c_str(), &found);
        if (h == INVALID_HANDLE_VALUE) {
            continue;
        }
        do {
            ++count;
        } while (::FindNextFileW(h, &found));
        ::FindClose(h);
    }
    return count;
}

} // namespace testsupport
