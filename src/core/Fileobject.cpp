#include "Fileobject.h"

#include "filetime.h"
#include "handles.h"
#include "textutil.h"

#include <vector>

namespace {

FILETIME truncateToSeconds(const FILETIME& ft) { return filetime::fromUnixSeconds(filetime::toUnixSeconds(ft)); }

} // namespace

Fileobject::Fileobject(std::wstring full)
{
    fullPath = normalizePath(std::move(full));
    const size_t slash = fullPath.rfind(L'/');
    if (slash == std::wstring::npos) {
        path.clear();
        filename = fullPath;
    } else {
        path = normalizePath(fullPath.substr(0, slash));
        filename = fullPath.substr(slash + 1);
    }
}

Fileobject::Fileobject(std::wstring folder, std::wstring name)
{
    path = normalizePath(std::move(folder));
    filename = std::move(name);
    fullPath = path + L"/" + filename;
}

Fileobject::~Fileobject() = default;

std::wstring Fileobject::getFilenameWithoutExtension() const
{
    const size_t dot = filename.find(L'.');
    if (dot != std::wstring::npos && dot >= 1) {
        return filename.substr(0, dot);
    }
    return filename;
}

bool readFully(HANDLE file, void* buffer, size_t length, size_t* got)
{
    // At most 1 GiB a call: the platform's reads take a 32-bit count.
    constexpr size_t MAX_READ = 0x40000000;
    auto* at = static_cast<char*>(buffer);
    *got = 0;
    while (*got < length) {
        DWORD read = 0;
        const size_t left = length - *got;
        if (!::ReadFile(file, at + *got, static_cast<DWORD>(left < MAX_READ ? left : MAX_READ), &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            break;
        }
        *got += read;
    }
    return true;
}

bool Fileobject::exists() const { return pathExists(fullPath); }

bool Fileobject::createPath(const std::wstring& folder)
{
    const size_t slash = folder.rfind(L'/');
    if (slash != std::wstring::npos) {
        const std::wstring parent = normalizePath(folder.substr(0, slash));
        if (parent.find(L'/') != std::wstring::npos) {
            createPath(parent);
        }
    }
    if (folder.empty()) {
        return false;
    }
    if (::CreateDirectoryW(folder.c_str(), nullptr)) {
        return true;
    }
    return ::GetLastError() == ERROR_ALREADY_EXISTS;
}

bool Fileobject::createFile()
{
    if (fullPath.size() >= MAX_FULL_PATH) {
        return false;
    }
    if (!createPath(path)) {
        return false;
    }
    handles::Kernel file(::CreateFileW(fullPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.valid();
}

bool Fileobject::deleteFile()
{
    if (!exists()) {
        return true;
    }
    return ::DeleteFileW(fullPath.c_str()) != FALSE;
}

uint64_t Fileobject::getFilesize()
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(fullPath.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

int64_t Fileobject::getModificationTime()
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(fullPath.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return filetime::toUnixSeconds(data.ftLastWriteTime);
}

bool Fileobject::setModificationTime(const SYSTEMTIME& localTime)
{
    // Local broken-down time to a point in time, daylight saving decided by the platform. Times
    // before 1970 or after 3000 (UTC) count as not representable, as they always have.
    constexpr int64_t LATEST = 32535215999; // 3000-12-31 23:59:59 UTC
    int64_t when = 0;
    if (!filetime::localToUnixSeconds(localTime, &when) || when < 0 || when > LATEST) {
        when = 0;
    }

    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(fullPath.c_str(), GetFileExInfoStandard, &data)) {
        return false;
    }
    if (when == 0) {
        // A time that cannot be represented leaves the file's times as they are.
        return true;
    }
    handles::Kernel file(::CreateFileW(fullPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return false;
    }
    const FILETIME created = truncateToSeconds(data.ftCreationTime);
    const FILETIME accessed = truncateToSeconds(data.ftLastAccessTime);
    const FILETIME written = filetime::fromUnixSeconds(when);
    return ::SetFileTime(file.get(), &created, &accessed, &written) != FALSE;
}

bool Fileobject::appendToFile(const std::wstring& text)
{
    if (fullPath.size() >= MAX_FULL_PATH) {
        return false;
    }
    beginProcesssaveSection(fullPath, 1);
    bool ok = false;
    {
        const std::string bytes = textutil::toAnsi(text);
        handles::Kernel file(::CreateFileW(fullPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.valid()) {
            ok = true;
            if (::SetFilePointer(file.get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
                ::GetLastError() != NO_ERROR) {
                ok = false;
            }
            size_t done = 0;
            while (ok && done < bytes.size()) {
                DWORD written = 0;
                const DWORD chunk =
                    static_cast<DWORD>(bytes.size() - done > 0x10000000 ? 0x10000000 : bytes.size() - done);
                if (!::WriteFile(file.get(), bytes.data() + done, chunk, &written, nullptr) || written == 0) {
                    ok = false;
                    break;
                }
                done += written;
            }
            if (ok && !::FlushFileBuffers(file.get())) {
                ok = false;
            }
        }
    }
    endProcesssaveSection();
    return ok;
}

std::wstring Fileobject::readFile()
{
    if (fullPath.size() >= MAX_FULL_PATH || !exists() || getFilesize() == 0) {
        return {};
    }
    handles::Kernel file(::CreateFileW(fullPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return {};
    }
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0) {
        return {};
    }
    // One read of the size's lower 32 bits, as the platform reads it; files past 4 GiB are not ours.
    const DWORD toRead = static_cast<DWORD>(size.QuadPart & 0xFFFFFFFFu);
    std::vector<char> buffer;
    try {
        buffer.assign(static_cast<size_t>(toRead) + 1, '\0');
    } catch (...) {
        return {};
    }
    size_t total = 0;
    if (!readFully(file.get(), buffer.data(), toRead, &total)) {
        return {};
    }
    // Zero bytes become line feeds so that markers behind binary data stay findable; a zero in
    // the last byte stays and ends the text one byte early.
    for (size_t i = 0; i + 1 < total; ++i) {
        if (buffer[i] == '\0') {
            buffer[i] = '\n';
        }
    }
    return textutil::fromAnsi(buffer.data(), total);
}
