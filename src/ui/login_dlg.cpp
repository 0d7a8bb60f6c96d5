#include "ui/login_dlg.h"

#include "module/module.h"
#include "module/resource.h"
#include "ui/dialog_support.h"

static_assert(CLoginDlg::IDD == IDD_LOGINDLG, "the login dialog is template 300");

namespace {

void wipe(std::wstring& s)
{
    if (!s.empty())
        SecureZeroMemory(s.data(), s.size() * sizeof(wchar_t));
    s.clear();
}

} // namespace

CLoginDlg::~CLoginDlg()
{
    clear();
}

void CLoginDlg::clear()
{
    wipe(login_);
    wipe(password_);
}

INT_PTR CLoginDlg::DoModal(HWND owner)
{
    clear();
    activation_scope common_controls;
    const INT_PTR result = DialogBoxParamW(CQuillmereModule::instance(), MAKEINTRESOURCEW(IDD), owner,
                                           dialog_proc, reinterpret_cast<LPARAM>(this));
    if (result != IDOK)
        clear();
    return result;
}

void CLoginDlg::on_init(HWND hwnd)
{
    // No length limit: the edits take as much as the user types.
    SendDlgItemMessageW(hwnd, IDC_LOGIN_USER, EM_SETLIMITTEXT, 0, 0);
    SendDlgItemMessageW(hwnd, IDC_LOGIN_PASSWORD, EM_SETLIMITTEXT, 0, 0);
    centre_dialog(hwnd);
}

void CLoginDlg::on_ok(HWND hwnd)
{
    login_ = dialog_item_text(hwnd, IDC_LOGIN_USER);
    password_ = dialog_item_text(hwnd, IDC_LOGIN_PASSWORD);
}

INT_PTR CALLBACK CLoginDlg::dialog_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
    switch (msg) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(hwnd, DWLP_USER, lparam);
        reinterpret_cast<CLoginDlg*>(lparam)->on_init(hwnd);
        return TRUE; // the default focus: the user name edit, first in the tab order
    case WM_COMMAND: {
        auto* self = reinterpret_cast<CLoginDlg*>(GetWindowLongPtrW(hwnd, DWLP_USER));
        const int id = LOWORD(wparam);
        if (HIWORD(wparam) != BN_CLICKED || !self)
            break;
        if (id == IDOK) {
            self->on_ok(hwnd);
            EndDialog(hwnd, IDOK);
            return TRUE;
        }
        if (id == IDCANCEL) { // the button, Esc and the close box
            EndDialog(hwnd, IDCANCEL);
            return TRUE;
        }
        break;
    }
    default:
        break;
    }
    return FALSE;
}
