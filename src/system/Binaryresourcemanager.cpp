#include "Binaryresourcemanager.h"

#include "handles.h"
#include "textutil.h"

Binaryresourcemanager::Binaryresourcemanager(Logger* logger) : Loguser(logger) {}

Binaryresourcemanager::~Binaryresourcemanager() = default;

bool Binaryresourcemanager::extractResource(std::wstring typeName, std::wstring targetPath, bool overrideExisting)
{
    static const wchar_t* const F = L"Binaryresourcemanager::extractResource";

    // Any existing file or folder counts as found.
    WIN32_FILE_ATTRIBUTE_DATA status;
    if (::GetFileAttributesExW(targetPath.c_str(), GetFileExInfoStandard, &status)) {
        log(LOG_DEBUG, F, L"Found file: " + targetPath);
        if (!overrideExisting) {
            log(LOG_DEBUG, F, L"Do not override it!");
            return false;
        }
        log(LOG_DEBUG, F, L"Override it!");
        // Whether the delete worked shows in the creation below.
        ::DeleteFileW(targetPath.c_str());
    } else {
        log(LOG_DEBUG, F, L"File not found: " + targetPath);
    }

    {
        handles::Kernel created(::CreateFileW(targetPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!created.valid()) {
            log(LOG_DEBUG, F, L"Unable to create file: " + targetPath);
            return false;
        }
    }

    HMODULE self = ::GetModuleHandleW(nullptr);
    HRSRC found = ::FindResourceW(self, MAKEINTRESOURCEW(RESOURCE_ID), typeName.c_str());
    if (found == nullptr) {
        log(LOG_DEBUG, F, L"Unable to find resourcetype: " + typeName);
        return false;
    }
    HGLOBAL loaded = ::LoadResource(self, found);
    if (loaded == nullptr) {
        log(LOG_DEBUG, F, L"Unable to load resourcetype: " + typeName);
        return false;
    }
    const void* bytes = ::LockResource(loaded);
    if (bytes == nullptr) {
        log(LOG_DEBUG, F, L"Unable to lock resourcetype: " + typeName);
        return false;
    }
    const DWORD size = ::SizeofResource(self, found);

    // The write is checked as a whole: open, every byte written, and the close that flushes it.
    DWORD error = ERROR_SUCCESS;
    handles::Kernel output(::CreateFileW(targetPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!output.valid()) {
        error = ::GetLastError();
    } else {
        DWORD written = 0;
        if (!::WriteFile(output.get(), bytes, size, &written, nullptr)) {
            error = ::GetLastError();
        } else if (written != size) {
            error = ERROR_WRITE_FAULT;
        }
        if (!output.reset() && error == ERROR_SUCCESS) {
            error = ::GetLastError();
        }
    }
    if (error != ERROR_SUCCESS) {
        log(LOG_ERROR, F, textutil::format(L"Unable to write resource to: %ls (error %lu)", targetPath.c_str(), error));
        return false;
    }

    log(LOG_DEBUG, F, L"Extracted resource to: " + targetPath);
    return true;
}
