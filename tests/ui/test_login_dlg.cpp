// The login dialog, shown for real on the test thread and driven from the UI driver's thread:
// focus, tab order and masking, the texts handed back by OK and Enter, reopening, Cancel, Esc and
// the close box, where it is placed, and a PNG artefact.
#include "module/module.h"
#include "module/resource.h"
#include "support/ui_driver.h"
#include "ui/login_dlg.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using qm_test::dialog;

RECT work_area_of(HWND hwnd)
{
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &mi);
    return mi.rcWork;
}

struct window_destroyer {
    void operator()(HWND hwnd) const { DestroyWindow(hwnd); }
};

// A plain top-level window to own the dialog.
std::unique_ptr<HWND__, window_destroyer> owner_window(int x, int y, int w, int h, bool visible)
{
    return std::unique_ptr<HWND__, window_destroyer>(
        CreateWindowExW(0, L"Static", L"Owner", WS_OVERLAPPEDWINDOW | (visible ? WS_VISIBLE : 0), x, y, w, h,
                        nullptr, nullptr, GetModuleHandleW(nullptr), nullptr));
}

// Shows a dialog, lets the handler drive it, and answers DoModal's result.
INT_PTR run(CLoginDlg& dlg, HWND owner, const qm_test::dialog_driver::handler& handler)
{
    qm_test::dialog_driver driver(handler);
    const INT_PTR result = dlg.DoModal(owner);
    driver.wait();
    return result;
}

TEST(login_dialog, opens_on_the_user_name_with_the_password_masked_and_no_limits)
{
    HWND focus = nullptr, user_edit = nullptr;
    std::vector<int> tab_order;
    LRESULT user_mask = -1, password_mask = 0, user_limit = 0, password_limit = 0;
    DWORD ok_style = 0;
    std::wstring png;

    CLoginDlg dlg;
    const INT_PTR result = run(dlg, nullptr, [&](dialog& d) {
        focus = d.focus();
        user_edit = d.item(IDC_LOGIN_USER);
        for (HWND c = user_edit; c && tab_order.size() < 5; c = GetNextDlgTabItem(d.hwnd(), c, FALSE))
            tab_order.push_back(GetDlgCtrlID(c));
        user_mask = SendMessageW(d.item(IDC_LOGIN_USER), EM_GETPASSWORDCHAR, 0, 0);
        password_mask = SendMessageW(d.item(IDC_LOGIN_PASSWORD), EM_GETPASSWORDCHAR, 0, 0);
        user_limit = SendMessageW(d.item(IDC_LOGIN_USER), EM_GETLIMITTEXT, 0, 0);
        password_limit = SendMessageW(d.item(IDC_LOGIN_PASSWORD), EM_GETLIMITTEXT, 0, 0);
        ok_style = static_cast<DWORD>(GetWindowLongW(d.item(IDOK), GWL_STYLE));
        png = d.save_png(L"login-dialog-empty");
        d.click(IDCANCEL);
    });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(focus, user_edit);
    EXPECT_EQ(tab_order,
              (std::vector<int>{IDC_LOGIN_USER, IDC_LOGIN_PASSWORD, IDOK, IDCANCEL, IDC_LOGIN_USER}));
    EXPECT_EQ(ok_style & BS_TYPEMASK, static_cast<DWORD>(BS_DEFPUSHBUTTON)) << "OK is the default button";
    EXPECT_EQ(user_mask, 0) << "the user name is shown as typed";
    EXPECT_NE(password_mask, 0) << "the password edit masks";
    EXPECT_GT(user_limit, 32767);
    EXPECT_GT(password_limit, 32767);
    EXPECT_NE(png.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(png.c_str()),
              INVALID_FILE_ATTRIBUTES)
        << "no PNG of the login dialog";
}

TEST(login_dialog, ok_and_enter_hand_back_exactly_what_was_typed)
{
    std::wstring long_password;
    for (int i = 0; i < 1000; ++i)
        long_password += static_cast<wchar_t>(L'a' + i % 26);
    const struct {
        std::wstring user, password;
        UINT key; // 0: the OK button
    } cases[] = {
        // (A tab cannot be typed into an edit of a dialog: it moves the focus.)
        {L"  Zo\u00eb & co+1 ", L" p\u00e4ss w\u00f6rd \U0001F511 \"'%<>!  ", 0},
        {std::wstring(1000, L'u'), long_password, 0},
        {L"", L"", 0},
        {L"demo", L"", VK_RETURN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user.size());
        CLoginDlg dlg;
        std::wstring shown_user;
        const INT_PTR result = run(dlg, nullptr, [&](dialog& d) {
            d.type(IDC_LOGIN_USER, c.user);
            d.type(IDC_LOGIN_PASSWORD, c.password);
            // Let the dialog take the posted characters before it is read and pictured.
            for (int i = 0;
                 i < 200 && (qm_test::window_text(d.item(IDC_LOGIN_USER)) != c.user ||
                             qm_test::window_text(d.item(IDC_LOGIN_PASSWORD)).size() != c.password.size());
                 ++i)
                Sleep(10);
            shown_user = d.item_text(IDC_LOGIN_USER);
            if (c.key)
                d.press(c.key);
            else {
                if (&c == &cases[0])
                    d.save_png(L"login-dialog");
                d.click(IDOK);
            }
        });
        EXPECT_EQ(result, IDOK);
        EXPECT_EQ(shown_user, c.user);
        EXPECT_EQ(dlg.login(), c.user);
        EXPECT_EQ(dlg.password(), c.password);
    }
}

TEST(login_dialog, every_opening_starts_empty_and_cancel_esc_and_the_close_box_leave_it_empty)
{
    CLoginDlg dlg;
    ASSERT_EQ(run(dlg, nullptr,
                  [](dialog& d) {
                      d.type(IDC_LOGIN_USER, L"first");
                      d.type(IDC_LOGIN_PASSWORD, L"wrong");
                      d.click(IDOK);
                  }),
              IDOK);
    ASSERT_EQ(dlg.login(), L"first");

    // After a failed login the caller opens the same dialog again.
    enum way { button, escape, close_box };
    for (const way w : {button, escape, close_box}) {
        SCOPED_TRACE("way " + std::to_string(w));
        std::wstring user = L"?", password = L"?";
        const INT_PTR result = run(dlg, nullptr, [&](dialog& d) {
            user = d.item_text(IDC_LOGIN_USER);
            password = d.item_text(IDC_LOGIN_PASSWORD);
            d.type(IDC_LOGIN_USER, L"someone");
            d.type(IDC_LOGIN_PASSWORD, L"secret");
            if (w == button)
                d.click(IDCANCEL);
            else if (w == escape)
                d.press(VK_ESCAPE);
            else
                PostMessageW(d.hwnd(), WM_SYSCOMMAND, SC_CLOSE, 0);
        });
        EXPECT_EQ(result, IDCANCEL);
        EXPECT_EQ(user + password, L"") << "nothing is prefilled";
        EXPECT_EQ(dlg.login(), L"");
        EXPECT_EQ(dlg.password(), L"");
    }
}

TEST(login_dialog, centred_over_a_visible_owner_else_in_the_work_area_and_kept_inside_it)
{
    const RECT work = work_area_of(nullptr);
    enum expect { over_owner, in_work_area, inside_work_area };
    const struct {
        int x, y, w, h;
        bool visible;
        expect where;
    } cases[] = {
        {200, 150, 700, 500, true, over_owner},
        {0, 0, 0, 0, false, in_work_area}, // no owner at all
        {0, 0, 300, 200, false, in_work_area},
        // An owner mostly off the bottom-right corner of the work area.
        {work.right - 80, work.bottom - 60, 400, 300, true, inside_work_area},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        const auto owner = owner_window(c.x, c.y, c.w, c.h, c.visible);
        const HWND owner_hwnd = c.w ? owner.get() : nullptr;
        RECT want{}, got{}, area{};
        HWND dialog_owner = nullptr;
        CLoginDlg dlg;
        const INT_PTR result = run(dlg, owner_hwnd, [&](dialog& d) {
            area = work_area_of(d.hwnd());
            if (c.where == over_owner)
                GetWindowRect(owner_hwnd, &want);
            GetWindowRect(d.hwnd(), &got);
            dialog_owner = GetWindow(d.hwnd(), GW_OWNER);
            d.click(IDCANCEL);
        });
        EXPECT_EQ(result, IDCANCEL);
        EXPECT_EQ(dialog_owner, owner_hwnd);
        if (c.where != over_owner)
            want = area;
        if (c.where == inside_work_area) {
            EXPECT_GE(got.left, area.left);
            EXPECT_GE(got.top, area.top);
            EXPECT_LE(got.right, area.right);
            EXPECT_LE(got.bottom, area.bottom);
        }
        else {
            EXPECT_NEAR((got.left + got.right) / 2.0, (want.left + want.right) / 2.0, 1.0);
            EXPECT_NEAR((got.top + got.bottom) / 2.0, (want.top + want.bottom) / 2.0, 1.0);
        }
    }
}

TEST(login_dialog, answers_minus_one_when_the_template_is_missing)
{
    _Module.activation_context(); // made for the test program before the instance changes
    const HINSTANCE saved = CQuillmereModule::instance();
    CQuillmereModule::set_instance(GetModuleHandleW(L"kernel32.dll"));
    CLoginDlg dlg;
    const INT_PTR result = dlg.DoModal(nullptr);
    CQuillmereModule::set_instance(saved);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(dlg.login(), L"");
}

TEST(login_dialog, runs_in_the_common_controls_6_activation_context)
{
    const HANDLE ctx = _Module.activation_context();
    ASSERT_NE(ctx, INVALID_HANDLE_VALUE)
        << "no activation context from manifest resource 2: " << GetLastError();
    EXPECT_EQ(_Module.activation_context(), ctx) << "made once";
    activation_scope scope;
    ASSERT_TRUE(scope.active());
    HANDLE current = nullptr;
    ASSERT_TRUE(GetCurrentActCtx(&current));
    EXPECT_EQ(current, ctx);
    if (current)
        ReleaseActCtx(current);
    ACTCTX_SECTION_KEYED_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_TRUE(FindActCtxSectionStringW(0, nullptr, ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION,
                                         L"comctl32.dll", &data))
        << "comctl32.dll is not redirected to version 6: " << GetLastError();
}

} // namespace
