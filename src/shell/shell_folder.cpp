#include "shell/shell_folder.h"

#include "module/module.h"
#include "module/resource.h"
#include "shell/boundary.h"
#include "shell/columns.h"
#include "shell/connection.h"
#include "transfer/stream.h"

#include <oleauto.h>
#include <shlwapi.h>

#include <cstring>
#include <cwchar>

namespace {

constexpr SFGAOF file_attributes =
    SFGAO_CANCOPY | SFGAO_CANMOVE | SFGAO_CANRENAME | SFGAO_CANDELETE | SFGAO_HASPROPSHEET;
constexpr SFGAOF directory_attributes = file_attributes | SFGAO_DROPTARGET | SFGAO_BROWSABLE | SFGAO_FOLDER;
static_assert(file_attributes == 0x00000073 && directory_attributes == 0x28000173);

// The property lists Explorer's preview pane asks for: {C9944A21-A406-48FE-8225-AEC7E24C211B}.
constexpr GUID FMTID_PropList = {
    0xc9944a21, 0xa406, 0x48fe, {0x82, 0x25, 0xae, 0xc7, 0xe2, 0x4c, 0x21, 0x1b}};
constexpr DWORD PID_PreviewTitle = 6;
constexpr DWORD PID_PreviewDetails = 8;

HRESULT return_string(const std::wstring& text, STRRET* out)
{
    out->uType = STRRET_WSTR;
    return SHStrDupW(text.c_str(), &out->pOleStr);
}

// Walks a directory down by record names.
boost::shared_ptr<vfs::item> walk(boost::shared_ptr<vfs::item> item, const PIDLDATA* first,
                                  const PIDLDATA* end)
{
    for (const PIDLDATA* p = first; p != end; ++p) {
        auto directory = boost::dynamic_pointer_cast<vfs::directory>(item);
        if (!directory)
            return {};
        item = directory->get_item(pidl_name(*p));
    }
    return item;
}

// Whether list starts with every item of prefix (a foreign list, compared byte for byte and
// never read past an item's own cb). Answers the rest of list.
LPCITEMIDLIST strip_prefix(LPCITEMIDLIST list, LPCITEMIDLIST prefix)
{
    const SHITEMID* a = &list->mkid;
    const SHITEMID* b = &prefix->mkid;
    while (b->cb) {
        if (a->cb != b->cb || std::memcmp(a, b, b->cb) != 0)
            return nullptr;
        a = reinterpret_cast<const SHITEMID*>(reinterpret_cast<const BYTE*>(a) + a->cb);
        b = reinterpret_cast<const SHITEMID*>(reinterpret_cast<const BYTE*>(b) + b->cb);
    }
    return reinterpret_cast<LPCITEMIDLIST>(a);
}

// Whether a folder object answers QueryInterface for iid: anything else is refused before a
// bind walks the remote tree for it.
bool folder_serves(REFIID iid)
{
    if (IsEqualIID(iid, IID_IUnknown))
        return true;
    for (const QITAB* entry = CShellFolderImpl::interface_table(); entry->piid; ++entry)
        if (IsEqualIID(iid, *entry->piid))
            return true;
    return false;
}

// The contents of the file that list names below a folder's item. Anything that is not a file
// there, or cannot be looked up, is an interface this item does not have.
HRESULT bind_stream(const boost::shared_ptr<vfs::item>& folder, const CPIDLList& list, REFIID riid,
                    void** out)
{
    boost::shared_ptr<vfs::item> item = folder;
    try {
        for (const PIDLDATA& record : list.items()) {
            const auto directory = boost::dynamic_pointer_cast<vfs::directory>(item);
            if (!directory)
                return E_NOINTERFACE;
            item = directory->get_item(pidl_name(record));
        }
    }
    catch (const vfs::exception&) {
        return E_NOINTERFACE;
    }
    const auto file = boost::dynamic_pointer_cast<vfs::file>(item);
    return file ? create_stream(file, riid, out) : E_NOINTERFACE;
}

} // namespace

HRESULT query_folder(folder_object_request& request, REFIID riid, void** out)
{
    return request.folder.QueryInterface(riid, out);
}

SFGAOF record_attributes(const PIDLDATA& data)
{
    if (!pidl_is_directory(data))
        return file_attributes;
    return data.hasSubfolders ? directory_attributes | SFGAO_HASSUBFOLDER : directory_attributes;
}

const QITAB* CShellFolderImpl::interface_table()
{
    static const QITAB table[] = {
        QITABENT(CShellFolderImpl, IShellFolderImpl),
        QITABENTMULTI(CShellFolderImpl, IShellFolder, IShellFolder2),
        QITABENT(CShellFolderImpl, IShellFolder2),
        QITABENTMULTI(CShellFolderImpl, IPersist, IPersistFolder3),
        QITABENTMULTI(CShellFolderImpl, IPersistFolder, IPersistFolder3),
        QITABENTMULTI(CShellFolderImpl, IPersistFolder2, IPersistFolder3),
        QITABENT(CShellFolderImpl, IPersistFolder3),
        QITABENT(CShellFolderImpl, ITransferDestination),
        QITABENT(CShellFolderImpl, IObjectWithSite),
        {},
    };
    return table;
}

bool CShellFolderImpl::relative_records(LPCITEMIDLIST pidl, CPIDLList& out) const
{
    if (!pidl)
        return false;
    if (root_.has_prefix() && root_.prefix()->mkid.cb) {
        if (LPCITEMIDLIST rest = strip_prefix(pidl, root_.prefix())) {
            CPIDLList records(rest, false);
            if (!records.valid() || records.count() < relative_.count())
                return false;
            for (std::size_t i = 0; i < relative_.count(); ++i)
                if (records[i] != relative_[i])
                    return false;
            CPIDLList result;
            for (std::size_t i = relative_.count(); i < records.count(); ++i)
                result.append(records[i]);
            out = std::move(result);
            return true;
        }
    }
    CPIDLList records(pidl, false);
    if (!records.valid())
        return false;
    out = std::move(records);
    return true;
}

HRESULT CShellFolderImpl::EnsureConnected(HWND owner, bool silent)
{
    return connect_session(owner, silent, client_, item_);
}

HRESULT CShellFolderImpl::InitChild(const boost::shared_ptr<vfs::item>& parent, const CPIDLList& root,
                                    const CPIDLList& parent_path, const CPIDLList& list)
{
    try {
        root_ = root;
        relative_ = parent_path + list;
        auto item = walk(parent, list.items().data(), list.items().data() + list.count());
        if (!item)
            return E_FAIL;
        item_ = item;
        return S_OK;
    }
    catch (...) {
        return E_FAIL;
    }
}

HRESULT CShellFolderImpl::NavigateTo(const CPIDLList& root, const CPIDLList& relative)
{
    return com_boundary([&] {
        const HRESULT hr = EnsureConnected(nullptr, false);
        if (FAILED(hr))
            return hr;
        return InitChild(item_, root, CPIDLList(), relative);
    });
}

std::wstring CShellFolderImpl::GetRootParsingName(bool for_address_bar) const
{
    if (!root_.has_prefix())
        return {};
    com::ComPtr<IShellFolder> desktop;
    if (FAILED(SHGetDesktopFolder(&desktop)))
        return {};
    STRRET name = {};
    const SHGDNF flags = SHGDN_FORPARSING | (for_address_bar ? SHGDN_FORADDRESSBAR : 0);
    if (FAILED(desktop->GetDisplayNameOf(root_.prefix(), flags, &name)))
        return {};
    LPWSTR text = nullptr;
    if (FAILED(StrRetToStrW(&name, root_.prefix(), &text)) || !text)
        return {};
    std::wstring result(text);
    CoTaskMemFree(text);
    return result;
}

// IShellFolderImpl

IFACEMETHODIMP CShellFolderImpl::GetObject(HWND hwnd, VARIANT* object)
{
    if (!object)
        return E_POINTER;
    return com_boundary([&] {
        const HRESULT hr = EnsureConnected(hwnd, true);
        if (FAILED(hr))
            return hr;
        // The address of our own reference: valid while the caller holds this folder.
        object->vt = VT_BYREF;
        object->byref = &item_;
        return S_OK;
    });
}

// IShellFolder

IFACEMETHODIMP CShellFolderImpl::ParseDisplayName(HWND hwnd, IBindCtx*, LPWSTR name, ULONG* eaten,
                                                  PIDLIST_RELATIVE* pidl, ULONG* attributes)
{
    if (!pidl)
        return E_POINTER;
    *pidl = nullptr;
    if (!name)
        return E_INVALIDARG;
    if (!*name)
        return E_FAIL; // names nothing, not even this folder
    return com_boundary([&] { return do_parse(hwnd, name, eaten, pidl, attributes); });
}

HRESULT CShellFolderImpl::do_parse(HWND hwnd, LPCWSTR name, ULONG* eaten, PIDLIST_RELATIVE* pidl,
                                   ULONG* attributes)
{
    HRESULT hr = EnsureConnected(hwnd, true);
    if (FAILED(hr))
        return hr;
    ULONG count = 0;
    std::wstring rest = name;
    CPIDLList result;
    boost::shared_ptr<vfs::item> current = item_;

    // A full parsing name of the namespace starts at the root and gives an absolute list.
    for (const bool address_bar : {false, true}) {
        const std::wstring prefix = GetRootParsingName(address_bar);
        if (prefix.empty() || rest.size() < prefix.size() ||
            _wcsnicmp(rest.c_str(), prefix.c_str(), prefix.size()))
            continue;
        if (rest.size() > prefix.size() && rest[prefix.size()] != L'\\')
            continue; // "...\Drive" is no prefix of "...\DriveX"
        result = root_;
        current = client_->get_root();
        const std::size_t cut = std::min(rest.size(), prefix.size() + 1);
        count += static_cast<ULONG>(cut);
        rest.erase(0, cut);
        break;
    }

    try {
        while (!rest.empty()) {
            const std::size_t separator = rest.find(L'\\');
            const std::wstring component = rest.substr(0, separator);
            auto directory = boost::dynamic_pointer_cast<vfs::directory>(current);
            if (!directory || component.empty())
                return E_FAIL;
            current = directory->get_item(component);
            result.append(BuildPIDLDATA(current));
            count += static_cast<ULONG>(component.size() + 1);
            if (separator == std::wstring::npos)
                break;
            rest.erase(0, separator + 1);
        }
    }
    catch (const vfs::exception&) {
        return E_FAIL;
    }

    *pidl = result.serialize();
    if (!*pidl)
        return E_OUTOFMEMORY;
    if (eaten)
        *eaten = count;
    if (attributes)
        *attributes &= result.count() ? record_attributes(result.last()) : drive_attributes;
    return S_OK;
}

IFACEMETHODIMP CShellFolderImpl::EnumObjects(HWND hwnd, SHCONTF flags, IEnumIDList** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    return com_boundary([&]() -> HRESULT {
        HRESULT hr = EnsureConnected(hwnd, false);
        if (FAILED(hr))
            return hr;
        auto directory = boost::dynamic_pointer_cast<vfs::directory>(item_);
        if (!directory)
            return S_FALSE;
        vfs::item_list children;
        try {
            children = directory->get_items();
        }
        catch (const vfs::exception& e) {
            show_vfs_error(hwnd, e);
            return E_FAIL;
        }
        if (children.empty())
            return S_FALSE;

        auto snapshot = boost::shared_ptr<pidl_snapshot>(new pidl_snapshot);
        snapshot->reserve(children.size());
        type_name_cache types;
        for (const auto& child : children) {
            const bool folder = child->get_type() == vfs::typeDirectory;
            if (folder ? (flags & SHCONTF_FOLDERS) : (flags & SHCONTF_NONFOLDERS))
                snapshot->push_back(BuildPIDLDATA(child, types));
        }
        return create_pidl_enumerator(static_cast<IShellFolder2*>(this), snapshot, out);
    });
}

IFACEMETHODIMP CShellFolderImpl::BindToObject(PCUIDLIST_RELATIVE pidl, IBindCtx*, REFIID riid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    // Explorer asks for many handlers a folder does not serve; none of them may cost a request.
    const bool stream = IsEqualIID(riid, IID_IStream);
    if (!stream && !folder_serves(riid))
        return E_NOINTERFACE;
    return com_boundary([&]() -> HRESULT {
        CPIDLList list;
        if (!relative_records(pidl, list) || !list.count())
            return E_INVALIDARG;
        HRESULT hr = EnsureConnected(nullptr, true);
        if (FAILED(hr))
            return hr;
        if (stream)
            return bind_stream(item_, list, riid, out);
        auto child = com::make<CShellFolderImpl>();
        hr = child->InitChild(item_, root_, relative_, list);
        if (FAILED(hr))
            return hr;
        return child->QueryInterface(riid, out);
    });
}

IFACEMETHODIMP CShellFolderImpl::BindToStorage(PCUIDLIST_RELATIVE, IBindCtx*, REFIID, void** out)
{
    if (out)
        *out = nullptr;
    return E_NOTIMPL;
}

IFACEMETHODIMP CShellFolderImpl::CompareIDs(LPARAM parameter, PCUIDLIST_RELATIVE pidl1,
                                            PCUIDLIST_RELATIVE pidl2)
{
    if (!pidl1 || !pidl2)
        return E_INVALIDARG;
    if (!pidl1->mkid.cb)
        return MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1);
    if (!pidl2->mkid.cb)
        return MAKE_HRESULT(SEVERITY_SUCCESS, 0, 0xFFFF);
    return com_boundary([&]() -> HRESULT {
        CPIDLList a, b;
        if (!relative_records(pidl1, a) || !relative_records(pidl2, b))
            return E_INVALIDARG;
        const int r = compare_lists(parameter, a, b);
        return MAKE_HRESULT(SEVERITY_SUCCESS, 0, static_cast<USHORT>(r));
    });
}

IFACEMETHODIMP CShellFolderImpl::CreateViewObject(HWND hwnd, REFIID riid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    return com_boundary([&] {
        folder_object_request request{*this, hwnd, 0, nullptr, {}};
        return dispatch_folder_object(view_object_rows(), request, riid, out);
    });
}

IFACEMETHODIMP CShellFolderImpl::GetAttributesOf(UINT count, PCUITEMID_CHILD_ARRAY pidls, SFGAOF* mask)
{
    if (!mask || (count && !pidls))
        return E_INVALIDARG;
    return com_boundary([&]() -> HRESULT {
        SFGAOF result = *mask;
        for (UINT i = 0; i < count; ++i) {
            CPIDLList list;
            if (!relative_records(pidls[i], list))
                return E_INVALIDARG;
            if (list.count())
                result &= record_attributes(list.last());
            else // this folder itself, asked for with its own absolute list
                result &= relative_.count() ? record_attributes(relative_.last()) : drive_attributes;
        }
        *mask = result;
        return S_OK;
    });
}

IFACEMETHODIMP CShellFolderImpl::GetUIObjectOf(HWND hwnd, UINT count, PCUITEMID_CHILD_ARRAY pidls,
                                               REFIID riid, UINT*, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    return com_boundary([&] {
        folder_object_request request{*this, hwnd, count, pidls, {}};
        return dispatch_folder_object(ui_object_rows(), request, riid, out);
    });
}

IFACEMETHODIMP CShellFolderImpl::GetDisplayNameOf(PCUITEMID_CHILD pidl, SHGDNF flags, STRRET* name)
{
    if (!name)
        return E_POINTER;
    return com_boundary([&]() -> HRESULT {
        CPIDLList list;
        if (!relative_records(pidl, list))
            return E_INVALIDARG;
        const bool parsing = !(flags & SHGDN_INFOLDER) && (flags & SHGDN_FORPARSING);
        std::wstring text;
        if (parsing) {
            text = GetRootParsingName((flags & SHGDN_FORADDRESSBAR) != 0);
            const std::wstring below = (relative_ + list).path();
            if (!below.empty())
                text += L"\\" + below;
        }
        else if (list.count()) {
            text = list.path();
        }
        else if (relative_.count()) {
            text = pidl_name(relative_.last());
        }
        else {
            wchar_t project[64] = {};
            LoadStringW(CQuillmereModule::instance(), IDS_PROJNAME, project, 64);
            text = project;
        }
        return return_string(text, name);
    });
}

IFACEMETHODIMP CShellFolderImpl::SetNameOf(HWND hwnd, PCUITEMID_CHILD pidl, LPCWSTR name, SHGDNF flags,
                                           PITEMID_CHILD* out)
{
    if (out)
        *out = nullptr;
    if (!name)
        return E_INVALIDARG;
    return com_boundary([&] { return do_set_name(hwnd, pidl, name, flags, out); });
}

HRESULT CShellFolderImpl::do_set_name(HWND hwnd, PCUITEMID_CHILD pidl, LPCWSTR name, SHGDNF flags,
                                      PITEMID_CHILD* out)
{
    CPIDLList list;
    if (!relative_records(pidl, list) || !list.count())
        return E_INVALIDARG;
    HRESULT hr = EnsureConnected(hwnd, true);
    if (FAILED(hr))
        return hr;
    std::wstring new_name = name;
    if (!(flags & SHGDN_INFOLDER) && (flags & SHGDN_FORPARSING)) {
        const std::size_t separator = new_name.rfind(L'\\');
        if (separator != std::wstring::npos)
            new_name.erase(0, separator + 1);
    }
    if (new_name.empty())
        return E_INVALIDARG;
    const std::wstring old_name = pidl_name(list.last());
    CPIDLList renamed = list;
    try {
        // The item's own folder: this one, or the one a deeper relative list goes through.
        auto parent = walk(item_, list.items().data(), list.items().data() + list.count() - 1);
        auto directory = boost::dynamic_pointer_cast<vfs::directory>(parent);
        if (!directory)
            return E_FAIL;
        directory->rename_item(old_name, new_name);
    }
    catch (const vfs::exception& e) {
        show_vfs_error(hwnd, e);
        return E_FAIL;
    }

    PIDLDATA& record = renamed.last();
    std::memset(record.name, 0, sizeof record.name);
    std::memcpy(record.name, new_name.data(),
                std::min(new_name.size(), pidl_name_chars - 1) * sizeof(wchar_t));
    if (out) {
        *out = renamed.serialize();
        if (!*out)
            return E_OUTOFMEMORY;
    }

    const CPIDLList base = absolute_list();
    LPITEMIDLIST old_list = (base + list).serialize();
    LPITEMIDLIST new_list = (base + renamed).serialize();
    if (old_list && new_list)
        SHChangeNotify(pidl_is_directory(record) ? SHCNE_RENAMEFOLDER : SHCNE_RENAMEITEM,
                       SHCNF_IDLIST | SHCNF_FLUSH, old_list, new_list);
    CoTaskMemFree(old_list);
    CoTaskMemFree(new_list);
    return S_OK;
}

// IShellFolder2

IFACEMETHODIMP CShellFolderImpl::GetDefaultSearchGUID(GUID*)
{
    return E_NOTIMPL;
}

IFACEMETHODIMP CShellFolderImpl::EnumSearches(IEnumExtraSearch** out)
{
    if (out)
        *out = nullptr;
    return E_NOTIMPL;
}

IFACEMETHODIMP CShellFolderImpl::GetDefaultColumn(DWORD, ULONG* sort, ULONG* display)
{
    if (!sort || !display)
        return E_POINTER;
    *sort = 0;
    *display = 0;
    return S_OK;
}

IFACEMETHODIMP CShellFolderImpl::GetDefaultColumnState(UINT column, SHCOLSTATEF* state)
{
    if (!state)
        return E_POINTER;
    if (column >= column_count)
        return E_INVALIDARG;
    *state = columns[column].state;
    return S_OK;
}

IFACEMETHODIMP CShellFolderImpl::GetDetailsEx(PCUITEMID_CHILD pidl, const SHCOLUMNID* key, VARIANT* value)
{
    if (!value)
        return E_POINTER;
    if (!key)
        return E_INVALIDARG;
    return com_boundary([&]() -> HRESULT {
        VARIANT local;
        VariantInit(&local);
        VARTYPE type = VT_EMPTY;
        if (IsEqualGUID(key->fmtid, FMTID_PropList)) {
            const wchar_t* text =
                key->pid == PID_PreviewTitle     ? L"prop:System.ItemNameDisplay;System.ItemTypeText"
                : key->pid == PID_PreviewDetails ? L"prop:System.DateModified;System.Size;System.DateAccessed"
                                                 : nullptr;
            if (!text)
                return E_NOTIMPL;
            local.vt = type = VT_BSTR;
            local.bstrVal = SysAllocString(text);
        }
        else if (IsEqualGUID(key->fmtid, FMTID_Storage_Quillmere)) {
            CPIDLList list;
            if (!relative_records(pidl, list) || !list.count())
                return E_INVALIDARG;
            const PIDLDATA& record = list.last();
            switch (key->pid) {
            case PID_STG_NAME:
            case PID_STG_STORAGETYPE:
                local.vt = type = VT_BSTR;
                local.bstrVal = SysAllocString(
                    (key->pid == PID_STG_NAME ? pidl_name(record) : pidl_type_name(record)).c_str());
                break;
            case PID_STG_SIZE:
                if (record.size == pidl_no_size)
                    return E_FAIL;
                local.vt = type = VT_UI8;
                local.ullVal = record.size;
                break;
            case PID_STG_WRITETIME:
            case PID_STG_ACCESSTIME: {
                const double date = key->pid == PID_STG_WRITETIME ? record.modified : record.accessed;
                if (date == vfs::date_unknown)
                    return E_FAIL;
                local.vt = type = VT_DATE;
                local.date = date;
                break;
            }
            default:
                return E_NOTIMPL;
            }
        }
        else {
            return E_NOTIMPL;
        }
        if (type == VT_BSTR && !local.bstrVal)
            return E_OUTOFMEMORY;
        HRESULT hr = VariantChangeType(&local, &local, 0, type);
        if (FAILED(hr)) {
            VariantClear(&local);
            return hr;
        }
        VariantClear(value);
        *value = local; // moved: the string is not copied
        return S_OK;
    });
}

IFACEMETHODIMP CShellFolderImpl::GetDetailsOf(PCUITEMID_CHILD pidl, UINT column, SHELLDETAILS* details)
{
    if (!details)
        return E_POINTER;
    return com_boundary([&]() -> HRESULT {
        details->fmt = LVCFMT_LEFT;
        if (column >= column_count)
            return E_INVALIDARG;
        if (!pidl) {
            details->cxChar = columns[column].width_chars;
            details->fmt = columns[column].format;
            wchar_t title[64] = {};
            LoadStringW(CQuillmereModule::instance(), columns[column].title_id, title, 64);
            return return_string(title, &details->str);
        }
        CPIDLList list;
        if (!relative_records(pidl, list) || !list.count())
            return E_INVALIDARG;
        std::wstring text;
        if (!column_text(list.last(), column, text))
            return E_FAIL;
        details->fmt = columns[column].format;
        return return_string(text, &details->str);
    });
}

IFACEMETHODIMP CShellFolderImpl::MapColumnToSCID(UINT column, SHCOLUMNID* key)
{
    if (!key)
        return E_POINTER;
    if (column >= column_count)
        return E_INVALIDARG;
    key->fmtid = FMTID_Storage_Quillmere;
    key->pid = columns[column].pid;
    return S_OK;
}

// IPersistFolder3

IFACEMETHODIMP CShellFolderImpl::GetClassID(CLSID* clsid)
{
    if (!clsid)
        return E_POINTER;
    *clsid = CLSID_ShellFolderImpl;
    return S_OK;
}

IFACEMETHODIMP CShellFolderImpl::Initialize(PCIDLIST_ABSOLUTE pidl)
{
    if (!pidl)
        return E_INVALIDARG;
    return com_boundary([&] {
        root_ = CPIDLList(pidl, true);
        return S_OK;
    });
}

IFACEMETHODIMP CShellFolderImpl::GetCurFolder(PIDLIST_ABSOLUTE* pidl)
{
    if (!pidl)
        return E_POINTER;
    return com_boundary([&] {
        *pidl = absolute_list().serialize();
        return *pidl ? S_OK : E_OUTOFMEMORY;
    });
}

IFACEMETHODIMP CShellFolderImpl::InitializeEx(IBindCtx*, PCIDLIST_ABSOLUTE root,
                                              const PERSIST_FOLDER_TARGET_INFO*)
{
    return Initialize(root);
}

IFACEMETHODIMP CShellFolderImpl::GetFolderTargetInfo(PERSIST_FOLDER_TARGET_INFO*)
{
    return E_NOTIMPL;
}

// ITransferDestination

IFACEMETHODIMP CShellFolderImpl::Advise(ITransferAdviseSink*, DWORD*)
{
    return E_NOTIMPL;
}

IFACEMETHODIMP CShellFolderImpl::Unadvise(DWORD)
{
    return E_NOTIMPL;
}

IFACEMETHODIMP CShellFolderImpl::CreateItem(LPCWSTR, DWORD, ULONGLONG, TRANSFER_SOURCE_FLAGS, REFIID, void**,
                                            REFIID, void**)
{
    return E_NOTIMPL;
}

// IObjectWithSite

IFACEMETHODIMP CShellFolderImpl::SetSite(IUnknown* site)
{
    site_ = site;
    return S_OK;
}

IFACEMETHODIMP CShellFolderImpl::GetSite(REFIID riid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!site_)
        return E_FAIL;
    return site_->QueryInterface(riid, out);
}
