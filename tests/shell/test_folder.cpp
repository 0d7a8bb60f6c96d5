// The folder through its COM interfaces against the dev service, with the real back end and
// the real login dialog (answered by the UI driver), and the parts that need no service:
// records, details, sort order, icons, the COM boundary.
#include "com/handle.h"
#include "service_folder.h"
#include "shell/columns.h"
#include "shell/connection.h"
#include "support/ui_driver.h"

#include <shellapi.h>

#include <atomic>
#include <thread>

namespace {

using namespace qm_test;

TEST_F(service_folder, logs_in_from_enumeration_then_browses_the_remote_tree)
{
    auto folder = new_folder();
    std::wstring name = L"Docs";
    LPITEMIDLIST none = nullptr;
    EXPECT_EQ(folder->ParseDisplayName(nullptr, nullptr, name.data(), nullptr, &none, nullptr), E_FAIL)
        << "silent before the login";
    std::vector<std::wstring> all;
    {
        dialog_driver driver([&](dialog& d) {
            d.save_png(L"shell-login");
            answer_login(wide(password))(d);
        });
        all = enumerate(folder.Get(), SHCONTF_FOLDERS | SHCONTF_NONFOLDERS);
        driver.wait();
    }
    EXPECT_EQ(all, listing);
    listing.erase(std::find(listing.begin(), listing.end(), L"a.txt"));
    EXPECT_EQ(enumerate(folder.Get(), SHCONTF_FOLDERS), listing);
    EXPECT_EQ(enumerate(folder.Get(), SHCONTF_NONFOLDERS), std::vector<std::wstring>{L"a.txt"});
    EXPECT_EQ(enumerate(folder.Get(), SHCONTF_INCLUDEHIDDEN), std::vector<std::wstring>{});

    struct {
        const wchar_t* path;
        std::vector<std::wstring> items;
    } const binds[] = {
        {L"Docs", {L"Reports", L"notes.txt"}},
        {L"Docs\\Reports", {L"<S_FALSE>"}},
        {L"Empty", {L"<S_FALSE>"}},
        {L"a.txt", {L"<S_FALSE>"}}, // a folder over a file lists nothing
    };
    for (const auto& b : binds) {
        unique_pidl list = parse(folder.Get(), b.path);
        com::ComPtr<IShellFolder2> sub;
        ASSERT_EQ(folder->BindToObject(list.get(), nullptr, IID_PPV_ARGS(&sub)), S_OK) << b.path;
        EXPECT_EQ(enumerate(sub.Get(), SHCONTF_FOLDERS | SHCONTF_NONFOLDERS), b.items) << b.path;
        EXPECT_EQ(pidl_list_size(current_folder(sub.Get()).get()),
                  pidl_list_size(root_pidl) + pidl_list_size(list.get()) - 2);
    }

    // A fresh folder object sent to a subfolder, as a data object reloaded from a stream does.
    auto navigated = com::make<CShellFolderImpl>();
    ASSERT_EQ(navigated->NavigateTo(CPIDLList(root_pidl, true),
                                    CPIDLList(parse(folder.Get(), L"Docs").get(), false)),
              S_OK);
    VARIANT v;
    ASSERT_EQ(navigated->GetObject(nullptr, &v), S_OK);
    EXPECT_EQ(v.vt, VT_BYREF);
    EXPECT_EQ((*static_cast<boost::shared_ptr<vfs::item>*>(v.byref))->get_name(), L"Docs");
    EXPECT_EQ(enumerate(navigated.Get(), SHCONTF_NONFOLDERS), std::vector<std::wstring>{L"notes.txt"});
    CPIDLList nowhere(make_record(L"Nowhere", true));
    EXPECT_EQ(com::make<CShellFolderImpl>()->NavigateTo(CPIDLList(root_pidl, true), nowhere), E_FAIL);
}

TEST_F(service_folder, parses_names_into_records_with_their_attributes_and_shows_them_back)
{
    log_in();
    auto folder = new_folder();
    const std::wstring base = root_name(SHGDN_FORPARSING);
    struct {
        std::wstring name;
        ULONG eaten, attributes;
        std::size_t size;
    } const parsed[] = {
        {L"Docs\\Reports", 13, 0x28000173, 2 * 712 + 2}, // every component counts its separator
        {L"Docs\\notes.txt", 15, 0x73, 2 * 712 + 2},
        {base + L"\\Docs", static_cast<ULONG>(base.size() + 6), 0xA8000173, pidl_list_size(root_pidl) + 712},
    };
    for (const auto& p : parsed) {
        ULONG eaten = 0, attributes = ~0u;
        unique_pidl list = parse(folder.Get(), p.name, &eaten, &attributes);
        EXPECT_EQ(eaten, p.eaten) << p.name;
        EXPECT_EQ(attributes, p.attributes) << p.name;
        EXPECT_EQ(pidl_list_size(list.get()), p.size)
            << p.name << ": a full parsing name gives an absolute list";
    }
    for (std::wstring bad : {L"Docs\\nothing", L"a.txt\\x", L""}) {
        LPITEMIDLIST list = reinterpret_cast<LPITEMIDLIST>(1);
        EXPECT_EQ(folder->ParseDisplayName(nullptr, nullptr, bad.data(), nullptr, &list, nullptr), E_FAIL)
            << bad;
        EXPECT_EQ(list, nullptr);
    }

    unique_pidl notes = parse(folder.Get(), L"Docs\\notes.txt");
    for (const auto& [flags, shown] : std::vector<std::pair<SHGDNF, std::wstring>>{
             {SHGDN_NORMAL, L"Docs\\notes.txt"},
             {SHGDN_INFOLDER | SHGDN_FORPARSING, L"Docs\\notes.txt"},
             {SHGDN_FORPARSING, base + L"\\Docs\\notes.txt"},
             {SHGDN_FORPARSING | SHGDN_FORADDRESSBAR,
              root_name(SHGDN_FORPARSING | SHGDN_FORADDRESSBAR) + L"\\Docs\\notes.txt"}})
        EXPECT_EQ(display_name(folder.Get(), notes.get(), flags), shown) << flags;
    com::ComPtr<IShellFolder> docs_folder;
    ASSERT_EQ(folder->BindToObject(parse(folder.Get(), L"Docs").get(), nullptr, IID_PPV_ARGS(&docs_folder)),
              S_OK);
    EXPECT_EQ(display_name(docs_folder.Get(), parse(docs_folder.Get(), L"notes.txt").get(), SHGDN_FORPARSING),
              base + L"\\Docs\\notes.txt");

    // Attributes, also of the drive itself, asked for with its own absolute list.
    unique_pidl a = parse(folder.Get(), L"a.txt"), docs = parse(folder.Get(), L"Docs"),
                empty = parse(folder.Get(), L"Empty"), self = current_folder(folder.Get()),
                absolute_docs(ILCombine(self.get(), docs.get()));
    struct {
        std::vector<LPCITEMIDLIST> items;
        SFGAOF expected;
    } cases[] = {
        {{a.get()}, 0x00000073},
        {{docs.get()}, 0xA8000173},
        {{empty.get()}, 0x28000173},
        {{a.get(), docs.get()}, 0x00000073},
        {{absolute_docs.get()}, 0xA8000173},
        {{self.get()}, 0xA8004143}, // as registered: the drive is never renamed or deleted
        {{}, 0xFFFFFFFF},
    };
    for (auto& c : cases) {
        SFGAOF mask = ~0u;
        EXPECT_EQ(folder->GetAttributesOf(static_cast<UINT>(c.items.size()), c.items.data(), &mask), S_OK);
        EXPECT_EQ(mask, c.expected) << c.items.size() << " items";
    }
    EXPECT_EQ(display_name(folder.Get(), absolute_docs.get(), SHGDN_NORMAL), L"Docs");
}

TEST_F(service_folder, binding_for_an_interface_a_folder_does_not_serve_asks_the_service_nothing)
{
    log_in();
    auto folder = new_folder();
    CPIDLList path(make_record(L"Docs", true));
    path.append(make_record(L"Reports", true));
    unique_pidl list(path.serialize()), gone = record_list(make_record(L"Gone", true));
    const std::size_t before = list_dir_requests();
    for (const IID* iid : {&IID_IPropertyStore, &IID_IShellLinkW}) {
        com::ComPtr<IUnknown> out;
        EXPECT_EQ(
            folder->BindToObject(list.get(), nullptr, *iid, reinterpret_cast<void**>(out.GetAddressOf())),
            E_NOINTERFACE);
    }
    EXPECT_EQ(list_dir_requests(), before);
    com::ComPtr<IShellFolder> reports;
    EXPECT_EQ(folder->BindToObject(list.get(), nullptr, IID_PPV_ARGS(&reports)), S_OK);
    EXPECT_GT(list_dir_requests(), before);
    EXPECT_EQ(folder->BindToObject(gone.get(), nullptr, IID_PPV_ARGS(&reports)), E_FAIL);
}

TEST_F(service_folder, renaming_keeps_the_record_and_announces_both_lists)
{
    log_in();
    auto folder = new_folder();
    change_watch watch(root_pidl);
    unique_pidl a = parse(folder.Get(), L"a.txt");
    LPITEMIDLIST renamed = nullptr;
    ASSERT_EQ(folder->SetNameOf(nullptr, a.get(), L"b.doc", SHGDN_NORMAL, &renamed), S_OK);
    unique_pidl owned(renamed);
    const CPIDLList before(a.get(), false), after(renamed, false);
    EXPECT_EQ(pidl_name(after.last()), L"b.doc");
    EXPECT_EQ(pidl_type_name(after.last()), pidl_type_name(before.last()))
        << "the type text is not recomputed";
    EXPECT_EQ(after.last().size, 1025u);
    EXPECT_EQ(watch.next(), change_watch::event(SHCNE_RENAMEITEM, L"a.txt", L"b.doc"));
    EXPECT_EQ(enumerate(new_folder().Get(), SHCONTF_NONFOLDERS), std::vector<std::wstring>{L"b.doc"});

    // A folder, renamed by its parsing name: the name is cut after the last backslash.
    unique_pidl empty = parse(folder.Get(), L"Empty");
    ASSERT_EQ(folder->SetNameOf(nullptr, empty.get(), L"x\\y\\Pictures", SHGDN_FORPARSING, nullptr), S_OK);
    EXPECT_EQ(watch.next(), change_watch::event(SHCNE_RENAMEFOLDER, L"Empty", L"Pictures"));

    unique_pidl gone = record_list(make_record(L"gone.txt", false));
    dialog_driver driver([](dialog& d) { d.click(IDOK); });
    EXPECT_EQ(folder->SetNameOf(nullptr, gone.get(), L"x.txt", SHGDN_NORMAL, nullptr), E_FAIL)
        << "after its box";
    driver.wait();
}

std::string repeated(const std::string& text, int times)
{
    std::string result;
    while (times--)
        result += text;
    return result;
}

TEST_F(service_folder, error_boxes_cut_what_the_service_wrote)
{
    log_in();
    service->control("fault/error", "action=list_dir&user=" + user + "&name=" + std::string(150, 'N') +
                                        "&description=" + repeated("word ", 1000));
    service->control("fault/malformed",
                     "action=list_dir&user=" + user + "&body=<Response>" + std::string(3000, 'y'));
    std::wstring caption[2], message[2];
    for (int i = 0; i < 2; ++i) {
        IEnumIDList* items = nullptr;
        dialog_driver driver([&](dialog& d) {
            caption[i] = d.caption();
            message[i] = d.message();
            d.click(IDOK);
        });
        EXPECT_EQ(new_folder()->EnumObjects(nullptr, SHCONTF_FOLDERS, &items), E_FAIL);
        driver.wait();
    }
    EXPECT_EQ(caption[0], std::wstring(100, L'N') + L"...");
    EXPECT_EQ(message[0], wide(repeated("word ", 200)) + L"...");
    EXPECT_EQ(caption[1], L"Parse error");
    EXPECT_LT(message[1].size(), 200u) << "the quoted response is cut";
    EXPECT_NE(message[1].find(L"<Response>yyyy"), std::wstring::npos);
}

TEST(box_text, cuts_long_texts_and_long_quotations_only)
{
    const std::wstring q40(40, L'q'), z60(60, L'z');
    struct {
        std::wstring text;
        std::size_t limit;
        std::wstring shown;
    } const cases[] = {
        {L"fits", 4, L"fits"},
        {L"fits not", 4, L"fits..."},
        {L"ab\xD83D\xDE00", 3, L"ab..."}, // never half a surrogate pair
        {L"data='" + q40 + L"q' read", 100, L"data='" + q40 + L"...' read"},
        {L"data='" + q40 + L"'", 100, L"data='" + q40 + L"'"},
        {L"can't open '" + q40 + L"q', won't", 100, L"can't open '" + q40 + L"...', won't"},
        {L"x='<a>it's" + q40 + L"'<b>'", 100, L"x='<a>it's" + q40.substr(0, 33) + L"...'"},
        {L"it's " + z60, 100, L"it's " + z60}, // an apostrophe opens nothing
    };
    for (const auto& c : cases)
        EXPECT_EQ(box_text(c.text, c.limit), c.shown) << c.text;
}

// Another folder's enumeration, run by a message that the login dialog's loop dispatches.
com::ComPtr<IShellFolder2> g_nested_folder;
HRESULT g_nested_result = S_OK;

LRESULT CALLBACK nested_enumeration(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
    if (msg != WM_APP)
        return DefWindowProcW(hwnd, msg, wparam, lparam);
    IEnumIDList* items = nullptr;
    g_nested_result = g_nested_folder->EnumObjects(nullptr, SHCONTF_FOLDERS, &items);
    return 0;
}

BOOL CALLBACK find_error_box(HWND hwnd, LPARAM found)
{
    wchar_t cls[16] = {};
    GetClassNameW(hwnd, cls, 16);
    if (IsWindowVisible(hwnd) && lstrcmpW(cls, L"#32770") == 0 && !GetDlgItem(hwnd, 301))
        *reinterpret_cast<HWND*>(found) = hwnd;
    return TRUE;
}

TEST_F(service_folder, a_refused_login_is_shown_and_a_call_nested_in_the_dialog_opens_no_second_one)
{
    auto folder = new_folder();
    g_nested_folder = new_folder();
    HWND helper = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    SetWindowLongPtrW(helper, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&nested_enumeration));
    std::wstring caption;
    const DWORD test_thread = GetCurrentThreadId();
    dialog_driver driver([&](dialog& d) {
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(helper, WM_APP, 0, 0, SMTO_NORMAL, 10000, &ignored);
        answer_login(L"not the password")(d);
        HWND box = nullptr;
        for (int i = 0; i < 2000 && !box; ++i, Sleep(10))
            EnumThreadWindows(test_thread, find_error_box, reinterpret_cast<LPARAM>(&box));
        if (box) {
            dialog error(box);
            caption = error.caption();
            error.save_png(L"shell-login-refused");
            error.click(IDOK);
        }
    });
    IEnumIDList* items = nullptr;
    EXPECT_EQ(folder->EnumObjects(nullptr, SHCONTF_FOLDERS, &items), E_FAIL);
    driver.wait();
    EXPECT_EQ(g_nested_result, E_FAIL);
    EXPECT_EQ(caption, L"Login failed");
    EXPECT_FALSE(vfs_quillmere::is_logged_in(CQuillmereModule::instance()));
    g_nested_folder.Reset();
    DestroyWindow(helper);
}

// Handles this thread's messages until event is set (a dialog on another thread may need them).
void pump_until(HANDLE event)
{
    MSG msg;
    while (MsgWaitForMultipleObjects(1, &event, FALSE, 20000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
}

TEST_F(service_folder, folders_on_other_threads_wait_for_the_one_login_or_fail_at_once_when_silent)
{
    // The dialog disables and re-enables its owner with messages that the owner's thread must
    // handle: had that thread's silent call waited for the login, neither would ever return. Its
    // enumeration then waits, handling those messages, and finds the session logged in.
    HWND owner = nullptr;
    com::handle ready(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        dialog_up(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        silent_done(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        owner_done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HRESULT silent = E_UNEXPECTED, waited = E_UNEXPECTED, prompted = E_UNEXPECTED;
    std::atomic<int> dialogs{0};
    auto enumerate_on_this_thread = [&](HWND window, HRESULT& result) {
        com::ComPtr<IEnumIDList> items;
        result = new_folder()->EnumObjects(window, SHCONTF_FOLDERS, &items);
    };
    std::thread owner_thread([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        owner = CreateWindowExW(0, L"STATIC", L"owner", WS_OVERLAPPED, 0, 0, 200, 100, nullptr, nullptr,
                                nullptr, nullptr);
        SetEvent(ready.get());
        pump_until(dialog_up.get());
        com::ComPtr<IShellFolderImpl> impl;
        new_folder().As(&impl);
        VARIANT v;
        silent = impl->GetObject(owner, &v);
        SetEvent(silent_done.get());
        enumerate_on_this_thread(owner, waited);
        DestroyWindow(owner);
        CoUninitialize();
        SetEvent(owner_done.get());
    });
    ASSERT_EQ(WaitForSingleObject(ready.get(), 10000), WAIT_OBJECT_0);
    std::thread prompting_thread([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        {
            dialog_driver driver([&](dialog& d) {
                ++dialogs;
                SetEvent(dialog_up.get());
                WaitForSingleObject(silent_done.get(), 10000);
                Sleep(200); // let the owner's thread start waiting
                answer_login(wide(password))(d);
            });
            enumerate_on_this_thread(owner, prompted);
        }
        CoUninitialize();
    });
    if (WaitForSingleObject(owner_done.get(), 30000) != WAIT_OBJECT_0) {
        owner_thread.detach();
        prompting_thread.detach();
        FAIL() << "the owner's thread and the login dialog wait for each other";
    }
    owner_thread.join();
    prompting_thread.join();
    EXPECT_EQ(silent, E_FAIL);
    EXPECT_EQ(prompted, S_OK);
    EXPECT_EQ(waited, S_OK);
    EXPECT_EQ(dialogs, 1);
}

// Folders over records alone: nothing here reaches the service.
class record_folder : public folder_base {
protected:
    void SetUp() override
    {
        folder_base::SetUp();
        folder = new_folder();
        PIDLDATA a_record = make_record(L"a.txt", false, 1025);
        a_record.modified = 45000.5;
        a = record_list(a_record);
        b = record_list(make_record(L"b.txt", false, 10));
        docs = record_list(make_record(L"Docs", true));
        photos = record_list(make_record(L"Photos", true));
        CPIDLList deep_list(make_record(L"Docs", true));
        deep_list.append(make_record(L"Reports", true));
        deep.reset(deep_list.serialize());
    }

    com::ComPtr<IShellFolder2> folder;
    unique_pidl a, b, docs, photos, deep;
};

TEST_F(record_folder, foreign_item_ids_are_refused)
{
    // An item of another namespace (here the Windows folder's own last item) and a short one.
    BYTE tiny[8] = {6, 0, 0x31, 0, 0, 0, 0, 0};
    for (LPCITEMIDLIST bad :
         {static_cast<LPCITEMIDLIST>(ILFindLastID(root_pidl)), reinterpret_cast<LPCITEMIDLIST>(tiny)}) {
        SFGAOF mask = ~0u;
        STRRET s = {};
        com::ComPtr<IShellFolder> sub;
        SHELLDETAILS details = {};
        VARIANT v;
        SHCOLUMNID key = {FMTID_Storage_Quillmere, PID_STG_NAME};
        com::ComPtr<IExtractIconW> icon;
        EXPECT_EQ(folder->GetAttributesOf(1, &bad, &mask), E_INVALIDARG);
        EXPECT_EQ(folder->GetDisplayNameOf(bad, SHGDN_NORMAL, &s), E_INVALIDARG);
        EXPECT_EQ(folder->BindToObject(bad, nullptr, IID_PPV_ARGS(&sub)), E_INVALIDARG);
        EXPECT_EQ(folder->GetDetailsOf(bad, 0, &details), E_INVALIDARG);
        EXPECT_EQ(folder->GetDetailsEx(bad, &key, &v), E_INVALIDARG);
        EXPECT_EQ(folder->GetUIObjectOf(nullptr, 1, &bad, IID_IExtractIconW, nullptr, &icon), E_INVALIDARG);
        EXPECT_EQ(folder->SetNameOf(nullptr, bad, L"x", SHGDN_NORMAL, nullptr), E_INVALIDARG);
        EXPECT_EQ(folder->CompareIDs(0, bad, a.get()), E_INVALIDARG);
    }
}

TEST_F(record_folder, details_of_files_and_folders)
{
    struct {
        LPCITEMIDLIST item;
        UINT column;
        std::wstring text; // empty: no value
    } const cells[] = {
        {a.get(), 0, L"a.txt"},   {a.get(), 2, L"2 KB"},
        {a.get(), 3, L""},        {a.get(), 4, FormatItemDate(45000.5)},
        {docs.get(), 0, L"Docs"}, {docs.get(), 2, L""},
        {docs.get(), 4, L""},
    };
    for (const auto& c : cells) {
        SHELLDETAILS details = {};
        const HRESULT hr = folder->GetDetailsOf(c.item, c.column, &details);
        EXPECT_EQ(hr, c.text.empty() ? E_FAIL : S_OK) << c.column;
        EXPECT_EQ(SUCCEEDED(hr) ? strret_text(details.str) : L"", c.text) << c.column;
    }
    VARIANT v;
    SHCOLUMNID size = {FMTID_Storage_Quillmere, PID_STG_SIZE},
               date = {FMTID_Storage_Quillmere, PID_STG_WRITETIME};
    ASSERT_EQ(folder->GetDetailsEx(a.get(), &size, &v), S_OK);
    EXPECT_EQ(v.vt, VT_UI8);
    EXPECT_EQ(v.ullVal, 1025u);
    ASSERT_EQ(folder->GetDetailsEx(a.get(), &date, &v), S_OK);
    EXPECT_EQ(v.vt, VT_DATE);
    EXPECT_EQ(v.date, 45000.5);
    EXPECT_EQ(folder->GetDetailsEx(docs.get(), &size, &v), E_FAIL);
}

TEST(format, file_sizes)
{
    struct {
        std::uint64_t size;
        int first, last;
        const wchar_t* text;
    } const cases[] = {
        {0, 1, 1, L"0 KB"},
        {1025, 1, 1, L"2 KB"},
        {1234567, 1, 1, L"1 206 KB"},
        {1536, 0, 4, L"1.5 KB"},
        {1048576, 0, 4, L"1 MB"},
        {5000, 0, 4, L"4.88 KB"},
        {1081, 0, 4, L"1.05 KB"},
        {999, 0, 4, L"999 bytes"},
        {150 * 1024 + 512, 0, 4, L"150 KB"},
        {15 * 1024 + 103, 0, 4, L"15.1 KB"},
        {1100000000000ull, 0, 4, L"1 TB"},
        {5000ull << 40, 0, 4, L"5 000 TB"}, // past the last unit
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatFileSize(c.size, c.first, c.last, c.first == 0), c.text) << c.size;
}

TEST(format, item_dates_in_a_zone_with_summer_time)
{
    // Central Europe: UTC+1, UTC+2 from the last Sunday of March to the last of October.
    TIME_ZONE_INFORMATION zone = {};
    zone.Bias = zone.DaylightBias = -60;
    zone.StandardDate = {0, 10, 0, 5, 3, 0, 0, 0};
    zone.DaylightDate = {0, 3, 0, 5, 2, 0, 0, 0};
    const LCID us = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);
    EXPECT_EQ(FormatItemDate(45122.5, &zone, us), L"7/15/2023 2:00:00 PM"); // 12:00 UTC in July
    EXPECT_EQ(FormatItemDate(44941.5, &zone, us), L"1/15/2023 1:00:00 PM"); // 12:00 UTC in January
}

TEST_F(record_folder, compare_ids_by_column_and_canonically)
{
    const LPARAM canonical = static_cast<LPARAM>(SHCIDS_CANONICALONLY);
    struct {
        LPARAM parameter;
        const unique_pidl &x, &y;
        short result;
    } const cases[] = {
        {0, a, a, 0},
        {0, a, b, -1},
        {0, b, a, 1},
        {0, a, docs, 1}, // folders first
        {2, docs, a, -1},
        {2, a, b, 1},
        {4, docs, photos, 0}, // dates do not sort
        {1, a, b, 0},
        {canonical, deep, photos, -1}, // longer list first
        {canonical, photos, deep, 1},
        {canonical, docs, photos, L'D' - L'P'},
    };
    for (const auto& c : cases)
        EXPECT_EQ(static_cast<short>(HRESULT_CODE(folder->CompareIDs(c.parameter, c.x.get(), c.y.get()))),
                  c.result)
            << c.parameter;
    BYTE empty[3] = {};
    const auto e = reinterpret_cast<LPCITEMIDLIST>(empty);
    EXPECT_EQ(folder->CompareIDs(0, e, a.get()), 1);
    EXPECT_EQ(folder->CompareIDs(0, a.get(), e), 0xFFFF);
}

TEST_F(record_folder, icons_of_records_and_the_view)
{
    LPCITEMIDLIST two[] = {a.get(), docs.get()};
    com::ComPtr<IExtractIconW> icon;
    com::ComPtr<IExtractImage> image;
    EXPECT_EQ(folder->GetUIObjectOf(nullptr, 2, two, IID_IExtractIconW, nullptr, &icon), E_FAIL);
    EXPECT_EQ(folder->GetUIObjectOf(nullptr, 2, two, IID_IExtractImage, nullptr, &image), E_INVALIDARG);
    EXPECT_EQ(folder->GetUIObjectOf(nullptr, 2, two, IID_IDropTarget, nullptr, &image), E_INVALIDARG);

    // A folder gets the system's folder icon; for the shell, Extract leaves it to the location.
    ASSERT_EQ(folder->GetUIObjectOf(nullptr, 1, &two[1], IID_IExtractIconW, nullptr, &icon), S_OK);
    wchar_t file[MAX_PATH] = {};
    int index = -1;
    UINT flags = 0;
    SHFILEINFOW expected = {};
    ASSERT_EQ(icon->GetIconLocation(0, file, MAX_PATH, &index, &flags), S_OK);
    ASSERT_TRUE(SHGetFileInfoW(L"*", FILE_ATTRIBUTE_DIRECTORY, &expected, sizeof expected,
                               SHGFI_ICONLOCATION | SHGFI_USEFILEATTRIBUTES));
    EXPECT_EQ(index, expected.iIcon);
    HICON large = nullptr, small = nullptr;
    ASSERT_EQ(icon->Extract(file, index, &large, &small, MAKELONG(32, 16)), S_OK);
    EXPECT_TRUE(DestroyIcon(large) && DestroyIcon(small));
    EXPECT_EQ(icon->GetIconLocation(GIL_FORSHELL | GIL_OPENICON, file, MAX_PATH, &index, &flags), S_OK);
    EXPECT_EQ(icon->Extract(file, index, &large, &small, MAKELONG(32, 16)), S_FALSE);

    com::ComPtr<IShellView> view;
    EXPECT_EQ(folder->CreateViewObject(nullptr, IID_PPV_ARGS(&view)), S_OK);
}

// A session whose connection cannot even be allocated.
class broken_session final : public session_access {
public:
    broken_session() { set_current_session(this); }
    ~broken_session() { set_current_session(nullptr); }
    bool is_logged_in() override { return true; }
    bool ask_login(HWND, std::wstring&, std::wstring&) override { return false; }
    void login(const std::wstring&, const std::wstring&) override {}
    boost::shared_ptr<vfs::client> get_connection() override { throw std::bad_alloc(); }
};

TEST_F(record_folder, exceptions_other_than_the_services_stop_at_the_com_boundary)
{
    broken_session session;
    auto impl = com::make<CShellFolderImpl>();
    VARIANT v;
    EXPECT_EQ(impl->GetObject(nullptr, &v), E_OUTOFMEMORY);
    EXPECT_EQ(impl->NavigateTo(CPIDLList(root_pidl, true), CPIDLList(make_record(L"Docs", true))),
              E_OUTOFMEMORY);
}

} // namespace
