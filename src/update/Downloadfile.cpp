#include "Downloadfile.h"

#include "Fileobject.h"
#include "Killpoint.h"
#include "textutil.h"

#include <ntsecapi.h>

#include <cstring>
#include <vector>

namespace {

// 64 bits from the platform's random source as 16 hex digits.
std::wstring randomTag()
{
    uint64_t value = 0;
    if (!::RtlGenRandom(&value, sizeof(value))) {
        LARGE_INTEGER counter;
        ::QueryPerformanceCounter(&counter);
        value = static_cast<uint64_t>(counter.QuadPart) ^ (static_cast<uint64_t>(::GetCurrentProcessId()) << 32);
    }
    return textutil::format(L"%016llx", static_cast<unsigned long long>(value));
}

constexpr int CREATE_ATTEMPTS = 8;

} // namespace

Downloadfile::~Downloadfile() { discard(); }

Downloadfile& Downloadfile::operator=(Downloadfile&& other) noexcept
{
    if (this != &other) {
        discard();
        file = std::move(other.file);
        fullPath = std::move(other.fullPath);
        writesThrough = other.writesThrough;
    }
    return *this;
}

bool Downloadfile::create(const std::wstring& folder, const std::wstring& stem, bool writeThrough, DWORD* error)
{
    discard();
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (writeThrough ? FILE_FLAG_WRITE_THROUGH : 0);
    writesThrough = writeThrough;
    for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
        std::wstring path = folder;
        if (!path.empty() && path.back() != L'/' && path.back() != L'\\') {
            path += L'/';
        }
        path += stem + L"." + randomTag() + L".tmp";
        // CREATE_NEW fails on anything already there, a link included; only readers may share.
        file.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                                 CREATE_NEW, flags, nullptr));
        fullPath = path;
        if (file.valid()) {
            Killpoint::after(L"create");
            return true;
        }
        *error = ::GetLastError();
        if (*error != ERROR_FILE_EXISTS && *error != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return false;
}

bool Downloadfile::openExisting(const std::wstring& path, DWORD* error)
{
    discard();
    fullPath = path;
    file.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) {
        *error = ::GetLastError();
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(file.get(), &info)) {
        *error = ::GetLastError();
        file.reset();
        return false;
    }
    const DWORD odd = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE;
    if ((info.dwFileAttributes & odd) != 0 || info.nNumberOfLinks != 1) {
        // Not a plain file of its own: left where it is, untouched.
        *error = ERROR_INVALID_DATA;
        file.reset();
        return false;
    }
    return true;
}

bool Downloadfile::truncateTo(uint64_t size, DWORD* error)
{
    LARGE_INTEGER at = {};
    at.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) || !::SetEndOfFile(file.get())) {
        *error = ::GetLastError();
        return false;
    }
    return true;
}

bool Downloadfile::write(const void* data, DWORD size, DWORD* error)
{
    DWORD written = 0;
    if (!::WriteFile(file.get(), data, size, &written, nullptr)) {
        *error = ::GetLastError();
        return false;
    }
    if (written < size) {
        *error = ERROR_WRITE_FAULT;
        return false;
    }
    Killpoint::after(writesThrough ? L"write through" : L"write");
    return true;
}

bool Downloadfile::flush(DWORD* error)
{
    if (!::FlushFileBuffers(file.get())) {
        *error = ::GetLastError();
        return false;
    }
    Killpoint::after(L"flush");
    return true;
}

bool Downloadfile::readAt(uint64_t offset, void* data, DWORD size, DWORD* got)
{
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    *got = 0;
    if (::ReadFile(file.get(), data, size, got, &at)) {
        return true;
    }
    return ::GetLastError() == ERROR_HANDLE_EOF;
}

size_t Downloadfile::readFully(uint64_t offset, uint8_t* data, size_t size)
{
    size_t filled = 0;
    while (filled < size) {
        const size_t left = size - filled;
        DWORD got = 0;
        if (!readAt(offset + filled, data + filled, static_cast<DWORD>(left < 0x10000000 ? left : 0x10000000), &got) ||
            got == 0) {
            break;
        }
        filled += got;
    }
    return filled;
}

uint64_t Downloadfile::size() const
{
    LARGE_INTEGER value = {};
    if (!::GetFileSizeEx(file.get(), &value)) {
        return 0;
    }
    return static_cast<uint64_t>(value.QuadPart);
}

bool Downloadfile::renameTo(const std::wstring& newPath, DWORD* error)
{
    const std::wstring platformPath = withBackslashes(newPath);
    const size_t nameBytes = platformPath.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes + sizeof(wchar_t), 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(info->FileName, platformPath.c_str(), nameBytes);
    if (!::SetFileInformationByHandle(file.get(), FileRenameInfo, info, static_cast<DWORD>(buffer.size()))) {
        *error = ::GetLastError();
        return false;
    }
    fullPath = newPath;
    Killpoint::after(L"rename");
    return true;
}

bool Downloadfile::moveInto(const std::wstring& folder, const std::wstring& stem, DWORD* error)
{
    std::wstring path = folder;
    if (!path.empty() && path.back() != L'/' && path.back() != L'\\') {
        path += L'/';
    }
    for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
        if (renameTo(path + stem + L"." + randomTag() + L".tmp", error)) {
            return true;
        }
        if (*error != ERROR_FILE_EXISTS && *error != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return false;
}

void Downloadfile::discard()
{
    if (!file.valid()) {
        return;
    }
    FILE_DISPOSITION_INFO dispose = {};
    dispose.DeleteFile = TRUE;
    bool marked = ::SetFileInformationByHandle(file.get(), FileDispositionInfo, &dispose, sizeof(dispose)) != FALSE;
    if (!marked) {
        // A file that was given the read-only attribute of the file it was to replace.
        FILE_BASIC_INFO basic = {};
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        marked = ::SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof(basic)) &&
                 ::SetFileInformationByHandle(file.get(), FileDispositionInfo, &dispose, sizeof(dispose));
    }
    file.reset();
    if (!marked) {
        ::DeleteFileW(fullPath.c_str());
    }
    Killpoint::after(L"delete");
}

bool Downloadfile::close(DWORD* error)
{
    if (!file.reset()) {
        *error = ::GetLastError();
        return false;
    }
    return true;
}
