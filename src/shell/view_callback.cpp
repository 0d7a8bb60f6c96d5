#include "shell/view_callback.h"

#include "shell/shell_folder.h"

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

HRESULT create_folder_view(folder_object_request& request, REFIID riid, void** out)
{
    pidl_ptr list(request.folder.absolute_list().serialize());
    if (!list)
        return E_OUTOFMEMORY;
    com::ComPtr<IShellFolderViewCB> callback = com::make<CShellFolderViewCBImpl>(list.get());
    list.release(); // the callback's now
    SFV_CREATE create = {};
    create.cbSize = sizeof create;
    create.pshf = static_cast<IShellFolder2*>(&request.folder);
    create.psfvcb = callback.Get();
    com::ComPtr<IShellView> view;
    const HRESULT hr = SHCreateShellFolderView(&create, &view);
    if (FAILED(hr))
        return hr;
    return view->QueryInterface(riid, out);
}
