#include "Threadsafeobject.h"

#include <windows.h>

namespace sectionlock {

void enter(std::atomic<int32_t>& count, std::atomic<uint32_t>& owner)
{
    const uint32_t self = ::GetCurrentThreadId();
    for (;;) {
        int32_t expected = 0;
        if (count.compare_exchange_strong(expected, 1)) {
            owner.store(self);
            return;
        }
        // Only the owner can see its own id here, and only it changes the count while it is held.
        if (owner.load() == self) {
            count.fetch_add(1);
            return;
        }
        ::Sleep(1);
    }
}

bool leave(std::atomic<int32_t>& count, std::atomic<uint32_t>& owner)
{
    int32_t current = count.load();
    if (current <= 0) {
        return false;
    }
    if (current == 1) {
        // Clear the owner before the count becomes 0, so a thread that claims the free section
        // right afterwards cannot have its id overwritten.
        owner.store(0);
        count.store(0);
        return true;
    }
    count.fetch_sub(1);
    return false;
}

} // namespace sectionlock

Threadsafeobject::Threadsafeobject() : sectionCount(0), sectionOwner(0) {}

Threadsafeobject::~Threadsafeobject() = default;

void Threadsafeobject::beginThreadsaveSection() { sectionlock::enter(sectionCount, sectionOwner); }

void Threadsafeobject::endThreadsaveSection() { sectionlock::leave(sectionCount, sectionOwner); }
