// The login as the shell folder and the drive property page do it: the
// login dialog, typed into through the UI driver, then login with its two texts, then the
// connection and a listing of the account's root, against the dev service and the real session
// manager. Each test quits the session manager it started.
#include "backend/protocol.h"
#include "backend/session.h"
#include "module/module.h"
#include "module/resource.h"
#include "support/dev_service.h"
#include "support/paths.h"
#include "support/ui_driver.h"
#include "ui/login_dlg.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>
#include "support/failure.h"
#include "support/session_manager.h"

namespace {

using qm_test::quit_session_manager;
using qm_test::session_manager_runs;

using qm_test::wide;

class login_flow : public testing::Test {
protected:
    void SetUp() override
    {
        module_ = CQuillmereModule::instance();
        service_ = &qm_test::dev_service::get();
        vfs_quillmere::set_service_url(service_->base_url());
        quit_session_manager();
        ASSERT_FALSE(session_manager_runs()) << "a session manager from elsewhere is still running";
        vfs_quillmere::reset_connection_cache();
        const auto [name, password] = service_->new_user("dialog");
        user_ = wide(name);
        password_ = wide(password);
    }

    void TearDown() override
    {
        quit_session_manager();
        EXPECT_FALSE(session_manager_runs()) << "the session manager must not be left behind";
        vfs_quillmere::reset_connection_cache();
    }

    // Opens the dialog, types the two texts and presses OK; answers the dialog's result.
    INT_PTR type_into_dialog(CLoginDlg& dlg, const std::wstring& user, const std::wstring& password,
                             std::wstring* seen_user = nullptr)
    {
        qm_test::dialog_driver driver([&](qm_test::dialog& d) {
            if (seen_user)
                *seen_user = d.item_text(IDC_LOGIN_USER);
            d.type(IDC_LOGIN_USER, user);
            d.type(IDC_LOGIN_PASSWORD, password);
            d.click(IDOK);
        });
        const INT_PTR result = dlg.DoModal(nullptr);
        driver.wait();
        return result;
    }

    HMODULE module_ = nullptr;
    const qm_test::dev_service* service_ = nullptr;
    std::wstring user_;
    std::wstring password_;
};

TEST_F(login_flow, a_login_through_the_dialog_then_a_listing_of_the_root)
{
    ASSERT_FALSE(vfs_quillmere::is_logged_in(module_));
    {
        CLoginDlg dlg;
        ASSERT_EQ(type_into_dialog(dlg, user_, password_), IDOK);
        vfs_quillmere::login(module_, dlg.login(), dlg.password());
    } // the dialog and its copy of the password are gone right after the login
    EXPECT_TRUE(vfs_quillmere::is_logged_in(module_));
    EXPECT_TRUE(session_manager_runs()) << "login starts the session manager";

    const auto connection = vfs_quillmere::get_connection(module_);
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->get_user_info().user_name, user_);
    std::set<std::wstring> names;
    for (const auto& item : connection->get_root()->get_items())
        names.insert(item->get_name());
    EXPECT_EQ(names.size(), 3u) << "a fresh account: home, music and photo folders";
}

TEST_F(login_flow, a_failed_login_reopens_an_empty_dialog_and_the_second_attempt_works)
{
    CLoginDlg first;
    ASSERT_EQ(type_into_dialog(first, user_, L"not the password"), IDOK);
    bool failed = false;
    try {
        vfs_quillmere::login(module_, first.login(), first.password());
    }
    catch (const vfs::exception& e) {
        failed = true;
        EXPECT_FALSE(e.get_message().empty());
        EXPECT_FALSE(e.get_details().empty());
    }
    EXPECT_TRUE(failed) << "a wrong password must fail the login";
    EXPECT_FALSE(vfs_quillmere::is_logged_in(module_));

    CLoginDlg second;
    std::wstring prefilled = L"?";
    ASSERT_EQ(type_into_dialog(second, user_, password_, &prefilled), IDOK);
    EXPECT_EQ(prefilled, L"") << "nothing is remembered between two openings";
    vfs_quillmere::login(module_, second.login(), second.password());
    EXPECT_TRUE(vfs_quillmere::is_logged_in(module_));
    EXPECT_EQ(vfs_quillmere::get_connection(module_)->get_user_info().user_name, user_);
}

} // namespace
