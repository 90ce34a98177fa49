#include "cTSPmanager.h"

#include "asciicase.h"

#include "Binaryresourcemanager.h"
#include "Fileobject.h"
#include "cREGhandler.h"
#include "textutil.h"

#include <windows.h>

namespace {

// Equal without regard to the case of the letters A to Z (the file names are plain ASCII).
std::wstring fileNameValue(int32_t i) { return textutil::format(cTSPmanager::PROVIDER_FILE_NAME_FORMAT, i); }
std::wstring idValue(int32_t i) { return textutil::format(cTSPmanager::PROVIDER_ID_FORMAT, i); }
std::wstring text(int32_t number) { return textutil::format(L"%i", number); }

} // namespace

cTSPmanager::cTSPmanager(Logger* logger) : cTSPmanager(logger, Providerplacement::currentPlatform()) {}

cTSPmanager::cTSPmanager(Logger* logger, Providerplacement::Platform platform)
    : cTSPmanager(logger, platform, Providerplacement::systemFolders())
{
}

cTSPmanager::cTSPmanager(Logger* logger, Providerplacement::Platform platform,
                         const Providerplacement::SystemFolders& folders)
    : cTSPmanager(logger, Providerplacement::providerTarget(platform, folders),
                  Providerplacement::earlierTarget(platform, folders))
{
}

cTSPmanager::cTSPmanager(Logger* logger, const Providerplacement::Target& target,
                         const std::optional<Providerplacement::Target>& earlierTarget)
    : Loguser(logger), resourceManager(std::make_unique<Binaryresourcemanager>(logger)),
      registry(std::make_unique<cREGhandler>(logger)), target(target), earlierTarget(earlierTarget),
      providerFolder(target.folder)
{
    registry->setRegistryView(target.registryView);
}

// The members go in reverse order: registry handler, resource extractor.
cTSPmanager::~cTSPmanager() = default;

bool cTSPmanager::installTSP(std::wstring fileName) { return installTSP(fileName, true, providerFolder); }

bool cTSPmanager::uninstallTSP(std::wstring fileName)
{
    bool result = uninstallTSP(fileName, true, providerFolder);
    if (earlierTarget) {
        // What an earlier 32-bit installer left on 64-bit Windows: its folder and registry view.
        registry->setRegistryView(earlierTarget->registryView);
        result = uninstallTSP(fileName, true, earlierTarget->folder) && result;
        registry->setRegistryView(target.registryView);
    }
    return result;
}

void cTSPmanager::deleteOldFile(const wchar_t* function, const std::wstring& fileName, const std::wstring& folder,
                                Fileobject& oldFile)
{
    if (!pathExists(oldFile.getFullPath())) {
        return;
    }
    oldFile.deleteFile();
    if (!pathExists(oldFile.getFullPath())) {
        log(LOG_DEBUG, function, textutil::format(L"Deleted %ls.OLD at %ls", fileName.c_str(), folder.c_str()));
    } else {
        log(LOG_WARNING, function,
            textutil::format(L"Unable to delete %ls.OLD at %ls", fileName.c_str(), folder.c_str()));
    }
}

bool cTSPmanager::prepareFolder(const wchar_t* function, const std::wstring& fileName, const std::wstring& folder,
                                std::wstring& fullPath, std::wstring& oldPath)
{
    log(LOG_DEBUG, function, L"Path to TSP files: " + folder);
    Fileobject file(folder, fileName);
    fullPath = file.getFullPath();
    oldPath = fullPath + OLD_SUFFIX;
    Fileobject oldFile(oldPath);
    deleteOldFile(function, fileName, folder, oldFile);
    return pathExists(fullPath);
}

bool cTSPmanager::moveAside(const std::wstring& fileName, const std::wstring& folder, const std::wstring& fullPath,
                            const std::wstring& oldPath)
{
    log(LOG_WARNING, FN_INSTALL_TSP, textutil::format(L"%ls exists at %ls", fileName.c_str(), folder.c_str()));
    log(LOG_DEBUG, FN_INSTALL_TSP, textutil::format(L"Renaming %ls at %ls", fileName.c_str(), folder.c_str()));
    if (!::MoveFileExW(fullPath.c_str(), oldPath.c_str(), MOVEFILE_COPY_ALLOWED)) {
        log(LOG_WARNING, FN_INSTALL_TSP,
            textutil::format(L"Unable to rename %ls to %ls", fullPath.c_str(), oldPath.c_str()));
        return false;
    }
    log(LOG_DEBUG, FN_INSTALL_TSP, textutil::format(L"Renamed %ls to %ls", fullPath.c_str(), oldPath.c_str()));
    return true;
}

void cTSPmanager::restoreOld(const std::wstring& fullPath, const std::wstring& oldPath)
{
    // The extraction leaves nothing at the full path when it fails, so the name is free.
    if (::MoveFileExW(oldPath.c_str(), fullPath.c_str(), MOVEFILE_COPY_ALLOWED)) {
        log(LOG_WARNING, FN_INSTALL_TSP, textutil::format(L"Restored %ls from %ls", fullPath.c_str(), oldPath.c_str()));
    } else {
        log(LOG_ERROR, FN_INSTALL_TSP,
            textutil::format(L"Unable to restore %ls from %ls", fullPath.c_str(), oldPath.c_str()));
    }
}

bool cTSPmanager::installTSP(std::wstring fileName, bool registerProvider, std::wstring folder)
{
    std::wstring fullPath;
    std::wstring oldPath;
    const bool present = prepareFolder(FN_INSTALL_TSP, fileName, folder, fullPath, oldPath);

    bool movedAside = false;
    if (present) {
        movedAside = moveAside(fileName, folder, fullPath, oldPath);
    } else {
        log(LOG_DEBUG, FN_INSTALL_TSP, textutil::format(L"%ls not exists at %ls", fileName.c_str(), folder.c_str()));
    }

    if (!resourceManager->extractResource(RESOURCE_TYPE, target.resourceId, fullPath, true)) {
        log(LOG_ERROR, FN_INSTALL_TSP, textutil::format(L"Unable to extract %ls from resource", fullPath.c_str()));
        if (movedAside) {
            restoreOld(fullPath, oldPath);
        }
        return false;
    }
    log(LOG_DEBUG, FN_INSTALL_TSP, textutil::format(L"Extracted %ls from resource", fullPath.c_str()));

    return !registerProvider || addToProviderList(fileName);
}

bool cTSPmanager::uninstallTSP(std::wstring fileName, bool registerProvider, std::wstring folder)
{
    bool result = true;
    std::wstring fullPath;
    std::wstring oldPath;
    const bool present = prepareFolder(FN_UNINSTALL_TSP, fileName, folder, fullPath, oldPath);

    if (registerProvider) {
        removeFromProviderList(fileName);
    }

    if (present) {
        log(LOG_DEBUG, FN_UNINSTALL_TSP, textutil::format(L"%ls exists at %ls", fileName.c_str(), folder.c_str()));
        log(LOG_DEBUG, FN_UNINSTALL_TSP, textutil::format(L"Renaming %ls at %ls", fileName.c_str(), folder.c_str()));
        if (::MoveFileExW(fullPath.c_str(), oldPath.c_str(), MOVEFILE_COPY_ALLOWED)) {
            log(LOG_DEBUG, FN_UNINSTALL_TSP,
                textutil::format(L"Renamed %ls to %ls", fullPath.c_str(), oldPath.c_str()));
        } else {
            log(LOG_WARNING, FN_UNINSTALL_TSP,
                textutil::format(L"Unable to rename %ls to %ls", fullPath.c_str(), oldPath.c_str()));
            if (::DeleteFileW(fullPath.c_str())) {
                log(LOG_DEBUG, FN_UNINSTALL_TSP, textutil::format(L"Deleted %ls!", fullPath.c_str()));
            } else {
                log(LOG_WARNING, FN_UNINSTALL_TSP, textutil::format(L"Unable to delete %ls!", fullPath.c_str()));
                result = false;
            }
        }
    } else {
        log(LOG_DEBUG, FN_UNINSTALL_TSP, textutil::format(L"%ls not exists at %ls", fileName.c_str(), folder.c_str()));
    }
    return result;
}

int32_t cTSPmanager::readNumber(const std::wstring& valueName)
{
    // Missing or unreadable values read as empty text, which counts as 0.
    return static_cast<int32_t>(cREGhandler::textToNumber(registry->getRegValue(PROVIDER_LIST_KEY, valueName)));
}

int32_t cTSPmanager::readProviderCount(const wchar_t* function)
{
    const int32_t count = readNumber(NUM_PROVIDERS);
    if (count < 0 || count > MAX_PROVIDER_ENTRIES) {
        // A damaged count would send the search through billions of values or write entries with
        // negative numbers: the list is left as it is.
        log(LOG_ERROR, function, textutil::format(L"Provider list is damaged: NumProviders = %i", count));
        return -1;
    }
    return count;
}

int32_t cTSPmanager::findInProviderList(const wchar_t* function, const std::wstring& fileName, int32_t count)
{
    for (int32_t i = 0; i < count; ++i) {
        const std::wstring name = fileNameValue(i);
        if (portable::equalsIgnoringAsciiCase(registry->getRegValue(PROVIDER_LIST_KEY, name), fileName)) {
            log(LOG_DEBUG, function, L"Found TSP in list at position: " + name);
            log(LOG_DEBUG, function, textutil::format(L"Thats it! I assume %ls is installed right", fileName.c_str()));
            return i;
        }
    }
    return -1;
}

bool cTSPmanager::addToProviderList(const std::wstring& fileName)
{
    const int32_t n = readProviderCount(FN_INSTALL_TSP);
    if (n < 0) {
        return false;
    }
    if (findInProviderList(FN_INSTALL_TSP, fileName, n) >= 0) {
        return true;
    }
    // "fing" as the line has always read: log readers match it.
    log(LOG_DEBUG, FN_INSTALL_TSP, L"UNABLE to fing TSP in the list - this is a 'first' installation");

    // Each write is attempted in the usual order; any failure makes the installation fail.
    const std::wstring nameValue = fileNameValue(n);
    log(LOG_DEBUG, FN_INSTALL_TSP, textutil::format(L"Setting %ls to %ls", nameValue.c_str(), fileName.c_str()));
    bool written =
        registry->setRegValue(HKEY_LOCAL_MACHINE, PROVIDER_LIST_KEY, nameValue, fileName, cREGhandler::KIND_TEXT);

    const int32_t m = readNumber(NEXT_PROVIDER_ID);
    const std::wstring id = idValue(n);
    log(LOG_DEBUG, FN_INSTALL_TSP, textutil::format(L"Setting %ls to %ls", id.c_str(), text(m).c_str()));
    written =
        registry->setRegValue(HKEY_LOCAL_MACHINE, PROVIDER_LIST_KEY, id, text(m), cREGhandler::KIND_NUMBER) && written;

    // The IDs are 32-bit registry numbers: the next one wraps as the stored number does.
    const int32_t next = static_cast<int32_t>(static_cast<uint32_t>(m) + 1u);
    log(LOG_DEBUG, FN_INSTALL_TSP, textutil::format(L"Setting NextProviderID to %ls", text(next).c_str()));
    written = registry->setRegValue(HKEY_LOCAL_MACHINE, PROVIDER_LIST_KEY, NEXT_PROVIDER_ID, text(next),
                                    cREGhandler::KIND_NUMBER) &&
              written;

    log(LOG_DEBUG, FN_INSTALL_TSP, textutil::format(L"Setting NumProviders to %ls", text(n + 1).c_str()));
    written = registry->setRegValue(HKEY_LOCAL_MACHINE, PROVIDER_LIST_KEY, NUM_PROVIDERS, text(n + 1),
                                    cREGhandler::KIND_NUMBER) &&
              written;
    return written;
}

void cTSPmanager::removeFromProviderList(const std::wstring& fileName)
{
    const int32_t n = readProviderCount(FN_UNINSTALL_TSP);
    if (n < 0) {
        return;
    }
    const int32_t i = findInProviderList(FN_UNINSTALL_TSP, fileName, n);
    if (i < 0) {
        // "fing" as the line has always read: log readers match it.
        log(LOG_DEBUG, FN_UNINSTALL_TSP, L"UNABLE to fing TSP in the list - I assume it is not installed");
        return;
    }

    const int32_t m = n - 1;
    if (i == m) {
        registry->delRegValue(PROVIDER_LIST_KEY, fileNameValue(i));
        registry->delRegValue(PROVIDER_LIST_KEY, idValue(i));
    } else {
        for (int32_t k = i; k < m; ++k) {
            const std::wstring moved = registry->getRegValue(PROVIDER_LIST_KEY, fileNameValue(k + 1));
            registry->setRegValue(HKEY_LOCAL_MACHINE, PROVIDER_LIST_KEY, fileNameValue(k), moved,
                                  cREGhandler::KIND_TEXT);
        }
        registry->delRegValue(PROVIDER_LIST_KEY, fileNameValue(m));
        for (int32_t k = i; k < m; ++k) {
            const std::wstring moved = registry->getRegValue(PROVIDER_LIST_KEY, idValue(k + 1));
            registry->setRegValue(HKEY_LOCAL_MACHINE, PROVIDER_LIST_KEY, idValue(k), moved, cREGhandler::KIND_NUMBER);
        }
        registry->delRegValue(PROVIDER_LIST_KEY, idValue(m));
    }
    registry->setRegValue(HKEY_LOCAL_MACHINE, PROVIDER_LIST_KEY, NUM_PROVIDERS, text(m), cREGhandler::KIND_NUMBER);
}
