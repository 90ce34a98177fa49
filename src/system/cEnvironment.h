// cEnvironment: reads variables of the process environment by name and logs every read, and
// names the environment variables the installer reads. Callers create one when they need a
// value, read, and delete it again; the global configuration (cCFG) keeps one for its lifetime.
// It holds only the run's Logger pointer, which it does not own.
#pragma once

#include "Loguser.h"

#include <string>

class cEnvironment : public Loguser {
public:
    // The function names its log lines carry.
    static constexpr const wchar_t* FN_GET_ENVIRONMENT_VARIABLE = L"cEnvironment::getEnvironmentVariable";

    // The variables the installer reads. APPDATA is read by the start-up code directly, before
    // any logger exists; USERNAME and WINDIR are read through this class.
    static constexpr const wchar_t* ENV_APPDATA = L"APPDATA";
    static constexpr const wchar_t* ENV_USERNAME = L"USERNAME";
    static constexpr const wchar_t* ENV_WINDIR = L"WINDIR";

    explicit cEnvironment(Logger* logger);
    ~cEnvironment() override;
    int32_t getClassKind() const override { return 0; }

    // The variable's value as set, unchanged; empty when it is not set (or set to empty text).
    std::wstring getEnvironmentVariable(std::wstring name);
    // The same read without a log line, for callers that run before any logger exists.
    static std::wstring readVariable(const std::wstring& name);
};
