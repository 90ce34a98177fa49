#include "cProcesshandler.h"

#include "asciicase.h"

#include "Fileobject.h"
#include "handles.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

namespace {

constexpr DWORD ACCOUNT_NAME_CAPACITY = 256;

bool endsWith(const std::wstring& text, const std::wstring& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The account name that owns the process, or empty when any step fails.
std::wstring processOwner(HANDLE process)
{
    handles::Kernel token;
    if (!::OpenProcessToken(process, TOKEN_QUERY, token.put())) {
        return {};
    }
    DWORD size = 0;
    if (::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) {
        return {};
    }
    handles::ProcessHeap info(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    if (info.get() == nullptr || !::GetTokenInformation(token.get(), TokenUser, info.get(), size, &size)) {
        return {};
    }
    const auto* tokenUser = static_cast<const TOKEN_USER*>(info.get());
    wchar_t name[ACCOUNT_NAME_CAPACITY] = {};
    wchar_t domain[ACCOUNT_NAME_CAPACITY] = {};
    DWORD nameLength = ACCOUNT_NAME_CAPACITY;
    DWORD domainLength = ACCOUNT_NAME_CAPACITY;
    SID_NAME_USE use;
    if (!::LookupAccountSidW(nullptr, tokenUser->User.Sid, name, &nameLength, domain, &domainLength, &use)) {
        return {};
    }
    name[ACCOUNT_NAME_CAPACITY - 1] = L'\0';
    return name;
}

// Full path of the first module (the executable) of the process, or empty. It is the main module's
// entry of the process's loader list, the entry a module snapshot lists first; read directly it
// costs a few reads of the process's memory instead of a copy of its whole module list.
std::wstring firstModulePath(HANDLE process)
{
    wchar_t path[MAX_PATH] = {};
    const DWORD got = ::GetModuleFileNameExW(process, nullptr, path, MAX_PATH);
    if (got == 0 || got >= MAX_PATH) {
        return {};
    }
    return std::wstring(path, got);
}

} // namespace

cProcesshandler::cProcesshandler(Logger* logger, const std::wstring& executablePath, const std::wstring& userName)
    : cProcesshandler(logger, executablePath, 0, userName)
{
}

cProcesshandler::cProcesshandler(Logger* logger, const std::wstring& executablePath, uint32_t processId,
                                 const std::wstring& userName)
    : Loguser(logger), processId(processId), userName(userName),
      executable(std::make_unique<Fileobject>(executablePath))
{
}

cProcesshandler::~cProcesshandler() = default;

std::wstring cProcesshandler::getExecutablePath() const { return executable->getFullPath(); }

std::wstring cProcesshandler::getProcessPath(uint32_t id, const std::wstring& name, const std::wstring& user)
{
    // Account names are never empty, and an empty name would be a suffix of every path.
    if (user.empty() || name.empty()) {
        return {};
    }
    // Memory reading: the executable's path is read from the process's loader list.
    handles::Kernel process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id));
    if (!process) {
        return {};
    }
    // The owner is asked last: reading it costs more than the path, and most processes are
    // passed over by their path already.
    const std::wstring modulePath = firstModulePath(process.get());
    if (modulePath.empty()) {
        return {};
    }
    const std::wstring wanted = portable::asciiLower(name);
    // The long form differs from the path as loaded only where a component is in short (8.3)
    // form, and short names carry a '~': any other path that does not end with the name already
    // will not end with it in long form either, and is passed over without asking the file system.
    if (modulePath.find(L'~') == std::wstring::npos &&
        !endsWith(portable::asciiLower(normalizePath(modulePath)), wanted)) {
        return {};
    }
    wchar_t longPath[MAX_PATH] = {};
    const DWORD got = ::GetLongPathNameW(modulePath.c_str(), longPath, MAX_PATH);
    if (got == 0 || got >= MAX_PATH) {
        return {};
    }
    const std::wstring path = portable::asciiLower(normalizePath(std::wstring(longPath, got)));
    if (!endsWith(path, wanted) || processOwner(process.get()) != user) {
        return {};
    }
    return path;
}

std::unique_ptr<cProcesshandler> cProcesshandler::findProcess(Logger* logger, const std::wstring& name,
                                                              const std::wstring& user)
{
    handles::Kernel snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return nullptr;
    }
    PROCESSENTRY32W entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(entry);
    if (!::Process32FirstW(snapshot.get(), &entry)) {
        return nullptr;
    }
    do {
        const std::wstring path = getProcessPath(entry.th32ProcessID, name, user);
        if (!path.empty()) {
            return std::make_unique<cProcesshandler>(logger, path, entry.th32ProcessID, user);
        }
    } while (::Process32NextW(snapshot.get(), &entry));
    return nullptr;
}

bool cProcesshandler::isProcessRunning()
{
    if (processId == 0) {
        return false;
    }
    const std::wstring full = executable->getFullPath();
    const std::wstring path = getProcessPath(processId, full, userName);
    return !path.empty() && path == portable::asciiLower(full);
}

bool cProcesshandler::waitUntilEnded()
{
    for (int round = 0; round < STOP_ROUNDS; ++round) {
        ::Sleep(STOP_ROUND_MS);
        if (!isProcessRunning()) {
            return true;
        }
    }
    return false;
}

bool cProcesshandler::stopProcess()
{
    if (!isProcessRunning()) {
        return true;
    }

    // Politely: WM_QUIT to the process's first thread ends its message loop.
    DWORD firstThread = 0;
    {
        handles::Kernel snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
        if (snapshot) {
            THREADENTRY32 entry;
            ZeroMemory(&entry, sizeof(entry));
            entry.dwSize = sizeof(entry);
            if (::Thread32First(snapshot.get(), &entry)) {
                do {
                    if (entry.th32OwnerProcessID == processId && entry.th32ThreadID != 0) {
                        firstThread = entry.th32ThreadID;
                        break;
                    }
                } while (::Thread32Next(snapshot.get(), &entry));
            }
        }
    }
    bool ended = false;
    if (firstThread != 0 && ::PostThreadMessageW(firstThread, WM_QUIT, 0, 0)) {
        ended = waitUntilEnded();
    }

    // By force.
    if (!ended && isProcessRunning()) {
        handles::Kernel process(::OpenProcess(PROCESS_TERMINATE, FALSE, processId));
        if (process) {
            ::TerminateProcess(process.get(), 0);
        }
        process.reset();
        waitUntilEnded();
    }

    if (isProcessRunning()) {
        return false;
    }
    processId = 0;
    return true;
}

bool cProcesshandler::startProcess(const std::wstring& arguments)
{
    const std::wstring full = executable->getFullPath();
    std::wstring command = full.find(L' ') != std::wstring::npos ? L"\"" + full + L"\"" : full;
    command += L" ";
    command += arguments;
    // The composed command line and its terminator must fit the buffer; a longer one is refused
    // rather than cut, which would start the program with other arguments than asked for.
    startError = 0;
    if (command.size() + 1 > COMMAND_LINE_CAPACITY) {
        startError = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    wchar_t commandLine[COMMAND_LINE_CAPACITY] = {};

    std::wstring folder = executable->getPath();
    if (folder.size() == 2 && folder[1] == L':') {
        folder += L'/'; // "C:" alone would mean the drive's current folder, not its root
    }
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION created;
    ZeroMemory(&created, sizeof(created));
    for (int attempt = 1;; ++attempt) {
        // A fresh copy for every attempt: CreateProcessW may write into the command line it is given.
        command.copy(commandLine, command.size());
        commandLine[command.size()] = L'\0';
        if (::CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr,
                             folder.empty() ? nullptr : folder.c_str(), &startup, &created)) {
            startError = 0;
            break;
        }
        startError = ::GetLastError();
        if (attempt == START_ATTEMPTS) {
            return false;
        }
        ::Sleep(START_RETRY_MS);
    }
    handles::Kernel process(created.hProcess);
    handles::Kernel thread(created.hThread);

    processId = created.dwProcessId;
    ::WaitForInputIdle(process.get(), INPUT_IDLE_WAIT_MS);

    const DWORD pollStart = ::GetTickCount();
    for (;;) {
        ::Sleep(1);
        if (isProcessRunning() || ::GetTickCount() - pollStart > START_POLL_LIMIT_MS) {
            break;
        }
    }
    thread.reset();
    process.reset();
    return isProcessRunning();
}
