// Opening remote files: each selected file is downloaded on a worker thread into the
// intermediate folder under the user's local application data, with a companion ".PIDL" file
// holding the item's absolute ID list beside it, and handed to the shell to open. Items are
// serialised with the product's other components by a named mutex that the session manager owns.
#pragma once

#include "com/module_base.h"
#include "transfer/selection.h"

#include <shobjidl.h>

#include <cstdint>
#include <string>
#include <vector>

inline constexpr wchar_t download_mutex_name[] = L"Local\\Quillmere_Mutex_Download_Upload";

// What a worker owns: copies of the selection, so the data object may go away meanwhile.
struct OpenItemsParams {
    com::module_lock keep_loaded; // the DLL runs the worker's code until it deletes these
    HWND owner = nullptr;
    boost::shared_ptr<vfs::directory> folder;
    CPIDLList folder_list; // absolute
    std::vector<PIDLDATA> items;
};

// Thread procedure: downloads and opens every item in turn; owns and deletes params.
DWORD WINAPI OpenItemsWorker(void* params);

// A local file name for a remote one: what Windows forbids in a name, control characters and
// trailing dots and blanks never reach the file system, and a device name gets a prefix, so the
// name always stands for a plain file in the folder it is joined to. A short extension is kept.
std::wstring safe_local_name(const std::wstring& remote);

// A path in the intermediate folder (made when missing) that does not exist yet, for the remote
// name: the safe name cut to keep the path within 245 characters, "(0)", "(1)"... before the
// extension while the name is taken. Throws open_error.
std::wstring GetIntermediatePath(const std::wstring& remote_name);

// An error of opening an item, shown with its text.
struct open_error {
    std::wstring text;
};

// The item was given up (the user cancelled); what it had written is removed.
struct open_given_up {};

// Downloads the item of folder into a new intermediate file, asking Retry or Cancel for every
// failing step; *completed counts the bytes of all items, for the progress bar. Answers the local
// path, or throws open_given_up.
std::wstring DownloadToIntermediate(HWND owner, IProgressDialog* progress, std::uint64_t total,
                                    std::uint64_t* completed, const boost::shared_ptr<vfs::directory>& folder,
                                    const PIDLDATA& item);

// Writes the companion file of path and starts path with the shell. False (after an error box)
// when the companion could not be written; nothing is started then.
bool ExecuteIntermediate(HWND owner, IProgressDialog* progress, const std::wstring& path,
                         const CPIDLList& folder, const PIDLDATA& item);
