// Fileswitch: puts a checked download in place of the target. The flushed download is first put
// beside the target under a private name (renamed there on the same volume, copied write-through
// and flushed from another one) and given the previous version's attributes and access list, so
// that the switch itself is two renames in one folder: the target to its backup name (an older
// backup goes first, read-only or not), then the download, through its handle, to the target's
// name. When that second rename fails the previous version goes back to its name. A kill before
// the first rename leaves the previous version and a private file that the next start removes
// (Switchrecovery); a kill between the two renames leaves the target's name empty and the previous
// version complete under its backup name. Created by cWebupdater for one switch; it borrows the
// Logger.
#pragma once

#include "Downloadfile.h"
#include "Loguser.h"
#include "result.h"

#include <windows.h>

#include <string>

class Fileswitch : public Loguser {
public:
    explicit Fileswitch(Logger* logger);
    int32_t getClassKind() const override { return 0; }

    // target is the full path of folder/filename. Fails with updateterms::UPDATE_SWITCH_FAILED and
    // the system error of the step that failed; the download is then still open (the caller
    // deletes it).
    portable::Result switchFiles(const std::wstring& target, Downloadfile* download, const std::wstring& folder,
                                 const std::wstring& filename);

protected:
    // The final rename into place (the seam of the rollback tests).
    virtual portable::Result moveIntoPlace(Downloadfile* download, const std::wstring& target);

private:
    // A download on another volume than the target is first copied beside it (write-through).
    portable::Result stageBesideTarget(Downloadfile* download, const std::wstring& folder,
                                       const std::wstring& filename);
    portable::Result moveBesideTarget(Downloadfile* download, const std::wstring& folder, const std::wstring& filename);
    static portable::Result copyInto(Downloadfile* from, Downloadfile* to);
    static bool clearOldBackup(const std::wstring& backupPath);
    portable::Result restorePrevious(const std::wstring& backupPath, const std::wstring& target,
                                     const portable::Result& failed);
    // Before the swap: the previous version's attributes and access list on the new file.
    void copyAttributesAndAccessList(const std::wstring& from, const std::wstring& to);
};
