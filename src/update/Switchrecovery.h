// Switchrecovery: cleans up at start-up after an update that was cut off (a kill, a power loss)
// before its switch was done. Such an update leaves, beside the program, its private copy
// "<file>.<16 hex digits>.tmp" (partial, or complete but never put in place); the program that
// starts under the name is whole, so the copy is removed and the next update fetches its build
// again. Runs once the single-instance check has passed, so no other run's copy is in the making.
// Created by cCV_INSTALLER for one call; it borrows the Logger.
#pragma once

#include "Loguser.h"

#include <string>

class Switchrecovery : public Loguser {
public:
    static constexpr const wchar_t* FN_RECOVER = L"Switchrecovery::removeLeftovers";

    explicit Switchrecovery(Logger* logger);
    int32_t getClassKind() const override { return 0; }

    // ownPath: the full path of the running program. Returns the number of files removed.
    int removeLeftovers(const std::wstring& ownPath);
    // The copies "<filename>.<16 hex digits>.tmp" in folder (ending in a separator) but keep (a
    // name, may be empty): also the private download files in the temporary folder that a cut-off
    // transfer left without a record. A copy still open in another run cannot be deleted and stays.
    int removeCopies(const std::wstring& folder, const std::wstring& filename, const std::wstring& keep);

    // True for "<filename>.<16 hex digits>.tmp" (the letters of the name in any case).
    static bool isLeftoverName(const std::wstring& name, const std::wstring& filename);
};
