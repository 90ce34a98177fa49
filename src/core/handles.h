// Move-only owners for the platform's handles, one type per handle kind. This header is the
// only place in the program that closes a kernel handle, a registry key, an internet handle,
// a GDI object or a module; every other class keeps its handles in these owners.
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
    // Closes the held value; true when nothing was held or closing succeeded.
    bool reset(T value = Traits::invalid())
    {
        bool ok = true;
        if (Traits::usable(value_)) {
            ok = Traits::close(value_);
        }
        value_ = value;
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

struct GdiTraits {
    static HGDIOBJ invalid() { return nullptr; }
    static bool usable(HGDIOBJ h) { return h != nullptr; }
    static bool close(HGDIOBJ h) { return ::DeleteObject(h) != FALSE; }
};

struct ModuleTraits {
    static HMODULE invalid() { return nullptr; }
    static bool usable(HMODULE h) { return h != nullptr; }
    static bool close(HMODULE h) { return ::FreeLibrary(h) != FALSE; }
};

// A kernel handle: files, mutexes, processes, threads, snapshots, tokens.
using Kernel = Owner<HANDLE, KernelTraits>;
using RegKey = Owner<HKEY, RegistryTraits>;
using Internet = Owner<HINTERNET, InternetTraits>;
using GdiObject = Owner<HGDIOBJ, GdiTraits>;
using Module = Owner<HMODULE, ModuleTraits>;

// Closes a raw kernel handle that an API handed over; for members that must stay raw handles.
inline bool closeKernel(HANDLE h) { return KernelTraits::usable(h) ? KernelTraits::close(h) : true; }

} // namespace handles
