// Binaryresourcemanager: writes a binary resource embedded in the program's own executable out
// to a file, deciding first what happens to a file already at the target. Its one user is the
// telephony provider installation (cTSPmanager), which creates one for its lifetime and places
// the provider DLL in the system folder with it. It holds only the run's Logger pointer (not
// owned) and keeps no file open between calls.
#pragma once

#include "Loguser.h"

#include <windows.h>

#include <cstdint>
#include <string>

class Binaryresourcemanager : public Loguser {
public:
    // The executable carries the provider in two builds: id 5 is the 32-bit DLL, id 6 the 64-bit
    // one. A program extracts the build of its own bitness (the shipped 32-bit installer: id 5).
    static constexpr WORD RESOURCE_ID_32BIT = 5;
    static constexpr WORD RESOURCE_ID_64BIT = 6;
    static constexpr WORD RESOURCE_ID = sizeof(void*) == 8 ? RESOURCE_ID_64BIT : RESOURCE_ID_32BIT;

    explicit Binaryresourcemanager(Logger* logger);
    ~Binaryresourcemanager() override;
    int32_t getClassKind() const override { return 0; }

    // Writes the resource typeName / RESOURCE_ID of the own module to targetPath (whose folder
    // must exist). An existing target is kept (result false) unless overrideExisting is set.
    // True only when the file was created and every byte of the resource was written to it.
    bool extractResource(std::wstring typeName, std::wstring targetPath, bool overrideExisting);
};
