// The handle owners: each closes (releases, restores) exactly once, on scope exit, on reset and
// after a move, and closing leaves the thread's last-error value as it was.
#include "handles.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <thread>

namespace {

// True while the kernel handle value refers to an open object of this process.
bool isOpen(HANDLE h)
{
    DWORD flags = 0;
    return ::GetHandleInformation(h, &flags) != FALSE;
}

} // namespace

TEST(Handles, KernelOwnerClosesOnScopeExitAndAfterAMoveOnlyOnce)
{
    HANDLE raw = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(raw, nullptr);
    {
        handles::Kernel first(raw);
        EXPECT_TRUE(first.valid());
        handles::Kernel second(std::move(first));
        EXPECT_FALSE(first.valid()) << "the moved-from owner gives the handle up";
        EXPECT_EQ(second.get(), raw);
        handles::Kernel third;
        third = std::move(second);
        EXPECT_FALSE(second.valid());
        EXPECT_TRUE(isOpen(raw)) << "moving closes nothing";
    }
    EXPECT_FALSE(isOpen(raw)) << "the last owner closed the event on scope exit";

    // Move-assigning over an owner closes what it held first.
    HANDLE a = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE b = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    handles::Kernel ownerA(a);
    handles::Kernel ownerB(b);
    ownerA = std::move(ownerB);
    EXPECT_FALSE(isOpen(a));
    EXPECT_TRUE(isOpen(b));
    EXPECT_EQ(ownerA.release(), b) << "release hands the handle back without closing it";
    EXPECT_TRUE(isOpen(b));
    handles::Kernel closer(b);
}

TEST(Handles, AbsentValuesAreNeverClosed)
{
    // INVALID_HANDLE_VALUE is the current process's pseudo handle to the kernel: closing it
    // would be a fault the owner must not commit.
    handles::Kernel invalid(INVALID_HANDLE_VALUE);
    EXPECT_FALSE(invalid.valid());
    EXPECT_TRUE(invalid.reset());
    handles::Kernel freed(reinterpret_cast<HANDLE>(handles::FREED_FILL));
    EXPECT_FALSE(freed.valid()) << "freed-heap fill counts as absent";
    freed.release();
}

TEST(Handles, ResetKeepsTheLastErrorOfTheFailureBeforeIt)
{
    // A failure sets the last error; cleanup in between must not overwrite it.
    HANDLE raw = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    handles::Kernel owner(raw);
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(owner.reset());
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(isOpen(raw));

    // Also when the close itself fails (a key handle that is not open any more).
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key), ERROR_SUCCESS);
    ASSERT_EQ(::RegCloseKey(key), ERROR_SUCCESS);
    handles::RegKey stale(key);
    ::SetLastError(ERROR_ACCESS_DENIED);
    stale.reset();
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    // The close's own failure is handed out separately, the last error still kept.
    handles::Kernel bogus(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FFF1230)));
    DWORD closeError = 0;
    ::SetLastError(ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(bogus.reset(&closeError));
    EXPECT_EQ(closeError, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(bogus.valid());

    // And on scope exit.
    ::SetLastError(ERROR_SUCCESS);
    {
        handles::Kernel scoped(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ::SetLastError(ERROR_SHARING_VIOLATION);
    }
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

TEST(Handles, RegistryKeyIsClosedOnScopeExit)
{
    HKEY raw = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &raw), ERROR_SUCCESS);
    {
        handles::RegKey key(raw);
        EXPECT_EQ(::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr),
                  ERROR_SUCCESS);
    }
    EXPECT_NE(::RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr),
              ERROR_SUCCESS)
        << "the key handle was closed";
}

TEST(Handles, HeldMutexReleasesButDoesNotClose)
{
    handles::Kernel mutex(::CreateMutexW(nullptr, FALSE, nullptr));
    ASSERT_TRUE(mutex.valid());
    auto otherThreadGets = [&]() {
        std::atomic<DWORD> got{WAIT_FAILED};
        std::thread other([&] {
            const DWORD r = ::WaitForSingleObject(mutex.get(), 0);
            got = r;
            if (r == WAIT_OBJECT_0) {
                handles::HeldMutex held(mutex.get());
            }
        });
        other.join();
        return got.load();
    };
    {
        ASSERT_EQ(::WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
        handles::HeldMutex held(mutex.get());
        EXPECT_EQ(otherThreadGets(), static_cast<DWORD>(WAIT_TIMEOUT)) << "control: held here, the other waits";
    }
    EXPECT_EQ(otherThreadGets(), static_cast<DWORD>(WAIT_OBJECT_0)) << "released on scope exit";
    EXPECT_TRUE(isOpen(mutex.get())) << "releasing leaves the handle open";
}

TEST(Handles, SelectedObjectRestoresThePreviousObject)
{
    handles::ScreenDc screen(::GetDC(nullptr));
    ASSERT_TRUE(screen.valid());
    handles::CreatedDc memory(::CreateCompatibleDC(screen.get()));
    ASSERT_TRUE(memory.valid());
    const HGDIOBJ original = ::GetCurrentObject(memory.get(), OBJ_FONT);
    handles::Font font(::CreateFontW(-20, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Arial"));
    ASSERT_TRUE(font.valid());
    {
        handles::SelectedObject selected(memory.get(), font.get());
        EXPECT_TRUE(selected.valid());
        EXPECT_EQ(::GetCurrentObject(memory.get(), OBJ_FONT), font.get());
        handles::SelectedObject moved(std::move(selected));
        EXPECT_FALSE(selected.valid());
        EXPECT_EQ(::GetCurrentObject(memory.get(), OBJ_FONT), font.get()) << "a move restores nothing";
    }
    EXPECT_EQ(::GetCurrentObject(memory.get(), OBJ_FONT), original);

    handles::SelectedObject nothing(memory.get(), nullptr);
    EXPECT_FALSE(nothing.valid()) << "nothing selected, nothing to restore";
}

TEST(Handles, GdiAndLocalMemoryOwnersFree)
{
    HBRUSH raw = ::CreateSolidBrush(RGB(1, 2, 3));
    ASSERT_NE(raw, nullptr);
    {
        handles::Brush brush(raw);
        LOGBRUSH info{};
        EXPECT_EQ(::GetObjectW(brush.get(), sizeof(info), &info), static_cast<int>(sizeof(info)));
    }
    LOGBRUSH after{};
    EXPECT_EQ(::GetObjectW(raw, sizeof(after), &after), 0) << "the brush was deleted";

    HLOCAL memory = ::LocalAlloc(LMEM_FIXED, 64);
    ASSERT_NE(memory, nullptr);
    handles::LocalMemory owner(memory);
    EXPECT_TRUE(owner.reset()) << "LocalFree succeeded";
    EXPECT_FALSE(owner.valid());
}

TEST(Handles, ProcessHeapAndCryptMessageOwnersFree)
{
    void* block = ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, 64);
    ASSERT_NE(block, nullptr);
    handles::ProcessHeap heap(block);
    EXPECT_EQ(::HeapSize(::GetProcessHeap(), 0, heap.get()), static_cast<SIZE_T>(64));
    EXPECT_TRUE(heap.reset()) << "HeapFree on the process heap succeeded";
    EXPECT_FALSE(heap.valid());

    HCRYPTMSG raw = ::CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
    ASSERT_NE(raw, nullptr);
    handles::CryptMessage message(raw);
    EXPECT_TRUE(message.reset()) << "CryptMsgClose succeeded";
    EXPECT_FALSE(message.valid());
}
