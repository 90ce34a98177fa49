// FileobjectConfigfile: an INI-style configuration file ("[section]" lines, "key=value" entries,
// CR LF line ends, ANSI text) to which single entries are written through the platform's
// private-profile writer: new sections and keys are appended, an existing key is replaced in
// place, names match without case. The file is created empty before the first write. It is only
// ever written, never read back. The global configuration (cCFG) owns the installer's instance;
// the Logger pointer is the run's and is not owned.
#pragma once

#include "Fileobject.h"
#include "Loguser.h"

#include <string>

class FileobjectConfigfile : public Fileobject, public Loguser {
public:
    // The function names its log lines carry.
    static constexpr const wchar_t* FN_CHECK4_CONFIGFILE = L"FileobjectConfigfile::check4Configfile";
    static constexpr const wchar_t* FN_CONSTRUCTOR = L"FileobjectConfigfile::FileobjectConfigfile";
    static constexpr const wchar_t* FN_WRITE_CFG_PARAM_STRING = L"FileobjectConfigfile::writeCFGparamSTRING";

    FileobjectConfigfile(Logger* logger, std::wstring folder, std::wstring filename);
    ~FileobjectConfigfile() override;
    int32_t getClassKind() const override { return 0; }

    // Creates the file empty when nothing of its name exists.
    void check4Configfile();
    // Writes key = value into section; true when the platform's writer succeeded.
    bool writeCFGparamSTRING(std::wstring section, std::wstring key, std::wstring value);
};
