// A small registry writer with the semantics of the registration scripts the drive is
// described by: keys marked force_remove are replaced whole at registration and removed whole
// at unregistration; no_remove keys are shared with others and never deleted; plain keys are
// deleted at unregistration once nothing else is left under them. Values written by a script
// are deleted at unregistration, also under no_remove keys.
#pragma once

#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace registry {

enum class removal { normal, force_remove, no_remove };

struct value {
    std::wstring name;
    bool is_string = true;
    std::wstring text; // for strings; "%NAME%" is replaced
    DWORD number = 0;  // for 32-bit numbers

    static value str(std::wstring name, std::wstring text)
    {
        return {std::move(name), true, std::move(text), 0};
    }
    static value dword(std::wstring name, DWORD n) { return {std::move(name), false, {}, n}; }
};

struct key {
    std::wstring name; // "%NAME%" is replaced
    removal mode = removal::normal;
    std::optional<std::wstring> default_value;
    std::vector<value> values;
    std::vector<key> subkeys;
};

struct root {
    HKEY hive;
    std::vector<key> keys;
};

typedef std::vector<root> script;

// An open registry key, closed once.
class hkey {
public:
    hkey() = default;
    ~hkey()
    {
        if (h_)
            RegCloseKey(h_);
    }
    hkey(const hkey&) = delete;
    hkey& operator=(const hkey&) = delete;
    HKEY* out() { return &h_; }
    HKEY get() const { return h_; }

private:
    HKEY h_ = nullptr;
};
typedef std::map<std::wstring, std::wstring> replacements;

// Replaces every "%NAME%" whose NAME is in the map; "%%" stands for one "%". The second form
// also tells whether a "%NAME%" was left because the map has no NAME.
std::wstring expand(const std::wstring& text, const replacements& with);
std::wstring expand(const std::wstring& text, const replacements& with, bool& unresolved);

// Both refuse a key whose name expands to nothing or keeps an unknown "%NAME%"

// (ERROR_INVALID_NAME), and both return the first failure as an HRESULT and stop there.
HRESULT register_script(const script& s, const replacements& with);
HRESULT unregister_script(const script& s, const replacements& with);

} // namespace registry
