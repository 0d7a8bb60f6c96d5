// The folder through its COM interfaces over an in-memory tree: display names and parsing,
// binding, attributes, renaming with its notification, columns and sort order, UI objects,
// foreign and absolute lists, and connecting with the login prompt.
#include "memory_tree.h"
#include "shell/columns.h"
#include "shell/extract_icon.h"
#include "shell/view_callback.h"
#include "support/ui_driver.h"
#include "shell_test_support.h"

#include <oleauto.h>
#include <shellapi.h>
#include <propkey.h>

#include <thread>

namespace {

using namespace qm_test;

class folder_test : public testing::Test {
protected:
    void SetUp() override
    {
        root = boost::make_shared<memory_directory>(L"");
        docs = root->add_directory(L"Docs");
        auto reports = docs->add_directory(L"Reports");
        reports->add_file(L"q1.txt", 10);
        docs->add_file(L"notes.txt", 5000);
        root->add_directory(L"Photos");
        root->add_file(L"a.txt", 1025);
        session = std::make_unique<memory_session>(root);

        ASSERT_EQ(SHGetFolderLocation(nullptr, CSIDL_WINDOWS, nullptr, 0, &root_pidl), S_OK);
        folder = new_folder();
    }
    void TearDown() override { CoTaskMemFree(root_pidl); }

    com::ComPtr<IShellFolder2> new_folder()
    {
        com::ComPtr<IShellFolder2> f;
        EXPECT_EQ(com::create_instance<CShellFolderImpl>(IID_IShellFolder2, &f), S_OK);
        com::ComPtr<IPersistFolder> persist;
        EXPECT_EQ(f.As(&persist), S_OK);
        EXPECT_EQ(persist->Initialize(root_pidl), S_OK);
        return f;
    }

    std::wstring root_parsing_name() { return display_name_of_absolute(root_pidl, SHGDN_FORPARSING); }
    static std::wstring display_name_of_absolute(LPCITEMIDLIST pidl, SHGDNF flags)
    {
        com::ComPtr<IShellFolder> desktop;
        SHGetDesktopFolder(&desktop);
        return display_name(desktop.Get(), pidl, flags);
    }

    boost::shared_ptr<memory_directory> root, docs;
    std::unique_ptr<memory_session> session;
    LPITEMIDLIST root_pidl = nullptr;
    com::ComPtr<IShellFolder2> folder;
};

TEST_F(folder_test, identity_and_interfaces)
{
    com::ComPtr<IPersistFolder3> persist;
    ASSERT_EQ(folder.As(&persist), S_OK);
    CLSID clsid = {};
    EXPECT_EQ(persist->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_ShellFolderImpl);
    EXPECT_EQ(persist->GetClassID(nullptr), E_POINTER);
    LPITEMIDLIST current = nullptr;
    ASSERT_EQ(persist->GetCurFolder(&current), S_OK);
    unique_pidl owned(current);
    EXPECT_TRUE(ILIsEqual(current, root_pidl));

    com::ComPtr<IUnknown> u;
    for (const IID* iid : {&IID_IShellFolderImpl, &IID_IShellFolder, &IID_IPersist, &IID_IPersistFolder2,
                           &IID_ITransferDestination, &IID_IObjectWithSite})
        EXPECT_EQ(folder->QueryInterface(*iid, reinterpret_cast<void**>(u.ReleaseAndGetAddressOf())), S_OK);
    EXPECT_EQ(folder->QueryInterface(IID_IDropTarget, reinterpret_cast<void**>(u.ReleaseAndGetAddressOf())),
              E_NOINTERFACE);

    com::ComPtr<IObjectWithSite> site;
    ASSERT_EQ(folder.As(&site), S_OK);
    EXPECT_EQ(site->GetSite(IID_IUnknown, reinterpret_cast<void**>(u.ReleaseAndGetAddressOf())), E_FAIL);
    EXPECT_EQ(site->SetSite(folder.Get()), S_OK);
    EXPECT_EQ(site->GetSite(IID_IShellFolder, reinterpret_cast<void**>(u.ReleaseAndGetAddressOf())), S_OK);
    EXPECT_EQ(site->SetSite(nullptr), S_OK); // no cycle left behind

    // GetObject hands out the folder's own item reference.
    com::ComPtr<IShellFolderImpl> impl;
    ASSERT_EQ(folder.As(&impl), S_OK);
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(impl->GetObject(nullptr, nullptr), E_POINTER);
    ASSERT_EQ(impl->GetObject(nullptr, &v), S_OK);
    EXPECT_EQ(v.vt, VT_BYREF);
    auto& item = *static_cast<boost::shared_ptr<vfs::item>*>(v.byref);
    EXPECT_EQ(item.get(), root.get());
}

TEST_F(folder_test, a_failed_listing_is_shown_and_navigation_reaches_a_subfolder)
{
    root->fail_listing = true;
    IEnumIDList* items = nullptr;
    {
        dialog_driver driver([](dialog& d) {
            EXPECT_EQ(d.caption(), L"Request failed");
            EXPECT_EQ(d.message(), L"No internet connection available");
            d.click(IDOK);
        });
        EXPECT_EQ(folder->EnumObjects(nullptr, SHCONTF_FOLDERS, &items), E_FAIL);
        driver.wait();
    }
    EXPECT_EQ(items, nullptr);
    root->fail_listing = false;

    // A fresh folder object sent to a subfolder by its root and relative lists.
    auto fresh = com::make<CShellFolderImpl>();
    CPIDLList relative;
    relative.append(BuildPIDLDATA(docs));
    ASSERT_EQ(fresh->NavigateTo(CPIDLList(root_pidl, true), relative), S_OK);
    VARIANT v;
    VariantInit(&v);
    ASSERT_EQ(fresh->GetObject(nullptr, &v), S_OK);
    EXPECT_EQ(static_cast<boost::shared_ptr<vfs::item>*>(v.byref)->get(), docs.get());
    EXPECT_EQ(enumerate(fresh.Get(), SHCONTF_NONFOLDERS), std::vector<std::wstring>{L"notes.txt"});
    CPIDLList nowhere;
    nowhere.append(make_record(L"Nowhere", true));
    EXPECT_EQ(com::make<CShellFolderImpl>()->NavigateTo(CPIDLList(root_pidl, true), nowhere), E_FAIL);
}

TEST_F(folder_test, display_names_and_their_round_trip_through_parsing)
{
    ULONG eaten = 0, attributes = ~0u;
    unique_pidl q1 = parse(folder.Get(), L"Docs\\Reports\\q1.txt", &eaten, &attributes);
    ASSERT_TRUE(q1);
    EXPECT_EQ(eaten, 20u);
    EXPECT_EQ(attributes, 0x73u) << "the attributes of the file";
    EXPECT_EQ(CPIDLList(q1.get(), false).count(), 3u);

    const std::wstring base = root_parsing_name();
    ASSERT_FALSE(base.empty());
    unique_pidl photos = parse(folder.Get(), L"Photos");
    EXPECT_EQ(display_name(folder.Get(), photos.get(), SHGDN_NORMAL), L"Photos");
    EXPECT_EQ(display_name(folder.Get(), photos.get(), SHGDN_INFOLDER), L"Photos");
    EXPECT_EQ(display_name(folder.Get(), photos.get(), SHGDN_INFOLDER | SHGDN_FORPARSING), L"Photos");
    EXPECT_EQ(display_name(folder.Get(), photos.get(), SHGDN_FORPARSING), base + L"\\Photos");
    const std::wstring address =
        display_name(folder.Get(), photos.get(), SHGDN_FORPARSING | SHGDN_FORADDRESSBAR);
    EXPECT_EQ(address,
              display_name_of_absolute(root_pidl, SHGDN_FORPARSING | SHGDN_FORADDRESSBAR) + L"\\Photos");

    // The full parsing name parses back into an absolute list: root prefix and one record.
    eaten = 0;
    unique_pidl absolute = parse(folder.Get(), base + L"\\Photos", &eaten);
    ASSERT_TRUE(absolute);
    EXPECT_EQ(eaten, base.size() + 8) << "every component counts its separator, the last one too";
    LPCITEMIDLIST last = ILFindLastID(absolute.get());
    EXPECT_EQ(last->mkid.cb, 712);
    EXPECT_EQ(pidl_list_size(absolute.get()), pidl_list_size(root_pidl) + 712);

    // A subfolder's parsing names carry its path.
    com::ComPtr<IShellFolder> docs_folder;
    unique_pidl docs_pidl = parse(folder.Get(), L"Docs");
    ASSERT_EQ(folder->BindToObject(docs_pidl.get(), nullptr, IID_PPV_ARGS(&docs_folder)), S_OK);
    unique_pidl notes = parse(docs_folder.Get(), L"notes.txt");
    EXPECT_EQ(display_name(docs_folder.Get(), notes.get(), SHGDN_FORPARSING), base + L"\\Docs\\notes.txt");
    eaten = 0;
    unique_pidl again = parse(docs_folder.Get(), base + L"\\Docs\\notes.txt", &eaten);
    EXPECT_EQ(eaten, base.size() + 16);

    std::wstring missing = L"Docs\\nothing";
    LPITEMIDLIST none = reinterpret_cast<LPITEMIDLIST>(1);
    EXPECT_EQ(folder->ParseDisplayName(nullptr, nullptr, missing.data(), nullptr, &none, nullptr), E_FAIL);
    EXPECT_EQ(none, nullptr);
    std::wstring through_file = L"a.txt\\x";
    EXPECT_EQ(folder->ParseDisplayName(nullptr, nullptr, through_file.data(), nullptr, &none, nullptr),
              E_FAIL);
}

TEST_F(folder_test, binding_into_subfolders)
{
    unique_pidl docs_pidl = parse(folder.Get(), L"Docs");
    com::ComPtr<IShellFolder2> docs_folder;
    ASSERT_EQ(folder->BindToObject(docs_pidl.get(), nullptr, IID_PPV_ARGS(&docs_folder)), S_OK);
    EXPECT_EQ(enumerate(docs_folder.Get(), SHCONTF_FOLDERS | SHCONTF_NONFOLDERS),
              (std::vector<std::wstring>{L"Reports", L"notes.txt"}));

    unique_pidl deep = parse(folder.Get(), L"Docs\\Reports");
    com::ComPtr<IShellFolder> reports;
    ASSERT_EQ(folder->BindToObject(deep.get(), nullptr, IID_PPV_ARGS(&reports)), S_OK);
    EXPECT_EQ(enumerate(reports.Get(), SHCONTF_NONFOLDERS), std::vector<std::wstring>{L"q1.txt"});
    com::ComPtr<IPersistFolder2> persist;
    ASSERT_EQ(reports.As(&persist), S_OK);
    LPITEMIDLIST current = nullptr;
    ASSERT_EQ(persist->GetCurFolder(&current), S_OK);
    unique_pidl owned(current);
    EXPECT_EQ(CPIDLList(ILFindLastID(current), false).count(), 1u);
    EXPECT_EQ(pidl_list_size(current), pidl_list_size(root_pidl) + 2 * 712);

    // A folder whose item is a file lists nothing.
    unique_pidl file = parse(folder.Get(), L"a.txt");
    com::ComPtr<IShellFolder> file_folder;
    ASSERT_EQ(folder->BindToObject(file.get(), nullptr, IID_PPV_ARGS(&file_folder)), S_OK);
    EXPECT_EQ(enumerate(file_folder.Get(), SHCONTF_NONFOLDERS), std::vector<std::wstring>{L"<S_FALSE>"});

    // A record of an item that is gone fails; streams come later.
    unique_pidl gone = record_list(make_record(L"Gone", true));
    EXPECT_EQ(folder->BindToObject(gone.get(), nullptr, IID_PPV_ARGS(&file_folder)), E_FAIL);
    com::ComPtr<IStream> stream;
    EXPECT_EQ(folder->BindToObject(file.get(), nullptr, IID_PPV_ARGS(&stream)), E_NOINTERFACE);
}

TEST_F(folder_test, attributes_of_files_folders_mixed_and_the_folder_itself)
{
    unique_pidl a = parse(folder.Get(), L"a.txt"), d = parse(folder.Get(), L"Docs"),
                p = parse(folder.Get(), L"Photos");
    SFGAOF mask = ~0u;
    LPCITEMIDLIST one[] = {a.get()};
    EXPECT_EQ(folder->GetAttributesOf(1, one, &mask), S_OK);
    EXPECT_EQ(mask, 0x00000073u);
    mask = ~0u;
    LPCITEMIDLIST dir[] = {d.get()};
    EXPECT_EQ(folder->GetAttributesOf(1, dir, &mask), S_OK);
    EXPECT_EQ(mask, 0xA8000173u) << "Docs has a subfolder";
    mask = ~0u;
    LPCITEMIDLIST empty_dir[] = {p.get()};
    EXPECT_EQ(folder->GetAttributesOf(1, empty_dir, &mask), S_OK);
    EXPECT_EQ(mask, 0x28000173u);
    mask = ~0u;
    LPCITEMIDLIST mixed[] = {a.get(), d.get()};
    EXPECT_EQ(folder->GetAttributesOf(2, mixed, &mask), S_OK);
    EXPECT_EQ(mask, 0x00000073u);
    mask = SFGAO_FOLDER;
    EXPECT_EQ(folder->GetAttributesOf(0, nullptr, &mask), S_OK);
    EXPECT_EQ(mask, SFGAO_FOLDER);

    // The folder's own absolute list, as Wine passes it, and an absolute list of a child.
    com::ComPtr<IPersistFolder2> persist;
    ASSERT_EQ(folder.As(&persist), S_OK);
    LPITEMIDLIST self = nullptr;
    ASSERT_EQ(persist->GetCurFolder(&self), S_OK);
    unique_pidl owned_self(self);
    mask = ~0u;
    LPCITEMIDLIST own[] = {self};
    EXPECT_EQ(folder->GetAttributesOf(1, own, &mask), S_OK);
    EXPECT_EQ(mask & SFGAO_FOLDER, SFGAO_FOLDER);
    unique_pidl absolute(ILCombine(self, d.get()));
    mask = ~0u;
    LPCITEMIDLIST abs_dir[] = {absolute.get()};
    EXPECT_EQ(folder->GetAttributesOf(1, abs_dir, &mask), S_OK);
    EXPECT_EQ(mask, 0xA8000173u);
    EXPECT_EQ(display_name(folder.Get(), absolute.get(), SHGDN_NORMAL), L"Docs");
    EXPECT_EQ(display_name(folder.Get(), self, SHGDN_FORPARSING), root_parsing_name());
}

TEST_F(folder_test, foreign_item_ids_are_refused)
{
    // An item of another namespace (here the Windows folder's own last item) and a short one.
    LPCITEMIDLIST foreign = ILFindLastID(root_pidl);
    BYTE tiny_bytes[8] = {6, 0, 0x31, 0, 0, 0, 0, 0};
    LPCITEMIDLIST tiny = reinterpret_cast<LPCITEMIDLIST>(tiny_bytes);
    for (LPCITEMIDLIST bad : {foreign, tiny}) {
        SFGAOF mask = ~0u;
        LPCITEMIDLIST list[] = {bad};
        EXPECT_EQ(folder->GetAttributesOf(1, list, &mask), E_INVALIDARG);
        STRRET s = {};
        EXPECT_EQ(folder->GetDisplayNameOf(bad, SHGDN_NORMAL, &s), E_INVALIDARG);
        com::ComPtr<IShellFolder> sub;
        EXPECT_EQ(folder->BindToObject(bad, nullptr, IID_PPV_ARGS(&sub)), E_INVALIDARG);
        SHELLDETAILS details = {};
        EXPECT_EQ(folder->GetDetailsOf(bad, 0, &details), E_INVALIDARG);
        VARIANT v;
        VariantInit(&v);
        SHCOLUMNID key = {FMTID_Storage_Quillmere, PID_STG_NAME};
        EXPECT_EQ(folder->GetDetailsEx(bad, &key, &v), E_INVALIDARG);
        com::ComPtr<IExtractIconW> icon;
        EXPECT_EQ(folder->GetUIObjectOf(nullptr, 1, list, IID_IExtractIconW, nullptr, &icon), E_INVALIDARG);
        LPITEMIDLIST renamed = nullptr;
        EXPECT_EQ(folder->SetNameOf(nullptr, bad, L"x", SHGDN_NORMAL, &renamed), E_INVALIDARG);
        unique_pidl good = parse(folder.Get(), L"a.txt");
        EXPECT_EQ(folder->CompareIDs(0, bad, good.get()), E_INVALIDARG);
    }
    EXPECT_TRUE(root->renamed.empty());
}

// Observes the shell's change notifications for everything below a list.
class change_watch {
public:
    explicit change_watch(LPCITEMIDLIST pidl)
    {
        window_ = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        previous_ = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&proc)));
        SHChangeNotifyEntry entry = {pidl, TRUE};
        id_ = SHChangeNotifyRegister(window_, SHCNRF_ShellLevel | SHCNRF_InterruptLevel | SHCNRF_NewDelivery,
                                     SHCNE_ALLEVENTS, WM_APP + 7, 1, &entry);
    }
    ~change_watch()
    {
        if (id_)
            SHChangeNotifyDeregister(id_);
        DestroyWindow(window_);
    }
    change_watch(const change_watch&) = delete;
    change_watch& operator=(const change_watch&) = delete;

    bool registered() const { return id_ != 0; }
    // Pumps messages until a notification came or the deadline passed.
    bool wait(DWORD ms)
    {
        const DWORD end = GetTickCount() + ms;
        while (events.empty() && GetTickCount() < end) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&msg);
            Sleep(5);
        }
        return !events.empty();
    }

    struct event {
        LONG id;
        std::vector<BYTE> from, to;
    };
    std::vector<event> events;

private:
    static LRESULT CALLBACK proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
    {
        auto* self = reinterpret_cast<change_watch*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (msg == WM_APP + 7) {
            LPITEMIDLIST* pidls = nullptr;
            LONG id = 0;
            HANDLE lock = SHChangeNotification_Lock(reinterpret_cast<HANDLE>(wparam),
                                                    static_cast<DWORD>(lparam), &pidls, &id);
            if (lock) {
                auto bytes = [](LPCITEMIDLIST p) {
                    const BYTE* b = reinterpret_cast<const BYTE*>(p);
                    return p ? std::vector<BYTE>(b, b + pidl_list_size(p)) : std::vector<BYTE>();
                };
                self->events.push_back({id, bytes(pidls[0]), bytes(pidls[1])});
                SHChangeNotification_Unlock(lock);
            }
            return 0;
        }
        return CallWindowProcW(self->previous_, hwnd, msg, wparam, lparam);
    }

    HWND window_ = nullptr;
    WNDPROC previous_ = nullptr;
    ULONG id_ = 0;
};

TEST_F(folder_test, renaming_keeps_the_record_and_announces_both_lists)
{
    change_watch watch(root_pidl);
    ASSERT_TRUE(watch.registered());

    unique_pidl a = parse(folder.Get(), L"a.txt");
    const std::wstring old_type = pidl_type_name(CPIDLList(a.get(), false).last());
    LPITEMIDLIST renamed = nullptr;
    ASSERT_EQ(folder->SetNameOf(nullptr, a.get(), L"b.doc", SHGDN_NORMAL, &renamed), S_OK);
    unique_pidl owned(renamed);
    ASSERT_EQ(root->renamed.size(), 1u);
    EXPECT_EQ(root->renamed[0], std::make_pair(std::wstring(L"a.txt"), std::wstring(L"b.doc")));
    const CPIDLList result(renamed, false);
    ASSERT_EQ(result.count(), 1u);
    EXPECT_EQ(pidl_name(result.last()), L"b.doc");
    EXPECT_EQ(pidl_type_name(result.last()), old_type) << "the type text is not recomputed";
    EXPECT_EQ(result.last().size, 1025u);

    ASSERT_TRUE(watch.wait(3000)) << "no change notification arrived";
    const auto& e = watch.events.front();
    EXPECT_EQ(e.id, SHCNE_RENAMEITEM);
    const std::size_t prefix = pidl_list_size(root_pidl) - 2;
    ASSERT_EQ(e.from.size(), prefix + 712 + 2);
    ASSERT_EQ(e.to.size(), prefix + 712 + 2);
    EXPECT_EQ(std::memcmp(e.from.data(), root_pidl, prefix), 0);
    EXPECT_EQ(pidl_name(CPIDLList(reinterpret_cast<LPCITEMIDLIST>(e.from.data() + prefix), false).last()),
              L"a.txt");
    EXPECT_EQ(pidl_name(CPIDLList(reinterpret_cast<LPCITEMIDLIST>(e.to.data() + prefix), false).last()),
              L"b.doc");

    // A folder, renamed by its parsing name: the name is cut after the last backslash.
    watch.events.clear();
    unique_pidl photos = parse(folder.Get(), L"Photos");
    ASSERT_EQ(folder->SetNameOf(nullptr, photos.get(), L"x\\y\\Pictures", SHGDN_FORPARSING, nullptr), S_OK);
    EXPECT_EQ(root->renamed.back().second, L"Pictures");
    ASSERT_TRUE(watch.wait(3000));
    EXPECT_EQ(watch.events.front().id, SHCNE_RENAMEFOLDER);

    // A rename the tree refuses changes nothing and reports E_FAIL (after its error box).
    unique_pidl gone = record_list(make_record(L"gone.txt", false));
    dialog_driver driver([](dialog& d) {
        EXPECT_EQ(d.caption(), L"Item not found");
        d.click(IDOK);
    });
    EXPECT_EQ(folder->SetNameOf(nullptr, gone.get(), L"x.txt", SHGDN_NORMAL, nullptr), E_FAIL);
    driver.wait();
}

TEST_F(folder_test, columns_details_and_their_properties)
{
    SHELLDETAILS details = {};
    const wchar_t* titles[] = {L"Name", L"Type", L"Size", L"Date accessed", L"Date modified"};
    const int widths[] = {20, 15, 10, 15, 15};
    for (UINT c = 0; c < 5; ++c) {
        ASSERT_EQ(folder->GetDetailsOf(nullptr, c, &details), S_OK);
        EXPECT_EQ(strret_text(details.str), titles[c]);
        EXPECT_EQ(details.cxChar, widths[c]);
        EXPECT_EQ(details.fmt, c == 2 ? LVCFMT_RIGHT : LVCFMT_LEFT);
    }
    EXPECT_EQ(folder->GetDetailsOf(nullptr, 5, &details), E_INVALIDARG);

    const SHCOLSTATEF states[] = {0x11, 0x11, 0x12, 0x03, 0x13};
    const DWORD pids[] = {10, 4, 12, 16, 14};
    for (UINT c = 0; c < 5; ++c) {
        SHCOLSTATEF state = 0;
        EXPECT_EQ(folder->GetDefaultColumnState(c, &state), S_OK);
        EXPECT_EQ(state, states[c]);
        SHCOLUMNID key = {};
        EXPECT_EQ(folder->MapColumnToSCID(c, &key), S_OK);
        EXPECT_EQ(key.pid, pids[c]);
        EXPECT_EQ(key.fmtid, FMTID_Storage_Quillmere);
    }
    SHCOLSTATEF state = 0;
    EXPECT_EQ(folder->GetDefaultColumnState(5, &state), E_INVALIDARG);
    ULONG sort = 9, display = 9;
    EXPECT_EQ(folder->GetDefaultColumn(0, &sort, &display), S_OK);
    EXPECT_EQ(sort + display, 0u);

    unique_pidl a = parse(folder.Get(), L"a.txt"), d = parse(folder.Get(), L"Docs");
    ASSERT_EQ(folder->GetDetailsOf(a.get(), 2, &details), S_OK);
    EXPECT_EQ(strret_text(details.str), L"2 KB");
    EXPECT_EQ(details.fmt, LVCFMT_RIGHT);
    ASSERT_EQ(folder->GetDetailsOf(a.get(), 4, &details), S_OK);
    EXPECT_EQ(strret_text(details.str), FormatItemDate(45000.5));
    EXPECT_EQ(folder->GetDetailsOf(d.get(), 2, &details), E_FAIL) << "a directory has no size";
    EXPECT_EQ(folder->GetDetailsOf(d.get(), 3, &details), E_FAIL);
    EXPECT_EQ(folder->GetDetailsOf(d.get(), 4, &details), E_FAIL);
    ASSERT_EQ(folder->GetDetailsOf(d.get(), 0, &details), S_OK);
    EXPECT_EQ(strret_text(details.str), L"Docs");

    VARIANT v;
    VariantInit(&v);
    SHCOLUMNID size_key = {FMTID_Storage_Quillmere, 12};
    ASSERT_EQ(folder->GetDetailsEx(a.get(), &size_key, &v), S_OK);
    EXPECT_EQ(v.vt, VT_UI8);
    EXPECT_EQ(v.ullVal, 1025u);
    EXPECT_EQ(folder->GetDetailsEx(d.get(), &size_key, &v), E_FAIL);
    SHCOLUMNID date_key = {FMTID_Storage_Quillmere, 14};
    ASSERT_EQ(folder->GetDetailsEx(a.get(), &date_key, &v), S_OK);
    EXPECT_EQ(v.vt, VT_DATE);
    EXPECT_EQ(v.date, 45000.5);
    SHCOLUMNID name_key = {FMTID_Storage_Quillmere, 10};
    ASSERT_EQ(folder->GetDetailsEx(d.get(), &name_key, &v), S_OK);
    EXPECT_EQ(v.vt, VT_BSTR);
    EXPECT_STREQ(v.bstrVal, L"Docs");
    const GUID proplist = {0xc9944a21, 0xa406, 0x48fe, {0x82, 0x25, 0xae, 0xc7, 0xe2, 0x4c, 0x21, 0x1b}};
    SHCOLUMNID preview = {proplist, 8};
    ASSERT_EQ(folder->GetDetailsEx(a.get(), &preview, &v), S_OK);
    EXPECT_STREQ(v.bstrVal, L"prop:System.DateModified;System.Size;System.DateAccessed");
    SHCOLUMNID other = {proplist, 3};
    EXPECT_EQ(folder->GetDetailsEx(a.get(), &other, &v), E_NOTIMPL);
    EXPECT_EQ(folder->GetDetailsEx(a.get(), &name_key, nullptr), E_POINTER);
    VariantClear(&v);
}

TEST(format, file_sizes)
{
    EXPECT_EQ(FormatFileSize(0, 1, 1, false), L"0 KB");
    EXPECT_EQ(FormatFileSize(1, 1, 1, false), L"1 KB");
    EXPECT_EQ(FormatFileSize(1024, 1, 1, false), L"1 KB");
    EXPECT_EQ(FormatFileSize(1025, 1, 1, false), L"2 KB");
    EXPECT_EQ(FormatFileSize(1234567, 1, 1, false), L"1 206 KB");
    EXPECT_EQ(FormatFileSize(1536, 0, 4, true), L"1.5 KB");
    EXPECT_EQ(FormatFileSize(1048576, 0, 4, true), L"1 MB");
    EXPECT_EQ(FormatFileSize(5000, 0, 4, true), L"4.88 KB");
    EXPECT_EQ(FormatFileSize(1100000000000ull, 0, 4, true), L"1 TB");
    EXPECT_EQ(FormatFileSize(1081, 0, 4, true), L"1.05 KB");
    EXPECT_EQ(FormatFileSize(999, 0, 4, true), L"999 bytes");
    EXPECT_EQ(FormatFileSize(150 * 1024 + 512, 0, 4, true), L"150 KB");
    EXPECT_EQ(FormatFileSize(15 * 1024 + 103, 0, 4, true), L"15.1 KB");
    EXPECT_EQ(FormatFileSize(5000ull << 40, 0, 4, true), L"5 000 TB") << "past the last unit";
}

TEST(format, item_dates_are_local_text)
{
    const std::wstring text = FormatItemDate(45000.5);
    EXPECT_FALSE(text.empty());
    EXPECT_NE(FormatItemDate(45000.5), FormatItemDate(45001.5));
}

TEST_F(folder_test, compare_ids_by_column_and_canonically)
{
    auto hr_value = [](HRESULT hr) { return static_cast<short>(HRESULT_CODE(hr)); };
    unique_pidl a = parse(folder.Get(), L"a.txt"), d = parse(folder.Get(), L"Docs"),
                p = parse(folder.Get(), L"Photos");
    unique_pidl deep = parse(folder.Get(), L"Docs\\Reports");
    root->add_file(L"b.txt", 10);
    unique_pidl b = parse(folder.Get(), L"b.txt");

    EXPECT_LT(hr_value(folder->CompareIDs(0, a.get(), b.get())), 0);
    EXPECT_GT(hr_value(folder->CompareIDs(0, b.get(), a.get())), 0);
    EXPECT_EQ(hr_value(folder->CompareIDs(0, a.get(), a.get())), 0);
    EXPECT_EQ(hr_value(folder->CompareIDs(0, a.get(), d.get())), 1) << "directories first";
    EXPECT_EQ(hr_value(folder->CompareIDs(2, d.get(), a.get())), -1);
    EXPECT_EQ(hr_value(folder->CompareIDs(2, a.get(), b.get())), 1) << "by size";
    EXPECT_EQ(hr_value(folder->CompareIDs(4, d.get(), p.get())), 0) << "dates do not sort";
    EXPECT_EQ(hr_value(folder->CompareIDs(4, a.get(), b.get())), 0);
    EXPECT_EQ(hr_value(folder->CompareIDs(1, a.get(), b.get())), 0) << "same type";

    EXPECT_EQ(hr_value(folder->CompareIDs(SHCIDS_CANONICALONLY, deep.get(), p.get())), -1)
        << "longer list first";
    EXPECT_EQ(hr_value(folder->CompareIDs(SHCIDS_CANONICALONLY, p.get(), deep.get())), 1);
    EXPECT_EQ(hr_value(folder->CompareIDs(SHCIDS_CANONICALONLY, d.get(), p.get())), L'D' - L'P');
    EXPECT_EQ(hr_value(folder->CompareIDs(SHCIDS_CANONICALONLY, a.get(), a.get())), 0);

    BYTE empty[3] = {};
    const auto e = reinterpret_cast<LPCITEMIDLIST>(empty);
    EXPECT_EQ(folder->CompareIDs(0, e, a.get()), 1);
    EXPECT_EQ(folder->CompareIDs(0, a.get(), e), 0xFFFF);
}

TEST_F(folder_test, ui_objects_icons_and_the_view)
{
    unique_pidl a = parse(folder.Get(), L"a.txt"), d = parse(folder.Get(), L"Docs");
    LPCITEMIDLIST two[] = {a.get(), d.get()};
    com::ComPtr<IExtractIconW> icon;
    EXPECT_EQ(folder->GetUIObjectOf(nullptr, 2, two, IID_IExtractIconW, nullptr, &icon), E_FAIL);
    com::ComPtr<IExtractImage> image;
    EXPECT_EQ(folder->GetUIObjectOf(nullptr, 2, two, IID_IExtractImage, nullptr, &image), E_INVALIDARG);
    com::ComPtr<IDataObject> data;
    EXPECT_EQ(folder->GetUIObjectOf(nullptr, 2, two, IID_IDataObject, nullptr, &data), E_NOINTERFACE);

    // A folder gets the system's folder icon, and its open icon when asked.
    LPCITEMIDLIST dir[] = {d.get()};
    ASSERT_EQ(folder->GetUIObjectOf(nullptr, 1, dir, IID_IExtractIconW, nullptr, &icon), S_OK);
    wchar_t file[MAX_PATH] = {};
    int index = -1;
    UINT flags = 0;
    ASSERT_EQ(icon->GetIconLocation(0, file, MAX_PATH, &index, &flags), S_OK);
    SHFILEINFOW expected = {};
    ASSERT_TRUE(SHGetFileInfoW(L"*", FILE_ATTRIBUTE_DIRECTORY, &expected, sizeof expected,
                               SHGFI_ICONLOCATION | SHGFI_USEFILEATTRIBUTES));
    EXPECT_EQ(index, expected.iIcon);
    HICON large = nullptr, small = nullptr;
    ASSERT_EQ(icon->Extract(file, index, &large, &small, MAKELONG(32, 16)), S_OK);
    EXPECT_NE(large, nullptr);
    EXPECT_NE(small, nullptr);
    DestroyIcon(large);
    DestroyIcon(small);
    EXPECT_EQ(icon->GetIconLocation(GIL_FORSHELL | GIL_OPENICON, file, MAX_PATH, &index, &flags), S_OK);
    EXPECT_EQ(icon->Extract(file, index, &large, &small, MAKELONG(32, 16)), S_FALSE)
        << "for the shell: it extracts from the location itself";

    // The view with its callback.
    com::ComPtr<IShellView> view;
    EXPECT_EQ(folder->CreateViewObject(nullptr, IID_PPV_ARGS(&view)), S_OK);
    EXPECT_NE(view, nullptr);
    com::ComPtr<IDropTarget> target;
    EXPECT_EQ(folder->CreateViewObject(nullptr, IID_PPV_ARGS(&target)), E_NOINTERFACE);
    com::ComPtr<ITransferDestination> destination;
    EXPECT_EQ(folder->CreateViewObject(nullptr, IID_PPV_ARGS(&destination)), S_OK);
}

TEST(view_callback, notify_list_and_zone)
{
    LPITEMIDLIST list = CPIDLList(qm_test::make_record(L"Docs", true)).serialize();
    auto callback = com::make<CShellFolderViewCBImpl>(list);
    LPITEMIDLIST notify = nullptr;
    LONG events = 0;
    ASSERT_EQ(callback->MessageSFVCB(SFVM_GETNOTIFY, reinterpret_cast<WPARAM>(&notify),
                                     reinterpret_cast<LPARAM>(&events)),
              S_OK);
    EXPECT_EQ(notify, list);
    EXPECT_EQ(events, 0x7FFFFFFF);
    DWORD zone = 5;
    ASSERT_EQ(callback->MessageSFVCB(SFVM_GETZONE, 0, reinterpret_cast<LPARAM>(&zone)), S_OK);
    EXPECT_EQ(zone, 0u);
    EXPECT_EQ(callback->MessageSFVCB(SFVM_DEFVIEWMODE, 0, 0), E_NOTIMPL);
}

TEST_F(folder_test, login_prompt_only_from_enumeration_and_once_for_two_folders)
{
    session.reset();
    memory_session logged_out(root, false);

    // Silent methods fail without asking.
    std::wstring name = L"Docs";
    LPITEMIDLIST pidl = nullptr;
    EXPECT_EQ(folder->ParseDisplayName(nullptr, nullptr, name.data(), nullptr, &pidl, nullptr), E_FAIL);
    EXPECT_EQ(logged_out.prompts, 0);

    // A cancelled prompt fails the enumeration; a refused login shows the error box.
    IEnumIDList* items = nullptr;
    EXPECT_EQ(folder->EnumObjects(nullptr, SHCONTF_FOLDERS, &items), E_FAIL);
    EXPECT_EQ(logged_out.prompts, 1);
    logged_out.on_prompt = [](HWND, std::wstring& login, std::wstring&) {
        login = L"wrong";
        return true;
    };
    {
        dialog_driver driver([](dialog& d) {
            EXPECT_EQ(d.caption(), L"Login failed");
            EXPECT_EQ(d.message(), L"Wrong user name or password");
            d.click(IDOK);
        });
        EXPECT_EQ(folder->EnumObjects(nullptr, SHCONTF_FOLDERS, &items), E_FAIL);
        driver.wait();
    }

    // A folder called on the same thread while the dialog is up (its message loop dispatches
    // other windows' calls) does not open a second dialog over the first.
    logged_out.prompts = 0;
    HRESULT nested = S_OK;
    logged_out.on_prompt = [&](HWND, std::wstring&, std::wstring&) {
        com::ComPtr<IShellFolder2> other = new_folder();
        IEnumIDList* e = nullptr;
        nested = other->EnumObjects(nullptr, SHCONTF_FOLDERS, &e);
        return false;
    };
    EXPECT_EQ(folder->EnumObjects(nullptr, SHCONTF_FOLDERS, &items), E_FAIL);
    EXPECT_EQ(nested, E_FAIL);
    EXPECT_EQ(logged_out.prompts, 1);

    // Two folders on two threads connect at once: the second waits for the first's login.
    HANDLE prompt_shown = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    logged_out.prompts = 0;
    logged_out.on_prompt = [&](HWND, std::wstring& login, std::wstring&) {
        SetEvent(prompt_shown);
        WaitForSingleObject(release, 10000);
        login = L"demo";
        return true;
    };
    auto connect = [&](HRESULT* result) {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        {
            com::ComPtr<IShellFolder> f;
            com::create_instance<CShellFolderImpl>(IID_IShellFolder, &f);
            IEnumIDList* e = nullptr;
            *result = f->EnumObjects(nullptr, SHCONTF_FOLDERS, &e);
            if (e)
                e->Release();
        }
        CoUninitialize();
    };
    HRESULT first = E_UNEXPECTED, second = E_UNEXPECTED;
    std::thread one(connect, &first);
    ASSERT_EQ(WaitForSingleObject(prompt_shown, 10000), WAIT_OBJECT_0);
    std::thread two(connect, &second);
    Sleep(100); // let the second reach the login lock
    SetEvent(release);
    one.join();
    two.join();
    CloseHandle(prompt_shown);
    CloseHandle(release);
    EXPECT_EQ(first, S_OK);
    EXPECT_EQ(second, S_OK);
    EXPECT_EQ(logged_out.prompts, 1);
}

} // namespace
