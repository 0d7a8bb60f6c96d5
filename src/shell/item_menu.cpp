#include "shell/item_menu.h"

#include "module/resource.h"
#include "shell/bg_menu.h"
#include "shell/boundary.h"
#include "shell/shell_folder.h"
#include "ui/properties_file.h"
#include "ui/texts.h"

#include <algorithm>

namespace {

// Class keys opened for the default menu, closed once it has read them.
class class_keys {
public:
    explicit class_keys(item_class kind)
    {
        const wchar_t* name = kind == item_class::file     ? L"anyfile"
                              : kind == item_class::folder ? L"Folder"
                                                           : nullptr;
        if (name && RegOpenKeyExW(HKEY_CLASSES_ROOT, name, 0, KEY_READ, &key_) != ERROR_SUCCESS)
            key_ = nullptr; // a missing class key is not passed
    }
    ~class_keys()
    {
        if (key_)
            RegCloseKey(key_);
    }
    class_keys(const class_keys&) = delete;
    class_keys& operator=(const class_keys&) = delete;

    UINT count() const { return key_ ? 1 : 0; }
    const HKEY* keys() const { return key_ ? &key_ : nullptr; }

private:
    HKEY key_ = nullptr;
};

// The state the shell's menu expects on its default item; 0x80 is a bit it keeps for itself.
constexpr UINT open_state = MFS_DEFAULT | 0x80;

} // namespace

item_class selection_class(const std::vector<PIDLDATA>& items)
{
    if (std::none_of(items.begin(), items.end(), pidl_is_directory))
        return item_class::file;
    if (std::all_of(items.begin(), items.end(), pidl_is_directory))
        return item_class::folder;
    return item_class::none;
}

HRESULT merge_open(const std::vector<PIDLDATA>& items, QCMINFO& menu)
{
    if (std::any_of(items.begin(), items.end(), pidl_is_directory))
        return S_OK; // folders take their verbs from the folder class key
    MENUITEMINFOW separator = {};
    separator.cbSize = sizeof separator;
    separator.fMask = MIIM_FTYPE;
    separator.fType = MFT_SEPARATOR;
    if (!InsertMenuItemW(menu.hmenu, 0, TRUE, &separator))
        return E_FAIL;
    std::wstring text = ui::load_string(IDS_MENU_OPEN);
    MENUITEMINFOW open = {};
    open.cbSize = sizeof open;
    open.fMask = MIIM_STATE | MIIM_ID | MIIM_STRING;
    open.fState = open_state;
    open.wID = menu.idCmdFirst;
    open.dwTypeData = text.data();
    if (!InsertMenuItemW(menu.hmenu, 0, TRUE, &open))
        return E_FAIL;
    ++menu.idCmdFirst;
    return S_OK;
}

HRESULT CALLBACK item_menu_callback(IShellFolder* folder, HWND window, IDataObject* data, UINT message,
                                    WPARAM wparam, LPARAM lparam)
{
    return com_boundary([&]() -> HRESULT {
        const item_selection* selection = own_selection(data);
        switch (message) {
        case DFM_MERGECONTEXTMENU:
            if (!selection || !lparam)
                return S_OK;
            return merge_open(selection->items, *reinterpret_cast<QCMINFO*>(lparam));
        case DFM_INVOKECOMMAND:
            if (!selection)
                return S_FALSE;
            // The command travels as a UINT: DFM_CMD_DELETE is (UINT)-1 whatever WPARAM's width.
            switch (static_cast<UINT>(wparam)) {
            case DFM_CMD_DELETE:
                DeleteItems(*selection, window, false); // the user saw its outcome in its own boxes
                return S_OK;
            case DFM_CMD_PROPERTIES:
                ShowProperties(folder, *selection);
                return S_OK;
            case 0: // the merged "Open"
                OpenItems(*selection, window);
                return S_OK;
            default:
                return S_FALSE;
            }
        default:
            return E_NOTIMPL;
        }
    });
}

HRESULT create_item_menu(folder_object_request& request, REFIID riid, void** out)
{
    std::vector<PIDLDATA> records;
    for (UINT i = 0; i < request.count; ++i) {
        CPIDLList list;
        if (!request.items || !request.folder.relative_records(request.items[i], list) || !list.count())
            return E_INVALIDARG;
        records.push_back(list.last());
    }
    const pidl_ptr folder_list(request.folder.absolute_list().serialize());
    com::ComPtr<IShellFolder> folder;
    HRESULT hr = folder_list ? request.folder.QueryInterface(IID_PPV_ARGS(&folder)) : E_OUTOFMEMORY;
    if (FAILED(hr))
        return hr;
    const class_keys keys(selection_class(records));
    com::ComPtr<IContextMenu> menu;
    hr = CDefFolderMenu_Create2(folder_list.get(), request.window, request.count, request.items, folder.Get(),
                                item_menu_callback, keys.count(), keys.keys(), &menu);
    if (FAILED(hr))
        return hr;
    return menu->QueryInterface(riid, out);
}
