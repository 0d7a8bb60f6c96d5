#include "shell/extract_icon.h"

#include "shell/boundary.h"
#include "shell/shell_folder.h"

#include <shellapi.h>

#include <cwchar>

namespace {

// The system answers from the attribute and extension alone: no file is touched.
struct icon_source {
    std::wstring path;
    DWORD attributes;
};

icon_source source_of(const PIDLDATA& record)
{
    if (pidl_is_directory(record))
        return {L"*", FILE_ATTRIBUTE_DIRECTORY};
    return {name_extension(pidl_name(record)), FILE_ATTRIBUTE_NORMAL};
}

} // namespace

const QITAB* CExtractIconImpl::interface_table()
{
    // The SDK headers give IExtractIconW no __uuidof, so its row names the IID itself.
    static const QITAB table[] = {{&IID_IExtractIconW, OFFSETOFCLASS(IExtractIconW, CExtractIconImpl)}, {}};
    return table;
}

IFACEMETHODIMP CExtractIconImpl::GetIconLocation(UINT flags, LPWSTR icon_file, UINT length, int* index,
                                                 UINT* out_flags)
{
    if (!icon_file || !length || !index || !out_flags)
        return E_POINTER;
    for_shell_ = (flags & GIL_FORSHELL) != 0;
    open_icon_ = (flags & GIL_OPENICON) != 0;
    *out_flags = 0;

    return com_boundary([&]() -> HRESULT {
        const icon_source source = source_of(record_);
        SHFILEINFOW info = {};
        UINT query = SHGFI_ICONLOCATION | SHGFI_USEFILEATTRIBUTES;
        if (open_icon_)
            query |= SHGFI_OPENICON;
        if (!SHGetFileInfoW(source.path.c_str(), source.attributes, &info, sizeof info, query))
            return E_FAIL;
        *index = info.iIcon;
        if (!info.szDisplayName[0]) {
            // The icon lives in the system image list only: Explorer must ask Extract for it.
            lstrcpynW(icon_file, L"*", static_cast<int>(length));
            *out_flags |= GIL_NOTFILENAME;
        }
        else {
            lstrcpynW(icon_file, info.szDisplayName, static_cast<int>(length));
        }
        return S_OK;
    });
}

IFACEMETHODIMP CExtractIconImpl::Extract(LPCWSTR, UINT, HICON* large, HICON* small, UINT)
{
    if (for_shell_)
        return S_FALSE;
    if (!large || !small)
        return E_POINTER;
    *large = nullptr;
    *small = nullptr;
    return com_boundary([&]() -> HRESULT {
        const icon_source source = source_of(record_);
        UINT query = SHGFI_ICON | SHGFI_USEFILEATTRIBUTES;
        if (open_icon_)
            query |= SHGFI_OPENICON;
        SHFILEINFOW big = {}, little = {};
        if (!SHGetFileInfoW(source.path.c_str(), source.attributes, &big, sizeof big, query))
            return E_FAIL;
        if (!SHGetFileInfoW(source.path.c_str(), source.attributes, &little, sizeof little,
                            query | SHGFI_SMALLICON)) {
            DestroyIcon(big.hIcon);
            return E_FAIL;
        }
        *large = big.hIcon;
        *small = little.hIcon;
        return S_OK;
    });
}

HRESULT create_item_icon(folder_object_request& request, REFIID riid, void** out)
{
    CPIDLList list;
    if (!request.folder.relative_records(request.items[0], list) || !list.count())
        return E_INVALIDARG;
    return com::create_instance<CExtractIconImpl>(riid, out, list.last());
}
