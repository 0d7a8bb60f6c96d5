#include "transfer/data_object.h"

#include "module/module.h"
#include "module/resource.h"
#include "shell/boundary.h"
#include "shell/shell_folder.h"
#include "transfer/enum_formatetc.h"
#include "transfer/stream.h"
#include "ui/prompts.h"
#include "ui/texts.h"

#include <shellapi.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <string>

namespace {

// {645FF040-5081-101B-9F08-00AA002F954E}
constexpr CLSID recycle_bin_class = {
    0x645ff040, 0x5081, 0x101b, {0x9f, 0x08, 0x00, 0xaa, 0x00, 0x2f, 0x95, 0x4e}};

constexpr UINT own_memory = GMEM_MOVEABLE | GMEM_ZEROINIT | GMEM_DISCARDABLE | GMEM_SHARE;

CLIPFORMAT format_of(clipboard_format_index index)
{
    return _Module.clipboard_format(index);
}

FORMATETC format_entry(clipboard_format_index index, DWORD tymed)
{
    return {format_of(index), nullptr, DVASPECT_CONTENT, -1, tymed};
}

// A block of the object's own memory, locked for writing; null (and no block) when none can be had.
BYTE* new_block(SIZE_T size, HGLOBAL& memory)
{
    memory = GlobalAlloc(own_memory, size);
    auto* p = memory ? static_cast<BYTE*>(GlobalLock(memory)) : nullptr;
    if (memory && !p) {
        GlobalFree(memory);
        memory = nullptr;
    }
    return p;
}

HGLOBAL global_copy(const void* bytes, SIZE_T size)
{
    HGLOBAL memory = nullptr;
    if (BYTE* p = new_block(size, memory)) {
        std::memcpy(p, bytes, size);
        GlobalUnlock(memory);
    }
    return memory;
}

// A copy of a medium that the store owns on its own: memory duplicated, interfaces referenced.
HRESULT copy_medium(const STGMEDIUM& in, STGMEDIUM& out)
{
    out = {};
    out.tymed = in.tymed;
    switch (in.tymed) {
    case TYMED_NULL:
        return S_OK;
    case TYMED_HGLOBAL: {
        const SIZE_T size = GlobalSize(in.hGlobal);
        const void* bytes = GlobalLock(in.hGlobal);
        if (!bytes)
            return E_OUTOFMEMORY;
        out.hGlobal = global_copy(bytes, size);
        GlobalUnlock(in.hGlobal);
        return out.hGlobal ? S_OK : E_OUTOFMEMORY;
    }
    case TYMED_ISTREAM:
    case TYMED_ISTORAGE:
        out.pstm = in.pstm; // the same slot holds pstg
        if (out.pstm)
            out.pstm->AddRef();
        return S_OK;
    default:
        return DV_E_TYMED;
    }
}

bool matches(const FORMATETC& stored, const FORMATETC& asked)
{
    return stored.cfFormat == asked.cfFormat && (stored.tymed & asked.tymed) &&
           (stored.dwAspect & asked.dwAspect) && stored.lindex == asked.lindex;
}

void notify_updated(const CPIDLList& folder)
{
    if (const pidl_ptr list{folder.serialize()})
        SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_IDLIST | SHCNF_FLUSH, list.get(), nullptr);
}

// ---- persisted form ----

// The owner window is saved as 32 bits on every build: window handles fit (they are shared
// between 32- and 64-bit processes), and a stream saved by one build loads in the other.
typedef std::int32_t saved_window;

// What a well-formed stream can hold: the namespace root's own list is a handful of items, a
// folder lies at most as deep as a record path allows, and a selection is one record per item.
constexpr std::uint32_t max_root_bytes = 64 * 1024;
constexpr std::uint32_t max_depth = MAX_PATH / 2; // each level is a name and a separator
constexpr std::uint32_t list_terminator = 3;
constexpr std::uint32_t max_relative_bytes = max_depth * pidl_record_size + list_terminator;
constexpr std::uint32_t item_bytes = pidl_record_size + list_terminator;

class stream_writer {
public:
    template <class T> void value(const T& v) { bytes(&v, sizeof v); }
    void bytes(const void* p, std::size_t n) { data_.append(static_cast<const char*>(p), n); }
    void list(const CPIDLList& list, bool foreign)
    {
        const pidl_ptr flat(list.serialize());
        if (!flat)
            throw std::bad_alloc();
        const std::uint32_t size = static_cast<std::uint32_t>(flat_size(list));
        value(std::uint8_t(foreign ? 1 : 0));
        value(size);
        bytes(flat.get(), size);
    }
    static std::size_t flat_size(const CPIDLList& list)
    {
        const std::size_t prefix = list.has_prefix() ? list.prefix_size() - sizeof(USHORT) : 0;
        return prefix + list.count() * sizeof(PIDLDATA) + list_terminator;
    }
    const std::string& data() const { return data_; }

private:
    std::string data_;
};

// Reads exactly what is asked or fails: a stream cut short never yields a partial value.
class stream_reader {
public:
    explicit stream_reader(IStream* stream) : stream_(stream) {}

    bool bytes(void* p, ULONG n)
    {
        ULONG got = 0;
        return SUCCEEDED(stream_->Read(p, n, &got)) && got == n;
    }
    template <class T> bool value(T& v) { return bytes(&v, sizeof v); }

    // A list in its saved form, its size checked against limit before anything is allocated,
    // its items against the bytes read.
    bool list(std::string& flat, std::uint8_t& foreign, std::uint32_t limit)
    {
        std::uint32_t size = 0;
        if (!value(foreign) || foreign > 1 || !value(size) || size < sizeof(USHORT) || size > limit)
            return false;
        flat.assign(size, '\0');
        return bytes(flat.data(), size) && terminated(flat);
    }

private:
    // Every item's cb lies inside the bytes and a zero cb ends the list before they do.
    static bool terminated(const std::string& flat)
    {
        std::size_t at = 0;
        while (at + sizeof(USHORT) <= flat.size()) {
            USHORT cb;
            std::memcpy(&cb, flat.data() + at, sizeof cb);
            if (cb == 0)
                return true;
            if (cb < sizeof(USHORT) || cb > flat.size() - at)
                return false;
            at += cb;
        }
        return false;
    }

    IStream* stream_;
};

LPCITEMIDLIST as_list(const std::string& flat)
{
    return reinterpret_cast<LPCITEMIDLIST>(flat.data());
}

} // namespace

const QITAB* CDataObjectImpl::interface_table()
{
    static const QITAB table[] = {
        QITABENT(CDataObjectImpl, IPersistStream),
        QITABENTMULTI(CDataObjectImpl, IPersist, IPersistStream),
        QITABENT(CDataObjectImpl, IDataObjectImpl),
        QITABENT(CDataObjectImpl, IDataObject),
        {&IID_IOwnSelection, OFFSETOFCLASS(IOwnSelection, CDataObjectImpl)},
        {},
    };
    return table;
}

CDataObjectImpl::~CDataObjectImpl()
{
    clear_store();
}

void CDataObjectImpl::clear_store()
{
    for (stored_format& entry : store_)
        ReleaseStgMedium(&entry.medium);
    store_.clear();
}

HRESULT CDataObjectImpl::Init(item_selection selection, DWORD preferred_effect)
{
    if (!selection.folder || selection.items.empty())
        return E_INVALIDARG;
    clear_store();
    descriptors_.reset();
    descriptor_failure_ = S_OK;
    selection_ = std::move(selection);

    // The shell flushes the clipboard through IPersistStream only when this says 0.
    const DWORD persist = 0;
    STGMEDIUM medium = {};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = global_copy(&persist, sizeof persist);
    if (!medium.hGlobal)
        return E_OUTOFMEMORY;
    store_.push_back({format_entry(cfOleClipboardPersistOnFlush, TYMED_HGLOBAL), medium});
    // Served by GetData itself; listed so that QueryGetData and the enumerator name them.
    store_.push_back({format_entry(cfFileGroupDescriptorW, TYMED_HGLOBAL), {}});
    store_.push_back({format_entry(cfFileContents, TYMED_ISTREAM), {}});
    store_.push_back({format_entry(cfShellIDListArray, TYMED_HGLOBAL), {}});
    if (preferred_effect) {
        medium.hGlobal = global_copy(&preferred_effect, sizeof preferred_effect);
        if (!medium.hGlobal)
            return E_OUTOFMEMORY;
        store_.push_back({format_entry(cfPreferredDropEffect, TYMED_HGLOBAL), medium});
    }
    return S_OK;
}

// IPersistStream

IFACEMETHODIMP CDataObjectImpl::GetClassID(CLSID* clsid)
{
    if (!clsid)
        return E_POINTER;
    *clsid = CLSID_DataObjectImpl;
    return S_OK;
}

IFACEMETHODIMP CDataObjectImpl::Save(IStream* stream, BOOL)
{
    if (!stream)
        return E_POINTER;
    return com_boundary([&] {
        stream_writer out;
        out.value(static_cast<saved_window>(HandleToLong(selection_.owner)));
        out.list(selection_.root, selection_.root.has_prefix());
        out.list(selection_.relative, false);
        out.value(static_cast<std::uint32_t>(selection_.items.size()));
        for (const PIDLDATA& item : selection_.items)
            out.list(CPIDLList(item), false);
        out.value(stored_dword(format_of(cfPreferredDropEffect)));
        ULONG written = 0;
        const HRESULT hr = stream->Write(out.data().data(), static_cast<ULONG>(out.data().size()), &written);
        if (FAILED(hr))
            return hr;
        return written == out.data().size() ? S_OK : STG_E_MEDIUMFULL;
    });
}

IFACEMETHODIMP CDataObjectImpl::GetSizeMax(ULARGE_INTEGER* size)
{
    if (!size)
        return S_OK;
    // The exact size: a deep folder's relative list alone can outgrow any rule of thumb per item.
    const std::size_t list_header = sizeof(std::uint8_t) + sizeof(std::uint32_t);
    std::size_t total = sizeof(saved_window) + 2 * list_header + stream_writer::flat_size(selection_.root) +
                        stream_writer::flat_size(selection_.relative) + sizeof(std::uint32_t) +
                        selection_.items.size() * (list_header + item_bytes) + sizeof(DWORD);
    size->QuadPart = total;
    return S_OK;
}

IFACEMETHODIMP CDataObjectImpl::Load(IStream* stream)
{
    if (!stream)
        return E_POINTER;
    return com_boundary([&]() -> HRESULT {
        // Any process can put a stream on the clipboard: every size is bounded before it is
        // used, and every list must be one of this drive before it reaches the folder.
        stream_reader in(stream);
        saved_window window = 0;
        std::string root_flat, relative_flat, item_flat;
        std::uint8_t root_foreign = 0, foreign = 0;
        std::uint32_t count = 0;
        if (!in.value(window) || !in.list(root_flat, root_foreign, max_root_bytes) ||
            !in.list(relative_flat, foreign, max_relative_bytes) || foreign || !in.value(count) || count == 0)
            return E_FAIL;
        const CPIDLList root(as_list(root_flat), root_foreign == 1);
        const CPIDLList relative(as_list(relative_flat), false);
        if (!root.valid() || !relative.valid())
            return E_FAIL;
        item_selection selection{nullptr, root, relative, nullptr, {}};
        // Items are read one by one: a count the bytes do not back fails at the first missing
        // item, before more than one item's memory is taken.
        for (std::uint32_t i = 0; i < count; ++i) {
            if (!in.list(item_flat, foreign, item_bytes) || foreign)
                return E_FAIL;
            const CPIDLList item(as_list(item_flat), false);
            if (!item.valid() || item.count() != 1)
                return E_FAIL;
            selection.items.push_back(item.last());
        }
        DWORD preferred = 0;
        if (!in.value(preferred))
            return E_FAIL;

        const auto owner = static_cast<HWND>(LongToHandle(window));
        selection.owner = IsWindow(owner) ? owner : GetDesktopWindow();

        auto folder = com::make<CShellFolderImpl>();
        const pidl_ptr root_list(root.serialize());
        if (!root_list || FAILED(folder->Initialize(root_list.get())) ||
            FAILED(folder->NavigateTo(root, relative)))
            return E_FAIL;
        selection.folder = boost::dynamic_pointer_cast<vfs::directory>(folder->item());
        if (!selection.folder)
            return E_FAIL;
        return Init(std::move(selection), preferred);
    });
}

// IDataObjectImpl

IFACEMETHODIMP CDataObjectImpl::GetPath(LPITEMIDLIST* root, LPITEMIDLIST* relative)
{
    if (!root || !relative)
        return E_POINTER;
    *root = selection_.root.serialize();
    *relative = selection_.relative.serialize();
    if (*root && *relative)
        return S_OK;
    CoTaskMemFree(std::exchange(*root, nullptr));
    CoTaskMemFree(std::exchange(*relative, nullptr));
    return E_OUTOFMEMORY;
}

// IDataObject

IFACEMETHODIMP CDataObjectImpl::GetData(FORMATETC* format, STGMEDIUM* medium)
{
    if (!format || !medium)
        return E_POINTER;
    *medium = {};
    return com_boundary([&] {
        const CLIPFORMAT cf = format->cfFormat;
        if (cf == format_of(cfFileGroupDescriptorW))
            return (format->tymed & TYMED_HGLOBAL) ? get_descriptor(medium) : DV_E_TYMED;
        if (cf == format_of(cfFileContents))
            return (format->tymed & TYMED_ISTREAM) ? get_contents(format->lindex, medium) : DV_E_TYMED;
        if (cf == format_of(cfShellIDListArray))
            return (format->tymed & TYMED_HGLOBAL) ? get_item_list(medium) : DV_E_TYMED;
        return get_stored(*format, medium);
    });
}

HRESULT CDataObjectImpl::descriptors()
{
    if (descriptors_)
        return S_OK;
    if (FAILED(descriptor_failure_))
        return descriptor_failure_;
    try {
        descriptor_list list = build_descriptors(*selection_.folder, selection_.items);
        if (list.records.empty())
            return E_UNEXPECTED;
        descriptors_ = std::move(list);
        return S_OK;
    }
    catch (const descriptor_too_deep& e) {
        // Said once: the target asks again for every format it tries.
        ui::ask(selection_.owner, ui::text(IDS_TOO_DEEP_TEXT, {e.path}),
                ui::load_string(IDS_TOO_DEEP_CAPTION), MB_OK | MB_ICONERROR);
        descriptor_failure_ = HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
        return descriptor_failure_;
    }
    catch (const vfs::exception&) {
        return E_UNEXPECTED;
    }
}

HRESULT CDataObjectImpl::get_descriptor(STGMEDIUM* medium)
{
    HRESULT hr = descriptors();
    if (FAILED(hr))
        return hr;
    const auto& records = descriptors_->records;
    const UINT count = static_cast<UINT>(records.size());
    const SIZE_T size = sizeof(UINT) + records.size() * sizeof(FILEDESCRIPTORW);
    HGLOBAL memory = nullptr;
    BYTE* p = new_block(size, memory);
    if (!p)
        return E_OUTOFMEMORY;
    std::memcpy(p, &count, sizeof count);
    std::memcpy(p + sizeof count, records.data(), records.size() * sizeof(FILEDESCRIPTORW));
    GlobalUnlock(memory);
    medium->tymed = TYMED_HGLOBAL;
    medium->hGlobal = memory;
    return S_OK;
}

HRESULT CDataObjectImpl::get_contents(LONG index, STGMEDIUM* medium)
{
    HRESULT hr = descriptors();
    if (FAILED(hr))
        return hr;
    if (index < 0 || static_cast<std::size_t>(index) >= descriptors_->files.size())
        return DV_E_LINDEX;
    const auto& file = descriptors_->files[static_cast<std::size_t>(index)];
    if (!file)
        return E_UNEXPECTED; // a folder's record
    IStream* stream = nullptr;
    hr = create_stream(file, IID_IStream, reinterpret_cast<void**>(&stream));
    if (FAILED(hr))
        return hr;
    medium->tymed = TYMED_ISTREAM;
    medium->pstm = stream;
    return S_OK;
}

HRESULT CDataObjectImpl::get_item_list(STGMEDIUM* medium)
{
    const pidl_ptr folder((selection_.root + selection_.relative).serialize());
    if (!folder)
        return E_OUTOFMEMORY;
    const std::size_t folder_size = pidl_list_size(folder.get());
    const std::size_t item_size = sizeof(PIDLDATA) + sizeof(USHORT);
    const std::size_t n = selection_.items.size();
    const std::size_t size = sizeof(UINT) * (n + 2) + folder_size + n * item_size;
    HGLOBAL memory = nullptr;
    BYTE* p = new_block(size, memory);
    if (!p)
        return STG_E_MEDIUMFULL;
    auto* cida = reinterpret_cast<CIDA*>(p);
    cida->cidl = static_cast<UINT>(n);
    std::size_t at = sizeof(UINT) * (n + 2);
    cida->aoffset[0] = static_cast<UINT>(at);
    std::memcpy(p + at, folder.get(), folder_size);
    at += folder_size;
    for (std::size_t i = 0; i < n; ++i) {
        cida->aoffset[i + 1] = static_cast<UINT>(at);
        std::memcpy(p + at, &selection_.items[i], sizeof(PIDLDATA)); // the terminator is zeroed memory
        at += item_size;
    }
    GlobalUnlock(memory);
    medium->tymed = TYMED_HGLOBAL;
    medium->hGlobal = memory;
    return S_OK;
}

CDataObjectImpl::stored_format* CDataObjectImpl::find(const FORMATETC& format)
{
    for (stored_format& entry : store_)
        if (matches(entry.format, format))
            return &entry;
    return nullptr;
}

HRESULT CDataObjectImpl::get_stored(const FORMATETC& format, STGMEDIUM* medium)
{
    const stored_format* entry = find(format);
    if (!entry)
        return DV_E_FORMATETC;
    // Shared, not copied: the caller's ReleaseStgMedium drops a reference instead of freeing.
    const STGMEDIUM& stored = entry->medium;
    switch (stored.tymed) {
    case TYMED_HGLOBAL:
    case TYMED_NULL:
        *medium = stored;
        medium->pUnkForRelease = stored.pUnkForRelease
                                     ? stored.pUnkForRelease
                                     : static_cast<IUnknown*>(static_cast<IDataObject*>(this));
        medium->pUnkForRelease->AddRef();
        return S_OK;
    case TYMED_ISTREAM:
    case TYMED_ISTORAGE:
        *medium = stored;
        if (medium->pstm)
            medium->pstm->AddRef();
        if (medium->pUnkForRelease)
            medium->pUnkForRelease->AddRef();
        return S_OK;
    default:
        return DV_E_TYMED;
    }
}

IFACEMETHODIMP CDataObjectImpl::QueryGetData(FORMATETC* format)
{
    if (!format)
        return E_POINTER;
    // GetData serves the item list, but the drive does not announce it: targets that see it
    // would take the items for files of their own namespace.
    if (format->cfFormat == format_of(cfShellIDListArray))
        return DV_E_FORMATETC;
    return find(*format) ? S_OK : DV_E_FORMATETC;
}

IFACEMETHODIMP CDataObjectImpl::GetCanonicalFormatEtc(FORMATETC* in, FORMATETC* out)
{
    if (!in || !out)
        return E_POINTER;
    *out = *in;
    return DATA_S_SAMEFORMATETC;
}

IFACEMETHODIMP CDataObjectImpl::SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release)
{
    if (!format || !medium)
        return E_POINTER;
    if (format->ptd)
        return DV_E_DVTARGETDEVICE;
    return com_boundary([&] {
        STGMEDIUM kept = {};
        com::ComPtr<IUnknown> self, releaser;
        QueryInterface(IID_PPV_ARGS(&self));
        if (medium->pUnkForRelease)
            medium->pUnkForRelease->QueryInterface(IID_PPV_ARGS(&releaser));
        const bool ours = releaser && releaser.Get() == self.Get();
        // The caller's medium is taken as it is, or copied; until it is stored, a failure leaves
        // the caller's medium the caller's, as a failed SetData must.
        const bool taken = release && !ours;
        if (taken) {
            kept = *medium;
        }
        else {
            const HRESULT hr = copy_medium(*medium, kept);
            if (FAILED(hr))
                return hr;
        }
        const HRESULT hr = store(*format, kept);
        if (FAILED(hr)) {
            if (!taken)
                ReleaseStgMedium(&kept);
            return hr;
        }
        if (release && !taken)
            ReleaseStgMedium(medium); // drops the reference it held on us: no cycle
        // Stored means handed over: what follows (deleting after a move) has its own messages, and
        // a failure here must not tell the caller to free the medium a second time.
        com_boundary([&] { return after_set(format->cfFormat); });
        return S_OK;
    });
}

HRESULT CDataObjectImpl::store(const FORMATETC& format, const STGMEDIUM& medium)
{
    if (stored_format* entry = find(format)) {
        ReleaseStgMedium(&entry->medium);
        entry->medium = medium;
        return S_OK;
    }
    FORMATETC kept = format;
    kept.ptd = nullptr;
    try {
        store_.push_back({kept, medium});
    }
    catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY; // the medium stays with whoever owns it
    }
    return S_OK;
}

DWORD CDataObjectImpl::stored_dword(CLIPFORMAT cf)
{
    const FORMATETC asked = {cf, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    const stored_format* entry = find(asked);
    if (!entry || entry->medium.tymed != TYMED_HGLOBAL || GlobalSize(entry->medium.hGlobal) < sizeof(DWORD))
        return 0;
    DWORD value = 0;
    if (const void* p = GlobalLock(entry->medium.hGlobal)) {
        std::memcpy(&value, p, sizeof value);
        GlobalUnlock(entry->medium.hGlobal);
    }
    return value;
}

HRESULT CDataObjectImpl::after_set(CLIPFORMAT cf)
{
    const CPIDLList folder = selection_.absolute();
    if (cf == format_of(cfPasteSucceeded)) {
        const bool moved = (stored_dword(cf) == DROPEFFECT_MOVE &&
                            stored_dword(format_of(cfPerformedDropEffect)) == DROPEFFECT_MOVE) ||
                           stored_dword(format_of(cfLogicalPerformedDropEffect)) == DROPEFFECT_MOVE;
        if (moved) {
            // The target holds the copies now; what cannot be deleted stays, unannounced.
            DeleteItems(selection_, selection_.owner, true);
            // Only our own cut: a drag that moved must not wipe what the user copied since.
            if (OleIsCurrentClipboard(static_cast<IDataObject*>(this)) == S_OK)
                OleSetClipboard(nullptr);
        }
        notify_updated(folder);
        return S_OK;
    }
    if (cf == format_of(cfTargetCLSID)) {
        const FORMATETC asked = {cf, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        const stored_format* entry = find(asked);
        if (!entry || entry->medium.tymed != TYMED_HGLOBAL)
            return S_OK;
        CLSID target = {};
        const void* p = GlobalLock(entry->medium.hGlobal);
        if (!p)
            return E_OUTOFMEMORY;
        const bool whole = GlobalSize(entry->medium.hGlobal) >= sizeof target;
        if (whole)
            std::memcpy(&target, p, sizeof target);
        GlobalUnlock(entry->medium.hGlobal);
        if (whole && IsEqualCLSID(target, recycle_bin_class)) {
            // The drive has no bin: the items go for good, after the user says so.
            DeleteItems(selection_, selection_.owner, false);
            notify_updated(folder);
        }
    }
    return S_OK;
}

IFACEMETHODIMP CDataObjectImpl::EnumFormatEtc(DWORD direction, IEnumFORMATETC** formats)
{
    if (!formats)
        return E_POINTER;
    *formats = nullptr;
    if (direction != DATADIR_GET)
        return E_NOTIMPL;
    return com_boundary([&] {
        std::vector<FORMATETC> list;
        for (const stored_format& entry : store_)
            list.push_back(entry.format);
        return create_format_enumerator(std::move(list), formats);
    });
}

const item_selection* own_selection(IDataObject* object)
{
    com::ComPtr<IOwnSelection> own;
    if (!object ||
        FAILED(object->QueryInterface(IID_IOwnSelection, reinterpret_cast<void**>(own.GetAddressOf()))))
        return nullptr;
    return own->selection();
}

HRESULT create_data_object(folder_object_request& request, REFIID riid, void** out)
{
    CShellFolderImpl& folder = request.folder;
    item_selection selection{boost::dynamic_pointer_cast<vfs::directory>(request.item),
                             folder.root(),
                             folder.relative_path(),
                             request.window,
                             {}};
    for (UINT i = 0; i < request.count && request.items; ++i) {
        // Explorer passes child lists; Wine passes absolute ones too.
        CPIDLList list;
        if (!folder.relative_records(request.items[i], list) || list.count() != 1)
            return E_INVALIDARG;
        selection.items.push_back(list.last());
    }
    auto object = com::make<CDataObjectImpl>();
    const HRESULT hr = object->Init(std::move(selection));
    if (FAILED(hr))
        return hr;
    return object->QueryInterface(riid, out);
}
