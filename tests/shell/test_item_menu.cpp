// The context menu of selected items: what its callback merges into the default menu and where
// it sends the commands, with the drive's own data object over the dev service.
#include "service_folder.h"
#include "shell/item_menu.h"
#include "support/data_objects.h"
#include "ui/prompts.h"

#include <atomic>

namespace {

using namespace qm_test;

TEST(item_menu, open_heads_the_menu_of_files_only)
{
    const PIDLDATA file = make_record(L"a.txt", false, 3), folder = make_record(L"Docs", true);
    struct {
        std::vector<PIDLDATA> items;
        item_class kind;
        bool open; // first, bold, with the first free id, then a separator and the menu's own
    } const cases[] = {
        {{file, file}, item_class::file, true},
        {{folder}, item_class::folder, false},
        {{file, folder}, item_class::none, false},
    };
    for (const auto& c : cases) {
        QCMINFO info = {CreatePopupMenu(), 0, 40, 100, nullptr};
        AppendMenuW(info.hmenu, MF_STRING, 7, L"Copy");
        EXPECT_EQ(merge_open(c.items, info), S_OK);
        EXPECT_EQ(std::tuple(selection_class(c.items), GetMenuItemCount(info.hmenu),
                             GetMenuDefaultItem(info.hmenu, FALSE, 0), GetMenuItemID(info.hmenu, 2),
                             info.idCmdFirst),
                  c.open ? std::tuple(c.kind, 3, 40u, 7u, 41u)
                         : std::tuple(c.kind, 1, UINT(-1), UINT(-1), 40u));
        DestroyMenu(info.hmenu);
    }
}

TEST_F(service_folder, item_menu_deletes_through_the_data_object_after_the_confirmation)
{
    log_in();
    auto folder = new_folder();
    const auto a = parse(folder.Get(), L"a.txt"), docs = parse(folder.Get(), L"Docs");
    BYTE not_ours[] = {4, 0, 0x31, 0, 0, 0}; // an item of another namespace
    LPCITEMIDLIST both[] = {a.get(), docs.get()},
                  foreign[] = {a.get(), reinterpret_cast<LPCITEMIDLIST>(not_ours)};
    com::ComPtr<IContextMenu> menu;
    EXPECT_EQ(folder->GetUIObjectOf(nullptr, 2, both, IID_IContextMenu, nullptr, &menu), S_OK);
    EXPECT_EQ(folder->GetUIObjectOf(nullptr, 2, foreign, IID_IContextMenu, nullptr, &menu), E_INVALIDARG);

    com::ComPtr<IDataObject> ours;
    ASSERT_EQ(folder->GetUIObjectOf(nullptr, 1, both, IID_IDataObject, nullptr, &ours), S_OK);
    const auto theirs = data_object::create();
    // Properties opens the selection's dialog on a thread of its own.
    EXPECT_EQ(item_menu_callback(folder.Get(), nullptr, ours.Get(), DFM_INVOKECOMMAND, DFM_CMD_PROPERTIES, 0),
              S_OK);
    HWND properties = nullptr;
    for (DWORD end = GetTickCount() + 10000; !properties && GetTickCount() < end; Sleep(20))
        properties = FindWindowW(nullptr, L"a.txt Properties");
    EXPECT_TRUE(properties);
    PostMessageW(properties, WM_CLOSE, 0, 0);
    for (DWORD end = GetTickCount() + 5000; IsWindow(properties) && GetTickCount() < end;)
        Sleep(10);

    // The selection comes from the data object: the merge runs after the deletion too.
    struct {
        IDataObject* data;
        UINT command;
        int answer; // to the confirmation
        HRESULT result;
        std::size_t prompts;
        bool deleted;
    } const cases[] = {
        {theirs.Get(), DFM_CMD_DELETE, IDYES, S_FALSE, 0, false},
        {ours.Get(), DFM_CMD_DELETE, IDNO, S_OK, 1, false},
        {ours.Get(), DFM_CMD_DELETE, IDYES, S_OK, 1, true},
    };
    for (const auto& c : cases) {
        std::size_t prompts = 0;
        {
            ui::scoped_answerer answer([&](const ui::prompt&) {
                ++prompts;
                return c.answer;
            });
            EXPECT_EQ(item_menu_callback(folder.Get(), nullptr, c.data, DFM_INVOKECOMMAND, c.command, 0),
                      c.result);
        }
        vfs_quillmere::client fresh(wide(user), wide(password));
        bool deleted = true;
        for (const auto& item : fresh.get_root()->get_items())
            deleted = deleted && item->get_name() != L"a.txt";
        EXPECT_EQ(std::tuple(prompts, deleted), std::tuple(c.prompts, c.deleted)) << c.command;

        QCMINFO info = {CreatePopupMenu(), 0, 40, 100, nullptr};
        EXPECT_EQ(item_menu_callback(folder.Get(), nullptr, c.data, DFM_MERGECONTEXTMENU, 0,
                                     reinterpret_cast<LPARAM>(&info)),
                  S_OK);
        EXPECT_EQ(GetMenuItemCount(info.hmenu), c.data == ours.Get() ? 2 : 0);
        DestroyMenu(info.hmenu);
    }

    // Open hands the selection to a download thread; without the session manager's mutex that
    // thread stops at once with its box, before it downloads or starts anything.
    quit_session_manager();
    std::atomic<int> mutex_boxes = 0;
    ui::scoped_answerer answer([&](const ui::prompt& p) {
        mutex_boxes += p.text == L"Error opening mutex";
        return IDOK;
    });
    const LONG locks = com::current_module().lock_count();
    EXPECT_EQ(item_menu_callback(folder.Get(), nullptr, ours.Get(), DFM_INVOKECOMMAND, 0, 0), S_OK);
    for (DWORD end = GetTickCount() + 20000;
         com::current_module().lock_count() != locks && GetTickCount() < end;)
        Sleep(10);
    EXPECT_EQ(mutex_boxes, 1);
}

} // namespace
