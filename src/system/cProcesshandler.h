// cProcesshandler: one process of one executable, run by one user account. It finds such a
// process among the running ones, tells whether it still runs, stops it (first with WM_QUIT to its
// first thread, then by force) and starts the executable anew. A process only counts as the handled
// one when its ID, the path of the executable it runs and the account that owns it all match, so a
// process of another user or a reused process ID is never touched. The handler writes no log
// lines (its callers log) and holds no process handle between calls. Whoever creates one (the
// older-versions stage, the restart, or findProcess's caller) owns it and drops it right after its job; the
// Logger pointer is not owned.
#pragma once

#include "Loguser.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class Fileobject;
class Logger;

class cProcesshandler : public Loguser {
public:
    // The buffer that startProcess composes its command line in, terminator included. A command
    // line that does not fit is refused.
    static constexpr size_t COMMAND_LINE_CAPACITY = 260;
    // Polite and forced stop: rounds of sleeping and looking again.
    static constexpr int STOP_ROUNDS = 20;
    static constexpr unsigned long STOP_ROUND_MS = 50;
    // startProcess: how long the new process may take to become ready, and to be seen running.
    static constexpr unsigned long INPUT_IDLE_WAIT_MS = 2000;
    static constexpr unsigned long START_POLL_LIMIT_MS = 7000;
    // A refused start is tried again, this many times in all, this far apart: a file just written
    // may still be held for a moment (a virus scanner looks at every new program).
    static constexpr int START_ATTEMPTS = 6;
    static constexpr unsigned long START_RETRY_MS = 400;

    // For starting the executable: no process is known yet.
    cProcesshandler(Logger* logger, const std::wstring& executablePath, const std::wstring& userName);
    // For a process that was found.
    cProcesshandler(Logger* logger, const std::wstring& executablePath, uint32_t processId,
                    const std::wstring& userName);
    ~cProcesshandler() override;
    cProcesshandler(const cProcesshandler&) = delete;
    cProcesshandler& operator=(const cProcesshandler&) = delete;
    int32_t getClassKind() const override { return 0; }

    // The first running process whose executable path ends with name (ASCII letter case ignored)
    // and that belongs to user; a new handler the caller owns, or null.
    static std::unique_ptr<cProcesshandler> findProcess(Logger* logger, const std::wstring& name,
                                                        const std::wstring& user);

    bool isProcessRunning();
    // True when the process no longer runs (also when it was gone already).
    bool stopProcess();
    // True when the started process is seen running within the polling time.
    bool startProcess(const std::wstring& arguments);
    // After a failed startProcess: the system error of the refused start, or 0 when the process
    // was started but not seen running.
    unsigned long getStartError() const { return startError; }

    // The normalised, lower-case path of the executable of process id when the process belongs to
    // user (exact comparison) and that path ends with name; otherwise empty.
    static std::wstring getProcessPath(uint32_t id, const std::wstring& name, const std::wstring& user);

    uint32_t getProcessId() const { return processId; }
    std::wstring getUserName() const { return userName; }
    std::wstring getExecutablePath() const;

private:
    // Up to STOP_ROUNDS rounds of sleeping STOP_ROUND_MS; true when the process has ended.
    bool waitUntilEnded();

    uint32_t processId = 0;
    unsigned long startError = 0;
    std::wstring userName;
    std::unique_ptr<Fileobject> executable;
};
