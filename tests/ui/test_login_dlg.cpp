// The login dialog, shown for real on the test thread and driven from the UI
// driver's thread: template 300 read back from the resources and from the live windows, typing,
// OK, Enter, Cancel, Esc and the close box, password masking, centring, and a PNG artefact.
#include "module/module.h"
#include "module/resource.h"
#include "support/ui_driver.h"
#include "ui/login_dlg.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// ---- the template as stored in the resources (DLGTEMPLATEEX) ----

struct template_item {
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    int id = 0;
    std::wstring cls; // "Button", "Edit", "Static" for the predefined ordinals
    std::wstring text;
};

struct dialog_template {
    bool ok = false;
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring caption;
    WORD points = 0;
    std::wstring font;
    std::vector<template_item> items;
};

class reader {
public:
    reader(const BYTE* p, const BYTE* end) : p_(p), begin_(p), end_(end) {}
    bool ok() const { return ok_; }
    template <class T> T get()
    {
        T v{};
        if (p_ + sizeof(T) > end_) {
            ok_ = false;
            return v;
        }
        std::memcpy(&v, p_, sizeof(T));
        p_ += sizeof(T);
        return v;
    }
    std::wstring string()
    {
        std::wstring s;
        for (;;) {
            const wchar_t c = static_cast<wchar_t>(get<WORD>());
            if (!ok_ || !c)
                return s;
            s += c;
        }
    }
    // sz_Or_Ord: empty, an ordinal (0xFFFF, n) shown as "#n", or a string.
    std::wstring string_or_ordinal()
    {
        const WORD first = get<WORD>();
        if (first == 0)
            return {};
        if (first == 0xFFFF)
            return L"#" + std::to_wstring(get<WORD>());
        p_ -= sizeof(WORD);
        return string();
    }
    void skip(size_t n) { p_ += n; }
    void align4() { p_ = begin_ + ((p_ - begin_ + 3) & ~static_cast<ptrdiff_t>(3)); }

private:
    const BYTE* p_;
    const BYTE* begin_;
    const BYTE* end_;
    bool ok_ = true;
};

dialog_template load_template(int id)
{
    dialog_template t;
    HINSTANCE instance = CQuillmereModule::instance();
    HRSRC res = FindResourceW(instance, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5) /* RT_DIALOG */);
    if (!res)
        return t;
    const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(instance, res)));
    reader r(data, data + SizeofResource(instance, res));
    if (r.get<WORD>() != 1 || r.get<WORD>() != 0xFFFF) // DLGTEMPLATEEX only
        return t;
    r.get<DWORD>(); // help id
    r.get<DWORD>(); // extended style
    t.style = r.get<DWORD>();
    const WORD count = r.get<WORD>();
    t.x = r.get<short>();
    t.y = r.get<short>();
    t.cx = r.get<short>();
    t.cy = r.get<short>();
    r.string_or_ordinal(); // menu
    r.string_or_ordinal(); // class
    t.caption = r.string();
    if (t.style & DS_SETFONT) {
        t.points = r.get<WORD>();
        r.get<WORD>(); // weight
        r.get<BYTE>(); // italic
        r.get<BYTE>(); // charset
        t.font = r.string();
    }
    for (WORD i = 0; i < count; ++i) {
        r.align4();
        template_item item;
        r.get<DWORD>(); // help id
        r.get<DWORD>(); // extended style
        item.style = r.get<DWORD>();
        item.x = r.get<short>();
        item.y = r.get<short>();
        item.cx = r.get<short>();
        item.cy = r.get<short>();
        item.id = static_cast<int>(r.get<DWORD>());
        item.cls = r.string_or_ordinal();
        if (item.cls == L"#128")
            item.cls = L"Button";
        else if (item.cls == L"#129")
            item.cls = L"Edit";
        else if (item.cls == L"#130")
            item.cls = L"Static";
        item.text = r.string_or_ordinal();
        r.skip(r.get<WORD>()); // creation data
        t.items.push_back(item);
    }
    t.ok = r.ok();
    return t;
}

// ---- the dialog template ----

const DWORD child = WS_CHILD | WS_VISIBLE;
const DWORD edit_style = child | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;

struct tabled {
    int id;
    const wchar_t* cls;
    const wchar_t* text;
    short x, y, cx, cy;
    DWORD style; // 0: a label; its style is not tabled
};

const tabled table[] = {
    {-1, L"Static", L"Login:", 6, 9, 20, 8, 0},
    {IDC_LOGIN_USER, L"Edit", L"", 42, 6, 90, 14, edit_style},
    {-1, L"Static", L"Password:", 6, 26, 34, 8, 0},
    {IDC_LOGIN_PASSWORD, L"Edit", L"", 42, 24, 90, 14, edit_style | ES_PASSWORD},
    {IDOK, L"Button", L"OK", 30, 48, 50, 14, child | WS_TABSTOP | BS_DEFPUSHBUTTON},
    {IDCANCEL, L"Button", L"Cancel", 84, 48, 50, 14, child | WS_TABSTOP | BS_PUSHBUTTON},
};

std::wstring class_of(HWND hwnd)
{
    wchar_t name[128] = {};
    GetClassNameW(hwnd, name, 128);
    std::wstring s = name;
    const size_t bang = s.rfind(L'!'); // a versioned class of common controls 6 ("6.0...!Edit")
    return bang == std::wstring::npos ? s : s.substr(bang + 1);
}

bool same_text_ignoring_case(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

HWND focus_of(HWND dialog)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info))
        return nullptr;
    return info.hwndFocus;
}

// A dialog-unit rectangle in the dialog's client pixels, converted the way the dialog manager
// places controls: position and size each on their own.
RECT dialog_units(HWND dialog, short x, short y, short cx, short cy)
{
    RECT rc = {x, y, cx, cy};
    MapDialogRect(dialog, &rc);
    return {rc.left, rc.top, rc.left + rc.right, rc.top + rc.bottom};
}

RECT client_rect_of(HWND control)
{
    RECT rc;
    GetWindowRect(control, &rc);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rc), 2);
    return rc;
}

bool equal(const RECT& a, const RECT& b)
{
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

std::string describe(const RECT& r)
{
    return "(" + std::to_string(r.left) + "," + std::to_string(r.top) + ")-(" + std::to_string(r.right) +
           "," + std::to_string(r.bottom) + ")";
}

std::string narrow(const std::wstring& w)
{
    std::string s;
    for (wchar_t c : w)
        s += c < 128 ? static_cast<char>(c) : '?';
    return s;
}

RECT work_area_of(HWND hwnd)
{
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &mi);
    return mi.rcWork;
}

// A plain top-level window to own the dialog.
class owner_window {
public:
    owner_window(int x, int y, int w, int h, bool visible)
    {
        hwnd_ = CreateWindowExW(0, L"Static", L"Owner", WS_OVERLAPPEDWINDOW | (visible ? WS_VISIBLE : 0), x,
                                y, w, h, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    ~owner_window()
    {
        if (hwnd_)
            DestroyWindow(hwnd_);
    }
    owner_window(const owner_window&) = delete;
    owner_window& operator=(const owner_window&) = delete;
    HWND hwnd() const { return hwnd_; }

private:
    HWND hwnd_ = nullptr;
};

// Shows a dialog, lets the handler drive it, and answers DoModal's result.
INT_PTR run(CLoginDlg& dlg, HWND owner, const qm_test::dialog_driver::handler& handler)
{
    qm_test::dialog_driver driver(handler);
    const INT_PTR result = dlg.DoModal(owner);
    driver.wait();
    return result;
}

// ---- tests ----

TEST(login_dialog, template_300_is_exactly_as_tabled)
{
    EXPECT_EQ(CLoginDlg::IDD, 300);
    EXPECT_EQ(IDD_LOGINDLG, 300);
    EXPECT_EQ(IDC_LOGIN_USER, 301);
    EXPECT_EQ(IDC_LOGIN_PASSWORD, 302);

    const dialog_template t = load_template(300);
    ASSERT_TRUE(t.ok) << "dialog template 300 missing or not a DLGTEMPLATEEX";
    EXPECT_EQ(t.style, static_cast<DWORD>(DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_VISIBLE | WS_CAPTION |
                                          WS_SYSMENU));
    EXPECT_EQ(t.x, 0);
    EXPECT_EQ(t.y, 0);
    EXPECT_EQ(t.cx, 142);
    EXPECT_EQ(t.cy, 70);
    EXPECT_EQ(t.caption, L"Quillmere login");
    EXPECT_EQ(t.points, 8);
    EXPECT_EQ(t.font, L"MS Shell Dlg");

    ASSERT_EQ(t.items.size(), std::size(table));
    for (size_t i = 0; i < t.items.size(); ++i) {
        SCOPED_TRACE("control " + std::to_string(i));
        const template_item& item = t.items[i];
        const tabled& want = table[i];
        EXPECT_EQ(static_cast<short>(item.id), want.id); // a label's -1 may be stored as 0xFFFF
        EXPECT_EQ(item.cls, want.cls);
        EXPECT_EQ(item.text, want.text);
        EXPECT_EQ(item.x, want.x);
        EXPECT_EQ(item.y, want.y);
        EXPECT_EQ(item.cx, want.cx);
        EXPECT_EQ(item.cy, want.cy);
        if (want.style)
            EXPECT_EQ(item.style, want.style);
        else
            EXPECT_EQ(item.style & (WS_TABSTOP | WS_VISIBLE | WS_CHILD | SS_TYPEMASK), child | SS_LEFT);
    }
}

TEST(login_dialog, the_live_dialog_matches_the_table)
{
    struct seen_control {
        int id;
        std::wstring cls, text;
        RECT rect, want;
        DWORD style, ex_style;
    };
    std::vector<seen_control> controls;
    std::wstring caption, face;
    RECT client{}, want_client{};
    DWORD style = 0;
    HWND focus = nullptr, user_edit = nullptr;
    std::vector<int> tab_order;
    LRESULT user_mask = -1, password_mask = 0, user_limit = 0, password_limit = 0;
    int font_height = 0;

    CLoginDlg dlg;
    const INT_PTR result = run(dlg, nullptr, [&](qm_test::dialog& d) {
        HWND h = d.hwnd();
        caption = d.caption();
        style = static_cast<DWORD>(GetWindowLongW(h, GWL_STYLE));
        GetClientRect(h, &client);
        want_client = dialog_units(h, 0, 0, 142, 70);
        size_t i = 0;
        for (HWND c = GetWindow(h, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT), ++i) {
            seen_control s{static_cast<short>(GetDlgCtrlID(c)),
                           class_of(c),
                           qm_test::window_text(c),
                           client_rect_of(c),
                           {},
                           static_cast<DWORD>(GetWindowLongW(c, GWL_STYLE)),
                           static_cast<DWORD>(GetWindowLongW(c, GWL_EXSTYLE))};
            if (i < std::size(table))
                s.want = dialog_units(h, table[i].x, table[i].y, table[i].cx, table[i].cy);
            controls.push_back(s);
        }
        focus = focus_of(h);
        user_edit = d.item(IDC_LOGIN_USER);
        HWND c = user_edit;
        for (int n = 0; n < 5 && c; ++n) {
            tab_order.push_back(GetDlgCtrlID(c));
            c = GetNextDlgTabItem(h, c, FALSE);
        }
        user_mask = SendMessageW(d.item(IDC_LOGIN_USER), EM_GETPASSWORDCHAR, 0, 0);
        password_mask = SendMessageW(d.item(IDC_LOGIN_PASSWORD), EM_GETPASSWORDCHAR, 0, 0);
        user_limit = SendMessageW(d.item(IDC_LOGIN_USER), EM_GETLIMITTEXT, 0, 0);
        password_limit = SendMessageW(d.item(IDC_LOGIN_PASSWORD), EM_GETLIMITTEXT, 0, 0);
        if (HFONT font = reinterpret_cast<HFONT>(SendMessageW(h, WM_GETFONT, 0, 0))) {
            LOGFONTW lf{};
            GetObjectW(font, sizeof lf, &lf);
            face = lf.lfFaceName;
            font_height = lf.lfHeight;
        }
        d.save_png(L"login-dialog-empty");
        d.click(IDCANCEL);
    });
    EXPECT_EQ(result, IDCANCEL);

    EXPECT_EQ(caption, L"Quillmere login");
    EXPECT_EQ(style & (WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME),
              static_cast<DWORD>(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME));
    EXPECT_EQ(client.right - client.left, want_client.right - want_client.left);
    EXPECT_EQ(client.bottom - client.top, want_client.bottom - want_client.top);
    EXPECT_TRUE(same_text_ignoring_case(face, L"MS Shell Dlg")) << narrow(face);
    EXPECT_NE(font_height, 0);

    ASSERT_EQ(controls.size(), std::size(table));
    for (size_t i = 0; i < controls.size(); ++i) {
        SCOPED_TRACE("control " + std::to_string(i) + " " + narrow(controls[i].text));
        EXPECT_EQ(controls[i].id, table[i].id);
        EXPECT_TRUE(same_text_ignoring_case(controls[i].cls, table[i].cls)) << narrow(controls[i].cls);
        EXPECT_EQ(controls[i].text, table[i].text);
        EXPECT_TRUE(equal(controls[i].rect, controls[i].want))
            << describe(controls[i].rect) << " instead of " << describe(controls[i].want);
        if (table[i].style) {
            const DWORD mask = WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD;
            if (table[i].cls == std::wstring(L"Edit")) {
                EXPECT_EQ(controls[i].style & mask, table[i].style & mask);
                // An edit turns its WS_BORDER into a sunken client edge when it is created.
                EXPECT_TRUE((controls[i].style & WS_BORDER) || (controls[i].ex_style & WS_EX_CLIENTEDGE));
            }
            else
                EXPECT_EQ(controls[i].style & WS_TABSTOP, static_cast<DWORD>(WS_TABSTOP));
        }
    }
    EXPECT_EQ(controls[4].style & BS_TYPEMASK, static_cast<DWORD>(BS_DEFPUSHBUTTON))
        << "OK is the default button";

    EXPECT_EQ(focus, user_edit) << "the user name edit has the focus when the dialog opens";
    EXPECT_EQ(tab_order,
              (std::vector<int>{IDC_LOGIN_USER, IDC_LOGIN_PASSWORD, IDOK, IDCANCEL, IDC_LOGIN_USER}));

    EXPECT_EQ(user_mask, 0) << "the user name is shown as typed";
    EXPECT_NE(password_mask, 0) << "the password edit masks";
    EXPECT_GT(user_limit, 32767) << "no length limit";
    EXPECT_GT(password_limit, 32767) << "no length limit";
}

TEST(login_dialog, typed_texts_come_back_exactly_on_ok)
{
    const std::wstring user = L"  Zo\u00eb & co+1 ";
    // (A tab cannot be typed into an edit of a dialog: it moves the focus.)
    const std::wstring password = L" p\u00e4ss w\u00f6rd \U0001F511 \"'%<>!  ";
    std::wstring shown_user, png;
    LRESULT mask = 0;
    DWORD password_style = 0;

    CLoginDlg dlg;
    const INT_PTR result = run(dlg, nullptr, [&](qm_test::dialog& d) {
        d.type(IDC_LOGIN_USER, user);
        d.type(IDC_LOGIN_PASSWORD, password);
        // Let the dialog take the posted characters before it is read and pictured.
        for (int i = 0; i < 200 && qm_test::window_text(d.item(IDC_LOGIN_USER)) != user; ++i)
            Sleep(10);
        for (int i = 0; i < 200 && qm_test::window_text(d.item(IDC_LOGIN_PASSWORD)).size() != password.size();
             ++i)
            Sleep(10);
        shown_user = d.item_text(IDC_LOGIN_USER);
        mask = SendMessageW(d.item(IDC_LOGIN_PASSWORD), EM_GETPASSWORDCHAR, 0, 0);
        password_style = static_cast<DWORD>(GetWindowLongW(d.item(IDC_LOGIN_PASSWORD), GWL_STYLE));
        png = d.save_png(L"login-dialog");
        d.click(IDOK);
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(dlg.login(), user);
    EXPECT_EQ(dlg.password(), password);
    EXPECT_EQ(shown_user, user);
    EXPECT_NE(mask, 0);
    EXPECT_TRUE(password_style & ES_PASSWORD);
    EXPECT_FALSE(png.empty()) << "no PNG of the login dialog";
    if (!png.empty()) {
        EXPECT_NE(GetFileAttributesW(png.c_str()), INVALID_FILE_ATTRIBUTES);
    }
}

TEST(login_dialog, long_texts_are_not_cut)
{
    const std::wstring user(1000, L'u');
    std::wstring password;
    for (int i = 0; i < 1000; ++i)
        password += static_cast<wchar_t>(L'a' + i % 26);
    CLoginDlg dlg;
    const INT_PTR result = run(dlg, nullptr, [&](qm_test::dialog& d) {
        d.type(IDC_LOGIN_USER, user);
        d.type(IDC_LOGIN_PASSWORD, password);
        d.click(IDOK);
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(dlg.login(), user);
    EXPECT_EQ(dlg.password(), password);
}

TEST(login_dialog, ok_with_empty_fields_gives_two_empty_texts)
{
    CLoginDlg dlg;
    EXPECT_TRUE(dlg.login().empty());
    EXPECT_TRUE(dlg.password().empty());
    const INT_PTR result = run(dlg, nullptr, [](qm_test::dialog& d) { d.click(IDOK); });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(dlg.login(), L"");
    EXPECT_EQ(dlg.password(), L"");
}

TEST(login_dialog, enter_is_ok)
{
    CLoginDlg dlg;
    const INT_PTR result = run(dlg, nullptr, [](qm_test::dialog& d) {
        d.type(IDC_LOGIN_USER, L"demo");
        d.press(VK_RETURN);
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(dlg.login(), L"demo");
    EXPECT_EQ(dlg.password(), L"");
}

TEST(login_dialog, cancel_esc_and_the_close_box_give_idcancel_and_empty_fields)
{
    enum way { button, escape, close_box };
    for (const way w : {button, escape, close_box}) {
        SCOPED_TRACE("way " + std::to_string(w));
        CLoginDlg dlg;
        const INT_PTR result = run(dlg, nullptr, [&](qm_test::dialog& d) {
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
        EXPECT_EQ(dlg.login(), L"");
        EXPECT_EQ(dlg.password(), L"");
    }
}

TEST(login_dialog, every_opening_starts_empty)
{
    CLoginDlg dlg;
    ASSERT_EQ(run(dlg, nullptr,
                  [](qm_test::dialog& d) {
                      d.type(IDC_LOGIN_USER, L"first");
                      d.type(IDC_LOGIN_PASSWORD, L"wrong");
                      d.click(IDOK);
                  }),
              IDOK);
    ASSERT_EQ(dlg.login(), L"first");

    // After a failed login the caller opens it again: nothing is prefilled.
    std::wstring user = L"?", password = L"?";
    const INT_PTR again = run(dlg, nullptr, [&](qm_test::dialog& d) {
        user = d.item_text(IDC_LOGIN_USER);
        password = d.item_text(IDC_LOGIN_PASSWORD);
        d.click(IDCANCEL);
    });
    EXPECT_EQ(again, IDCANCEL);
    EXPECT_EQ(user, L"");
    EXPECT_EQ(password, L"");
    EXPECT_EQ(dlg.login(), L"") << "a cancelled opening leaves the fields empty";
    EXPECT_EQ(dlg.password(), L"");
}

TEST(login_dialog, centred_over_a_visible_owner)
{
    owner_window owner(200, 150, 700, 500, true);
    ASSERT_NE(owner.hwnd(), nullptr);
    RECT owner_rect{}, dialog_rect{};
    HWND dialog_owner = nullptr;
    CLoginDlg dlg;
    const INT_PTR result = run(dlg, owner.hwnd(), [&](qm_test::dialog& d) {
        GetWindowRect(owner.hwnd(), &owner_rect);
        GetWindowRect(d.hwnd(), &dialog_rect);
        dialog_owner = GetWindow(d.hwnd(), GW_OWNER);
        d.click(IDCANCEL);
    });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(dialog_owner, owner.hwnd());
    EXPECT_NEAR((dialog_rect.left + dialog_rect.right) / 2.0, (owner_rect.left + owner_rect.right) / 2.0,
                1.0);
    EXPECT_NEAR((dialog_rect.top + dialog_rect.bottom) / 2.0, (owner_rect.top + owner_rect.bottom) / 2.0,
                1.0);
}

TEST(login_dialog, centred_in_the_work_area_without_a_visible_owner)
{
    owner_window hidden(0, 0, 300, 200, false);
    ASSERT_NE(hidden.hwnd(), nullptr);
    for (HWND owner : {static_cast<HWND>(nullptr), hidden.hwnd()}) {
        SCOPED_TRACE(owner ? "hidden owner" : "no owner");
        RECT work{}, dialog_rect{};
        CLoginDlg dlg;
        const INT_PTR result = run(dlg, owner, [&](qm_test::dialog& d) {
            work = work_area_of(d.hwnd());
            GetWindowRect(d.hwnd(), &dialog_rect);
            d.click(IDCANCEL);
        });
        EXPECT_EQ(result, IDCANCEL);
        EXPECT_NEAR((dialog_rect.left + dialog_rect.right) / 2.0, (work.left + work.right) / 2.0, 1.0);
        EXPECT_NEAR((dialog_rect.top + dialog_rect.bottom) / 2.0, (work.top + work.bottom) / 2.0, 1.0);
    }
}

TEST(login_dialog, kept_inside_the_work_area)
{
    const RECT work = work_area_of(nullptr);
    // An owner mostly off the bottom-right corner of the work area.
    owner_window owner(work.right - 80, work.bottom - 60, 400, 300, true);
    ASSERT_NE(owner.hwnd(), nullptr);
    RECT dialog_rect{}, area{};
    CLoginDlg dlg;
    const INT_PTR result = run(dlg, owner.hwnd(), [&](qm_test::dialog& d) {
        area = work_area_of(d.hwnd());
        GetWindowRect(d.hwnd(), &dialog_rect);
        d.click(IDCANCEL);
    });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_GE(dialog_rect.left, area.left);
    EXPECT_GE(dialog_rect.top, area.top);
    EXPECT_LE(dialog_rect.right, area.right) << describe(dialog_rect) << " in " << describe(area);
    EXPECT_LE(dialog_rect.bottom, area.bottom) << describe(dialog_rect) << " in " << describe(area);
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
    // The context redirects the common controls to version 6.
    ACTCTX_SECTION_KEYED_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_TRUE(FindActCtxSectionStringW(0, nullptr, ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION,
                                         L"comctl32.dll", &data))
        << "comctl32.dll is not redirected: " << GetLastError();
}

} // namespace
