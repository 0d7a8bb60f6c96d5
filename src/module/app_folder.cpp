#include "module/app_folder.h"

#include <shlobj.h>
#include <windows.h>

std::wstring application_folder(const wchar_t* name, std::wstring& failure)
{
    wchar_t base[MAX_PATH] = {};
    if (!SHGetSpecialFolderPathW(nullptr, base, CSIDL_LOCAL_APPDATA, TRUE)) {
        failure = L"Can't retrieve application folder";
        return {};
    }
    std::wstring path = base;
    for (const wchar_t* part : {L"Quillmere", name}) {
        path += L'\\';
        path += part;
        if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            failure = L"Can't create Quillmere folder";
            return {};
        }
    }
    return path;
}
