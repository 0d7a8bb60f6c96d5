#include "shell/bg_menu.h"

#include "module/module.h"
#include "module/resource.h"
#include "shell/boundary.h"
#include "shell/connection.h"
#include "shell/shell_folder.h"

#include <cstring>

namespace {

// Bits of the view's own range of context menu flags: with neither, the menu is asked for
// something other than the background (and gets nothing); with the first, or no flags at all,
// the new folder is selected in place rather than positioned under the cursor.
constexpr UINT view_background_flag = 0x00010000;
constexpr UINT view_other_flag = 0x00020000;

} // namespace

std::wstring menu_text(UINT id)
{
    wchar_t text[128] = {};
    LoadStringW(CQuillmereModule::instance(), id, text, 128);
    return text;
}

std::wstring new_folder_name(vfs::directory& directory, const std::wstring& base)
{
    std::wstring name = base;
    try {
        for (int counter = 2;; ++counter) {
            directory.get_item(name);
            wchar_t numbered[MAX_PATH + 16];
            swprintf(numbered, MAX_PATH + 16, L"%ls (%d)", base.c_str(), counter);
            name = numbered;
        }
    }
    catch (const vfs::exception&) {
        return name; // nothing holds it
    }
}

const QITAB* CBGContextMenu::interface_table()
{
    static const QITAB table[] = {
        QITABENT(CBGContextMenu, IContextMenu),
        QITABENT(CBGContextMenu, IObjectWithSite),
        QITABENT(CBGContextMenu, IBGContextMenu),
        {},
    };
    return table;
}

HRESULT CBGContextMenu::Init(const CPIDLList& folder, const boost::shared_ptr<vfs::directory>& directory,
                             CDropTargetImpl* drop_target)
{
    return com_boundary([&] {
        folder_ = folder;
        directory_ = directory;
        drop_target_ = drop_target;
        return S_OK;
    });
}

IFACEMETHODIMP CBGContextMenu::QueryContextMenu(HMENU menu, UINT index, UINT first, UINT, UINT flags)
{
    no_items_ = flags && !(flags & (view_background_flag | view_other_flag));
    select_only_ = !flags || (flags & view_background_flag);
    if (no_items_)
        return S_OK;
    GetCursorPos(&cursor_);

    MENUITEMINFOW separator = {};
    separator.cbSize = sizeof separator;
    separator.fMask = MIIM_FTYPE;
    separator.fType = MFT_SEPARATOR;
    if (!InsertMenuItemW(menu, index + 1, TRUE, &separator))
        return E_FAIL;
    std::wstring text = menu_text(IDS_MENU_NEW_FOLDER);
    MENUITEMINFOW item = {};
    item.cbSize = sizeof item;
    item.fMask = MIIM_ID | MIIM_STRING;
    item.wID = first;
    item.dwTypeData = text.data();
    if (!InsertMenuItemW(menu, index + 2, TRUE, &item))
        return E_FAIL;
    return MAKE_HRESULT(SEVERITY_SUCCESS, 0, 2);
}

IFACEMETHODIMP CBGContextMenu::InvokeCommand(CMINVOKECOMMANDINFO* info)
{
    if (!info)
        return E_INVALIDARG;
    if (IS_INTRESOURCE(info->lpVerb)) // a command offset, not a verb string
        return LOWORD(reinterpret_cast<UINT_PTR>(info->lpVerb)) == 0 ? new_folder() : E_NOTIMPL;
    if (std::strcmp(info->lpVerb, "paste") == 0)
        return drop_target_ ? drop_target_->PasteFromClipboard() : E_FAIL;
    if (std::strcmp(info->lpVerb, "NewFolder") == 0)
        return new_folder();
    return E_NOTIMPL;
}

HRESULT CBGContextMenu::new_folder()
{
    if (!view_ || !directory_)
        return S_OK;
    return com_boundary([&] {
        try {
            auto created =
                directory_->create_directory(new_folder_name(*directory_, menu_text(IDS_NEW_FOLDER_NAME)));
            const CPIDLList record(BuildPIDLDATA(created));
            if (const pidl_ptr absolute{(folder_ + record).serialize()})
                SHChangeNotify(SHCNE_MKDIR, SHCNF_IDLIST | SHCNF_FLUSH, absolute.get(), nullptr);
            const pidl_ptr child(record.serialize());
            if (!child)
                return S_OK;
            com::ComPtr<IShellView2> view2;
            if (!select_only_ && SUCCEEDED(view_.As(&view2)))
                view2->SelectAndPositionItem(child.get(), SVSI_EDIT | SVSI_ENSUREVISIBLE | SVSI_TRANSLATEPT,
                                             &cursor_);
            else
                view_->SelectItem(child.get(), SVSI_EDIT | SVSI_ENSUREVISIBLE);
        }
        catch (const vfs::exception& e) {
            show_vfs_error(nullptr, e);
        }
        return S_OK;
    });
}

IFACEMETHODIMP CBGContextMenu::GetCommandString(UINT_PTR, UINT, UINT*, LPSTR, UINT)
{
    return E_NOTIMPL;
}

IFACEMETHODIMP CBGContextMenu::SetSite(IUnknown* site)
{
    view_.Reset();
    if (!site)
        return E_NOINTERFACE;
    if (SUCCEEDED(site->QueryInterface(IID_PPV_ARGS(&view_))))
        return S_OK;
    com::ComPtr<IServiceProvider> services;
    com::ComPtr<IFolderView> folder_view;
    if (SUCCEEDED(site->QueryInterface(IID_PPV_ARGS(&services))) &&
        SUCCEEDED(services->QueryService(IID_IFolderView, IID_PPV_ARGS(&folder_view))) &&
        SUCCEEDED(folder_view.As(&view_)))
        return S_OK;
    return E_NOINTERFACE;
}

IFACEMETHODIMP CBGContextMenu::GetSite(REFIID riid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!view_)
        return E_NOINTERFACE;
    return view_->QueryInterface(riid, out);
}

HRESULT create_background_menu(folder_object_request& request, REFIID riid, void** out)
{
    com::ComPtr<IDropTarget> drop_target;
    com::ComPtr<IDropTargetImpl> ours;
    HRESULT hr = request.folder.CreateViewObject(request.window, IID_PPV_ARGS(&drop_target));
    if (SUCCEEDED(hr))
        hr = drop_target.As(&ours);
    if (FAILED(hr))
        return hr;
    auto menu = com::make<CBGContextMenu>();
    hr = menu->Init(request.folder.absolute_list(), boost::dynamic_pointer_cast<vfs::directory>(request.item),
                    static_cast<CDropTargetImpl*>(ours.Get()));
    if (FAILED(hr))
        return hr;
    return menu->QueryInterface(riid, out);
}
