// The context menu of selected items: what its callback merges into the default menu and where
// it sends the commands, with the drive's own data object over the dev service.
#include "service_folder.h"
#include "shell/item_menu.h"
#include "support/data_objects.h"
#include "ui/prompts.h"

namespace {

using namespace qm_test;

TEST(item_menu, open_heads_the_menu_of_files_only)
{
    const PIDLDATA file = make_record(L"a.txt", false, 3), other = make_record(L"b.doc", false),
                   folder = make_record(L"Docs", true);
    struct {
        std::vector<PIDLDATA> items;
        item_class kind;
        bool open;
    } const cases[] = {
        {{file}, item_class::file, true},
        {{file, other}, item_class::file, true},
        {{folder}, item_class::folder, false},
        {{file, folder, other}, item_class::none, false},
    };
    for (const auto& c : cases) {
        const auto what = testing::PrintToString(c.items.size()) + " items, open " + (c.open ? "yes" : "no");
        EXPECT_EQ(selection_class(c.items), c.kind) << what;
        HMENU menu = CreatePopupMenu();
        AppendMenuW(menu, MF_STRING, 7, L"Copy");
        AppendMenuW(menu, MF_STRING, 8, L"Delete");
        QCMINFO info = {menu, 0, 40, 100, nullptr};
        EXPECT_EQ(merge_open(c.items, info), S_OK) << what;
        EXPECT_EQ(GetMenuItemCount(menu), c.open ? 4 : 2) << what;
        EXPECT_EQ(info.idCmdFirst, c.open ? 41u : 40u) << what;
        wchar_t text[32] = {};
        GetMenuStringW(menu, 0, text, 32, MF_BYPOSITION);
        EXPECT_EQ(std::wstring(text), c.open ? L"Open" : L"Copy") << what;
        if (c.open) {
            EXPECT_EQ(GetMenuItemID(menu, 0), 40u);
            EXPECT_EQ(GetMenuDefaultItem(menu, TRUE, 0), 0u) << "Open is the bold default";
            EXPECT_TRUE(GetMenuState(menu, 1, MF_BYPOSITION) & MF_SEPARATOR);
        }
        DestroyMenu(menu);
    }
}

TEST_F(service_folder, item_menu_deletes_through_the_data_object_after_the_confirmation)
{
    log_in();
    auto folder = new_folder();
    const auto a = parse(folder.Get(), L"a.txt"), docs = parse(folder.Get(), L"Docs");
    BYTE not_ours[] = {4, 0, 0x31, 0, 0, 0}; // a one-byte item of another namespace
    const LPCITEMIDLIST foreign = reinterpret_cast<LPCITEMIDLIST>(not_ours);
    struct {
        std::vector<LPCITEMIDLIST> items;
        HRESULT result;
    } menus[] = {
        {{a.get()}, S_OK},
        {{a.get(), docs.get()}, S_OK},
        {{a.get(), foreign}, E_INVALIDARG},
    };
    for (auto& m : menus) {
        com::ComPtr<IContextMenu> menu;
        EXPECT_EQ(folder->GetUIObjectOf(nullptr, static_cast<UINT>(m.items.size()), m.items.data(),
                                        IID_IContextMenu, nullptr, &menu),
                  m.result);
        EXPECT_EQ(menu != nullptr, SUCCEEDED(m.result));
    }

    com::ComPtr<IDataObject> data;
    LPCITEMIDLIST one[] = {a.get()};
    ASSERT_EQ(folder->GetUIObjectOf(nullptr, 1, one, IID_IDataObject, nullptr, &data), S_OK);
    const auto theirs = data_object::create();
    auto root_names = [this] {
        vfs_quillmere::client fresh(wide(user), wide(password));
        std::vector<std::wstring> names;
        for (const auto& item : fresh.get_root()->get_items())
            names.push_back(item->get_name());
        return names;
    };
    struct {
        IDataObject* data;
        UINT message;
        UINT command;
        int answer; // to the confirmation
        HRESULT result;
        std::size_t prompts;
        bool deleted;
    } const cases[] = {
        {data.Get(), DFM_INVOKECOMMAND, DFM_CMD_PROPERTIES, IDYES, S_FALSE, 0, false},
        {data.Get(), DFM_INVOKECOMMAND, 7, IDYES, S_FALSE, 0, false}, // the default menu's own
        {data.Get(), DFM_GETHELPTEXTW, 0, IDYES, E_NOTIMPL, 0, false},
        {theirs.Get(), DFM_INVOKECOMMAND, DFM_CMD_DELETE, IDYES, S_FALSE, 0, false},
        {data.Get(), DFM_INVOKECOMMAND, DFM_CMD_DELETE, IDNO, S_OK, 1, false},
        {data.Get(), DFM_INVOKECOMMAND, DFM_CMD_DELETE, IDYES, S_OK, 1, true},
    };
    for (const auto& c : cases) {
        std::vector<ui::prompt> prompts;
        {
            ui::scoped_answerer answer([&](const ui::prompt& p) {
                prompts.push_back(p);
                return c.answer;
            });
            // WPARAM carries the UINT command as the shell widens it.
            EXPECT_EQ(item_menu_callback(folder.Get(), nullptr, c.data, c.message,
                                         static_cast<WPARAM>(c.command), 0),
                      c.result)
                << c.command;
        }
        EXPECT_EQ(prompts.size(), c.prompts) << c.command;
        const auto names = root_names();
        EXPECT_EQ(std::find(names.begin(), names.end(), L"a.txt") == names.end(), c.deleted) << c.command;
    }

    // The drive's own data object gets Open merged, another program's nothing. The menu is
    // merged after the deletion: the selection is the data object's, not the service's.
    for (const auto& [object, items] :
         {std::pair(data.Get(), 2), std::pair<IDataObject*, int>(theirs.Get(), 0)}) {
        HMENU menu = CreatePopupMenu();
        QCMINFO info = {menu, 0, 40, 100, nullptr};
        EXPECT_EQ(item_menu_callback(folder.Get(), nullptr, object, DFM_MERGECONTEXTMENU, 0,
                                     reinterpret_cast<LPARAM>(&info)),
                  S_OK);
        EXPECT_EQ(GetMenuItemCount(menu), items);
        DestroyMenu(menu);
    }
}

} // namespace
