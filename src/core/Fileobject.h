// Fileobject: one file on disk addressed by a normalised path, split into folder and file name,
// with the few operations the installer needs (existence-tolerant delete, size and times, folder
// chain and empty-file creation, whole-file read as text, locked append). It never logs and never
// holds the file open between operations. Callers create one per task and delete it after.
#pragma once

#include "Processsaferesourceuser.h"
#include "filepath.h"

#include <windows.h>

#include <cstdint>
#include <string>

// Reads from the file's current position until `length` bytes are in or the file ends; `got`
// tells how many came. False when a read fails (the thread's last error says why).
bool readFully(HANDLE file, void* buffer, size_t length, size_t* got);

class Fileobject : public Processsaferesourceuser {
public:
    // The platform's path limit: create, append and read refuse full paths this long or longer.
    static constexpr size_t MAX_FULL_PATH = 260;

    explicit Fileobject(std::wstring fullPath);
    Fileobject(std::wstring folder, std::wstring filename);
    ~Fileobject() override;
    int32_t getClassKind() const override { return 0; }

    std::wstring getFullPath() const { return fullPath; }
    std::wstring getPath() const { return path; }
    std::wstring getFilename() const { return filename; }
    std::wstring getFilenameWithoutExtension() const;

    bool createPath(const std::wstring& folder);
    bool createFile();
    bool deleteFile();
    uint64_t getFilesize();
    int64_t getModificationTime();
    bool setModificationTime(const SYSTEMTIME& localTime);
    bool appendToFile(const std::wstring& text);
    std::wstring readFile();

protected:
    bool exists() const;

    std::wstring filename;
    std::wstring path;
    std::wstring fullPath;
};
