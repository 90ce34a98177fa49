// cREGhandler: the installer's only access to the Windows registry. Four operations, each of
// which opens the key it needs, does one thing, closes the key and logs one line about the
// outcome. Values cross the interface as text; numbers are converted inside. Reads, deletes and
// key creation work under fixed roots (HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER); the write takes
// its root from the caller. It keeps no key open and no state but the run's Logger pointer (not
// owned). The telephony provider installation creates its own; cCFG derives from it.
#pragma once

#include "Loguser.h"

#include <windows.h>

#include <cstdint>
#include <string>

class cREGhandler : public Loguser {
public:
    // The function names its log lines carry.
    static constexpr const wchar_t* FN_ADD_REG_KEY = L"cREGhandler::addRegKey";
    static constexpr const wchar_t* FN_DEL_REG_VALUE = L"cREGhandler::delRegValue";
    static constexpr const wchar_t* FN_GET_REG_VALUE = L"cREGhandler::getRegValue";
    static constexpr const wchar_t* FN_SET_REG_VALUE = L"cREGhandler::setRegValue";

    // Value kinds of setRegValue; any other kind is written as text.
    static constexpr int32_t KIND_TEXT = 1;
    static constexpr int32_t KIND_NUMBER = 2;
    static constexpr int32_t KIND_EXPANDABLE_TEXT = 3;
    // Size of the read buffer: longer values cannot be read.
    static constexpr DWORD VALUE_BUFFER_BYTES = 256;

    explicit cREGhandler(Logger* logger);
    ~cREGhandler() override;
    int32_t getClassKind() const override { return 0; }

    // A value under HKEY_LOCAL_MACHINE as text (REG_DWORD as signed decimal); empty on any failure.
    std::wstring getRegValue(std::wstring keyPath, std::wstring valueName);
    // Writes a value under an existing key of root; the key is never created.
    bool setRegValue(HKEY root, std::wstring keyPath, std::wstring valueName, std::wstring value, int32_t kind);
    // Deletes a value under HKEY_LOCAL_MACHINE; a missing value is a failure.
    bool delRegValue(std::wstring keyPath, std::wstring valueName);
    // Creates (or opens, when present) newKeyName under an existing HKEY_CURRENT_USER parent.
    bool addRegKey(std::wstring parentPath, std::wstring newKeyName);

    // The registry view of every later operation: 0 (the process's own), KEY_WOW64_64KEY or
    // KEY_WOW64_32KEY. The telephony provider list of 64-bit Windows lives in the 64-bit view.
    void setRegistryView(REGSAM view) { registryView = view; }
    REGSAM getRegistryView() const { return registryView; }

    // Kind-2 conversion: base-10 with optional sign after leading white space, digits up to the
    // first non-digit, 0 without digits, clamped to the signed 32-bit range; the 32-bit pattern.
    static DWORD textToNumber(const std::wstring& text);

private:
    REGSAM registryView = 0;
};
