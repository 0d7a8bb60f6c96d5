// The one code path that uploads: copies a source tree (dropped local files or virtual files)
// into a directory of the drive, with the shell's progress dialog and the user's answers to
// conflicts and errors. It only copies; after a move the source application deletes its own
// items when the caller reports the performed effect.
#pragma once

#include "shell/pidl.h"
#include "vfs/vfs.h"

#include <objidl.h>
#include <windows.h>

#include <boost/shared_ptr.hpp>

// Builds the source view the data object offers ("FileGroupDescriptorW" before CF_HDROP) and
// runs the transfer into destination. location names the destination below the drive root (for
// the progress dialog only). DROPEFFECT_COPY copies; any other effect is shown as a move.
// S_OK: everything transferred; E_FAIL: items skipped or the view could not be built; E_ABORT:
// stopped early; E_INVALIDARG: neither format offered. Never throws.
HRESULT TransferFromDataObject(HWND owner, IDataObject* data, const boost::shared_ptr<vfs::directory>& destination,
                               const CPIDLList& location, DWORD effect);
