#include "support/data_objects.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cstring>
#include <new>

namespace qm_test {

namespace {

HGLOBAL global_copy(const void* data, size_t size)
{
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size ? size : 1);
    if (!block)
        return nullptr;
    if (size)
        std::memcpy(GlobalLock(block), data, size);
    GlobalUnlock(block);
    return block;
}

// DROPFILES followed by the wide paths, each ended by 0, and a final 0.
HGLOBAL hdrop_block(const std::vector<std::wstring>& paths)
{
    std::vector<unsigned char> bytes(sizeof(DROPFILES));
    DROPFILES header = {};
    header.pFiles = sizeof(DROPFILES);
    header.fWide = TRUE;
    std::memcpy(bytes.data(), &header, sizeof header);
    for (const std::wstring& path : paths) {
        const auto* p = reinterpret_cast<const unsigned char*>(path.c_str());
        bytes.insert(bytes.end(), p, p + (path.size() + 1) * sizeof(wchar_t));
    }
    bytes.insert(bytes.end(), sizeof(wchar_t), 0);
    return global_copy(bytes.data(), bytes.size());
}

HGLOBAL descriptor_block(const std::vector<virtual_item>& items)
{
    const size_t size =
        sizeof(FILEGROUPDESCRIPTORW) + (items.empty() ? 0 : items.size() - 1) * sizeof(FILEDESCRIPTORW);
    std::vector<unsigned char> bytes(size);
    auto* group = reinterpret_cast<FILEGROUPDESCRIPTORW*>(bytes.data());
    group->cItems = static_cast<UINT>(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        FILEDESCRIPTORW& d = group->fgd[i];
        d.dwFlags = FD_ATTRIBUTES | FD_FILESIZE;
        d.dwFileAttributes = items[i].is_folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
        d.nFileSizeLow = static_cast<DWORD>(items[i].bytes.size());
        lstrcpynW(d.cFileName, items[i].path.c_str(), MAX_PATH);
    }
    return global_copy(bytes.data(), bytes.size());
}

} // namespace

CLIPFORMAT clipboard_format(const wchar_t* name)
{
    return static_cast<CLIPFORMAT>(RegisterClipboardFormatW(name));
}

Microsoft::WRL::ComPtr<data_object> data_object::create()
{
    Microsoft::WRL::ComPtr<data_object> object;
    *object.GetAddressOf() = new data_object();
    return object;
}

data_object::~data_object()
{
    if (marshaller_)
        marshaller_->Release();
}

void data_object::offer_hdrop(const std::vector<std::wstring>& paths)
{
    std::lock_guard<std::mutex> hold(lock_);
    hdrop_ = paths;
}

void data_object::offer_virtual(std::vector<virtual_item> items, contents_medium medium)
{
    std::lock_guard<std::mutex> hold(lock_);
    virtual_ = std::move(items);
    medium_ = medium;
}

void data_object::offer_async()
{
    std::lock_guard<std::mutex> hold(lock_);
    offers_async_ = true;
    async_.async_mode = true;
}

void data_object::make_free_threaded()
{
    if (!marshaller_)
        CoCreateFreeThreadedMarshaler(static_cast<IDataObject*>(this), &marshaller_);
}

void data_object::set_dword(const wchar_t* format, DWORD value)
{
    std::lock_guard<std::mutex> hold(lock_);
    dwords_[clipboard_format(format)] = value;
}

std::optional<DWORD> data_object::dword(const wchar_t* format) const
{
    std::lock_guard<std::mutex> hold(lock_);
    const auto found = dwords_.find(clipboard_format(format));
    return found == dwords_.end() ? std::nullopt : std::optional<DWORD>(found->second);
}

async_record data_object::async() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return async_;
}

IFACEMETHODIMP data_object::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDataObject))
        *ppv = static_cast<IDataObject*>(this);
    else if (IsEqualIID(riid, IID_IDataObjectAsyncCapability) && offers_async_)
        *ppv = static_cast<IDataObjectAsyncCapability*>(this);
    else if (IsEqualIID(riid, IID_IMarshal) && marshaller_)
        return marshaller_->QueryInterface(riid, ppv);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

IFACEMETHODIMP_(ULONG) data_object::AddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
}

IFACEMETHODIMP_(ULONG) data_object::Release()
{
    const LONG refs = InterlockedDecrement(&refs_);
    if (refs == 0)
        delete this;
    return static_cast<ULONG>(refs);
}

HRESULT data_object::answer(const FORMATETC& format, STGMEDIUM* medium, bool fill) const
{
    if (format.dwAspect != DVASPECT_CONTENT)
        return DV_E_DVASPECT;
    const CLIPFORMAT cf = format.cfFormat;
    HGLOBAL block = nullptr;
    const bool files = cf == CF_HDROP && hdrop_;
    if (files || (cf == clipboard_format(L"FileGroupDescriptorW") && virtual_)) {
        if (!(format.tymed & TYMED_HGLOBAL))
            return DV_E_TYMED;
        if (!fill)
            return S_OK;
        block = files ? hdrop_block(*hdrop_) : descriptor_block(*virtual_);
        if (discard_)
            block = GlobalReAlloc(block, 0, GMEM_MOVEABLE);
    }
    else if (cf == clipboard_format(L"FileContents") && virtual_) {
        const bool stream = medium_ == contents_medium::stream;
        if (!(format.tymed & (stream ? TYMED_ISTREAM : TYMED_HGLOBAL)))
            return DV_E_TYMED;
        if (!fill)
            return S_OK;
        if (format.lindex < 0 || static_cast<size_t>(format.lindex) >= virtual_->size() ||
            (*virtual_)[format.lindex].is_folder)
            return DV_E_LINDEX;
        const std::string& bytes = (*virtual_)[format.lindex].bytes;
        if (stream) {
            medium->tymed = TYMED_ISTREAM;
            medium->pstm = SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes.data()),
                                             static_cast<UINT>(bytes.size()));
            medium->pUnkForRelease = nullptr;
            return medium->pstm ? S_OK : E_OUTOFMEMORY;
        }
        block = global_copy(bytes.data(), bytes.size());
    }
    else {
        const auto found = dwords_.find(cf);
        if (found == dwords_.end())
            return DV_E_FORMATETC;
        const DWORD value = found->second;
        if (!(format.tymed & TYMED_HGLOBAL))
            return DV_E_TYMED;
        if (!fill)
            return S_OK;
        block = global_copy(&value, sizeof value);
    }
    if (!block)
        return E_OUTOFMEMORY;
    medium->tymed = TYMED_HGLOBAL;
    medium->hGlobal = block;
    medium->pUnkForRelease = nullptr;
    return S_OK;
}

IFACEMETHODIMP data_object::GetData(FORMATETC* format, STGMEDIUM* medium)
{
    if (!format || !medium)
        return E_INVALIDARG;
    std::lock_guard<std::mutex> hold(lock_);
    *medium = STGMEDIUM{};
    return answer(*format, medium, true);
}

IFACEMETHODIMP data_object::QueryGetData(FORMATETC* format)
{
    if (!format)
        return E_INVALIDARG;
    std::lock_guard<std::mutex> hold(lock_);
    return answer(*format, nullptr, false);
}

IFACEMETHODIMP data_object::GetCanonicalFormatEtc(FORMATETC* in, FORMATETC* out)
{
    if (!in || !out)
        return E_INVALIDARG;
    *out = *in;
    out->ptd = nullptr;
    return DATA_S_SAMEFORMATETC;
}

IFACEMETHODIMP data_object::SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release)
{
    if (!format || !medium)
        return E_INVALIDARG;
    if (!(medium->tymed & TYMED_HGLOBAL) || GlobalSize(medium->hGlobal) < sizeof(DWORD))
        return DV_E_TYMED;
    DWORD value = 0;
    std::memcpy(&value, GlobalLock(medium->hGlobal), sizeof value);
    GlobalUnlock(medium->hGlobal);
    {
        std::lock_guard<std::mutex> hold(lock_);
        dwords_[format->cfFormat] = value;
    }
    if (release)
        ReleaseStgMedium(medium);
    return S_OK;
}

IFACEMETHODIMP data_object::EnumFormatEtc(DWORD direction, IEnumFORMATETC** formats)
{
    if (!formats)
        return E_POINTER;
    *formats = nullptr;
    if (direction != DATADIR_GET)
        return E_NOTIMPL;
    std::vector<FORMATETC> list;
    auto add = [&](CLIPFORMAT cf, DWORD tymed) {
        list.push_back({cf, nullptr, DVASPECT_CONTENT, -1, tymed});
    };
    std::lock_guard<std::mutex> hold(lock_);
    if (virtual_) {
        add(clipboard_format(L"FileGroupDescriptorW"), TYMED_HGLOBAL);
        add(clipboard_format(L"FileContents"),
            medium_ == contents_medium::stream ? TYMED_ISTREAM : TYMED_HGLOBAL);
    }
    if (hdrop_)
        add(CF_HDROP, TYMED_HGLOBAL);
    for (const auto& entry : dwords_)
        add(entry.first, TYMED_HGLOBAL);
    return SHCreateStdEnumFmtEtc(static_cast<UINT>(list.size()), list.data(), formats);
}

IFACEMETHODIMP data_object::SetAsyncMode(BOOL async)
{
    std::lock_guard<std::mutex> hold(lock_);
    async_.async_mode = async != FALSE;
    return S_OK;
}

IFACEMETHODIMP data_object::GetAsyncMode(BOOL* async)
{
    if (!async)
        return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    *async = async_.async_mode;
    return S_OK;
}

IFACEMETHODIMP data_object::StartOperation(IBindCtx*)
{
    std::lock_guard<std::mutex> hold(lock_);
    async_.started = true;
    async_.start_thread = GetCurrentThreadId();
    return S_OK;
}

IFACEMETHODIMP data_object::InOperation(BOOL* in_operation)
{
    if (!in_operation)
        return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    *in_operation = async_.started && !async_.ended;
    return S_OK;
}

IFACEMETHODIMP data_object::EndOperation(HRESULT result, IBindCtx*, DWORD effect)
{
    std::lock_guard<std::mutex> hold(lock_);
    async_.ended = true;
    async_.end_thread = GetCurrentThreadId();
    async_.end_result = result;
    async_.end_effect = effect;
    return S_OK;
}

} // namespace qm_test
