#include "updatertest.h"

#include "Fileobject.h"
#include "pebuilder.h"

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
    pebuilder::Options o;
    o.pe32plus = true;
    o.machine = kind == 3 ? 0x1234 : pebuilder::MACHINE_AMD64;
    o.dll = kind == 1;
    o.sizeOfHeaders = 0x200;
    // One section holding the rest of the file (one byte more than there is for kind 2).
    o.sections = {{0x200, static_cast<uint32_t>(n - 0x200 + (kind == 2 ? 1 : 0))}};
    o.size = n;
    return pebuilder::build(o).bytes;
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
