// A data object of the tests' own, standing in for the applications that drop or paste onto the
// drive: local files as CF_HDROP, virtual files as "FileGroupDescriptorW" + "FileContents", or
// both; DWORD formats the target sets ("Performed DropEffect", "Paste Succeeded") are kept and
// read back; optionally it answers IAsyncOperation and records what the target did with it.
//
//   auto data = qm_test::data_object::create();
//   data->offer_hdrop({L"C:\\tmp\\a.txt"});
//   data->offer_virtual({{L"Docs", true, ""}, {L"Docs\\a.txt", false, "bytes"}});
//   HRESULT hr = TransferFromDataObject(nullptr, data.Get(), ...);
//   data->dword(L"Performed DropEffect");
#pragma once

#include <objidl.h>
#include <shldisp.h>
#include <windows.h>
#include <wrl/client.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qm_test {

// One record of a virtual-file list: path relative to the drop root ("Docs\\a.txt").
struct virtual_item {
    virtual_item(std::wstring p, bool folder = false, std::string b = {})
        : path(std::move(p)), is_folder(folder), bytes(std::move(b))
    {
    }
    std::wstring path;
    bool is_folder;
    std::string bytes;
};

// How "FileContents" hands a file's bytes over.
enum class contents_medium { stream, hglobal };

// What the target did through IAsyncOperation (IDataObjectAsyncCapability in the SDK headers).
struct async_record {
    bool async_mode = false;
    bool started = false;
    bool ended = false;
    DWORD start_thread = 0;
    DWORD end_thread = 0;
    HRESULT end_result = E_PENDING;
    DWORD end_effect = 0;
};

CLIPFORMAT clipboard_format(const wchar_t* name);

class data_object final : public IDataObject, public IDataObjectAsyncCapability {
public:
    static Microsoft::WRL::ComPtr<data_object> create();

    void offer_hdrop(const std::vector<std::wstring>& paths);
    void offer_virtual(std::vector<virtual_item> items, contents_medium medium = contents_medium::stream);
    // Answers IAsyncOperation from now on, asynchronous mode on (the source's default).
    void offer_async();
    // Aggregates the free-threaded marshaller, so a worker thread calls the object directly.
    void make_free_threaded();
    // Hands out the CF_HDROP and descriptor blocks discarded, so that locking them fails.
    void discard_blocks() { discard_ = true; }
    // A DWORD format as the target set it with SetData, or as the test preset it.
    void set_dword(const wchar_t* format, DWORD value);
    std::optional<DWORD> dword(const wchar_t* format) const;
    async_record async() const;

    // IUnknown
    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    IFACEMETHODIMP_(ULONG) AddRef() override;
    IFACEMETHODIMP_(ULONG) Release() override;
    // IDataObject
    IFACEMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override;
    IFACEMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    IFACEMETHODIMP QueryGetData(FORMATETC* format) override;
    IFACEMETHODIMP GetCanonicalFormatEtc(FORMATETC* in, FORMATETC* out) override;
    IFACEMETHODIMP SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) override;
    IFACEMETHODIMP EnumFormatEtc(DWORD direction, IEnumFORMATETC** formats) override;
    IFACEMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override
    {
        return OLE_E_ADVISENOTSUPPORTED;
    }
    IFACEMETHODIMP DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
    IFACEMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }
    // IAsyncOperation
    IFACEMETHODIMP SetAsyncMode(BOOL async) override;
    IFACEMETHODIMP GetAsyncMode(BOOL* async) override;
    IFACEMETHODIMP StartOperation(IBindCtx*) override;
    IFACEMETHODIMP InOperation(BOOL* in_operation) override;
    IFACEMETHODIMP EndOperation(HRESULT result, IBindCtx*, DWORD effect) override;

private:
    data_object() = default;
    ~data_object();
    HRESULT answer(const FORMATETC& format, STGMEDIUM* medium, bool fill) const;

    volatile LONG refs_ = 1;
    mutable std::mutex lock_;
    std::optional<std::vector<std::wstring>> hdrop_;
    std::optional<std::vector<virtual_item>> virtual_;
    contents_medium medium_ = contents_medium::stream;
    bool offers_async_ = false;
    bool discard_ = false;
    async_record async_;
    std::map<CLIPFORMAT, DWORD> dwords_;
    IUnknown* marshaller_ = nullptr;
};

} // namespace qm_test
