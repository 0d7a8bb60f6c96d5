// The demo account, as a person would first see it: the login dialog typed into through the UI
// driver, login with its two texts (which starts the real session manager), then the
// connection and a listing of the demo tree, down into its home folder. The session manager
// started here is quit again.
#include "backend/protocol.h"
#include "backend/session.h"
#include "module/module.h"
#include "module/resource.h"
#include "support/dev_service.h"
#include "support/paths.h"
#include "support/ui_driver.h"
#include "ui/login_dlg.h"

#include <boost/pointer_cast.hpp>
#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>
#include "support/session_manager.h"

namespace {

using qm_test::quit_session_manager;
using qm_test::session_manager_runs;

std::set<std::wstring> names_of(const vfs::item_list& items)
{
    std::set<std::wstring> names;
    for (const auto& item : items)
        names.insert(item->get_name());
    return names;
}

} // namespace

TEST(login_demo, a_login_through_the_dialog_then_a_listing_of_the_demo_account)
{
    const HMODULE module = CQuillmereModule::instance();
    const auto& service = qm_test::dev_service::get();
    vfs_quillmere::set_service_url(service.base_url());
    quit_session_manager();
    ASSERT_FALSE(session_manager_runs()) << "a session manager from elsewhere is still running";
    vfs_quillmere::reset_connection_cache();
    // The demo account of the dev service's --demo, with a password of this test's choosing.
    const std::string reply = service.control("demo", "password=demo-dialog-pass");
    ASSERT_NE(reply.find("\"ok\": true"), std::string::npos) << reply;

    ASSERT_FALSE(vfs_quillmere::is_logged_in(module));
    {
        CLoginDlg dlg;
        qm_test::dialog_driver driver([&](qm_test::dialog& d) {
            d.type(IDC_LOGIN_USER, L"demo");
            d.type(IDC_LOGIN_PASSWORD, L"demo-dialog-pass");
            d.click(IDOK);
        });
        ASSERT_EQ(dlg.DoModal(nullptr), IDOK);
        driver.wait();
        ASSERT_EQ(dlg.login(), L"demo");
        vfs_quillmere::login(module, dlg.login(), dlg.password());
    }
    EXPECT_TRUE(vfs_quillmere::is_logged_in(module));

    const auto connection = vfs_quillmere::get_connection(module);
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->get_user_info().user_name, L"demo");
    const auto root = connection->get_root();
    const std::set<std::wstring> top = names_of(root->get_items());
    EXPECT_TRUE(top.count(L"Home") && top.count(L"Music") && top.count(L"Photos"));
    const auto home = boost::dynamic_pointer_cast<vfs::directory>(root->get_item(L"Home"));
    ASSERT_TRUE(home);
    EXPECT_EQ(home->get_description(), L"Everyday documents");
    const std::set<std::wstring> inside = names_of(home->get_items());
    EXPECT_TRUE(inside.count(L"Read me.txt"));
    EXPECT_TRUE(inside.count(L"Caf\u00e9 cr\u00e8me \u2013 recette.txt"))
        << "accented names come through intact";
    EXPECT_TRUE(inside.count(L"Lettres \u00e0 Zo\u00eb"));

    quit_session_manager();
    EXPECT_FALSE(session_manager_runs()) << "the session manager must not be left behind";
    vfs_quillmere::reset_connection_cache();
}
