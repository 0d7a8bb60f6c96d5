// The context menu of selected items: the shell's default folder menu, given the class key of
// what is selected and a callback that puts "Open" first for files and carries out Open and
// Delete itself. The shell's own commands (copy, cut, rename, ...) stay the shell's.
#pragma once

#include "shell/folder_objects.h"
#include "transfer/selection.h"

#include <shlobj.h>

#include <vector>

// Which class key the default menu reads its verbs from.
enum class item_class { none, folder, file };

// "file" when every record is a file, else "folder" when every one is a directory, else none.
// An empty selection counts as files.
item_class selection_class(const std::vector<PIDLDATA>& items);

// Puts "Open" (bold, the default) and a separator at the top of the menu unless a directory is
// selected, and moves the first free command id past it. S_OK; E_FAIL when the menu refused.
HRESULT merge_open(const std::vector<PIDLDATA>& items, QCMINFO& menu);

// The callback the default menu calls with the drive's own data object for the selection.
// Other data objects get nothing merged and leave every command to the default menu.
HRESULT CALLBACK item_menu_callback(IShellFolder* folder, HWND window, IDataObject* data, UINT message,
                                    WPARAM wparam, LPARAM lparam);

// The row of the dispatch table.
HRESULT create_item_menu(folder_object_request& request, REFIID riid, void** out);
