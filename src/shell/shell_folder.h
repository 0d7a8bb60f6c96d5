// The drive's folder object: one per remote directory, from the junction under the computer
// folder down. It answers Explorer from the item records and reaches the service only to list,
// look up and rename.
#pragma once

#include "com/object.h"
#include "module/ids.h"
#include "shell/folder_objects.h"
#include "shell/pidl.h"

#include <shlobj.h>
#include <shobjidl.h>

#include <boost/shared_ptr.hpp>

#include <string>

// The standard storage property set. Spelled out here: some SDK headers carry a wrong byte.
// {B725F130-47EF-101A-A5F1-02608C9EACAC}
inline constexpr GUID FMTID_Storage_Quillmere = {
    0xb725f130, 0x47ef, 0x101a, {0xa5, 0xf1, 0x02, 0x60, 0x8c, 0x9e, 0xac, 0xac}};

class CShellFolderImpl : public com::unknown_impl<CShellFolderImpl, IShellFolderImpl, IShellFolder2,
                                                  IPersistFolder3, ITransferDestination, IObjectWithSite> {
public:
    CShellFolderImpl() = default;
    static const QITAB* interface_table();

    // IShellFolderImpl
    IFACEMETHODIMP GetObject(HWND hwnd, VARIANT* object) override;

    // IShellFolder
    IFACEMETHODIMP ParseDisplayName(HWND hwnd, IBindCtx* bc, LPWSTR name, ULONG* eaten,
                                    PIDLIST_RELATIVE* pidl, ULONG* attributes) override;
    IFACEMETHODIMP EnumObjects(HWND hwnd, SHCONTF flags, IEnumIDList** out) override;
    IFACEMETHODIMP BindToObject(PCUIDLIST_RELATIVE pidl, IBindCtx* bc, REFIID riid, void** out) override;
    IFACEMETHODIMP BindToStorage(PCUIDLIST_RELATIVE pidl, IBindCtx* bc, REFIID riid, void** out) override;
    IFACEMETHODIMP CompareIDs(LPARAM parameter, PCUIDLIST_RELATIVE pidl1, PCUIDLIST_RELATIVE pidl2) override;
    IFACEMETHODIMP CreateViewObject(HWND hwnd, REFIID riid, void** out) override;
    IFACEMETHODIMP GetAttributesOf(UINT count, PCUITEMID_CHILD_ARRAY pidls, SFGAOF* mask) override;
    IFACEMETHODIMP GetUIObjectOf(HWND hwnd, UINT count, PCUITEMID_CHILD_ARRAY pidls, REFIID riid,
                                 UINT* reserved, void** out) override;
    IFACEMETHODIMP GetDisplayNameOf(PCUITEMID_CHILD pidl, SHGDNF flags, STRRET* name) override;
    IFACEMETHODIMP SetNameOf(HWND hwnd, PCUITEMID_CHILD pidl, LPCWSTR name, SHGDNF flags,
                             PITEMID_CHILD* out) override;

    // IShellFolder2
    IFACEMETHODIMP GetDefaultSearchGUID(GUID* guid) override;
    IFACEMETHODIMP EnumSearches(IEnumExtraSearch** out) override;
    IFACEMETHODIMP GetDefaultColumn(DWORD reserved, ULONG* sort, ULONG* display) override;
    IFACEMETHODIMP GetDefaultColumnState(UINT column, SHCOLSTATEF* state) override;
    IFACEMETHODIMP GetDetailsEx(PCUITEMID_CHILD pidl, const SHCOLUMNID* key, VARIANT* value) override;
    IFACEMETHODIMP GetDetailsOf(PCUITEMID_CHILD pidl, UINT column, SHELLDETAILS* details) override;
    IFACEMETHODIMP MapColumnToSCID(UINT column, SHCOLUMNID* key) override;

    // IPersistFolder3
    IFACEMETHODIMP GetClassID(CLSID* clsid) override;
    IFACEMETHODIMP Initialize(PCIDLIST_ABSOLUTE pidl) override;
    IFACEMETHODIMP GetCurFolder(PIDLIST_ABSOLUTE* pidl) override;
    IFACEMETHODIMP InitializeEx(IBindCtx* bc, PCIDLIST_ABSOLUTE root,
                                const PERSIST_FOLDER_TARGET_INFO* target) override;
    IFACEMETHODIMP GetFolderTargetInfo(PERSIST_FOLDER_TARGET_INFO* target) override;

    // ITransferDestination
    IFACEMETHODIMP Advise(ITransferAdviseSink* sink, DWORD* cookie) override;
    IFACEMETHODIMP Unadvise(DWORD cookie) override;
    IFACEMETHODIMP CreateItem(LPCWSTR name, DWORD attributes, ULONGLONG size, TRANSFER_SOURCE_FLAGS flags,
                              REFIID riid_item, void** item, REFIID riid_resources,
                              void** resources) override;

    // IObjectWithSite
    IFACEMETHODIMP SetSite(IUnknown* site) override;
    IFACEMETHODIMP GetSite(REFIID riid, void** out) override;

    // Connects on first need; only EnumObjects may ask the user to log in (silent = false).
    HRESULT EnsureConnected(HWND owner, bool silent);
    // Makes this object the folder that list names below parent.
    HRESULT InitChild(const boost::shared_ptr<vfs::item>& parent, const CPIDLList& root,
                      const CPIDLList& parent_path, const CPIDLList& list);
    // Makes a fresh folder object stand for the directory that relative names below the root.
    HRESULT NavigateTo(const CPIDLList& root, const CPIDLList& relative);
    // The desktop's parsing name of the namespace root.
    std::wstring GetRootParsingName(bool for_address_bar) const;

    // The records an item list names below this folder: a child list as Explorer passes it,
    // or an absolute list (Explorer and Wine pass those too) that goes through this folder.
    // False for anything else, in particular items that are not this namespace's records.
    bool relative_records(LPCITEMIDLIST pidl, CPIDLList& out) const;

    // The folder's own storage item; empty until connected.
    const boost::shared_ptr<vfs::item>& item() const { return item_; }
    const CPIDLList& root() const { return root_; }
    const CPIDLList& relative_path() const { return relative_; }
    // root + relative path
    CPIDLList absolute_list() const { return root_ + relative_; }

private:
    HRESULT do_parse(HWND hwnd, LPCWSTR name, ULONG* eaten, PIDLIST_RELATIVE* pidl, ULONG* attributes);
    HRESULT do_set_name(HWND hwnd, PCUITEMID_CHILD pidl, LPCWSTR name, SHGDNF flags, PITEMID_CHILD* out);

    com::ComPtr<IUnknown> site_;
    CPIDLList root_;
    CPIDLList relative_;
    boost::shared_ptr<vfs::client> client_;
    boost::shared_ptr<vfs::item> item_;
};

// What the drive itself is, as its registration tells Explorer: browsable, a drop target with a
// property sheet, slow to reach, but never renamed or deleted.
inline constexpr SFGAOF drive_attributes = SFGAO_HASSUBFOLDER | SFGAO_FOLDER | SFGAO_BROWSABLE |
                                           SFGAO_ISSLOW | SFGAO_DROPTARGET | SFGAO_HASPROPSHEET |
                                           SFGAO_CANMOVE | SFGAO_CANCOPY;
static_assert(drive_attributes == 0xA8004143);

// The folder row of the dispatch tables: the folder itself, asked for riid.
HRESULT query_folder(folder_object_request& request, REFIID riid, void** out);

// SFGAO bits of a record.
SFGAOF record_attributes(const PIDLDATA& data);
