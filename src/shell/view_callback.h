// The folder view's callback: which change notifications the view watches, and its zone.
#pragma once

#include "com/object.h"
#include "shell/folder_objects.h"

#include <shlobj.h>

class CShellFolderViewCBImpl : public com::unknown_impl<CShellFolderViewCBImpl, IShellFolderViewCB> {
public:
    // Takes ownership of the folder's absolute list.
    explicit CShellFolderViewCBImpl(LPITEMIDLIST folder_list) : folder_list_(folder_list) {}
    ~CShellFolderViewCBImpl() override { CoTaskMemFree(folder_list_); }
    static const QITAB* interface_table();

    IFACEMETHODIMP MessageSFVCB(UINT message, WPARAM wparam, LPARAM lparam) override;

private:
    LPITEMIDLIST folder_list_;
};

// The folder's view: the shell's default folder view over the folder, with this callback.
HRESULT create_folder_view(folder_object_request& request, REFIID riid, void** out);
