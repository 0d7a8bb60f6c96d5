#include "support/paths.h"

#include <windows.h>

namespace qm_test {

std::wstring windows_path(const std::string& unix_path)
{
    std::wstring out = L"Z:";
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, unix_path.c_str(), static_cast<int>(unix_path.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, unix_path.c_str(), static_cast<int>(unix_path.size()), wide.data(), n);
    for (wchar_t& c : wide)
        if (c == L'/')
            c = L'\\';
    return out + wide;
}

std::wstring artifacts_dir()
{
    const std::wstring dir = windows_path(QM_BINARY_DIR) + L"\\artifacts";
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

std::wstring program_dir()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p = path;
    return p.substr(0, p.find_last_of(L"\\/"));
}

} // namespace qm_test
