// The one code path that uploads: copies a source tree (dropped local files or virtual files)
// into a directory of the drive, with the shell's progress dialog and the user's answers to
// conflicts and errors. It only copies; after a move the source application deletes its own
// items when the caller reports the performed effect.
#pragma once

#include "shell/pidl.h"
#include "vfs/vfs.h"

#include <objidl.h>
#include <shlobj.h>
#include <windows.h>

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <string>

class CClipboardWrapper;

// Builds the source view the data object offers ("FileGroupDescriptorW" before CF_HDROP) and
// runs the transfer into destination. location names the destination below the drive root (for
// the progress dialog only). DROPEFFECT_COPY copies; any other effect is shown as a move.
// S_OK: everything transferred; E_FAIL: items skipped; E_ABORT: stopped early; E_INVALIDARG:
// neither format offered. Throws the view's vfs::exception when the source view cannot be built
// (a block that cannot be locked, a dropped folder that is gone); nothing is shown then.
HRESULT TransferFromDataObject(HWND owner, IDataObject* data,
                               const boost::shared_ptr<vfs::directory>& destination,
                               const CPIDLList& location, DWORD effect);

// The parts of a transfer, called directly by tests. Every vfs::exception of an item becomes a
// prompt; none leaves these functions. only_files (no folder anywhere in the source) selects the
// two-button prompts.

// Size pre-pass, progress dialog, then the copy of the source root's children.
HRESULT RunTransfer(HWND owner, const boost::shared_ptr<CClipboardWrapper>& source,
                    const boost::shared_ptr<vfs::directory>& destination, const CPIDLList& location,
                    DWORD effect);

// Copies the children of source into destination, folders created or merged before their contents.
HRESULT CopyDirectoryItems(HWND owner, const boost::shared_ptr<vfs::directory>& source,
                           const boost::shared_ptr<vfs::directory>& destination, IProgressDialog* progress,
                           std::uint64_t* completed, std::uint64_t total, bool only_files, DWORD effect);

// Copies one file; a file that does not complete is removed from destination.
HRESULT CopyOneFile(HWND owner, const boost::shared_ptr<vfs::file>& source,
                    const boost::shared_ptr<vfs::directory>& destination, IProgressDialog* progress,
                    std::uint64_t* completed, std::uint64_t total, bool only_files, DWORD effect);

// The bytes of every file below source; clears *only_files at the first folder. All bits set
// when a node is not the interface its type names.
std::uint64_t ComputeTransferSize(const boost::shared_ptr<vfs::directory>& source, bool* only_files);

// The window that owns the prompts of a long operation: the progress dialog's, else owner.
HWND prompt_owner(HWND owner, IProgressDialog* progress);

// A prompt owned by the progress dialog's window (owner when it has none): text_id formatted with
// name (and error), caption_id loaded. Answers the button pressed.
int ShowTransferMessage(HWND owner, IProgressDialog* progress, UINT caption_id, UINT text_id,
                        const std::wstring& name, UINT flags);
int ShowTransferError(HWND owner, IProgressDialog* progress, UINT caption_id, UINT text_id,
                      const std::wstring& name, const std::wstring& error, UINT flags);
