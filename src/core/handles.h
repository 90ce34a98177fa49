// Move-only owners for the platform's handles, one type per handle kind. This header is the
// only place in the program that closes a kernel handle, a registry key, an internet handle,
// a GDI object, a device context, a module, a certificate chain or context or a cryptographic
// message, releases a held mutex, frees LocalAlloc'ed or process-heap memory or restores a
// selected GDI object; every other class keeps its resources in these owners.
// Closing never changes the thread's last-error value: a caller may read GetLastError for the
// failure it met even after an owner went out of scope in between.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <utility>

namespace handles {

// Freed memory of the debug heap: a handle holding it counts as absent.
constexpr uintptr_t FREED_FILL = 0xFEEEFEEE;

template <typename T, typename Traits>
class Owner {
public:
    Owner() = default;
    explicit Owner(T value) : value_(value) {}
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;
    Owner(Owner&& other) noexcept : value_(std::exchange(other.value_, Traits::invalid())) {}
    Owner& operator=(Owner&& other) noexcept
    {
        if (this != &other) {
            reset();
            value_ = std::exchange(other.value_, Traits::invalid());
        }
        return *this;
    }
    ~Owner() { reset(); }

    T get() const { return value_; }
    bool valid() const { return Traits::usable(value_); }
    explicit operator bool() const { return valid(); }
    // Closes the held value and takes `value`; true when nothing was held or closing succeeded.
    // The thread's last-error value is the same afterwards as before.
    bool reset(T value = Traits::invalid())
    {
        bool ok = true;
        if (Traits::usable(value_)) {
            const DWORD lastError = ::GetLastError();
            ok = Traits::close(value_);
            ::SetLastError(lastError);
        }
        value_ = value;
        return ok;
    }
    // As reset(), and hands out the error code of a failed close (0 when closing succeeded).
    bool reset(DWORD* closeError)
    {
        *closeError = 0;
        bool ok = true;
        if (Traits::usable(value_)) {
            const DWORD lastError = ::GetLastError();
            ok = Traits::close(value_);
            if (!ok) {
                *closeError = ::GetLastError();
            }
            ::SetLastError(lastError);
        }
        value_ = Traits::invalid();
        return ok;
    }
    T release() { return std::exchange(value_, Traits::invalid()); }
    // For APIs that fill in a handle: closes the held one first.
    T* put()
    {
        reset();
        return &value_;
    }

private:
    T value_ = Traits::invalid();
};

struct KernelTraits {
    static HANDLE invalid() { return nullptr; }
    static bool usable(HANDLE h)
    {
        return h != nullptr && h != INVALID_HANDLE_VALUE && reinterpret_cast<uintptr_t>(h) != FREED_FILL;
    }
    static bool close(HANDLE h) { return ::CloseHandle(h) != FALSE; }
};

struct FindTraits {
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static bool usable(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static bool close(HANDLE h) { return ::FindClose(h) != FALSE; }
};

struct RegistryTraits {
    static HKEY invalid() { return nullptr; }
    static bool usable(HKEY h) { return h != nullptr; }
    static bool close(HKEY h) { return ::RegCloseKey(h) == ERROR_SUCCESS; }
};

struct InternetTraits {
    static HINTERNET invalid() { return nullptr; }
    static bool usable(HINTERNET h) { return h != nullptr; }
    static bool close(HINTERNET h) { return ::InternetCloseHandle(h) != FALSE; }
};

template <typename H>
struct GdiTraits {
    static H invalid() { return nullptr; }
    static bool usable(H h) { return h != nullptr; }
    static bool close(H h) { return ::DeleteObject(h) != FALSE; }
};

struct ModuleTraits {
    static HMODULE invalid() { return nullptr; }
    static bool usable(HMODULE h) { return h != nullptr; }
    static bool close(HMODULE h) { return ::FreeLibrary(h) != FALSE; }
};

// A mutex this thread holds (acquired by a wait): reset releases it; the handle itself is
// owned elsewhere (a Kernel owner) and stays open.
struct HeldMutexTraits {
    static HANDLE invalid() { return nullptr; }
    static bool usable(HANDLE h) { return KernelTraits::usable(h); }
    static bool close(HANDLE h) { return ::ReleaseMutex(h) != FALSE; }
};

// Memory the system allocated with LocalAlloc for the caller (security descriptors, messages).
struct LocalMemoryTraits {
    static HLOCAL invalid() { return nullptr; }
    static bool usable(HLOCAL h) { return h != nullptr; }
    static bool close(HLOCAL h) { return ::LocalFree(h) == nullptr; }
};

// The screen's device context from GetDC(nullptr).
struct ScreenDcTraits {
    static HDC invalid() { return nullptr; }
    static bool usable(HDC h) { return h != nullptr; }
    static bool close(HDC h) { return ::ReleaseDC(nullptr, h) == 1; }
};

// A device context from CreateCompatibleDC or CreateDC.
struct CreatedDcTraits {
    static HDC invalid() { return nullptr; }
    static bool usable(HDC h) { return h != nullptr; }
    static bool close(HDC h) { return ::DeleteDC(h) != FALSE; }
};

// A certificate chain that the caller was handed (a duplicated chain context).
struct CertificateChainTraits {
    static PCCERT_CHAIN_CONTEXT invalid() { return nullptr; }
    static bool usable(PCCERT_CHAIN_CONTEXT h) { return h != nullptr; }
    static bool close(PCCERT_CHAIN_CONTEXT h)
    {
        ::CertFreeCertificateChain(h);
        return true;
    }
};

// A certificate context the caller created (CertCreateCertificateContext and the like).
struct CertificateContextTraits {
    static PCCERT_CONTEXT invalid() { return nullptr; }
    static bool usable(PCCERT_CONTEXT h) { return h != nullptr; }
    static bool close(PCCERT_CONTEXT h) { return ::CertFreeCertificateContext(h) != FALSE; }
};

// A cryptographic message opened for decoding or encoding.
struct CryptMessageTraits {
    static HCRYPTMSG invalid() { return nullptr; }
    static bool usable(HCRYPTMSG h) { return h != nullptr; }
    static bool close(HCRYPTMSG h) { return ::CryptMsgClose(h) != FALSE; }
};

// A block of the process heap (HeapAlloc on GetProcessHeap).
struct ProcessHeapTraits {
    static void* invalid() { return nullptr; }
    static bool usable(void* h) { return h != nullptr; }
    static bool close(void* h) { return ::HeapFree(::GetProcessHeap(), 0, h) != FALSE; }
};

// A kernel handle: files, mutexes, processes, threads, snapshots, tokens.
using Kernel = Owner<HANDLE, KernelTraits>;
using Find = Owner<HANDLE, FindTraits>; // a FindFirstFileW search
using RegKey = Owner<HKEY, RegistryTraits>;
using Internet = Owner<HINTERNET, InternetTraits>;
using Bitmap = Owner<HBITMAP, GdiTraits<HBITMAP>>;
using Font = Owner<HFONT, GdiTraits<HFONT>>;
using Brush = Owner<HBRUSH, GdiTraits<HBRUSH>>;
using Module = Owner<HMODULE, ModuleTraits>;
using HeldMutex = Owner<HANDLE, HeldMutexTraits>;
using LocalMemory = Owner<HLOCAL, LocalMemoryTraits>;
using ScreenDc = Owner<HDC, ScreenDcTraits>;
using CreatedDc = Owner<HDC, CreatedDcTraits>;
using CertificateChain = Owner<PCCERT_CHAIN_CONTEXT, CertificateChainTraits>;
using CertificateContext = Owner<PCCERT_CONTEXT, CertificateContextTraits>;
using CryptMessage = Owner<HCRYPTMSG, CryptMessageTraits>;
using ProcessHeap = Owner<void*, ProcessHeapTraits>;

// A GDI object selected into a device context for one scope: the object that was selected
// before is selected back when this goes (or on reset). Move-only.
class SelectedObject {
public:
    SelectedObject() = default;
    SelectedObject(HDC dc, HGDIOBJ object)
    {
        if (dc != nullptr && object != nullptr) {
            HGDIOBJ previous = ::SelectObject(dc, object);
            if (previous != nullptr && previous != HGDI_ERROR) {
                dc_ = dc;
                previous_ = previous;
            }
        }
    }
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;
    SelectedObject(SelectedObject&& other) noexcept
        : dc_(std::exchange(other.dc_, nullptr)), previous_(std::exchange(other.previous_, nullptr))
    {
    }
    SelectedObject& operator=(SelectedObject&& other) noexcept
    {
        if (this != &other) {
            reset();
            dc_ = std::exchange(other.dc_, nullptr);
            previous_ = std::exchange(other.previous_, nullptr);
        }
        return *this;
    }
    ~SelectedObject() { reset(); }

    // True when the object was selected (and will be selected out again).
    bool valid() const { return dc_ != nullptr; }
    explicit operator bool() const { return valid(); }
    // Selects the previous object back now; keeps the thread's last-error value.
    void reset()
    {
        if (dc_ != nullptr) {
            const DWORD lastError = ::GetLastError();
            ::SelectObject(dc_, previous_);
            ::SetLastError(lastError);
        }
        dc_ = nullptr;
        previous_ = nullptr;
    }

private:
    HDC dc_ = nullptr;
    HGDIOBJ previous_ = nullptr;
};

} // namespace handles
