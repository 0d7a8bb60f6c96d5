// The session the drive uses outside tests: the back end's login state and connection cache,
// and the login dialog.
#include "backend/session.h"
#include "module/module.h"
#include "shell/connection.h"
#include "ui/login_dlg.h"

namespace {

class backend_session_access final : public session_access {
public:
    bool is_logged_in() override { return vfs_quillmere::is_logged_in(CQuillmereModule::instance()); }

    bool ask_login(HWND owner, std::wstring& login, std::wstring& password) override
    {
        CLoginDlg dialog;
        if (dialog.DoModal(owner) != IDOK)
            return false;
        login = dialog.login();
        password = dialog.password();
        return true;
    }

    void login(const std::wstring& user, const std::wstring& password) override
    {
        vfs_quillmere::login(CQuillmereModule::instance(), user, password);
    }

    boost::shared_ptr<vfs::client> get_connection() override
    {
        return vfs_quillmere::get_connection(CQuillmereModule::instance());
    }
};

} // namespace

session_access& backend_session()
{
    static backend_session_access session;
    return session;
}
