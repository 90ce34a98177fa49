// registryfixture: the prefix's real registry for the unit tests. Key reads and writes one key
// of one registry view value by value; ScratchKey is a key of the test's own, created empty and
// removed with its subtree at the end; SavedKey and SavedValue put back, at the end of a test,
// what a key (or one value of it) held at its start, for tests that change keys the system or
// the program owns (the telephony provider list, the browser emulation list).
#pragma once

#include <windows.h>

#include <map>
#include <optional>
#include <string>

namespace registryfixture {

struct Value {
    DWORD type = REG_NONE;
    std::string data; // the raw bytes
    bool operator==(const Value& other) const { return type == other.type && data == other.data; }
};
using Values = std::map<std::wstring, Value>;

Value raw(DWORD type, const void* data, size_t size);
Value text(const std::wstring& s, DWORD type = REG_SZ); // with its terminating zero
Value number(DWORD n);
// "name=value name=value ..." for a failed comparison's message.
std::string describe(const Values& values);

// A key below root in one registry view (0: this process's view, KEY_WOW64_64KEY or
// KEY_WOW64_32KEY). Holds no handle: every call opens and closes the key.
class Key {
public:
    Key(HKEY root, std::wstring path, REGSAM view = 0) : root_(root), path_(std::move(path)), view_(view) {}
    const std::wstring& path() const { return path_; }

    bool exists(const std::wstring& subkey = L"") const;
    Values values() const; // none when the key is missing
    std::optional<Value> value(const std::wstring& name) const;
    std::optional<DWORD> number(const std::wstring& name) const; // none when missing or no DWORD
    // Writers create the key when it is missing.
    bool set(const std::wstring& name, const Value& value) const;
    bool setText(const std::wstring& name, const std::wstring& s, DWORD type = REG_SZ) const
    {
        return set(name, registryfixture::text(s, type));
    }
    bool setNumber(const std::wstring& name, DWORD n) const { return set(name, registryfixture::number(n)); }
    bool remove(const std::wstring& name) const;    // one value
    bool replaceValues(const Values& values) const; // these values, the others removed
    bool removeKey() const;                         // with its subtree

private:
    HKEY root_;
    std::wstring path_;
    REGSAM view_;
};

// A fresh, empty key "Software\CVTest-<tag>-<process id>" below root, removed with its subtree by
// the destructor.
class ScratchKey : public Key {
public:
    ScratchKey(HKEY root, const std::wstring& tag);
    ~ScratchKey();
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

// Saves the values of a key when made and puts them back when it goes (every other value
// removed), or removes the key when it had none. Subkeys are not saved.
class SavedKey : public Key {
public:
    SavedKey(HKEY root, std::wstring path, REGSAM view = 0);
    ~SavedKey();
    SavedKey(const SavedKey&) = delete;
    SavedKey& operator=(const SavedKey&) = delete;

private:
    bool existed_;
    Values saved_;
};

// Saves one value when made and puts it back when it goes, or removes it when it was missing; the
// key's other values (of other programs) stay as they are then.
class SavedValue {
public:
    SavedValue(HKEY root, std::wstring path, std::wstring name);
    ~SavedValue();
    SavedValue(const SavedValue&) = delete;
    SavedValue& operator=(const SavedValue&) = delete;

private:
    Key key_;
    std::wstring name_;
    std::optional<Value> saved_;
};

} // namespace registryfixture
