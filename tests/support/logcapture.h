// A real Logger writing into a scratch folder, and its lines parsed back into level, function
// name and message, for tests that check what a class logs; the queries over such lines (of one
// function, the level of a message).
#pragma once

#include "Logger.h"
#include "testsupport.h"
#include "textutil.h"

#include <memory>
#include <string>
#include <vector>

namespace logcapture {

struct Line {
    int level = -1; // 0 to 5 by the level column
    std::wstring function;
    std::wstring message;
};

// The lines of one function among lines, in order.
inline std::vector<Line> linesOf(const std::vector<Line>& lines, const std::wstring& function)
{
    std::vector<Line> out;
    for (const Line& l : lines) {
        if (l.function == function) {
            out.push_back(l);
        }
    }
    return out;
}

// The messages of one function among lines, in order.
inline std::vector<std::wstring> messagesOf(const std::vector<Line>& lines, const std::wstring& function)
{
    std::vector<std::wstring> out;
    for (const Line& l : linesOf(lines, function)) {
        out.push_back(l.message);
    }
    return out;
}

// The level of the first line with this message, -1 when none has it.
inline int levelOf(const std::vector<Line>& lines, const std::wstring& message)
{
    for (const Line& l : lines) {
        if (l.message == message) {
            return l.level;
        }
    }
    return -1;
}

class Capture {
public:
    Capture() : dir_(L"log"), logger_(new Logger(dir_.path(), L"test.log", L"cTest(1)")) {}
    Logger* logger() const { return logger_.get(); }
    std::wstring path() const { return dir_.file(L"test.log"); }

    // Every line written so far (the header block included, as level 0).
    std::vector<Line> lines() const
    {
        std::vector<Line> out;
        const std::string text = testsupport::readBytes(path());
        for (const std::string& raw : testsupport::splitLines(text)) {
            if (raw.empty()) {
                continue;
            }
            const std::wstring l = textutil::fromAnsi(raw);
            Line line;
            for (int i = 0; i < 6; ++i) {
                if (l.rfind(Logger::LOG_LEVEL_NAMES[i], 0) == 0) {
                    line.level = i;
                }
            }
            const size_t tabs = l.find(L"\t\t");
            if (tabs != std::wstring::npos) {
                std::wstring rest = l.substr(tabs + 2);
                const size_t blank = rest.find(L' ');
                line.function = rest.substr(0, blank);
                size_t start = blank == std::wstring::npos ? rest.size() : blank;
                while (start < rest.size() && rest[start] == L' ') {
                    ++start;
                }
                line.message = rest.substr(start);
            }
            out.push_back(line);
        }
        return out;
    }

    // The lines of one function, in order.
    std::vector<Line> of(const std::wstring& function) const { return linesOf(lines(), function); }

    // Lines written from now on only.
    void mark() { skip_ = lines().size(); }
    std::vector<Line> fresh() const
    {
        std::vector<Line> all = lines();
        return std::vector<Line>(all.begin() + static_cast<std::ptrdiff_t>(skip_ < all.size() ? skip_ : all.size()),
                                 all.end());
    }

private:
    testsupport::TempDir dir_;
    std::unique_ptr<Logger> logger_;
    size_t skip_ = 0;
};

} // namespace logcapture
