// The login dialog: a modal dialog on template 300 that collects the account's
// user name and password, exactly as typed. It validates nothing and talks to no service; the
// caller passes the two texts to login.
//
//   CLoginDlg dlg;
//   if (dlg.DoModal(owner) == IDOK)
//       login(module, dlg.login(), dlg.password());
#pragma once

#include <windows.h>

#include <string>

class CLoginDlg {
public:
    enum { IDD = 300 };

    CLoginDlg() = default;
    // The password is wiped from memory with the object.
    ~CLoginDlg();
    CLoginDlg(const CLoginDlg&) = delete;
    CLoginDlg& operator=(const CLoginDlg&) = delete;

    // Shows the dialog modally, owned by owner (may be null), in the module's common-controls
    // activation context. Answers IDOK or IDCANCEL, or -1 when the dialog could not be created
    // (callers treat that like Cancel). Every opening starts with two empty fields; after
    // anything but IDOK both fields are empty.
    INT_PTR DoModal(HWND owner);

    // The texts of the two edits when OK closed the dialog; empty otherwise.
    const std::wstring& login() const { return login_; }
    const std::wstring& password() const { return password_; }

private:
    static INT_PTR CALLBACK dialog_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);
    void on_init(HWND hwnd);
    void on_ok(HWND hwnd);
    void clear();

    std::wstring login_;
    std::wstring password_;
};
