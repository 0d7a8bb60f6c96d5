// Icons of the drive's items: the system's own icon for a folder, or for the file's extension.
#pragma once

#include "com/object.h"
#include "shell/folder_objects.h"
#include "shell/pidl.h"

#include <shlobj.h>

class CExtractIconImpl : public com::unknown_impl<CExtractIconImpl, IExtractIconW> {
public:
    explicit CExtractIconImpl(const PIDLDATA& record) : record_(record) {}
    static const QITAB* interface_table();

    IFACEMETHODIMP GetIconLocation(UINT flags, LPWSTR icon_file, UINT length, int* index,
                                   UINT* out_flags) override;
    IFACEMETHODIMP Extract(LPCWSTR icon_file, UINT index, HICON* large, HICON* small, UINT size) override;

private:
    PIDLDATA record_;
    bool for_shell_ = false;
    bool open_icon_ = false;
};

// The icon of the one selected item.
HRESULT create_item_icon(folder_object_request& request, REFIID riid, void** out);
