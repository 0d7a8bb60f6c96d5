#include "ui/login_dlg.h"

#include "module/module.h"
#include "module/resource.h"

static_assert(CLoginDlg::IDD == IDD_LOGINDLG, "the login dialog is template 300");

namespace {

std::wstring item_text(HWND dialog, int id)
{
    HWND control = GetDlgItem(dialog, id);
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    const int n = GetWindowTextW(control, text.data(), static_cast<int>(text.size()));
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

void wipe(std::wstring& s)
{
    if (!s.empty())
        SecureZeroMemory(s.data(), s.size() * sizeof(wchar_t));
    s.clear();
}

// Centres the dialog over its owner when the owner is visible and not minimised, otherwise
// over the work area of the monitor nearest to it, and keeps it inside that work area.
void centre(HWND dialog)
{
    HWND owner = GetWindow(dialog, GW_OWNER);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoW(MonitorFromWindow(owner ? owner : dialog, MONITOR_DEFAULTTONEAREST), &monitor))
        return;
    const RECT work = monitor.rcWork;
    RECT over = work;
    if (owner && IsWindowVisible(owner) && !IsIconic(owner))
        GetWindowRect(owner, &over);

    RECT rc;
    GetWindowRect(dialog, &rc);
    const long width = rc.right - rc.left, height = rc.bottom - rc.top;
    long x = over.left + ((over.right - over.left) - width) / 2;
    long y = over.top + ((over.bottom - over.top) - height) / 2;
    if (x + width > work.right)
        x = work.right - width;
    if (x < work.left)
        x = work.left;
    if (y + height > work.bottom)
        y = work.bottom - height;
    if (y < work.top)
        y = work.top;
    SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
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
    centre(hwnd);
}

void CLoginDlg::on_ok(HWND hwnd)
{
    login_ = item_text(hwnd, IDC_LOGIN_USER);
    password_ = item_text(hwnd, IDC_LOGIN_PASSWORD);
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
