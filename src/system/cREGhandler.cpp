#include "cREGhandler.h"

#include "decimal.h"

#include "handles.h"
#include "textutil.h"

#include <cstring>
#include <cwchar>
#include <cwctype>
#include <vector>

namespace {

// Opens an existing key; an empty path gives a second handle to root itself, which is closed as
// any other (RegOpenKeyExW never hands back the predefined root handle).
LONG openKey(HKEY root, const std::wstring& path, REGSAM access, handles::RegKey& key)
{
    HKEY raw = nullptr;
    const LONG status = ::RegOpenKeyExW(root, path.c_str(), 0, access, &raw);
    if (status == ERROR_SUCCESS) {
        key.reset(raw);
    }
    return status;
}

} // namespace

cREGhandler::cREGhandler(Logger* logger) : Loguser(logger) {}

cREGhandler::~cREGhandler() = default;

DWORD cREGhandler::textToNumber(const std::wstring& text)
{
    // Blanks as the wide-character classification knows them, then the shared decimal parser.
    size_t i = 0;
    while (i < text.size() && std::iswspace(text[i])) {
        ++i;
    }
    portable::DecimalValue parsed;
    if (!portable::parseDecimal(std::wstring_view(text).substr(i), &parsed)) {
        return 0;
    }
    // Clamped to the 32-bit range.
    const uint64_t limit = parsed.negative ? 2147483648ULL : 2147483647ULL;
    const int64_t magnitude = static_cast<int64_t>(parsed.overflow || parsed.value > limit ? limit : parsed.value);
    const int64_t value = parsed.negative ? -magnitude : magnitude;
    return static_cast<DWORD>(static_cast<uint32_t>(static_cast<int32_t>(value)));
}

std::wstring cREGhandler::getRegValue(std::wstring keyPath, std::wstring valueName)
{
    std::wstring result;
    const std::wstring where = keyPath + L" - " + valueName;

    handles::RegKey key;
    if (openKey(HKEY_LOCAL_MACHINE, keyPath, KEY_QUERY_VALUE | registryView, key) != ERROR_SUCCESS) {
        log(LOG_WARNING, FN_GET_REG_VALUE, L"Unable to open registry: " + where);
        return result;
    }

    // One spare zero unit behind the buffer keeps every text terminated.
    BYTE data[VALUE_BUFFER_BYTES + sizeof(wchar_t)] = {};
    DWORD type = REG_NONE;
    DWORD size = VALUE_BUFFER_BYTES;
    const LONG status = ::RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, data, &size);
    if (status != ERROR_SUCCESS) {
        if (status == ERROR_FILE_NOT_FOUND) {
            log(LOG_DEBUG, FN_GET_REG_VALUE, L"Registry key does not exist:" + where);
        } else {
            log(LOG_WARNING, FN_GET_REG_VALUE, L"Unable to read registry:" + where);
        }
        return result;
    }
    if (size > VALUE_BUFFER_BYTES) {
        size = VALUE_BUFFER_BYTES;
    }

    if (type == REG_DWORD) {
        DWORD number = 0;
        memcpy(&number, data, sizeof(number)); // shorter data: the rest of the buffer is zero
        result = textutil::format(L"%i", static_cast<int>(static_cast<int32_t>(number)));
    } else {
        const size_t units = size / sizeof(wchar_t);
        std::vector<wchar_t> text(units + 1, L'\0');
        memcpy(text.data(), data, units * sizeof(wchar_t));
        result.assign(text.data(), wcsnlen(text.data(), units));
    }
    // "red" as the line has always read: log readers match it.
    log(LOG_DEBUG, FN_GET_REG_VALUE, L"Registry key red:" + where + L" = " + result);
    return result;
}

bool cREGhandler::setRegValue(HKEY root, std::wstring keyPath, std::wstring valueName, std::wstring value, int32_t kind)
{
    const std::wstring where = keyPath + L" - " + valueName;

    handles::RegKey key;
    if (openKey(root, keyPath, KEY_SET_VALUE | registryView, key) != ERROR_SUCCESS) {
        log(LOG_WARNING, FN_SET_REG_VALUE, L"Unable to open registry: " + where);
        return false;
    }

    LONG status;
    if (kind == KIND_NUMBER) {
        const DWORD number = textToNumber(value);
        status = ::RegSetValueExW(key.get(), valueName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                                  sizeof(number));
    } else {
        const DWORD type = kind == KIND_EXPANDABLE_TEXT ? REG_EXPAND_SZ : REG_SZ;
        const size_t bytes = (value.size() + 1) * sizeof(wchar_t);
        if (bytes > 0xFFFFFFFFu) {
            status = ERROR_INVALID_PARAMETER;
        } else {
            status = ::RegSetValueExW(key.get(), valueName.c_str(), 0, type,
                                      reinterpret_cast<const BYTE*>(value.c_str()), static_cast<DWORD>(bytes));
        }
    }
    if (status != ERROR_SUCCESS) {
        log(LOG_WARNING, FN_SET_REG_VALUE, L"Unable to write registry: " + where + L" = " + value);
        return false;
    }
    log(LOG_DEBUG, FN_SET_REG_VALUE, L"Registry written: " + where + L" = " + value);
    return true;
}

bool cREGhandler::delRegValue(std::wstring keyPath, std::wstring valueName)
{
    const std::wstring where = keyPath + L" - " + valueName;

    handles::RegKey key;
    if (openKey(HKEY_LOCAL_MACHINE, keyPath, KEY_SET_VALUE | registryView, key) != ERROR_SUCCESS) {
        log(LOG_WARNING, FN_DEL_REG_VALUE, L"Unable to open registry: " + where);
        return false;
    }
    if (::RegDeleteValueW(key.get(), valueName.c_str()) != ERROR_SUCCESS) {
        log(LOG_WARNING, FN_DEL_REG_VALUE, L"Unable to delete registry value from: " + where);
        return false;
    }
    log(LOG_DEBUG, FN_DEL_REG_VALUE, L"Registry value deleted from: " + where);
    return true;
}

bool cREGhandler::addRegKey(std::wstring parentPath, std::wstring newKeyName)
{
    const std::wstring where = parentPath + L" - " + newKeyName;

    handles::RegKey parent;
    if (openKey(HKEY_CURRENT_USER, parentPath, KEY_CREATE_SUB_KEY | registryView, parent) != ERROR_SUCCESS) {
        log(LOG_WARNING, FN_ADD_REG_KEY, L"Unable to open registry: " + where);
        return false;
    }
    HKEY raw = nullptr;
    const LONG status = ::RegCreateKeyExW(parent.get(), newKeyName.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                          KEY_QUERY_VALUE | registryView, nullptr, &raw, nullptr);
    if (status != ERROR_SUCCESS) {
        log(LOG_WARNING, FN_ADD_REG_KEY, L"Unable to add registry key: " + where);
        return false;
    }
    handles::RegKey created(raw);
    log(LOG_DEBUG, FN_ADD_REG_KEY, L"Registry key added: " + where);
    created.reset(); // the new key first, then the parent
    return true;
}
