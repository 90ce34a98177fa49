// Processsaferesourceuser: capability base that adds a lock shared by every process using the
// same named resource (for files, the full path). The lock is the existence of a named mutex
// with a null DACL: the holder keeps the only handle; waiters create and close a handle every
// millisecond until the name is gone, either without limit or up to a time limit after which
// they go on without the mutex. Recursive for the owning thread. Objects derive from it.
#pragma once

#include "Threadsafeobject.h"

#include <windows.h>

#include <string>

class Processsaferesourceuser : public Threadsafeobject {
public:
    Processsaferesourceuser();
    ~Processsaferesourceuser() override;

    // A nested entry of the owning thread joins the outer entry and never waits.
    // Waits without limit while another holder has the mutex.
    void beginProcesssaveSection(const std::wstring& name, int32_t global);
    // Waits at most limitMs; false when the limit passed while another holder kept the mutex:
    // the section is then entered without cross-process exclusion (leave it as usual). True when
    // the mutex is held, or could not be created at all (nothing to wait for).
    bool beginProcesssaveSection(const std::wstring& name, int32_t global, uint32_t limitMs);
    bool endProcesssaveSection();

    // The mutex name used for a resource name (backslashes to "/", the 260 - length rule).
    static std::wstring mutexName(const std::wstring& name, int32_t global);

    static constexpr uint32_t NO_LIMIT = 0xFFFFFFFF;

    int32_t isMutexHeld() const { return mutexHeld; }
    int32_t getProcessSectionCount() const { return processSectionCount.load(); }

protected:
    // Creates the named mutex until this object is its first creator; false when limitMs passed
    // first. True also when no handle came back at all (the section goes on without the mutex).
    bool claimMutex(const std::wstring& mutex, SECURITY_ATTRIBUTES& attributes, uint32_t limitMs);

    int32_t mutexHeld;
    HANDLE mutexHandle;
    std::atomic<int32_t> processSectionCount;
    std::atomic<uint32_t> processSectionOwner;
};
