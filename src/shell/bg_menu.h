// The menu of a folder view's background (right click on empty space, and the view's File
// menu): "New Folder", and the "paste" verb, which the folder's drop target carries out.
#pragma once

#include "com/object.h"
#include "shell/folder_objects.h"
#include "shell/pidl.h"
#include "transfer/drop_target.h"

#include <quillmere_h.h>
#include <shlobj.h>

#include <boost/shared_ptr.hpp>

class CBGContextMenu
    : public com::unknown_impl<CBGContextMenu, IContextMenu, IObjectWithSite, IBGContextMenu> {
public:
    static const QITAB* interface_table();

    // folder: the folder's absolute list; drop_target: the folder's own, which pastes.
    HRESULT Init(const CPIDLList& folder, const boost::shared_ptr<vfs::directory>& directory,
                 CDropTargetImpl* drop_target);

    // IContextMenu
    IFACEMETHODIMP QueryContextMenu(HMENU menu, UINT index, UINT first, UINT last, UINT flags) override;
    IFACEMETHODIMP InvokeCommand(CMINVOKECOMMANDINFO* info) override;
    IFACEMETHODIMP GetCommandString(UINT_PTR command, UINT type, UINT* reserved, LPSTR name,
                                    UINT length) override;

    // IObjectWithSite: the site is the folder's view, or leads to it.
    IFACEMETHODIMP SetSite(IUnknown* site) override;
    IFACEMETHODIMP GetSite(REFIID riid, void** out) override;

private:
    HRESULT new_folder();

    com::ComPtr<CDropTargetImpl> drop_target_;
    com::ComPtr<IShellView> view_;
    CPIDLList folder_;
    POINT cursor_ = {};
    bool select_only_ = false;
    bool no_items_ = false;
    boost::shared_ptr<vfs::directory> directory_;
};

// A menu item's text from the string table.
std::wstring menu_text(UINT id);

// The first free name of a new folder in directory: base, then "base (2)", "base (3)", ...
std::wstring new_folder_name(vfs::directory& directory, const std::wstring& base);

// The row of the dispatch table: the background menu of the folder, holding its drop target.
HRESULT create_background_menu(folder_object_request& request, REFIID riid, void** out);
