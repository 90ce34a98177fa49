// Threadsafeobject: capability base that gives an object a recursive lock for the threads of one
// process. The section is claimed atomically by thread id and waited for by polling every 1 ms;
// the owning thread may re-enter. Objects derive from it; nobody owns it on its own.
#pragma once

#include "cAbstract.h"

#include <atomic>
#include <cstdint>

class Threadsafeobject : public virtual cAbstract {
public:
    Threadsafeobject();
    ~Threadsafeobject() override;

    void beginThreadsaveSection();
    void endThreadsaveSection();

    int32_t getSectionCount() const { return sectionCount.load(); }
    uint32_t getSectionOwner() const { return sectionOwner.load(); }

protected:
    std::atomic<int32_t> sectionCount;
    std::atomic<uint32_t> sectionOwner;
};

// The claim-and-poll algorithm shared by the in-process and the cross-process recursion.
namespace sectionlock {
void enter(std::atomic<int32_t>& count, std::atomic<uint32_t>& owner);
// Leaves once; returns true when this call freed the section.
bool leave(std::atomic<int32_t>& count, std::atomic<uint32_t>& owner);
} // namespace sectionlock
