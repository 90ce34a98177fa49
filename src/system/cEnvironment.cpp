#include "cEnvironment.h"

#include <windows.h>

#include <vector>

cEnvironment::cEnvironment(Logger* logger) : Loguser(logger) {}

cEnvironment::~cEnvironment() = default;

std::wstring cEnvironment::readVariable(const std::wstring& name)
{
    std::wstring value;
    DWORD needed = ::GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    // The value can change between asking for its size and reading it (another thread may set
    // it); read again with the larger size until it fits.
    while (needed != 0) {
        std::vector<wchar_t> buffer(static_cast<size_t>(needed) + 1, L'\0');
        const DWORD got = ::GetEnvironmentVariableW(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (got < buffer.size()) {
            value.assign(buffer.data(), got);
            break;
        }
        needed = got;
    }
    return value;
}

std::wstring cEnvironment::getEnvironmentVariable(std::wstring name)
{
    const std::wstring value = readVariable(name);
    log(LOG_DEBUG, FN_GET_ENVIRONMENT_VARIABLE, L"Red environment variable: " + name + L" value: " + value);
    return value;
}
