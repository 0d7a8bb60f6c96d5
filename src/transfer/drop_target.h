// The drop target of a drive folder: files dragged or pasted onto the folder are uploaded into
// it by the transfer engine, on the calling thread or, when the data object can be extracted
// asynchronously, on a worker thread of its own. Afterwards the source learns the effect that was
// performed, so that after a move it deletes its own items; nothing here deletes anything.
#pragma once

#include "com/object.h"
#include "shell/folder_objects.h"
#include "shell/pidl.h"

#include <process.h>
#include <quillmere_h.h>
#include <shldisp.h>
#include <shlobj.h>

#include <boost/shared_ptr.hpp>

#include <memory>

// The SDK's older name; the headers here know the interface only by its newer one.
using IAsyncOperation = IDataObjectAsyncCapability;

class CDropTargetImpl : public com::unknown_impl<CDropTargetImpl, IDropTarget, IDropTargetImpl> {
public:
    static const QITAB* interface_table();

    // folder: the folder the target drops into (its destination is resolved on the first drop);
    // root and relative: that folder's lists; owner: parent of every window a drop opens.
    HRESULT Init(IShellFolderImpl* folder, const CPIDLList& root, const CPIDLList& relative, HWND owner,
                 bool drag_image);

    // The effect a drop with these keys and allowed effects performs: none for a data object
    // without a format the engine reads; move with Shift, else copy, when allowed; never link.
    DWORD ChooseDropEffect(DWORD key_state, DWORD allowed) const;

    IFACEMETHODIMP DragEnter(IDataObject* data, DWORD key_state, POINTL point, DWORD* effect) override;
    IFACEMETHODIMP DragOver(DWORD key_state, POINTL point, DWORD* effect) override;
    IFACEMETHODIMP DragLeave() override;
    IFACEMETHODIMP Drop(IDataObject* data, DWORD key_state, POINTL point, DWORD* effect) override;

    // Replays the clipboard as a drop, with the effects its "Preferred DropEffect" allows (link
    // cleared). A clipboard without that format is not pasted: the failure to read it is returned.
    HRESULT PasteFromClipboard();

private:
    HRESULT drop(IDataObject* data, DWORD key_state, DWORD* effect);
    bool from_this_folder(IDataObject* data) const;
    HRESULT resolve_destination();

    com::ComPtr<IDataObject> data_;
    com::ComPtr<IDropTargetHelper> helper_;
    com::ComPtr<IShellFolderImpl> folder_;
    HWND owner_ = nullptr;
    boost::shared_ptr<vfs::directory> destination_;
    CPIDLList root_;
    CPIDLList relative_;
    DWORD accept_ = 0;
};

// What an asynchronous drop's worker needs: its own copies, so that the target may go away
// while it runs. Owns the marshalled data object until the worker takes it.
struct AsyncDropParams {
    HWND owner = nullptr;
    DWORD effect = 0;
    IStream* stream = nullptr;
    CPIDLList root;
    CPIDLList relative;
    boost::shared_ptr<vfs::directory> destination;

    AsyncDropParams() = default;
    AsyncDropParams(const AsyncDropParams&) = delete;
    AsyncDropParams& operator=(const AsyncDropParams&) = delete;
    // A stream the worker never took still holds a reference to the data object in its
    // marshalled form: that is released too.
    ~AsyncDropParams();
};

// The worker of an asynchronous drop: uploads in an apartment of its own and tells the source
// the outcome through EndOperation. Owns and deletes its parameters.
unsigned __stdcall AsyncDropWorker(void* params);

using thread_starter = decltype(&_beginthreadex);

// Starts the worker with the parameters; when no thread can be started they are released here.
HRESULT StartAsyncDropWorker(std::unique_ptr<AsyncDropParams> params, thread_starter start = _beginthreadex);

// The rows of the dispatch tables: the folder's own drop target (with the drag image), and the
// drop target of one child folder, which is that folder's own.
HRESULT create_folder_drop_target(folder_object_request& request, REFIID riid, void** out);
HRESULT create_child_drop_target(folder_object_request& request, REFIID riid, void** out);
