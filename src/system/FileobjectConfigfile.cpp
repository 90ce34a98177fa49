#include "FileobjectConfigfile.h"

#include <windows.h>

FileobjectConfigfile::FileobjectConfigfile(Logger* logger, std::wstring folder, std::wstring filename)
    : Fileobject(std::move(folder), std::move(filename)), Loguser(logger)
{
    log(LOG_DEBUG, FN_CONSTRUCTOR, L"Prepared configfile: " + fullPath);
}

FileobjectConfigfile::~FileobjectConfigfile() = default;

void FileobjectConfigfile::check4Configfile()
{
    if (exists()) {
        return;
    }
    log(LOG_MESSAGE, FN_CHECK4_CONFIGFILE, L"Configfile does not exist (creating it): " + fullPath);
    // An empty file (no byte-order mark) makes the platform's writer store ANSI text. A failure
    // shows in the write that follows.
    createFile();
}

bool FileobjectConfigfile::writeCFGparamSTRING(std::wstring section, std::wstring key, std::wstring value)
{
    check4Configfile();
    if (key.find(L"DEBUG") == std::wstring::npos) {
        log(LOG_DEBUG, FN_WRITE_CFG_PARAM_STRING,
            L"Writing parameter to: " + fullPath + L" [" + section + L"] " + key + L" = >" + value + L"<");
    }
    return ::WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), fullPath.c_str()) != FALSE;
}
