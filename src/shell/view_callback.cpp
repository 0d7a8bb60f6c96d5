#include "shell/view_callback.h"

const QITAB* CShellFolderViewCBImpl::interface_table()
{
    // The SDK headers give IShellFolderViewCB no __uuidof, so its row names the IID itself.
    static const QITAB table[] = {
        {&IID_IShellFolderViewCB, OFFSETOFCLASS(IShellFolderViewCB, CShellFolderViewCBImpl)}, {}};
    return table;
}

IFACEMETHODIMP CShellFolderViewCBImpl::MessageSFVCB(UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case SFVM_GETNOTIFY:
        if (!wparam || !lparam)
            return E_POINTER;
        // The view reads the list while it lives and does not free it: we keep ownership.
        *reinterpret_cast<LPITEMIDLIST*>(wparam) = folder_list_;
        *reinterpret_cast<LONG*>(lparam) = SHCNE_ALLEVENTS;
        return S_OK;
    case SFVM_GETZONE:
        if (!lparam)
            return E_POINTER;
        *reinterpret_cast<DWORD*>(lparam) = 0; // URLZONE_LOCAL_MACHINE
        return S_OK;
    default:
        return E_NOTIMPL;
    }
}
