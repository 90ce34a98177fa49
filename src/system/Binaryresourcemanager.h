// Binaryresourcemanager: writes a binary resource embedded in the program's own executable out
// to a file, deciding first what happens to a file already at the target. The bytes go to a
// temporary file in the target's folder, which is renamed into place once complete and flushed:
// the target is never left half-written. Its one user is the
// telephony provider installation (cTSPmanager), which creates one for its lifetime and places
// the provider DLL in the system folder with it. It holds only the run's Logger pointer (not
// owned) and keeps no file open between calls.
#pragma once

#include "Loguser.h"
#include "resource.h"

#include <windows.h>

#include <cstdint>
#include <string>

class Binaryresourcemanager : public Loguser {
public:
    // The function names its log lines carry.
    static constexpr const wchar_t* FN_EXTRACT_RESOURCE = L"Binaryresourcemanager::extractResource";

    // The executable carries the provider in two builds (resource.h): the 32-bit DLL and the
    // 64-bit one. RESOURCE_ID is the build of the program's own bitness.
    static constexpr WORD RESOURCE_ID_32BIT = IDR_TSP_32BIT;
    static constexpr WORD RESOURCE_ID_64BIT = IDR_TSP_64BIT;
    static constexpr WORD RESOURCE_ID = sizeof(void*) == 8 ? RESOURCE_ID_64BIT : RESOURCE_ID_32BIT;

    explicit Binaryresourcemanager(Logger* logger);
    ~Binaryresourcemanager() override;
    int32_t getClassKind() const override { return 0; }

    // Writes the resource typeName / resourceId of the own module to targetPath (whose folder
    // must exist). An existing target is kept (result false) unless overrideExisting is set.
    // True only when every byte of the resource stands at targetPath; on failure the target is
    // as it was and no temporary file is left.
    bool extractResource(std::wstring typeName, WORD resourceId, std::wstring targetPath, bool overrideExisting);
    // The same for the build of the program's own bitness (RESOURCE_ID).
    bool extractResource(std::wstring typeName, std::wstring targetPath, bool overrideExisting);

private:
    // The bytes of a located resource; they live as long as the module.
    struct ResourceBytes {
        const void* data = nullptr;
        DWORD size = 0;
    };

    // Logs what is at the target; false when an existing file must be kept.
    bool prepareTarget(const std::wstring& targetPath, bool overrideExisting);
    // A new, empty file with a unique name in the target's folder; empty when none can be made.
    std::wstring createTemporaryFile(const std::wstring& targetPath);
    bool locateResource(const std::wstring& typeName, WORD resourceId, ResourceBytes& bytes);
    // Writes the bytes to the file and flushes them; the system error of the failure, or
    // ERROR_SUCCESS when every byte was written and the file closed.
    static DWORD writeFile(const std::wstring& path, const ResourceBytes& bytes);
    // Renames the complete temporary file to the target (replacing it when allowed).
    bool moveIntoPlace(const std::wstring& temporaryPath, const std::wstring& targetPath, bool overrideExisting);
};
