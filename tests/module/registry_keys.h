// Reading and making registry keys for the registration tests.
#pragma once

#include <windows.h>

#include <string>

namespace qm_test {

inline bool key_exists(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

inline bool create_key(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// "<no key>" and "<missing>" apart, so that a value found gone is gone from a key still there.
inline std::wstring read_string(HKEY root, const std::wstring& path, const wchar_t* name)
{
    if (!key_exists(root, path))
        return L"<no key>";
    wchar_t buffer[1024] = {};
    DWORD size = sizeof buffer;
    const LSTATUS rc = RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size);
    return rc == ERROR_SUCCESS ? buffer : rc == ERROR_FILE_NOT_FOUND ? L"<missing>" : L"<error>";
}

} // namespace qm_test
