#include "module/registry.h"

namespace registry {

namespace {

HRESULT from_win32(LONG rc)
{
    return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(rc));
}

HRESULT set_value(HKEY k, const value& v, const replacements& with)
{
    const std::wstring name = expand(v.name, with);
    if (v.is_string) {
        const std::wstring text = expand(v.text, with);
        return from_win32(RegSetValueExW(k, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                                         reinterpret_cast<const BYTE*>(text.c_str()),
                                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))));
    }
    return from_win32(RegSetValueExW(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v.number),
                                     sizeof v.number));
}

// A key's name as the registry sees it. An empty name addresses the parent itself and a
// reference left unexpanded is a script or replacement mistake; either would make the tree
// deletions below remove (or the writes land in) a key the script never named, so both are
// refused.
HRESULT key_name(const key& k, const replacements& with, std::wstring& name)
{
    bool unresolved = false;
    name = expand(k.name, with, unresolved);
    return name.empty() || unresolved ? HRESULT_FROM_WIN32(ERROR_INVALID_NAME) : S_OK;
}

HRESULT register_key(HKEY parent, const key& k, const replacements& with)
{
    std::wstring name;
    if (const HRESULT bad = key_name(k, with, name); FAILED(bad))
        return bad;
    if (k.mode == removal::force_remove) {
        const LONG rc = RegDeleteTreeW(parent, name.c_str());
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
            return from_win32(rc);
    }
    hkey h;
    HRESULT hr = from_win32(
        RegCreateKeyExW(parent, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, h.out(), nullptr));
    if (FAILED(hr))
        return hr;
    if (k.default_value) {
        hr = set_value(h.get(), value::str(L"", *k.default_value), with);
        if (FAILED(hr))
            return hr;
    }
    for (const value& v : k.values) {
        hr = set_value(h.get(), v, with);
        if (FAILED(hr))
            return hr;
    }
    for (const key& sub : k.subkeys) {
        hr = register_key(h.get(), sub, with);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT unregister_key(HKEY parent, const key& k, const replacements& with)
{
    std::wstring name;
    if (const HRESULT bad = key_name(k, with, name); FAILED(bad))
        return bad;
    if (k.mode == removal::force_remove) {
        LONG rc = RegDeleteTreeW(parent, name.c_str());
        if (rc == ERROR_SUCCESS)
            rc = RegDeleteKeyW(parent, name.c_str());
        return rc == ERROR_FILE_NOT_FOUND ? S_OK : from_win32(rc);
    }
    DWORD subkeys = 0;
    {
        hkey h;
        const LONG rc = RegOpenKeyExW(parent, name.c_str(), 0, KEY_ALL_ACCESS, h.out());
        if (rc == ERROR_FILE_NOT_FOUND)
            return S_OK; // already gone: unregistration is idempotent
        if (rc != ERROR_SUCCESS)
            return from_win32(rc);
        for (const key& sub : k.subkeys) {
            const HRESULT hr = unregister_key(h.get(), sub, with);
            if (FAILED(hr))
                return hr;
        }
        for (const value& v : k.values) {
            const std::wstring value_name = expand(v.name, with);
            const LONG del = RegDeleteValueW(h.get(), value_name.c_str());
            if (del != ERROR_SUCCESS && del != ERROR_FILE_NOT_FOUND)
                return from_win32(del);
        }
        const LONG q = RegQueryInfoKeyW(h.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                        nullptr, nullptr, nullptr, nullptr, nullptr);
        if (q != ERROR_SUCCESS)
            return from_win32(q);
    }
    if (k.mode == removal::normal && subkeys == 0) {
        const LONG rc = RegDeleteKeyW(parent, name.c_str());
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
            return from_win32(rc);
    }
    return S_OK;
}

} // namespace

std::wstring expand(const std::wstring& text, const replacements& with)
{
    bool unresolved = false;
    return expand(text, with, unresolved);
}

std::wstring expand(const std::wstring& text, const replacements& with, bool& unresolved)
{
    unresolved = false;
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'%') {
            out += text[i];
            continue;
        }
        const size_t end = text.find(L'%', i + 1);
        if (end == std::wstring::npos) {
            out.append(text, i, std::wstring::npos);
            break;
        }
        if (end == i + 1) {
            out += L'%';
        }
        else {
            const auto found = with.find(text.substr(i + 1, end - i - 1));
            if (found == with.end()) {
                unresolved = true;
                out.append(text, i, end - i); // not ours: keep it, rescan from the second '%'
                i = end - 1;
                continue;
            }
            out += found->second;
        }
        i = end;
    }
    return out;
}

HRESULT register_script(const script& s, const replacements& with)
{
    for (const root& r : s) {
        for (const key& k : r.keys) {
            const HRESULT hr = register_key(r.hive, k, with);
            if (FAILED(hr))
                return hr;
        }
    }
    return S_OK;
}

HRESULT unregister_script(const script& s, const replacements& with)
{
    for (const root& r : s) {
        for (const key& k : r.keys) {
            const HRESULT hr = unregister_key(r.hive, k, with);
            if (FAILED(hr))
                return hr;
        }
    }
    return S_OK;
}

} // namespace registry
