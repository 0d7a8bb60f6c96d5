// The folder against the dev service with the real back end and the real login dialog: the
// session is logged off first, so the first enumeration asks for the login; the dialog is
// answered by the UI driver.
#include "backend/client.h"
#include "backend/protocol.h"
#include "backend/session.h"
#include "module/module.h"
#include "shell_test_support.h"
#include "support/dev_service.h"
#include "support/paths.h"
#include "support/ui_driver.h"

#include <atomic>
#include <thread>
#include "support/failure.h"

namespace {

using qm_test::wide;

using namespace qm_test;

// Runs the session manager with an argument and waits for it.
void run_session_manager(const wchar_t* argument)
{
    std::wstring command = L"\"" + program_dir() + L"\\Quillmere_Session.exe\" " + argument;
    STARTUPINFOW start = {};
    start.cb = sizeof start;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start,
                        &process))
        return;
    WaitForSingleObject(process.hProcess, 20000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

struct dialog_search {
    HWND other, found;
};

BOOL CALLBACK find_other_dialog(HWND hwnd, LPARAM p)
{
    auto* s = reinterpret_cast<dialog_search*>(p);
    wchar_t cls[16] = {};
    GetClassNameW(hwnd, cls, 16);
    if (hwnd != s->other && IsWindowVisible(hwnd) && lstrcmpW(cls, L"#32770") == 0) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

// A dialog of the thread other than the one given (the box that follows a closed dialog).
HWND next_dialog(DWORD thread, HWND other)
{
    dialog_search state = {other, nullptr};
    EnumThreadWindows(thread, find_other_dialog, reinterpret_cast<LPARAM>(&state));
    return state.found;
}

class service_folder : public testing::Test {
protected:
    void SetUp() override
    {
        service = &dev_service::get();
        vfs_quillmere::set_service_url(service->base_url());
        std::tie(user, password) = service->new_user("shell");
        run_session_manager(L"/logoff");
        vfs_quillmere::reset_connection_cache();
        ASSERT_FALSE(vfs_quillmere::is_logged_in(CQuillmereModule::instance()));

        // The tree, made through a client of its own.
        vfs_quillmere::client setup(wide(user), wide(password));
        auto root = setup.get_root();
        auto docs = root->create_directory(L"Docs");
        docs->create_directory(L"Reports");
        docs->create_file_alloc(L"notes.txt", 5000);
        root->create_directory(L"Empty");
        root->create_file_alloc(L"a.txt", 1025);
        // New accounts come with folders of their own: expect the listing as the service gives it.
        for (const auto& item : root->get_items()) {
            listing.push_back(item->get_name());
            if (item->get_type() == vfs::typeDirectory)
                folders.push_back(item->get_name());
        }

        ASSERT_EQ(SHGetFolderLocation(nullptr, CSIDL_WINDOWS, nullptr, 0, &root_pidl), S_OK);
    }
    void TearDown() override
    {
        CoTaskMemFree(root_pidl);
        run_session_manager(L"/quit"); // the session manager this test's login started
    }

    com::ComPtr<IShellFolder2> new_folder()
    {
        com::ComPtr<IShellFolder2> f;
        EXPECT_EQ(com::create_instance<CShellFolderImpl>(IID_IShellFolder2, &f), S_OK);
        com::ComPtr<IPersistFolder> persist;
        EXPECT_EQ(f.As(&persist), S_OK);
        EXPECT_EQ(persist->Initialize(root_pidl), S_OK);
        return f;
    }

    dialog_driver::handler log_in()
    {
        return [this](dialog& d) {
            EXPECT_EQ(d.caption(), L"Quillmere login");
            d.set_item_text(301, wide(user));
            d.set_item_text(302, wide(password));
            d.save_png(L"shell-login");
            d.click(IDOK);
        };
    }

    const dev_service* service = nullptr;
    std::string user, password;
    std::vector<std::wstring> listing, folders;
    LPITEMIDLIST root_pidl = nullptr;
};

TEST_F(service_folder, logs_in_from_enumeration_then_browses_the_remote_tree)
{
    auto folder = new_folder();
    // Before the login, silent methods fail and ask nothing.
    std::wstring name = L"Docs";
    LPITEMIDLIST none = nullptr;
    EXPECT_EQ(folder->ParseDisplayName(nullptr, nullptr, name.data(), nullptr, &none, nullptr), E_FAIL);

    std::vector<std::wstring> all;
    {
        dialog_driver driver(log_in());
        all = enumerate(folder.Get(), SHCONTF_FOLDERS | SHCONTF_NONFOLDERS);
        driver.wait();
    }
    EXPECT_EQ(all, listing);
    EXPECT_EQ(all.size(), folders.size() + 1);
    EXPECT_EQ(enumerate(folder.Get(), SHCONTF_FOLDERS), folders);
    EXPECT_EQ(enumerate(folder.Get(), SHCONTF_NONFOLDERS), std::vector<std::wstring>{L"a.txt"});
    EXPECT_EQ(enumerate(folder.Get(), SHCONTF_INCLUDEHIDDEN), std::vector<std::wstring>{});

    // Subfolders, an empty one included.
    unique_pidl docs = parse(folder.Get(), L"Docs");
    com::ComPtr<IShellFolder2> docs_folder;
    ASSERT_EQ(folder->BindToObject(docs.get(), nullptr, IID_PPV_ARGS(&docs_folder)), S_OK);
    EXPECT_EQ(enumerate(docs_folder.Get(), SHCONTF_FOLDERS | SHCONTF_NONFOLDERS),
              (std::vector<std::wstring>{L"Reports", L"notes.txt"}));
    unique_pidl empty = parse(folder.Get(), L"Empty");
    com::ComPtr<IShellFolder> empty_folder;
    ASSERT_EQ(folder->BindToObject(empty.get(), nullptr, IID_PPV_ARGS(&empty_folder)), S_OK);
    EXPECT_EQ(enumerate(empty_folder.Get(), SHCONTF_FOLDERS | SHCONTF_NONFOLDERS),
              std::vector<std::wstring>{L"<S_FALSE>"});

    // Names, parsed and shown, and the columns of a remote file.
    ULONG eaten = 0, attributes = ~0u;
    unique_pidl notes = parse(folder.Get(), L"Docs\\notes.txt", &eaten, &attributes);
    EXPECT_EQ(eaten, 15u);
    EXPECT_EQ(attributes, 0x73u);
    const std::wstring base = display_name(folder.Get(), docs.get(), SHGDN_FORPARSING);
    EXPECT_EQ(display_name(folder.Get(), notes.get(), SHGDN_FORPARSING), base + L"\\notes.txt");
    EXPECT_EQ(display_name(folder.Get(), notes.get(), SHGDN_NORMAL), L"Docs\\notes.txt");
    SHELLDETAILS details = {};
    ASSERT_EQ(folder->GetDetailsOf(notes.get(), 2, &details), S_OK);
    EXPECT_EQ(strret_text(details.str), L"5 KB");

    // Renaming on the service; the new name is found by a fresh folder.
    unique_pidl a = parse(folder.Get(), L"a.txt");
    LPITEMIDLIST renamed = nullptr;
    ASSERT_EQ(folder->SetNameOf(nullptr, a.get(), L"b.doc", SHGDN_NORMAL, &renamed), S_OK);
    unique_pidl owned(renamed);
    EXPECT_EQ(enumerate(new_folder().Get(), SHCONTF_NONFOLDERS), std::vector<std::wstring>{L"b.doc"});

    // The service saw the listings.
    EXPECT_NE(service->control("requests?user=" + user + "&action=list_dir").find("list_dir"),
              std::string::npos);
}

TEST_F(service_folder, two_folders_connecting_at_once_show_one_login_dialog)
{
    std::atomic<int> dialogs{0};
    auto connect = [&](HRESULT* result) {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        {
            dialog_driver driver([&](dialog& d) {
                ++dialogs;
                log_in()(d);
            });
            com::ComPtr<IShellFolder> f = new_folder();
            IEnumIDList* items = nullptr;
            *result = f->EnumObjects(nullptr, SHCONTF_FOLDERS, &items);
            if (items)
                items->Release();
        }
        CoUninitialize();
    };
    HRESULT first = E_UNEXPECTED, second = E_UNEXPECTED;
    std::thread one(connect, &first), two(connect, &second);
    one.join();
    two.join();
    EXPECT_EQ(first, S_OK);
    EXPECT_EQ(second, S_OK);
    EXPECT_EQ(dialogs, 1);
}

TEST_F(service_folder, a_cancelled_login_fails_and_a_wrong_password_shows_the_service_error)
{
    auto folder = new_folder();
    IEnumIDList* items = nullptr;
    {
        dialog_driver driver([](dialog& d) { d.click(IDCANCEL); });
        EXPECT_EQ(folder->EnumObjects(nullptr, SHCONTF_FOLDERS, &items), E_FAIL);
        driver.wait();
    }
    {
        // One driver answers both: the login, then the error box that follows it.
        const DWORD test_thread = GetCurrentThreadId();
        std::wstring error_caption;
        dialog_driver driver([&](dialog& d) {
            d.set_item_text(301, wide(user));
            d.set_item_text(302, L"not the password");
            d.click(IDOK);
            HWND box = nullptr;
            for (int i = 0; i < 2000 && !box; ++i) {
                box = next_dialog(test_thread, d.hwnd());
                Sleep(10);
            }
            if (box) {
                dialog error(box);
                error_caption = error.caption();
                error.save_png(L"shell-login-refused");
                error.click(IDOK);
            }
        });
        EXPECT_EQ(folder->EnumObjects(nullptr, SHCONTF_FOLDERS, &items), E_FAIL);
        driver.wait();
        EXPECT_FALSE(error_caption.empty()) << "the refused login was not shown";
    }
    EXPECT_FALSE(vfs_quillmere::is_logged_in(CQuillmereModule::instance()));
}

} // namespace
