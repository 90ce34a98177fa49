// The in-process recursive section and the cross-process named-mutex section.
#include "Fileobject.h"
#include "Processsaferesourceuser.h"
#include "Threadsafeobject.h"
#include "handles.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

class Lockable : public Processsaferesourceuser {
public:
    int32_t getClassKind() const override { return 0; }
};

bool mutexExists(const std::wstring& name)
{
    HANDLE h = ::OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
    if (h == nullptr) {
        return false;
    }
    closeHandle(h);
    return true;
}

} // namespace

TEST(Threadsafeobject, RecursiveEntryAndWaitingThread)
{
    Lockable object;
    object.beginThreadsaveSection();
    object.beginThreadsaveSection();
    object.beginThreadsaveSection();
    EXPECT_EQ(object.getSectionCount(), 3);
    EXPECT_EQ(object.getSectionOwner(), ::GetCurrentThreadId());

    std::atomic<bool> entered{false};
    std::thread other([&] {
        object.beginThreadsaveSection();
        entered = true;
        object.endThreadsaveSection();
    });
    ::Sleep(50);
    object.endThreadsaveSection();
    object.endThreadsaveSection();
    ::Sleep(30);
    EXPECT_FALSE(entered.load()) << "the other thread got in while the section was still held";
    object.endThreadsaveSection();
    other.join();
    EXPECT_TRUE(entered.load());
    EXPECT_EQ(object.getSectionCount(), 0);
    EXPECT_EQ(object.getSectionOwner(), 0u);

    // Leaving a free section does nothing.
    object.endThreadsaveSection();
    EXPECT_EQ(object.getSectionCount(), 0);
}

TEST(Threadsafeobject, ManyThreadsNeverShareTheSection)
{
    Lockable object;
    int inside = 0;
    std::atomic<int> overlaps{0};
    auto work = [&] {
        for (int i = 0; i < 200; ++i) {
            object.beginThreadsaveSection();
            if (++inside != 1) {
                ++overlaps;
            }
            --inside;
            object.endThreadsaveSection();
        }
    };
    std::thread a(work), b(work), c(work);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(overlaps.load(), 0);
}

TEST(Processsaferesourceuser, MutexNames)
{
    EXPECT_EQ(Processsaferesourceuser::mutexName(L"C:\\x\\y.log", 1), L"Global\\C:/x/y.log");
    EXPECT_EQ(Processsaferesourceuser::mutexName(L"C:\\x\\y.log", 0), L"C:/x/y.log");
    const std::wstring n130(130, L'a');
    EXPECT_EQ(Processsaferesourceuser::mutexName(n130, 1), L"Global\\" + n130);
    std::wstring n200;
    for (int i = 0; i < 200; ++i) {
        n200 += static_cast<wchar_t>(L'a' + i % 26);
    }
    EXPECT_EQ(Processsaferesourceuser::mutexName(n200, 1), L"Global\\" + n200.substr(0, 60));
}

TEST(Processsaferesourceuser, NamedMutexExistsWhileHeldAndRecursionCounts)
{
    testsupport::TempDir dir;
    const std::wstring resource = dir.file(L"res.log");
    const std::wstring name = Processsaferesourceuser::mutexName(resource, 1);
    Lockable object;
    EXPECT_FALSE(object.endProcesssaveSection()) << "leaving a free section returns false";

    object.beginProcesssaveSection(resource, 1);
    EXPECT_EQ(object.isMutexHeld(), 1);
    EXPECT_TRUE(mutexExists(name));
    object.beginProcesssaveSection(resource, 1);
    EXPECT_EQ(object.getProcessSectionCount(), 2);
    EXPECT_FALSE(object.endProcesssaveSection()) << "still entered once";
    EXPECT_TRUE(mutexExists(name));
    EXPECT_TRUE(object.endProcesssaveSection());
    EXPECT_EQ(object.isMutexHeld(), 0);
    EXPECT_FALSE(mutexExists(name)) << "the name disappears with the holder's handle";
}

TEST(Processsaferesourceuser, SecondHolderWaitsUntilTheNameIsGone)
{
    testsupport::TempDir dir;
    const std::wstring resource = dir.file(L"shared.log");
    Lockable first;
    Lockable second;
    first.beginProcesssaveSection(resource, 1);

    std::atomic<bool> entered{false};
    std::thread waiter([&] {
        second.beginProcesssaveSection(resource, 1);
        entered = true;
        second.endProcesssaveSection();
    });
    ::Sleep(100);
    EXPECT_FALSE(entered.load()) << "the second object entered while the first held the resource";
    EXPECT_TRUE(first.endProcesssaveSection());
    waiter.join();
    EXPECT_TRUE(entered.load());
}

TEST(Processsaferesourceuser, DestructorLeavesAHeldSection)
{
    testsupport::TempDir dir;
    const std::wstring resource = dir.file(L"d.log");
    {
        Lockable object;
        object.beginProcesssaveSection(resource, 1);
        ASSERT_TRUE(mutexExists(Processsaferesourceuser::mutexName(resource, 1)));
    }
    EXPECT_FALSE(mutexExists(Processsaferesourceuser::mutexName(resource, 1)));
}
