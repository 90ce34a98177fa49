#include "cCFG.h"

#include "FileobjectConfigfile.h"
#include "cEnvironment.h"

#include <windows.h>

cCFG::cCFG(Logger* logger, std::wstring configFileName) : cCFG(logger, std::move(configFileName), BROWSER_KEY) {}

cCFG::cCFG(Logger* logger, std::wstring configFileName, std::wstring browserKey)
    : cREGhandler(logger), cOLEhandler(logger), cCOMhandler(logger)
{

    log(LOG_DEBUG, FN_CONSTRUCTOR, L"Loading environment");
    environment = std::make_unique<cEnvironment>(logger);

    log(LOG_DEBUG, FN_CONSTRUCTOR, L"Loading fileobject of application");
    applicationFile = std::make_unique<Fileobject>(modulePath());

    log(LOG_DEBUG, FN_CONSTRUCTOR, L"Loading global configuration");
    configfile = std::make_unique<FileobjectConfigfile>(logger, folderOf(modulePath()), std::move(configFileName));

    const std::wstring version = getRegValue(std::move(browserKey), VERSION_VALUE);
    log(LOG_MESSAGE, FN_CONSTRUCTOR, L"Installed version of IE: " + version);

    const std::wstring emulation = emulationValueFor(version);
    if (emulation.empty()) {
        return;
    }
    addRegKey(BROWSER_MAIN_KEY, FEATURE_CONTROL_SUBKEY);
    addRegKey(FEATURE_CONTROL_KEY, BROWSER_EMULATION_SUBKEY);
    setRegValue(HKEY_CURRENT_USER, BROWSER_EMULATION_KEY, applicationFile->getFilename(), emulation, KIND_NUMBER);
}

cCFG::~cCFG()
{
    log(LOG_DEBUG, FN_DESTRUCTOR, L"Unloading global configuration");
    configfile.reset();
    log(LOG_DEBUG, FN_DESTRUCTOR, L"Unloading environment");
    environment.reset();
    log(LOG_DEBUG, FN_DESTRUCTOR, L"Unloading fileobject of application");
    applicationFile.reset();
}

void cCFG::writeParameter(std::wstring key, std::wstring value)
{
    configfile->writeCFGparamSTRING(SECTION_COMMON, std::move(key), std::move(value));
}

std::wstring cCFG::emulationValueFor(const std::wstring& version)
{
    const size_t dot = version.find(L'.');
    if (version.empty() || dot == std::wstring::npos || dot == 0) {
        return {};
    }
    const std::wstring major = version.substr(0, dot);
    const std::wstring rest = version.substr(dot + 1);
    if (major == L"8") {
        return L"8000";
    }
    if (major == L"9") {
        const size_t minorEnd = rest.find(L'.');
        if (minorEnd == std::wstring::npos || minorEnd == 0) {
            return {};
        }
        const std::wstring minor = rest.substr(0, minorEnd);
        if (minor == L"0") {
            return L"9000";
        }
        if (minor == L"10") {
            return L"10000";
        }
        return {};
    }
    if (major == L"10") {
        return L"10000";
    }
    if (major == L"11") {
        return L"11000";
    }
    return {};
}
