// Permanent removal of remote items: the drive has no recycle bin. Used by the item menu's
// Delete, by a completed move and by a drop on the Recycle Bin (through DeleteItems of
// selection.h); deletion is not transactional, what was removed before a failure stays removed.
#pragma once

#include "transfer/selection.h"

// Removes item from parent, a folder's contents before the folder itself. S_OK, or E_FAIL at the
// first failure, shown in an error box owned by owner unless silent.
HRESULT DeleteTree(const boost::shared_ptr<vfs::directory>& parent, const boost::shared_ptr<vfs::item>& item,
                   HWND owner, bool silent);
