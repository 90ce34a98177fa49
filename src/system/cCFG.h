// cCFG: the global configuration object. Construction loads, in fixed stages, an environment
// reader, a file object for the running executable and the configuration file beside the
// executable, and then records the browser-emulation value for this executable in the current
// user's registry when the installed Internet Explorer version calls for one. writeParameter puts
// one key into the section "common" of the configuration file. The application creates one per
// run after reading the deployment block, writes through it and deletes it; cCFG owns the three
// loaded objects and deletes them with itself. Its three capability bases each hold the same
// run's Logger (not owned); cCFG logs through the registry handler's.
#pragma once

#include "cCOMhandler.h"
#include "cOLEhandler.h"
#include "cREGhandler.h"

#include <memory>
#include <string>

class cEnvironment;
class Fileobject;
class FileobjectConfigfile;

class cCFG : public cREGhandler, public cOLEhandler, public cCOMhandler {
public:
    // The function names its log lines carry.
    static constexpr const wchar_t* FN_CONSTRUCTOR = L"cCFG::cCFG";
    static constexpr const wchar_t* FN_DESTRUCTOR = L"cCFG::~cCFG";

    static constexpr const wchar_t* SECTION_COMMON = L"common";
    static constexpr const wchar_t* BROWSER_KEY = L"Software\\Microsoft\\Internet Explorer";
    static constexpr const wchar_t* BROWSER_MAIN_KEY = L"Software\\Microsoft\\Internet Explorer\\MAIN";
    static constexpr const wchar_t* FEATURE_CONTROL_KEY =
        L"Software\\Microsoft\\Internet Explorer\\MAIN\\FeatureControl";
    static constexpr const wchar_t* BROWSER_EMULATION_KEY =
        L"Software\\Microsoft\\Internet Explorer\\MAIN\\FeatureControl\\FEATURE_BROWSER_EMULATION";
    static constexpr const wchar_t* FEATURE_CONTROL_SUBKEY = L"FeatureControl";
    static constexpr const wchar_t* BROWSER_EMULATION_SUBKEY = L"FEATURE_BROWSER_EMULATION";
    static constexpr const wchar_t* VERSION_VALUE = L"Version";

    // configFileName: a bare file name; the file lives in the executable's folder.
    cCFG(Logger* logger, std::wstring configFileName);
    ~cCFG() override;
    int32_t getClassKind() const override { return 0; }

    // One logger for the object: the registry handler's (the other two bases hold the same one).
    void log(int32_t level, const std::wstring& functionName, const std::wstring& message) const
    {
        static_cast<const cREGhandler*>(this)->log(level, functionName, message);
    }
    Logger* getLogger() const { return static_cast<const cREGhandler*>(this)->getLogger(); }

    // key = value into the section "common"; the write's success is not passed on.
    void writeParameter(std::wstring key, std::wstring value);

    // The browser-emulation value for an installed browser version text; empty for none.
    static std::wstring emulationValueFor(const std::wstring& version);

    FileobjectConfigfile* getConfigfile() const { return configfile.get(); }
    Fileobject* getApplicationFile() const { return applicationFile.get(); }

protected:
    // browserKey: where the installed version is read under HKEY_LOCAL_MACHINE (tests point it
    // at a scratch key; the product uses BROWSER_KEY).
    cCFG(Logger* logger, std::wstring configFileName, std::wstring browserKey);

private:
    std::unique_ptr<FileobjectConfigfile> configfile;
    std::unique_ptr<cEnvironment> environment;
    std::unique_ptr<Fileobject> applicationFile;
};
