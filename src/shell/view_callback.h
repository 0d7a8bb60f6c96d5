// The folder view's callback: which change notifications the view watches, and its zone.
#pragma once

#include "com/object.h"

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
