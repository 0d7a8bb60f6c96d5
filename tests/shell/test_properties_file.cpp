// The items' properties dialog on its own thread, over the dev service: what it shows of one file,
// one folder and several items, what Apply and OK write back, a refused rename, and one dialog per
// selection.
#include "com/module_base.h"
#include "service_folder.h"
#include "support/paths.h"
#include "ui/prompts.h"
#include "ui/properties_file.h"

namespace {

using namespace qm_test;

class item_properties : public service_folder {
protected:
    void SetUp() override
    {
        service_folder::SetUp();
        log_in();
        folder = new_folder();
        client = std::make_unique<vfs_quillmere::client>(wide(user), wide(password));
        root = client->get_root();
        root->create_file_alloc(L"b.txt", 1536);
        docs = boost::dynamic_pointer_cast<vfs::directory>(root->get_item(L"Docs"));
        docs->set_access(2, 0);
        root->get_items();
    }
    item_selection selection(std::initializer_list<const wchar_t*> names)
    {
        item_selection s;
        s.folder = root;
        s.root = CPIDLList(root_pidl, true);
        for (const wchar_t* name : names)
            s.items.push_back(BuildPIDLDATA(root->get_item(name)));
        return s;
    }
    // The dialog of that title once it shows; fails the test after 10 s.
    HWND wait_for(const std::wstring& title, const std::function<bool(HWND)>& ready = {})
    {
        for (DWORD end = GetTickCount() + 10000; GetTickCount() < end; Sleep(20)) {
            const HWND found = FindWindowW(nullptr, title.c_str());
            if (found && IsWindowVisible(found) && (!ready || ready(found)))
                return found;
        }
        ADD_FAILURE() << "no dialog " << testing::PrintToString(title);
        return nullptr;
    }
    static bool visible(HWND dialog, int id) { return IsWindowVisible(GetDlgItem(dialog, id)) != FALSE; }
    static void close(HWND dialog)
    {
        PostMessageW(dialog, WM_CLOSE, 0, 0);
        for (DWORD end = GetTickCount() + 5000; IsWindow(dialog) && GetTickCount() < end;)
            Sleep(10);
    }

    com::ComPtr<IShellFolder2> folder;
    std::unique_ptr<vfs_quillmere::client> client;
    boost::shared_ptr<vfs::directory> root, docs;
};

} // namespace

TEST_F(item_properties, one_file_one_folder_and_several_items_show_what_they_have)
{
    const struct {
        std::initializer_list<const wchar_t*> names;
        const wchar_t *title, *name, *type, *size;
        bool date_and_link, description_and_access;
    } cases[] = {
        {{L"b.txt"}, L"b.txt Properties", L"b.txt", nullptr, L"1.5 KB (1 536 bytes)", true, false},
        // Docs holds notes.txt of 5 000 bytes: the size grows from 0 as the worker lists it.
        {{L"Docs"}, L"Docs Properties", L"Docs", nullptr, L"4.88 KB (5 000 bytes)", false, true},
        {{L"a.txt", L"b.txt", L"Docs"},
         L"a.txt, ... Properties",
         L"1 folders, 2 files",
         L"Multiple Types",
         L"7.38 KB (7 561 bytes)",
         false,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        ShowProperties(folder.Get(), selection(c.names));
        const HWND d = wait_for(c.title, [&](HWND w) { return dialog(w).item_text(361) == c.size; });
        if (!d)
            continue;
        const dialog shown(d);
        EXPECT_EQ(shown.item_text(354), c.name);
        if (c.type) {
            EXPECT_EQ(shown.item_text(357), c.type);
        }
        EXPECT_EQ(shown.item_text(359), L"Quillmere\\");
        EXPECT_EQ(visible(d, 364) && visible(d, 366), c.date_and_link);
        EXPECT_EQ(visible(d, 369) && visible(d, 372), c.description_and_access);
        if (c.date_and_link) {
            EXPECT_NE(shown.item_text(366), L"") << "the file's public link";
        }
        if (c.description_and_access) {
            EXPECT_EQ(IsDlgButtonChecked(d, 372), UINT(BST_CHECKED)) << "access 2 is Hidden";
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(d, 374)));
        }
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(d, 352))) << "nothing changed yet";
        std::wstring file = c.title;
        std::replace_if(
            file.begin(), file.end(), [](wchar_t ch) { return !iswalnum(ch); }, L'-');
        Sleep(300); // the dialog's thread paints the controls it has just moved and filled
        shown.save_png(L"properties-" + file);
        close(d);
    }
}

TEST_F(item_properties, apply_and_ok_write_back_and_a_refused_rename_keeps_the_dialog_open)
{
    const LONG locks = com::current_module().lock_count();
    ShowProperties(folder.Get(), selection({L"Docs"}));
    const HWND d = wait_for(L"Docs Properties");
    ASSERT_TRUE(d);
    EXPECT_EQ(com::current_module().lock_count(), locks + 1) << "an open dialog keeps the DLL loaded";
    const dialog shown(d);
    shown.type(369, L"Quarterly reports");
    shown.click(373);
    for (DWORD end = GetTickCount() + 5000; !IsWindowEnabled(GetDlgItem(d, 374)) && GetTickCount() < end;)
        Sleep(10);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(d, 352))) << "a change enables Apply";
    shown.click(374);
    shown.click(352);
    for (DWORD end = GetTickCount() + 5000; IsWindowEnabled(GetDlgItem(d, 352)) && GetTickCount() < end;)
        Sleep(10);
    root->get_items();
    const auto written = boost::dynamic_pointer_cast<vfs::directory>(root->get_item(L"Docs"));
    EXPECT_EQ(written->get_description(), L"Quarterly reports");
    EXPECT_EQ(written->get_access(), 0);
    EXPECT_EQ(written->get_permission(), 1);

    // The same selection again: the open dialog, not a second one.
    ShowProperties(folder.Get(), selection({L"Docs"}));
    Sleep(300);
    HWND second = nullptr;
    EnumWindows(
        [](HWND w, LPARAM out) {
            if (window_text(w) == L"Docs Properties" && IsWindowVisible(w))
                ++*reinterpret_cast<int*>(out);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&second));
    EXPECT_EQ(reinterpret_cast<INT_PTR>(second), 1);

    // A name the service refuses: the error box, and OK leaves the dialog open.
    std::vector<ui::prompt> seen;
    ui::scoped_answerer answer([&](const ui::prompt& p) {
        seen.push_back(p);
        return IDOK;
    });
    shown.set_item_text(354, L"a/b");
    shown.click(IDOK);
    for (DWORD end = GetTickCount() + 5000; seen.empty() && GetTickCount() < end;)
        Sleep(10);
    Sleep(200);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].caption, L"Error loading description");
    EXPECT_TRUE(IsWindow(d)) << "a failed OK keeps the dialog";
    close(d);
    for (DWORD end = GetTickCount() + 5000;
         com::current_module().lock_count() != locks && GetTickCount() < end;)
        Sleep(10);
    EXPECT_EQ(com::current_module().lock_count(), locks);
}
