// cTSPmanager: installs and removes the Callvane telephony service provider. Installation puts
// the provider DLL that the executable carries into the Windows system folder (keeping the file
// it replaces under the same name followed by ".OLD") and enters its file name into the
// telephony provider list in the registry; removal takes the entry out of the list, closing the
// gap, and moves the file aside (or deletes it). Which build, which folder and which registry
// view are Providerplacement's decision: on 64-bit Windows the 64-bit build in the real system
// folder and the 64-bit view, where the telephony service looks; removal also cleans up what an
// earlier 32-bit installer left in SysWOW64 and the 32-bit view. The command-line handling
// creates one with the run's Logger (not owned) for one operation and deletes it right after; the
// manager owns its resource extractor and registry handler. The Windows and system folders come
// from the system, never from the WINDIR environment variable: an elevated run must not write
// where the user's environment points it.
#pragma once

#include "Loguser.h"
#include "Providerplacement.h"
#include "resource.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class Binaryresourcemanager;
class Fileobject;
class cREGhandler;

class cTSPmanager : public Loguser {
public:
    // The function names its log lines carry.
    static constexpr const wchar_t* FN_INSTALL_TSP = L"cTSPmanager::installTSP";
    static constexpr const wchar_t* FN_UNINSTALL_TSP = L"cTSPmanager::uninstallTSP";

    // The telephony provider list under HKEY_LOCAL_MACHINE, and its values.
    static constexpr const wchar_t* PROVIDER_LIST_KEY =
        L"SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\TELEPHONY\\PROVIDERS";
    static constexpr const wchar_t* NUM_PROVIDERS = L"NumProviders";
    static constexpr const wchar_t* NEXT_PROVIDER_ID = L"NextProviderID";
    static constexpr const wchar_t* PROVIDER_FILE_NAME_FORMAT = L"ProviderFileName%i";
    static constexpr const wchar_t* PROVIDER_ID_FORMAT = L"ProviderID%i";
    // Resource type of the embedded provider builds, and the suffix of the replaced file.
    static constexpr const wchar_t* RESOURCE_TYPE = RT_TSP_NAME;
    static constexpr const wchar_t* OLD_SUFFIX = L".OLD";
    // A provider count beyond this (or below 0) marks the list as damaged: it is left alone.
    static constexpr int32_t MAX_PROVIDER_ENTRIES = 1000;

    // The provider folder is the system folder ("Sysnative" in the Windows folder for a 32-bit
    // program on 64-bit Windows), for the platform the program runs on, or the one given; the
    // folders as the system names them, or as given (tests).
    explicit cTSPmanager(Logger* logger);
    cTSPmanager(Logger* logger, Providerplacement::Platform platform);
    cTSPmanager(Logger* logger, Providerplacement::Platform platform, const Providerplacement::SystemFolders& folders);
    // With the placement given outright (the decisions above are Providerplacement's; tests).
    cTSPmanager(Logger* logger, const Providerplacement::Target& target,
                const std::optional<Providerplacement::Target>& earlierTarget);
    ~cTSPmanager() override;
    int32_t getClassKind() const override { return 0; }

    // True when the provider file was written and (with registration) the list holds it. A failed
    // extraction puts back the file it had moved aside to ".OLD".
    bool installTSP(std::wstring fileName);
    bool installTSP(std::wstring fileName, bool registerProvider, std::wstring folder);
    // True unless a provider file exists and can be neither moved aside nor deleted. The short form
    // removes the provider from its place and from where an earlier 32-bit installer put it.
    bool uninstallTSP(std::wstring fileName);
    bool uninstallTSP(std::wstring fileName, bool registerProvider, std::wstring folder);

    std::wstring getProviderFolder() const { return providerFolder; }
    const Providerplacement::Target& getTarget() const { return target; }
    const std::optional<Providerplacement::Target>& getEarlierTarget() const { return earlierTarget; }

private:
    // Deletes an ".OLD" file left by an earlier run, logging under function.
    void deleteOldFile(const wchar_t* function, const std::wstring& fileName, const std::wstring& folder,
                       Fileobject& oldFile);
    // Logs the folder, drops a ".OLD" copy left by an earlier run, fills in the file's full path and
    // its ".OLD" path, and tells whether the file is there.
    bool prepareFolder(const wchar_t* function, const std::wstring& fileName, const std::wstring& folder,
                       std::wstring& fullPath, std::wstring& oldPath);
    // Moves the existing provider file to its ".OLD" name; true when it was moved.
    bool moveAside(const std::wstring& fileName, const std::wstring& folder, const std::wstring& fullPath,
                   const std::wstring& oldPath);
    // Puts the file moved aside back after a failed extraction.
    void restoreOld(const std::wstring& fullPath, const std::wstring& oldPath);
    // False when the list could not be written (or is damaged).
    bool addToProviderList(const std::wstring& fileName);
    void removeFromProviderList(const std::wstring& fileName);
    // The list's entry count, or -1 (logged) when it is out of range.
    int32_t readProviderCount(const wchar_t* function);
    // Position of fileName in entries 0 to count - 1 (letters A to Z in any case), or -1.
    int32_t findInProviderList(const wchar_t* function, const std::wstring& fileName, int32_t count);
    int32_t readNumber(const std::wstring& valueName);

    std::unique_ptr<Binaryresourcemanager> resourceManager;
    std::unique_ptr<cREGhandler> registry;
    Providerplacement::Target target;
    std::optional<Providerplacement::Target> earlierTarget;
    std::wstring providerFolder;
};
