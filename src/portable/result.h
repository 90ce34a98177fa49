// result: what a step of our own code reports when it can fail. One type for the update steps
// and the parsers alike: a code (0 when the step did its work, otherwise the caller's own code
// for the failure), the system's error code behind the failure (0 when none) and a short reason
// for the log. Interfaces that the rest of the program calls with their own return types (a
// bool, a result code, the thread's last error) convert at their edge.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace portable {

struct [[nodiscard]] Result {
    // The code of a step that failed without a code of its own (a parser's malformed input).
    static constexpr int32_t FAILED = -1;

    int32_t code = 0;
    uint32_t systemError = 0;
    std::string reason;

    bool ok() const { return code == 0; }
    explicit operator bool() const { return ok(); }

    static Result done() { return {}; }
    // A fixed text: taken by its address (result.cpp), so that the text stands whole in the
    // program, where a search of the binary finds it, rather than built from inlined pieces.
    static Result failed(const char* reason, int32_t code = FAILED, uint32_t systemError = 0);
    static Result failed(std::string reason, int32_t code = FAILED, uint32_t systemError = 0)
    {
        Result r;
        r.code = code == 0 ? FAILED : code;
        r.systemError = systemError;
        r.reason = std::move(reason);
        return r;
    }
    // A failure with the caller's code and the system error code met (no reason text).
    static Result failedWith(int32_t code, uint32_t systemError) { return failed(std::string(), code, systemError); }
};

} // namespace portable
