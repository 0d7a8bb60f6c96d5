#include "transfer/drop_target.h"

#include "module/module.h"
#include "shell/boundary.h"
#include "shell/connection.h"
#include "shell/shell_folder.h"
#include "transfer/engine.h"
#include "ui/prompts.h"

#include <cstring>
#include <string>
#include <utility>

namespace {

// A storage medium released once, whatever the caller does after GetData.
struct medium {
    STGMEDIUM m = {};
    medium() = default;
    medium(const medium&) = delete;
    medium& operator=(const medium&) = delete;
    ~medium() { ReleaseStgMedium(&m); }
};

FORMATETC hglobal_format(CLIPFORMAT format)
{
    return {format, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
}

HRESULT read_dword_format(IDataObject* data, clipboard_format_index index, DWORD& value)
{
    FORMATETC format = hglobal_format(_Module.clipboard_format(index));
    medium stored;
    HRESULT hr = data->GetData(&format, &stored.m);
    if (FAILED(hr))
        return hr;
    if (stored.m.tymed != TYMED_HGLOBAL || GlobalSize(stored.m.hGlobal) < sizeof(DWORD))
        return DV_E_TYMED;
    const void* bytes = GlobalLock(stored.m.hGlobal);
    if (!bytes)
        return E_OUTOFMEMORY;
    std::memcpy(&value, bytes, sizeof value);
    GlobalUnlock(stored.m.hGlobal);
    return S_OK;
}

HRESULT write_dword_format(IDataObject* data, clipboard_format_index index, DWORD value)
{
    FORMATETC format = hglobal_format(_Module.clipboard_format(index));
    STGMEDIUM m = {};
    m.tymed = TYMED_HGLOBAL;
    m.hGlobal = GlobalAlloc(GMEM_MOVEABLE, sizeof value);
    if (!m.hGlobal)
        return E_OUTOFMEMORY;
    std::memcpy(GlobalLock(m.hGlobal), &value, sizeof value);
    GlobalUnlock(m.hGlobal);
    const HRESULT hr = data->SetData(&format, &m, TRUE);
    if (FAILED(hr))
        GlobalFree(m.hGlobal); // not taken
    return hr;
}

// The source application completes a move only on these two.
void report_performed_effect(IDataObject* data, DWORD performed)
{
    write_dword_format(data, cfPerformedDropEffect, performed);
    write_dword_format(data, cfPasteSucceeded, performed);
}

void notify_folder_updated(const CPIDLList& folder)
{
    if (const pidl_ptr list{folder.serialize()})
        SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_IDLIST | SHCNF_FLUSH, list.get(), nullptr);
}

bool offers(IDataObject* data, CLIPFORMAT format)
{
    FORMATETC asked = hglobal_format(format);
    return data->QueryGetData(&asked) == S_OK;
}

// A failure of the worker's COM plumbing: its text is shown in the "Internal error" box.
struct worker_error {
    const wchar_t* text;
};

void show_internal_error(HWND owner, const wchar_t* text)
{
    ui::ask(owner, text, L"Internal error", MB_ICONERROR);
}

void run_async_drop(AsyncDropParams& params)
{
    com::ComPtr<IDataObject> data;
    // The stream is released by this call whether it succeeds or not.
    if (FAILED(CoGetInterfaceAndReleaseStream(std::exchange(params.stream, nullptr), IID_IDataObject,
                                              reinterpret_cast<void**>(data.GetAddressOf()))))
        throw worker_error{L"Unable to extract data object from the stream"};
    com::ComPtr<IAsyncOperation> async;
    if (FAILED(data.As(&async)) || FAILED(async->StartOperation(nullptr)))
        throw worker_error{L"Unable to start async operation"};
    const HRESULT result =
        TransferFromDataObject(params.owner, data.Get(), params.destination, params.relative, params.effect);
    const DWORD performed = SUCCEEDED(result) ? params.effect : DROPEFFECT_NONE;
    report_performed_effect(data.Get(), performed);
    notify_folder_updated(params.root + params.relative);
    if (FAILED(async->EndOperation(result, nullptr, performed)))
        throw worker_error{L"Unable to end async operation"};
}

} // namespace

const QITAB* CDropTargetImpl::interface_table()
{
    static const QITAB table[] = {
        QITABENT(CDropTargetImpl, IDropTarget),
        QITABENT(CDropTargetImpl, IDropTargetImpl),
        {},
    };
    return table;
}

HRESULT CDropTargetImpl::Init(IShellFolderImpl* folder, const CPIDLList& root, const CPIDLList& relative,
                              HWND owner, bool drag_image)
{
    if (!folder)
        return E_FAIL;
    return com_boundary([&] {
        folder_ = folder;
        owner_ = owner;
        root_ = root;
        relative_ = relative;
        // Only the picture under the cursor depends on it: a platform without one still drops.
        if (drag_image)
            CoCreateInstance(CLSID_DragDropHelper, nullptr, CLSCTX_INPROC_SERVER,
                             IID_PPV_ARGS(helper_.ReleaseAndGetAddressOf()));
        return S_OK;
    });
}

DWORD CDropTargetImpl::ChooseDropEffect(DWORD key_state, DWORD allowed) const
{
    if (!accept_)
        return DROPEFFECT_NONE;
    const DWORD preferred = (key_state & MK_SHIFT) ? DROPEFFECT_MOVE : DROPEFFECT_COPY;
    if (allowed & preferred)
        return preferred;
    if (allowed & DROPEFFECT_COPY)
        return DROPEFFECT_COPY;
    if (allowed & DROPEFFECT_MOVE)
        return DROPEFFECT_MOVE;
    return DROPEFFECT_COPY;
}

IFACEMETHODIMP CDropTargetImpl::DragEnter(IDataObject* data, DWORD key_state, POINTL point, DWORD* effect)
{
    if (!data || !effect)
        return E_POINTER;
    if (helper_) {
        POINT at = {point.x, point.y};
        helper_->DragEnter(owner_, data, &at, *effect);
    }
    data_ = data;
    accept_ = offers(data, CF_HDROP) || offers(data, _Module.clipboard_format(cfFileGroupDescriptorW));
    *effect = ChooseDropEffect(key_state, *effect);
    return S_OK;
}

IFACEMETHODIMP CDropTargetImpl::DragOver(DWORD key_state, POINTL point, DWORD* effect)
{
    if (!effect)
        return E_POINTER;
    if (helper_) {
        POINT at = {point.x, point.y};
        helper_->DragOver(&at, *effect);
    }
    *effect = ChooseDropEffect(key_state, *effect);
    return S_OK;
}

IFACEMETHODIMP CDropTargetImpl::DragLeave()
{
    if (helper_)
        helper_->DragLeave();
    data_.Reset();
    accept_ = 0;
    return S_OK;
}

IFACEMETHODIMP CDropTargetImpl::Drop(IDataObject* data, DWORD key_state, POINTL point, DWORD* effect)
{
    if (!data || !effect)
        return E_POINTER;
    if (helper_) {
        POINT at = {point.x, point.y};
        helper_->Drop(data, &at, *effect);
    }
    data_.Reset();
    const HRESULT hr = com_boundary([&] { return drop(data, key_state, effect); });
    if (FAILED(hr))
        *effect = DROPEFFECT_NONE;
    return hr;
}

HRESULT CDropTargetImpl::drop(IDataObject* data, DWORD key_state, DWORD* effect)
{
    const DWORD chosen = ChooseDropEffect(key_state, *effect);
    accept_ = 0;
    *effect = DROPEFFECT_NONE;
    if (chosen == DROPEFFECT_NONE)
        return S_OK;
    if (from_this_folder(data))
        return E_FAIL; // never into the folder the items come from
    if (FAILED(resolve_destination()))
        return E_FAIL;

    com::ComPtr<IAsyncOperation> async;
    BOOL async_mode = FALSE;
    if (SUCCEEDED(data->QueryInterface(IID_PPV_ARGS(&async))) &&
        SUCCEEDED(async->GetAsyncMode(&async_mode)) && async_mode) {
        auto params = std::make_unique<AsyncDropParams>();
        const HRESULT hr = CoMarshalInterThreadInterfaceInStream(IID_IDataObject, data, &params->stream);
        if (FAILED(hr))
            return hr;
        params->owner = owner_;
        params->effect = chosen;
        params->root = root_;
        params->relative = relative_;
        params->destination = destination_;
        return StartAsyncDropWorker(std::move(params));
    }

    HRESULT result;
    try {
        result = TransferFromDataObject(owner_, data, destination_, relative_, chosen);
    }
    catch (const vfs::exception& e) {
        // The source view could not be built: nothing was transferred, and the drop failed.
        show_vfs_error(owner_, e);
        report_performed_effect(data, DROPEFFECT_NONE);
        return E_FAIL;
    }
    if (result == S_OK)
        *effect = chosen;
    report_performed_effect(data, *effect);
    notify_folder_updated(root_ + relative_);
    return S_OK; // the engine has shown what went wrong; the source learns it from the effect
}

bool CDropTargetImpl::from_this_folder(IDataObject* data) const
{
    com::ComPtr<IDataObjectImpl> ours;
    if (FAILED(data->QueryInterface(IID_PPV_ARGS(&ours))))
        return false;
    LPITEMIDLIST root = nullptr, relative = nullptr;
    const HRESULT hr = ours->GetPath(&root, &relative);
    const pidl_ptr source_root(root), source_relative(relative);
    const pidl_ptr here((root_ + relative_).serialize());
    if (FAILED(hr) || !source_root || !source_relative || !here)
        return false;
    // the source root without its terminator, then the relative list with its own
    const std::size_t root_bytes = pidl_list_size(source_root.get()) - sizeof(USHORT);
    const std::size_t relative_bytes = pidl_list_size(source_relative.get());
    const auto* bytes = reinterpret_cast<const BYTE*>(here.get());
    return pidl_list_size(here.get()) == root_bytes + relative_bytes &&
           std::memcmp(bytes, source_root.get(), root_bytes) == 0 &&
           std::memcmp(bytes + root_bytes, source_relative.get(), relative_bytes) == 0;
}

HRESULT CDropTargetImpl::resolve_destination()
{
    if (destination_)
        return S_OK;
    VARIANT object;
    VariantInit(&object);
    const HRESULT hr = folder_->GetObject(owner_, &object);
    if (FAILED(hr))
        return hr;
    if (object.vt != VT_BYREF || !object.byref)
        return E_FAIL;
    const auto& item = *static_cast<const boost::shared_ptr<vfs::item>*>(object.byref);
    destination_ = boost::dynamic_pointer_cast<vfs::directory>(item);
    return destination_ ? S_OK : E_FAIL;
}

HRESULT CDropTargetImpl::PasteFromClipboard()
{
    com::ComPtr<IDataObject> data;
    HRESULT hr = OleGetClipboard(&data);
    if (FAILED(hr))
        return hr;
    DWORD preferred = 0;
    hr = read_dword_format(data.Get(), cfPreferredDropEffect, preferred);
    if (FAILED(hr))
        return hr;
    const DWORD allowed = preferred & ~DWORD(DROPEFFECT_LINK);
    const POINTL origin = {0, 0};
    DWORD effect = allowed;
    hr = DragEnter(data.Get(), MK_LBUTTON, origin, &effect);
    if (FAILED(hr))
        return hr;
    effect = allowed; // what the clipboard allows, not DragEnter's narrowing
    return Drop(data.Get(), MK_LBUTTON, origin, &effect);
}

AsyncDropParams::~AsyncDropParams()
{
    if (!stream)
        return;
    const LARGE_INTEGER start = {};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    CoReleaseMarshalData(stream);
    stream->Release();
}

unsigned __stdcall AsyncDropWorker(void* parameter)
{
    std::unique_ptr<AsyncDropParams> params(static_cast<AsyncDropParams*>(parameter));
    const HWND owner = params->owner;
    const HRESULT init = CoInitialize(nullptr);
    try {
        if (FAILED(init))
            throw worker_error{L"Com initialize failed"};
        run_async_drop(*params);
    }
    catch (const worker_error& e) {
        show_internal_error(owner, e.text);
    }
    catch (const vfs::exception& e) { // the source view could not be built
        show_internal_error(owner, e.get_details().c_str());
    }
    catch (...) {
        show_internal_error(owner, L"Unknown error");
    }
    params.reset(); // in the apartment: a stream never taken is released through it
    if (SUCCEEDED(init))
        CoUninitialize();
    return 0;
}

HRESULT StartAsyncDropWorker(std::unique_ptr<AsyncDropParams> params, thread_starter start)
{
    const uintptr_t thread = start(nullptr, 0, AsyncDropWorker, params.get(), 0, nullptr);
    if (!thread)
        return E_FAIL; // params, and the data object marshalled into them, are released here
    params.release();  // the worker's now
    CloseHandle(reinterpret_cast<HANDLE>(thread));
    return S_OK;
}

HRESULT create_folder_drop_target(folder_object_request& request, REFIID riid, void** out)
{
    auto target = com::make<CDropTargetImpl>();
    CShellFolderImpl& folder = request.folder;
    const HRESULT hr = target->Init(static_cast<IShellFolderImpl*>(&folder), folder.root(),
                                    folder.relative_path(), request.window, true);
    if (FAILED(hr))
        return hr;
    return target->QueryInterface(riid, out);
}

HRESULT create_child_drop_target(folder_object_request& request, REFIID riid, void** out)
{
    com::ComPtr<IShellFolder> child;
    const HRESULT hr = request.folder.BindToObject(request.items[0], nullptr, IID_PPV_ARGS(&child));
    if (FAILED(hr))
        return hr;
    return child->CreateViewObject(request.window, riid, out);
}
