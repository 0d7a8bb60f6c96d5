// Folders over the dev service: an account with a small tree, the session manager, and a watch
// on the shell's change notifications. Shared by the folder, menu and drop target tests.
#pragma once

#include "backend/client.h"
#include "backend/protocol.h"
#include "backend/session.h"
#include "module/module.h"
#include "shell_test_support.h"
#include "support/dev_service.h"
#include "support/failure.h"
#include "support/session_manager.h"
#include "support/ui_driver.h"

#include <tuple>

namespace qm_test {

class folder_base : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(SHGetFolderLocation(nullptr, CSIDL_WINDOWS, nullptr, 0, &root_pidl), S_OK);
    }
    void TearDown() override { CoTaskMemFree(root_pidl); }

    com::ComPtr<IShellFolder2> new_folder()
    {
        com::ComPtr<IShellFolder2> f;
        com::ComPtr<IPersistFolder> persist;
        EXPECT_EQ(com::create_instance<CShellFolderImpl>(IID_IShellFolder2, &f), S_OK);
        EXPECT_EQ(f.As(&persist), S_OK);
        EXPECT_EQ(persist->Initialize(root_pidl), S_OK);
        return f;
    }
    std::wstring root_name(SHGDNF flags)
    {
        com::ComPtr<IShellFolder> desktop;
        SHGetDesktopFolder(&desktop);
        return display_name(desktop.Get(), root_pidl, flags);
    }
    unique_pidl current_folder(IShellFolder* folder)
    {
        com::ComPtr<IPersistFolder2> persist;
        LPITEMIDLIST list = nullptr;
        EXPECT_EQ(folder->QueryInterface(IID_PPV_ARGS(&persist)), S_OK);
        EXPECT_EQ(persist->GetCurFolder(&list), S_OK);
        return unique_pidl(list);
    }

    LPITEMIDLIST root_pidl = nullptr;
};

// An account with Docs\Reports, Docs\notes.txt, Empty and a.txt besides the folders every new
// account has. The session starts logged off.
class service_folder : public folder_base {
protected:
    void SetUp() override
    {
        folder_base::SetUp();
        service = &dev_service::get();
        vfs_quillmere::set_service_url(service->base_url());
        std::tie(user, password) = service->new_user("shell");
        run_session_manager(L"/logoff");
        vfs_quillmere::reset_connection_cache();
        vfs_quillmere::client setup(wide(user), wide(password));
        auto root = setup.get_root();
        auto docs = root->create_directory(L"Docs");
        docs->create_directory(L"Reports");
        docs->create_file_alloc(L"notes.txt", 5000);
        root->create_directory(L"Empty");
        root->create_file_alloc(L"a.txt", 1025);
        for (const auto& item : root->get_items())
            listing.push_back(item->get_name());
    }
    void TearDown() override
    {
        quit_session_manager(); // the one this test's login started
        folder_base::TearDown();
    }

    void log_in() { vfs_quillmere::login(CQuillmereModule::instance(), wide(user), wide(password)); }
    dialog_driver::handler answer_login(const std::wstring& pass)
    {
        return [this, pass](dialog& d) {
            EXPECT_EQ(d.caption(), L"Quillmere login");
            d.set_item_text(301, wide(user));
            d.set_item_text(302, pass);
            d.click(IDOK);
        };
    }
    std::size_t list_dir_requests() const { return service->request_count(user, "list_dir"); }

    const dev_service* service = nullptr;
    std::string user, password;
    std::vector<std::wstring> listing;
};

// Records the shell's change notifications below a list: the event and the names of the records
// of its two lists, which must be absolute lists of one record below that list.
class change_watch {
public:
    explicit change_watch(LPCITEMIDLIST root) : root_(root)
    {
        window_ = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        previous_ = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&proc)));
        SHChangeNotifyEntry entry = {root, TRUE};
        id_ = SHChangeNotifyRegister(window_, SHCNRF_ShellLevel | SHCNRF_InterruptLevel | SHCNRF_NewDelivery,
                                     SHCNE_ALLEVENTS, WM_APP, 1, &entry);
    }
    ~change_watch()
    {
        SHChangeNotifyDeregister(id_);
        DestroyWindow(window_);
    }

    typedef std::tuple<LONG, std::wstring, std::wstring> event;
    event next()
    {
        for (DWORD end = GetTickCount() + 3000; events_.empty() && GetTickCount() < end; Sleep(5)) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&msg);
        }
        event e = events_.empty() ? event() : events_.front();
        if (!events_.empty())
            events_.erase(events_.begin());
        return e;
    }

private:
    std::wstring record_name(LPCITEMIDLIST p) const
    {
        const std::size_t prefix = pidl_list_size(root_) - 2;
        if (!p || pidl_list_size(p) != prefix + 714 || std::memcmp(p, root_, prefix))
            return L"<not one record below the root>";
        return pidl_name(CPIDLList(ILFindLastID(p), false).last());
    }
    static LRESULT CALLBACK proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
    {
        auto* self = reinterpret_cast<change_watch*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (msg != WM_APP)
            return CallWindowProcW(self->previous_, hwnd, msg, wparam, lparam);
        LPITEMIDLIST* pidls = nullptr;
        LONG id = 0;
        if (HANDLE lock = SHChangeNotification_Lock(reinterpret_cast<HANDLE>(wparam),
                                                    static_cast<DWORD>(lparam), &pidls, &id)) {
            self->events_.emplace_back(id, self->record_name(pidls[0]), self->record_name(pidls[1]));
            SHChangeNotification_Unlock(lock);
        }
        return 0;
    }

    LPCITEMIDLIST root_;
    HWND window_;
    WNDPROC previous_;
    ULONG id_;
    std::vector<event> events_;
};

} // namespace qm_test
