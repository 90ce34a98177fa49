#include "registryfixture.h"

#include "handles.h"
#include "testsupport.h"

#include <cstring>
#include <vector>

namespace registryfixture {

Value raw(DWORD type, const void* data, size_t size)
{
    return Value{type, std::string(static_cast<const char*>(data), size)};
}

Value text(const std::wstring& s, DWORD type) { return raw(type, s.c_str(), (s.size() + 1) * sizeof(wchar_t)); }

Value number(DWORD n) { return raw(REG_DWORD, &n, sizeof(n)); }

std::string describe(const Values& values)
{
    std::string out;
    for (const auto& [name, v] : values) {
        out += testsupport::narrow(name) + "=";
        if (v.type == REG_DWORD && v.data.size() == sizeof(DWORD)) {
            DWORD n = 0;
            memcpy(&n, v.data.data(), sizeof(n));
            out += std::to_string(n);
        } else if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) {
            const std::wstring w(reinterpret_cast<const wchar_t*>(v.data.data()), v.data.size() / sizeof(wchar_t));
            out += '\'';
            out += testsupport::narrow(w.c_str());
            out += '\'';
        } else {
            out += "type" + std::to_string(v.type);
        }
        out += " ";
    }
    return out;
}

namespace {

LONG open(HKEY root, const std::wstring& path, REGSAM access, handles::RegKey& key)
{
    return ::RegOpenKeyExW(root, path.c_str(), 0, access, key.put());
}

} // namespace

bool Key::exists(const std::wstring& subkey) const
{
    handles::RegKey key;
    return open(root_, subkey.empty() ? path_ : path_ + L"\\" + subkey, KEY_QUERY_VALUE | view_, key) == ERROR_SUCCESS;
}

Values Key::values() const
{
    Values out;
    handles::RegKey key;
    DWORD count = 0, longestName = 0, longestData = 0;
    if (open(root_, path_, KEY_QUERY_VALUE | view_, key) != ERROR_SUCCESS ||
        ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &longestName,
                           &longestData, nullptr, nullptr) != ERROR_SUCCESS) {
        return out;
    }
    std::vector<wchar_t> name(longestName + 1);
    std::vector<BYTE> data(longestData + 1);
    for (DWORD i = 0; i < count; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD size = static_cast<DWORD>(data.size());
        DWORD type = 0;
        if (::RegEnumValueW(key.get(), i, name.data(), &nameLength, nullptr, &type, data.data(), &size) !=
            ERROR_SUCCESS) {
            break;
        }
        out[std::wstring(name.data(), nameLength)] = raw(type, data.data(), size);
    }
    return out;
}

std::optional<Value> Key::value(const std::wstring& name) const
{
    handles::RegKey key;
    DWORD type = 0, size = 0;
    if (open(root_, path_, KEY_QUERY_VALUE | view_, key) != ERROR_SUCCESS ||
        ::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::string data(size, '\0');
    if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    data.resize(size);
    return Value{type, data};
}

std::optional<DWORD> Key::number(const std::wstring& name) const
{
    const std::optional<Value> v = value(name);
    DWORD n = 0;
    if (!v || v->type != REG_DWORD || v->data.size() != sizeof(n)) {
        return std::nullopt;
    }
    memcpy(&n, v->data.data(), sizeof(n));
    return n;
}

bool Key::set(const std::wstring& name, const Value& value) const
{
    handles::RegKey key;
    return ::RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view_, nullptr, key.put(), nullptr) ==
               ERROR_SUCCESS &&
           ::RegSetValueExW(key.get(), name.c_str(), 0, value.type, reinterpret_cast<const BYTE*>(value.data.data()),
                            static_cast<DWORD>(value.data.size())) == ERROR_SUCCESS;
}

bool Key::remove(const std::wstring& name) const
{
    handles::RegKey key;
    return open(root_, path_, KEY_SET_VALUE | view_, key) == ERROR_SUCCESS &&
           ::RegDeleteValueW(key.get(), name.c_str()) == ERROR_SUCCESS;
}

bool Key::replaceValues(const Values& values) const
{
    handles::RegKey key;
    bool ok = ::RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view_, nullptr, key.put(),
                                nullptr) == ERROR_SUCCESS;
    for (const auto& [name, v] : this->values()) {
        if (values.count(name) == 0) {
            ok = remove(name) && ok;
        }
    }
    for (const auto& [name, v] : values) {
        ok = set(name, v) && ok;
    }
    return ok;
}

bool Key::removeKey() const
{
    {
        handles::RegKey key;
        if (open(root_, path_, KEY_ALL_ACCESS | view_, key) != ERROR_SUCCESS) {
            return false;
        }
        ::RegDeleteTreeW(key.get(), nullptr); // subkeys and values
    }
    return ::RegDeleteKeyExW(root_, path_.c_str(), view_, 0) == ERROR_SUCCESS;
}

ScratchKey::ScratchKey(HKEY root, const std::wstring& tag)
    : Key(root, L"Software\\CVTest-" + tag + L"-" + std::to_wstring(::GetCurrentProcessId()))
{
    removeKey();
    handles::RegKey key;
    ok_ = ::RegCreateKeyExW(root, path().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr) ==
          ERROR_SUCCESS;
}

ScratchKey::~ScratchKey() { removeKey(); }

SavedKey::SavedKey(HKEY root, std::wstring path, REGSAM view)
    : Key(root, std::move(path), view), existed_(exists()), saved_(values())
{
}

SavedKey::~SavedKey()
{
    if (existed_) {
        replaceValues(saved_);
    } else {
        removeKey();
    }
}

SavedValue::SavedValue(HKEY root, std::wstring path, std::wstring name)
    : key_(root, std::move(path)), name_(std::move(name)), saved_(key_.value(name_))
{
}

SavedValue::~SavedValue()
{
    if (saved_) {
        key_.set(name_, *saved_);
    } else {
        key_.remove(name_);
    }
}

} // namespace registryfixture
