// Deleting remote items against the dev service: what is asked, in which order the service is
// told to remove a tree, what the shell is told, and what a failure leaves behind.
#include "prompt_script.h"
#include "transfer/delete_items.h"
#include "transfer/drive_folder.h"

#include <algorithm>
#include <regex>

using namespace qm_test;

namespace {

const HWND window = reinterpret_cast<HWND>(0x10), owner = reinterpret_cast<HWND>(0x20);

class delete_items : public drive_folder {
protected:
    // The ids the service was told to remove, in the order it was told.
    std::vector<std::wstring> removed_ids() const
    {
        const std::string all = service->requests(user, "");
        static const std::regex removal(
            "\"action\": \"remove_(?:file|dir)\".*?\"(?:file|dir)_id\": \"(\\d+)\"");
        std::vector<std::wstring> ids;
        for (std::sregex_iterator m(all.begin(), all.end(), removal), end; m != end; ++m)
            ids.push_back(wide((*m)[1]));
        return ids;
    }
    bool left(const std::wstring& name)
    {
        const auto items = drive->get_items();
        return std::any_of(items.begin(), items.end(),
                           [&](const auto& item) { return item->get_name() == name; });
    }
};

// Children before their folder, in listing order: what the service must be told.
void post_order(const boost::shared_ptr<vfs::item>& item, std::vector<std::wstring>& ids)
{
    if (auto folder = boost::dynamic_pointer_cast<vfs::directory>(item))
        for (const auto& child : folder->get_items())
            post_order(child, ids);
    const std::wstring id = item->get_id(); // a folder's carries a "dir_" prefix the requests do not
    ids.push_back(id.starts_with(L"dir_") ? id.substr(4) : id);
}

TEST_F(delete_items, asks_in_the_words_of_the_selection_and_no_deletes_nothing)
{
    struct {
        std::vector<std::wstring> names;
        std::wstring caption, text;
    } const cases[] = {
        {{L"Empty"}, L"Delete Folder", L"Are you sure you want to permanently delete this folder?"},
        {{L"a.txt"}, L"Delete File", L"Are you sure you want to permanently delete this file?"},
        {{L"a.txt", L"Empty", L"Docs"},
         L"Delete Multiple Items",
         L"Are you sure you want to permanently delete these 3 items?"},
    };
    for (const auto& c : cases) {
        prompt_script script({IDNO});
        EXPECT_EQ(DeleteItems(selection_of(c.names, owner), window, false), S_FALSE);
        ASSERT_EQ(script.seen.size(), 1u);
        const ui::prompt& p = script.seen[0];
        EXPECT_EQ(std::tuple(p.owner, p.caption, p.text, p.flags),
                  std::tuple(window, c.caption, c.text, UINT(MB_YESNO | MB_ICONWARNING)));
    }
    EXPECT_EQ(removed_ids().size(), 0u);
    EXPECT_EQ(DeleteItems(item_selection{}, window, false), E_INVALIDARG);

    // Yes: one remove call, announced for the item and then for its folder
    change_watch watch(root_pidl);
    prompt_script yes({IDYES});
    EXPECT_EQ(DeleteItems(selection_of({L"Empty"}, owner), window, false), S_OK);
    EXPECT_EQ(removed_ids().size(), 1u);
    EXPECT_EQ(watch.next(), change_watch::event(SHCNE_RMDIR, L"Empty", L"<not one record below the root>"));
    EXPECT_EQ(std::get<0>(watch.next()), SHCNE_UPDATEDIR);
}

TEST_F(delete_items, removes_a_tree_deepest_first_and_the_folder_last)
{
    auto tree = drive->create_directory(L"Tree");
    tree->create_file_alloc(L"a.txt", 0);
    auto sub = tree->create_directory(L"Sub");
    sub->create_file_alloc(L"b.txt", 0);
    sub->create_directory(L"Deep")->create_file_alloc(L"c.txt", 0);
    std::vector<std::wstring> expected;
    post_order(drive->get_item(L"Tree"), expected);
    ASSERT_EQ(expected.size(), 6u);
    prompt_script none({});
    EXPECT_EQ(DeleteItems(selection_of({L"Tree"}), window, true), S_OK);
    EXPECT_EQ(removed_ids(), expected);
    EXPECT_TRUE(none.seen.empty());
}

TEST_F(delete_items, a_failing_second_item_stops_there_and_is_shown_only_when_not_silent)
{
    for (const bool silent : {true, false}) {
        drive->create_directory(L"First");
        drive->create_file_alloc(L"second.txt", 0);
        service->control("fault/error",
                         "action=remove_file&user=" + user + "&name=Refused&description=Locked");
        prompt_script script({IDYES, IDOK});
        EXPECT_EQ(DeleteItems(selection_of({L"First", L"second.txt", L"Docs"}, owner), window, silent),
                  E_FAIL);
        EXPECT_EQ(std::tuple(left(L"First"), left(L"second.txt"), left(L"Docs")),
                  std::tuple(false, true, true));
        EXPECT_EQ(script.seen.size(), silent ? 0u : 2u);
        if (!silent) {
            EXPECT_EQ(std::tuple(script.seen[1].owner, script.seen[1].caption, script.seen[1].text),
                      std::tuple(owner, std::wstring(L"Refused"), std::wstring(L"Locked")));
        }
        drive->delete_item(L"second.txt");
    }
}

} // namespace
