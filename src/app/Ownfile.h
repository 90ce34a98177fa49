// Ownfile: the installer's own executable file, read once at start-up through one handle. Its
// bytes serve both the check of the installer's own signature (on a thread of its own) and the
// deployment block, so that both judge the very same bytes. A file that cannot be opened or read
// whole (a sharing or byte-range lock, a network share that fails) is unreadable: the pin
// decision then refuses every update rather than take the file for unsigned. Made by
// cCV_INSTALLER in stage 6 and shared, read-only, with the thread of the own check.
#pragma once

#include "Publisherpin.h"
#include "readat.h"

#include <windows.h>

class Logger;

#include <cstdint>
#include <memory>
#include <string>

class Ownfile {
public:
    // The largest own file read (the download's limit too): an installer is a few MiB.
    static constexpr uint64_t MAX_SIZE = 1073741824;

    // Reads the whole file at path; never fails as a call (an unreadable file says so).
    static std::shared_ptr<const Ownfile> read(const std::wstring& path);

    bool readable() const { return systemError == NO_ERROR; }
    // The platform's code of the failed open or read (ERROR_FILE_TOO_LARGE past MAX_SIZE).
    DWORD error() const { return systemError; }
    // Why the file is unreadable, in words for the log ("the installer's own file cannot be read
    // (system error 33)"); empty when it was read.
    std::wstring unreadableReason() const;

    uint64_t size() const { return bytes.size(); }
    // Reads from the bytes in memory (valid while this object lives).
    portable::ReadAt reader() const;
    // Whether the file has a certificate-table entry at all, valid or not: such a file is judged
    // by its signature, never taken for unsigned.
    bool hasCertificateTable() const;
    // The deployment block: from the first marker to the end (portable::deploymentBlockOfBytes);
    // empty without one or when the file is unreadable.
    std::wstring deploymentBlock() const;
    // The check of the file's own signature on these bytes (unreadable, unsigned, or the
    // outcome); logger: for the lines that frame a check, under the caller's function name.
    Publisherpin::OwnSignature checkSignature(Logger* logger, const wchar_t* function) const;

private:
    std::string bytes;
    DWORD systemError = NO_ERROR;
};
