#include "shell/folder_objects.h"

#include "shell/bg_menu.h"
#include "shell/extract_icon.h"
#include "shell/extract_image.h"
#include "shell/item_menu.h"
#include "shell/shell_folder.h"
#include "shell/view_callback.h"
#include "transfer/data_object.h"
#include "transfer/drop_source.h"
#include "transfer/drop_target.h"
#include "transfer/stream.h"

namespace {

// Rows are tested in order; the first row of an interface decides.
const folder_object_row view_rows[] = {
    {&IID_IExtractImage, selection_rule::any, item_rule::file, E_FAIL, create_folder_image},
    {&IID_ITransferDestination, selection_rule::any, item_rule::none, S_OK, query_folder},
    {&IID_IStream, selection_rule::any, item_rule::file, E_NOINTERFACE, create_folder_stream},
    {&IID_IShellView, selection_rule::any, item_rule::none, S_OK, create_folder_view},
    {&IID_IDropTarget, selection_rule::any, item_rule::none, S_OK, create_folder_drop_target},
    {&IID_IContextMenu, selection_rule::any, item_rule::directory, E_NOINTERFACE, create_background_menu},
};

const folder_object_row ui_rows[] = {
    {&IID_IExtractImage, selection_rule::one_else_invalid_arg, item_rule::directory, E_NOINTERFACE,
     create_item_image},
    {&IID_IDropSource, selection_rule::any, item_rule::none, S_OK, create_drop_source},
    {&IID_IDropTarget, selection_rule::one_else_invalid_arg, item_rule::none, S_OK, create_child_drop_target},
    {&IID_IDataObject, selection_rule::any, item_rule::directory, E_FAIL, create_data_object},
    {&IID_IContextMenu, selection_rule::any, item_rule::connected, S_OK, create_item_menu},
    {&IID_IExtractIconW, selection_rule::one_else_fail, item_rule::none, S_OK, create_item_icon},
};

bool item_fits(item_rule rule, const boost::shared_ptr<vfs::item>& item)
{
    switch (rule) {
    case item_rule::directory:
        return boost::dynamic_pointer_cast<vfs::directory>(item) != nullptr;
    case item_rule::file:
        return boost::dynamic_pointer_cast<vfs::file>(item) != nullptr;
    default:
        return true;
    }
}

} // namespace

std::span<const folder_object_row> view_object_rows()
{
    return view_rows;
}

std::span<const folder_object_row> ui_object_rows()
{
    return ui_rows;
}

HRESULT dispatch_folder_object(std::span<const folder_object_row> rows, folder_object_request& request,
                               REFIID riid, void** out)
{
    for (const folder_object_row& row : rows) {
        if (!IsEqualIID(*row.iid, riid))
            continue;
        const bool one = request.count == 1 && request.items;
        if (row.selection == selection_rule::one_else_invalid_arg && !one)
            return E_INVALIDARG;
        if (row.selection == selection_rule::one_else_fail && !one)
            return E_FAIL;
        if (row.item != item_rule::none) {
            const HRESULT hr = request.folder.EnsureConnected(request.window, true);
            if (FAILED(hr))
                return hr;
            request.item = request.folder.item();
            if (!item_fits(row.item, request.item))
                return row.wrong_item;
        }
        return row.make ? row.make(request, riid, out) : E_NOINTERFACE;
    }
    return E_NOINTERFACE;
}
