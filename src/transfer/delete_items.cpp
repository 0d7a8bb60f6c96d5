#include "transfer/delete_items.h"

#include "module/resource.h"
#include "shell/boundary.h"
#include "shell/connection.h"
#include "ui/prompts.h"
#include "ui/texts.h"

namespace {

// The user's consent, asked in the words that fit the selection.
bool confirmed(const item_selection& selection, HWND window)
{
    const std::size_t count = selection.items.size();
    std::wstring caption, text;
    if (count > 1) {
        caption = ui::load_string(IDS_DELETE_ITEMS_CAPTION);
        text = ui::text(IDS_DELETE_ITEMS_TEXT, {std::to_wstring(count)});
    }
    else if (pidl_is_directory(selection.items.front())) {
        caption = ui::load_string(IDS_DELETE_FOLDER_CAPTION);
        text = ui::load_string(IDS_DELETE_FOLDER_TEXT);
    }
    else {
        caption = ui::load_string(IDS_DELETE_FILE_CAPTION);
        text = ui::load_string(IDS_DELETE_FILE_TEXT);
    }
    return ui::ask(window, text, caption, MB_YESNO | MB_ICONWARNING) == IDYES;
}

void notify(LONG event, const CPIDLList& list)
{
    if (const pidl_ptr serialized{list.serialize()})
        SHChangeNotify(event, SHCNF_IDLIST | SHCNF_FLUSH, serialized.get(), nullptr);
}

// Runs step; a storage failure is shown (unless silent) and becomes E_FAIL.
template <class Step> HRESULT reported(HWND owner, bool silent, Step step)
{
    try {
        return step();
    }
    catch (const vfs::exception& e) {
        if (!silent)
            show_vfs_error(owner, e);
        return E_FAIL;
    }
}

} // namespace

HRESULT DeleteTree(const boost::shared_ptr<vfs::directory>& parent, const boost::shared_ptr<vfs::item>& item,
                   HWND owner, bool silent)
{
    return reported(owner, silent, [&]() -> HRESULT {
        if (item->get_type() == vfs::typeDirectory) {
            const auto folder = boost::dynamic_pointer_cast<vfs::directory>(item);
            if (!folder)
                return E_FAIL;
            for (const auto& child : folder->get_items()) {
                const HRESULT hr = DeleteTree(folder, child, owner, silent);
                if (FAILED(hr))
                    return hr;
            }
        }
        parent->delete_item(item);
        return S_OK;
    });
}

HRESULT DeleteItems(const item_selection& selection, HWND window, bool silent)
{
    if (selection.items.empty() || !selection.folder)
        return E_INVALIDARG;
    return com_boundary([&]() -> HRESULT {
        if (!silent && !confirmed(selection, window))
            return S_FALSE;
        const CPIDLList folder = selection.absolute();
        for (const PIDLDATA& record : selection.items) {
            boost::shared_ptr<vfs::item> item;
            HRESULT hr = reported(selection.owner, silent, [&] {
                item = selection.folder->get_item(pidl_name(record));
                return S_OK;
            });
            if (SUCCEEDED(hr))
                hr = DeleteTree(selection.folder, item, selection.owner, silent);
            if (FAILED(hr))
                return hr;
            notify(pidl_is_directory(record) ? SHCNE_RMDIR : SHCNE_DELETE, folder + CPIDLList(record));
        }
        notify(SHCNE_UPDATEDIR, folder);
        return S_OK;
    });
}
