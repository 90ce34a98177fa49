#include "Binaryresourcemanager.h"

#include "handles.h"
#include "textutil.h"

Binaryresourcemanager::Binaryresourcemanager(Logger* logger) : Loguser(logger) {}

Binaryresourcemanager::~Binaryresourcemanager() = default;

bool Binaryresourcemanager::extractResource(std::wstring typeName, std::wstring targetPath, bool overrideExisting)
{
    return extractResource(typeName, RESOURCE_ID, targetPath, overrideExisting);
}

bool Binaryresourcemanager::extractResource(std::wstring typeName, WORD resourceId, std::wstring targetPath,
                                            bool overrideExisting)
{
    static constexpr const wchar_t* FN = L"Binaryresourcemanager::extractResource";
    if (!prepareTarget(targetPath, overrideExisting) || !createEmptyFile(targetPath)) {
        return false;
    }
    ResourceBytes bytes;
    if (!locateResource(typeName, resourceId, bytes)) {
        return false;
    }
    const DWORD error = writeFile(targetPath, bytes);
    if (error != ERROR_SUCCESS) {
        log(LOG_ERROR, FN,
            textutil::format(L"Unable to write resource to: %ls (error %lu)", targetPath.c_str(), error));
        return false;
    }
    log(LOG_DEBUG, FN, L"Extracted resource to: " + targetPath);
    return true;
}

bool Binaryresourcemanager::prepareTarget(const std::wstring& targetPath, bool overrideExisting)
{
    // Logged under the operation these steps belong to.
    static constexpr const wchar_t* FN = L"Binaryresourcemanager::extractResource";
    // Any existing file or folder counts as found.
    WIN32_FILE_ATTRIBUTE_DATA status;
    if (!::GetFileAttributesExW(targetPath.c_str(), GetFileExInfoStandard, &status)) {
        log(LOG_DEBUG, FN, L"File not found: " + targetPath);
        return true;
    }
    log(LOG_DEBUG, FN, L"Found file: " + targetPath);
    if (!overrideExisting) {
        log(LOG_DEBUG, FN, L"Do not override it!");
        return false;
    }
    log(LOG_DEBUG, FN, L"Override it!");
    // Whether the delete worked shows in the creation that follows.
    ::DeleteFileW(targetPath.c_str());
    return true;
}

bool Binaryresourcemanager::createEmptyFile(const std::wstring& targetPath)
{
    // Logged under the operation these steps belong to.
    static constexpr const wchar_t* FN = L"Binaryresourcemanager::extractResource";
    handles::Kernel created(::CreateFileW(targetPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!created.valid()) {
        log(LOG_DEBUG, FN, L"Unable to create file: " + targetPath);
        return false;
    }
    return true;
}

bool Binaryresourcemanager::locateResource(const std::wstring& typeName, WORD resourceId, ResourceBytes& bytes)
{
    // Logged under the operation these steps belong to.
    static constexpr const wchar_t* FN = L"Binaryresourcemanager::extractResource";
    HMODULE self = ::GetModuleHandleW(nullptr);
    HRSRC found = ::FindResourceW(self, MAKEINTRESOURCEW(resourceId), typeName.c_str());
    if (found == nullptr) {
        log(LOG_DEBUG, FN, L"Unable to find resourcetype: " + typeName);
        return false;
    }
    HGLOBAL loaded = ::LoadResource(self, found);
    if (loaded == nullptr) {
        log(LOG_DEBUG, FN, L"Unable to load resourcetype: " + typeName);
        return false;
    }
    bytes.data = ::LockResource(loaded);
    if (bytes.data == nullptr) {
        log(LOG_DEBUG, FN, L"Unable to lock resourcetype: " + typeName);
        return false;
    }
    bytes.size = ::SizeofResource(self, found);
    return true;
}

DWORD Binaryresourcemanager::writeFile(const std::wstring& targetPath, const ResourceBytes& bytes)
{
    // The write is checked as a whole: open, every byte written, and the close that flushes it.
    handles::Kernel output(::CreateFileW(targetPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!output.valid()) {
        return ::GetLastError();
    }
    DWORD written = 0;
    if (!::WriteFile(output.get(), bytes.data, bytes.size, &written, nullptr)) {
        return ::GetLastError();
    }
    if (written != bytes.size) {
        return ERROR_WRITE_FAULT;
    }
    if (!output.reset()) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}
