// The background menu of a folder view: what it adds to a menu, and its verbs; new folders on
// the dev service. Paste is tested with the drop target.
#include "service_folder.h"
#include "shell/bg_menu.h"
#include "ui/prompts.h"

namespace {

using namespace qm_test;

std::wstring item_text(HMENU menu, UINT position)
{
    wchar_t text[64] = {};
    GetMenuStringW(menu, position, text, 64, MF_BYPOSITION);
    return text;
}

TEST(bg_menu, adds_new_folder_after_a_separator_unless_the_flags_ask_for_something_else)
{
    struct {
        UINT flags;
        HRESULT result;
    } const cases[] = {
        {0, MAKE_HRESULT(SEVERITY_SUCCESS, 0, 2)},
        {CMF_EXPLORE, S_OK},
        {CMF_NORMAL | 0x00010000, MAKE_HRESULT(SEVERITY_SUCCESS, 0, 2)},
        {CMF_EXPLORE | 0x00020000, MAKE_HRESULT(SEVERITY_SUCCESS, 0, 2)},
    };
    for (const auto& c : cases) {
        HMENU menu = CreatePopupMenu();
        AppendMenuW(menu, MF_STRING, 1, L"View");
        AppendMenuW(menu, MF_STRING, 2, L"Refresh");
        auto bg = com::make<CBGContextMenu>();
        EXPECT_EQ(bg->QueryContextMenu(menu, 0, 100, 200, c.flags), c.result) << c.flags;
        if (c.result == S_OK) {
            EXPECT_EQ(GetMenuItemCount(menu), 2);
        }
        else {
            ASSERT_EQ(GetMenuItemCount(menu), 4);
            EXPECT_EQ(GetMenuState(menu, 1, MF_BYPOSITION) & MF_SEPARATOR, UINT(MF_SEPARATOR));
            EXPECT_EQ(GetMenuItemID(menu, 2), 100u);
            EXPECT_EQ(item_text(menu, 2), L"New Folder");
            EXPECT_EQ(item_text(menu, 3), L"Refresh");
        }
        DestroyMenu(menu);
    }
}

TEST_F(service_folder, new_folder_takes_the_first_free_name_by_verb_or_offset)
{
    log_in();
    {
        vfs_quillmere::client setup(wide(user), wide(password));
        setup.get_root()->create_directory(L"New Folder");
        setup.get_root()->create_directory(L"New Folder (2)");
    }
    auto folder = new_folder();
    com::ComPtr<IContextMenu> menu, siteless;
    com::ComPtr<IObjectWithSite> site;
    com::ComPtr<IShellView> view;
    ASSERT_EQ(folder->CreateViewObject(nullptr, IID_PPV_ARGS(&menu)), S_OK);
    ASSERT_EQ(folder->CreateViewObject(nullptr, IID_PPV_ARGS(&view)), S_OK);
    ASSERT_EQ(menu.As(&site), S_OK);
    com::ComPtr<IShellFolder> file;
    ASSERT_EQ(folder->BindToObject(parse(folder.Get(), L"a.txt").get(), nullptr, IID_PPV_ARGS(&file)), S_OK);
    EXPECT_EQ(file->CreateViewObject(nullptr, IID_PPV_ARGS(&siteless)), E_NOINTERFACE)
        << "a file has no background";
    ASSERT_EQ(folder->CreateViewObject(nullptr, IID_PPV_ARGS(&siteless)), S_OK);
    EXPECT_EQ(site->SetSite(nullptr), E_NOINTERFACE);
    EXPECT_EQ(site->SetSite(view.Get()), S_OK);
    HMENU popup = CreatePopupMenu();
    menu->QueryContextMenu(popup, 0, 1, 10, 0);
    DestroyMenu(popup);

    change_watch watch(root_pidl);
    struct {
        IContextMenu* menu;
        LPCSTR verb;
        HRESULT result;
        const wchar_t* created;
    } const cases[] = {
        {siteless.Get(), "NewFolder", S_OK, nullptr}, // no view to rename it in
        {menu.Get(), "NewFolder", S_OK, L"New Folder (3)"},
        {menu.Get(), MAKEINTRESOURCEA(0), S_OK, L"New Folder (4)"},
        {menu.Get(), "newfolder", E_NOTIMPL, nullptr},
        {menu.Get(), MAKEINTRESOURCEA(1), E_NOTIMPL, nullptr},
    };
    for (const auto& c : cases) {
        CMINVOKECOMMANDINFO info = {};
        info.cbSize = sizeof info;
        info.lpVerb = c.verb;
        EXPECT_EQ(c.menu->InvokeCommand(&info), c.result);
        if (c.created) {
            EXPECT_EQ(watch.next(),
                      change_watch::event(SHCNE_MKDIR, c.created, L"<not one record below the root>"));
        }
    }
    // A folder the service refuses is reported in an error box of its own, and nothing else happens.
    service->control("fault/error",
                     "action=create_dir&user=" + user + "&name=Quota&description=Full");
    std::vector<ui::prompt> boxes;
    {
        ui::scoped_answerer answer([&](const ui::prompt& p) {
            boxes.push_back(p);
            return IDOK;
        });
        CMINVOKECOMMANDINFO info = {};
        info.cbSize = sizeof info;
        info.lpVerb = "NewFolder";
        EXPECT_EQ(menu->InvokeCommand(&info), S_OK);
    }
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(std::tuple(boxes[0].owner, boxes[0].flags), std::tuple(HWND(nullptr), UINT(MB_ICONERROR)));
    EXPECT_NE(boxes[0].text.find(L"Full"), std::wstring::npos) << boxes[0].text;
    auto names = enumerate(new_folder().Get(), SHCONTF_FOLDERS);
    std::erase_if(names, [](const std::wstring& n) { return n.find(L"New Folder") != 0; });
    EXPECT_EQ(names, (std::vector<std::wstring>{L"New Folder", L"New Folder (2)", L"New Folder (3)",
                                                L"New Folder (4)"}));
}

} // namespace
