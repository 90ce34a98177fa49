#include "Binaryresourcemanager.h"

#include "Fileobject.h"
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
    if (!prepareTarget(targetPath, overrideExisting)) {
        return false;
    }
    const std::wstring temporary = createTemporaryFile(targetPath);
    if (temporary.empty()) {
        return false;
    }
    ResourceBytes bytes;
    bool done = locateResource(typeName, resourceId, bytes);
    if (done) {
        const DWORD error = writeFile(temporary, bytes);
        if (error != ERROR_SUCCESS) {
            log(LOG_ERROR, FN_EXTRACT_RESOURCE,
                textutil::format(L"Unable to write resource to: %ls (error %lu)", targetPath.c_str(), error));
            done = false;
        }
    }
    done = done && moveIntoPlace(temporary, targetPath, overrideExisting);
    if (!done) {
        ::DeleteFileW(temporary.c_str());
        return false;
    }
    log(LOG_DEBUG, FN_EXTRACT_RESOURCE, L"Extracted resource to: " + targetPath);
    return true;
}

bool Binaryresourcemanager::prepareTarget(const std::wstring& targetPath, bool overrideExisting)
{
    // Logged under the operation these steps belong to.
    // Any existing file or folder counts as found.
    if (!pathExists(targetPath)) {
        log(LOG_DEBUG, FN_EXTRACT_RESOURCE, L"File not found: " + targetPath);
        return true;
    }
    log(LOG_DEBUG, FN_EXTRACT_RESOURCE, L"Found file: " + targetPath);
    if (!overrideExisting) {
        log(LOG_DEBUG, FN_EXTRACT_RESOURCE, L"Do not override it!");
        return false;
    }
    // The complete new file replaces it by a rename at the end.
    log(LOG_DEBUG, FN_EXTRACT_RESOURCE, L"Override it!");
    return true;
}

std::wstring Binaryresourcemanager::createTemporaryFile(const std::wstring& targetPath)
{
    // Logged under the operation these steps belong to.
    const size_t slash = targetPath.find_last_of(L"/\\");
    const std::wstring folder = slash == std::wstring::npos ? L"." : targetPath.substr(0, slash + 1);
    wchar_t temporary[MAX_PATH] = {};
    if (folder.size() >= MAX_PATH - 14 || ::GetTempFileNameW(folder.c_str(), L"tsp", 0, temporary) == 0) {
        log(LOG_DEBUG, FN_EXTRACT_RESOURCE, L"Unable to create file: " + targetPath);
        return {};
    }
    return temporary;
}

bool Binaryresourcemanager::locateResource(const std::wstring& typeName, WORD resourceId, ResourceBytes& bytes)
{
    // Logged under the operation these steps belong to.
    HMODULE self = ::GetModuleHandleW(nullptr);
    HRSRC found = ::FindResourceW(self, MAKEINTRESOURCEW(resourceId), typeName.c_str());
    if (found == nullptr) {
        log(LOG_DEBUG, FN_EXTRACT_RESOURCE, L"Unable to find resourcetype: " + typeName);
        return false;
    }
    HGLOBAL loaded = ::LoadResource(self, found);
    if (loaded == nullptr) {
        log(LOG_DEBUG, FN_EXTRACT_RESOURCE, L"Unable to load resourcetype: " + typeName);
        return false;
    }
    bytes.data = ::LockResource(loaded);
    if (bytes.data == nullptr) {
        log(LOG_DEBUG, FN_EXTRACT_RESOURCE, L"Unable to lock resourcetype: " + typeName);
        return false;
    }
    bytes.size = ::SizeofResource(self, found);
    return true;
}

DWORD Binaryresourcemanager::writeFile(const std::wstring& path, const ResourceBytes& bytes)
{
    // The write is checked as a whole: open, every byte written and flushed, and the close.
    handles::Kernel output(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
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
    if (!::FlushFileBuffers(output.get())) {
        return ::GetLastError();
    }
    if (!output.reset()) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

bool Binaryresourcemanager::moveIntoPlace(const std::wstring& temporaryPath, const std::wstring& targetPath,
                                          bool overrideExisting)
{
    // Logged under the operation these steps belong to.
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (overrideExisting ? MOVEFILE_REPLACE_EXISTING : 0);
    if (!::MoveFileExW(temporaryPath.c_str(), targetPath.c_str(), flags)) {
        // A folder or a file in use without delete sharing at the target, or no right to replace it.
        log(LOG_DEBUG, FN_EXTRACT_RESOURCE, L"Unable to create file: " + targetPath);
        return false;
    }
    return true;
}
