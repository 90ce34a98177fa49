// What the updater's unit tests share besides the loopback server: the bodies they have served
// (a program image of a given size), the test's own log file read back line by line, and dates.
#pragma once

#include "handles.h"
#include "testsupport.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

extern const wchar_t* const UPDATER_AGENT;
// The update request's object.
extern const std::wstring UPDATE_OBJECT;

// n bytes where byte i is i % 251 (the server's generated body).
std::string patternBytes(size_t n);
// A complete x86-64 program image of n bytes (n > 512): headers, one section holding the rest of
// the file, filled with the pattern. kind: 0 a program, 1 a DLL, 2 a section that ends beyond the
// file, 3 a program for a machine nobody has.
std::string programBytes(size_t n, int kind = 0);

// A log file written by a Logger, read back.
class Logfile {
public:
    explicit Logfile(std::wstring path) : path_(std::move(path)) {}
    std::vector<std::string> lines() const;
    std::string dump() const;
    // A line of this level (1..5), function and message.
    bool logged(int level, const std::wstring& function, const std::string& message) const;

private:
    std::wstring path_;
};

// Lines that start with prefix ("ERROR   - ") and contain part.
int countLevel(const std::vector<std::string>& lines, const char* prefix, const std::string& part);
// The lines from index from on.
std::vector<std::string> linesFrom(const std::vector<std::string>& lines, size_t from);

// The platform's temporary folder, normalised.
std::wstring tempFolder();
// Files named "<folder>/<stem>.*.tmp" (downloads or staged copies left behind) in the folders.
int leftoverDownloads(const std::vector<std::wstring>& folders, const std::wstring& stem);

} // namespace testsupport
