// The data object of items dragged, copied or cut out of a drive folder: virtual files
// ("FileGroupDescriptorW" and one "FileContents" stream per file), the shell's item list
// ("Shell IDList Array"), and whatever formats targets and the shell set on it. It completes a
// move by deleting its items when the target reports one, and saves itself to a stream so that
// a flushed clipboard can make it again in another process.
#pragma once

#include "com/object.h"
#include "module/ids.h"
#include "shell/folder_objects.h"
#include "transfer/descriptor.h"
#include "transfer/selection.h"

#include <objidl.h>

#include <optional>
#include <vector>

// How own_selection() knows the drive's own data objects: an interface of this process alone,
// never marshalled (it has no proxy), so a data object of another apartment or program never
// answers it.
// {6C1F2E5A-93B4-4D7E-8A21-F04C9B7D3E58}
inline constexpr IID IID_IOwnSelection = {
    0x6c1f2e5a, 0x93b4, 0x4d7e, {0x8a, 0x21, 0xf0, 0x4c, 0x9b, 0x7d, 0x3e, 0x58}};
struct IOwnSelection : IUnknown {
    virtual const item_selection* STDMETHODCALLTYPE selection() = 0;
};

class CDataObjectImpl
    : public com::unknown_impl<CDataObjectImpl, IPersistStream, IDataObjectImpl, IDataObject, IOwnSelection> {
public:
    static const QITAB* interface_table();
    ~CDataObjectImpl() override;

    // Offers the selected items; E_INVALIDARG without a folder or items. preferred_effect, when
    // not 0, is stored as "Preferred DropEffect" (a reloaded cut stays a cut).
    HRESULT Init(item_selection selection, DWORD preferred_effect = 0);

    // IPersistStream
    IFACEMETHODIMP GetClassID(CLSID* clsid) override;
    IFACEMETHODIMP IsDirty() override { return E_NOTIMPL; }
    IFACEMETHODIMP Load(IStream* stream) override;
    IFACEMETHODIMP Save(IStream* stream, BOOL clear_dirty) override;
    IFACEMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;

    // IDataObjectImpl
    IFACEMETHODIMP GetPath(LPITEMIDLIST* root, LPITEMIDLIST* relative) override;

    // IDataObject
    IFACEMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override;
    IFACEMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    IFACEMETHODIMP QueryGetData(FORMATETC* format) override;
    IFACEMETHODIMP GetCanonicalFormatEtc(FORMATETC* in, FORMATETC* out) override;
    IFACEMETHODIMP SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) override;
    IFACEMETHODIMP EnumFormatEtc(DWORD direction, IEnumFORMATETC** formats) override;
    IFACEMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
    IFACEMETHODIMP DUnadvise(DWORD) override { return E_NOTIMPL; }
    IFACEMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }

    // IOwnSelection
    const item_selection* STDMETHODCALLTYPE selection() override { return &selection_; }

private:
    struct stored_format {
        FORMATETC format;
        STGMEDIUM medium;
    };

    HRESULT descriptors();
    HRESULT get_descriptor(STGMEDIUM* medium);
    HRESULT get_contents(LONG index, STGMEDIUM* medium);
    HRESULT get_item_list(STGMEDIUM* medium);
    HRESULT get_stored(const FORMATETC& format, STGMEDIUM* medium);
    HRESULT store(const FORMATETC& format, const STGMEDIUM& medium);
    stored_format* find(const FORMATETC& format);
    DWORD stored_dword(CLIPFORMAT format);
    HRESULT after_set(CLIPFORMAT format);
    void clear_store();

    item_selection selection_;
    std::optional<descriptor_list> descriptors_;
    HRESULT descriptor_failure_ = S_OK;
    std::vector<stored_format> store_;
};

// The row of GetUIObjectOf for IDataObject: the selection of the folder the request comes from.
HRESULT create_data_object(folder_object_request& request, REFIID riid, void** out);
