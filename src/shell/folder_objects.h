// The objects a folder hands out through CreateViewObject and GetUIObjectOf: one table row per
// interface, saying what the row needs before its factory runs. Each factory is declared next to
// the object it builds, so a new object is its own file plus one row in folder_objects.cpp.
#pragma once

#include "vfs/vfs.h"

#include <shlobj.h>

#include <boost/shared_ptr.hpp>

#include <span>

class CShellFolderImpl;

// What a factory is given.
struct folder_object_request {
    CShellFolderImpl& folder;
    HWND window;
    UINT count; // the selection of GetUIObjectOf; 0 and null for CreateViewObject
    PCUITEMID_CHILD_ARRAY items;
    boost::shared_ptr<vfs::item> item; // the folder's own item, once a row has connected
};

typedef HRESULT (*folder_object_factory)(folder_object_request& request, REFIID riid, void** out);

// How many selected items a row accepts, and what any other count gives.
enum class selection_rule { any, one_else_invalid_arg, one_else_fail };

// What the folder must be connected to before the factory runs. A folder whose item is of the
// wrong kind gives the row's wrong_item result.
enum class item_rule { none, connected, directory, file };

struct folder_object_row {
    const IID* iid;
    selection_rule selection;
    item_rule item;
    HRESULT wrong_item;
    folder_object_factory make; // null: an interface the folder names but does not hand out yet
};

std::span<const folder_object_row> view_object_rows();
std::span<const folder_object_row> ui_object_rows();

// The first row for riid, its needs checked, then its factory; E_NOINTERFACE without a row.
HRESULT dispatch_folder_object(std::span<const folder_object_row> rows, folder_object_request& request,
                               REFIID riid, void** out);
