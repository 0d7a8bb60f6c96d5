// The items of a folder that the outgoing data object carries, and the operations that work on
// them outside the data object: deleting (delete_items.cpp) and opening (open_item.cpp). The item
// menu reaches them through the data object the shell hands it (data_object.cpp).
#pragma once

#include "shell/pidl.h"
#include "vfs/vfs.h"

#include <objidl.h>
#include <windows.h>

#include <boost/shared_ptr.hpp>

#include <vector>

struct item_selection {
    boost::shared_ptr<vfs::directory> folder; // the folder the items are in
    CPIDLList root;                           // the namespace root's absolute list
    CPIDLList relative;                       // the folder below the root
    HWND owner = nullptr;                     // the window the data object was made for
    std::vector<PIDLDATA> items;              // one record per selected item, in selection order

    CPIDLList absolute() const { return root + relative; }
};

// S_OK when every item was deleted, S_FALSE when the user said No, E_INVALIDARG without items,
// E_FAIL when the service refused (what was deleted before stays deleted).
HRESULT DeleteItems(const item_selection& selection, HWND window, bool silent);

// Downloads each selected file to the intermediate folder and opens it, on a thread of its own;
// S_OK once that thread runs.
HRESULT OpenItems(const item_selection& selection, HWND window);

// The selection behind one of the drive's own data objects; null for any other data object.
const item_selection* own_selection(IDataObject* object);
