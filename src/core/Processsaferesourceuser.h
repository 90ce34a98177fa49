// Processsaferesourceuser: capability base that adds a lock shared by every process using the
// same named resource (for files, the full path). The lock is the existence of a named mutex
// with a null DACL: the holder keeps the only handle; waiters create and close a handle every
// millisecond until the name is gone. Recursive for the owning thread. Objects derive from it.
#pragma once

#include "Threadsafeobject.h"

#include <windows.h>

#include <string>

class Processsaferesourceuser : public Threadsafeobject {
public:
    Processsaferesourceuser();
    ~Processsaferesourceuser() override;

    void beginProcesssaveSection(const std::wstring& name, int32_t global);
    bool endProcesssaveSection();

    // The mutex name used for a resource name (backslashes to "/", the 260 - length rule).
    static std::wstring mutexName(const std::wstring& name, int32_t global);

    int32_t isMutexHeld() const { return mutexHeld; }
    int32_t getProcessSectionCount() const { return processSectionCount.load(); }

protected:
    int32_t mutexHeld;
    HANDLE mutexHandle;
    std::atomic<int32_t> processSectionCount;
    std::atomic<uint32_t> processSectionOwner;
};
