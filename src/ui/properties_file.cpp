#include "ui/properties_file.h"

#include "com/module_base.h"
#include "module/module.h"
#include "module/resource.h"
#include "ui/texts.h"
#include "shell/columns.h"
#include "shell/connection.h"
#include "ui/dialog_support.h"
#include "ui/prompts.h"

#include <commctrl.h>
#include <uxtheme.h>

#include <process.h>

#include <algorithm>

namespace {

// How far the controls of one folder move from where the template puts them, in pixels.
constexpr int folder_shift_down = 70;
constexpr int permission_shift_up = 130;

void show(HWND dialog, std::initializer_list<int> ids, bool visible)
{
    for (const int id : ids)
        ShowWindow(GetDlgItem(dialog, id), visible ? SW_SHOW : SW_HIDE);
}

void move_by(HWND dialog, std::initializer_list<int> ids, int dy)
{
    for (const int id : ids) {
        HWND control = GetDlgItem(dialog, id);
        RECT rc;
        GetWindowRect(control, &rc);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rc), 2);
        SetWindowPos(control, nullptr, rc.left, rc.top + dy, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void show_error(HWND dialog, UINT caption, const vfs::exception& e)
{
    ui::ask(dialog, box_text(e.get_details(), box_details_limit), ui::load_string(caption), MB_ICONERROR);
}

bool checked(HWND dialog, int id)
{
    return IsDlgButtonChecked(dialog, id) == BST_CHECKED;
}

// The open dialogs; used on the shell's thread only.
std::vector<std::shared_ptr<CPropertiesFileDlg>>& open_dialogs()
{
    static std::vector<std::shared_ptr<CPropertiesFileDlg>> dialogs;
    return dialogs;
}

} // namespace

CPropertiesFileDlg::CPropertiesFileDlg(IShellFolder* folder_object, const item_selection& selection)
    : folder_(selection.folder), location_(selection.absolute()), items_(selection.items)
{
    for (const PIDLDATA& item : items_) {
        if (item.kind == 1)
            ++folders_;
        else if (item.kind == 2)
            ++files_;
    }
    if (items_.size() == 1 && folder_object) {
        pidl_ptr child(CPIDLList(items_[0]).serialize());
        PCUITEMID_CHILD children[] = {child.get()};
        IExtractIconW* icon = nullptr;
        if (child && SUCCEEDED(folder_object->GetUIObjectOf(nullptr, 1, children, IID_IExtractIconW, nullptr,
                                                            reinterpret_cast<void**>(&icon)))) {
            icon->Extract(nullptr, 0, &large_icon_, &small_icon_, MAKELONG(32, 16));
            icon->Release();
        }
    }
    else {
        const HINSTANCE module = CQuillmereModule::instance();
        large_icon_ =
            static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(IDI_ITEMS), IMAGE_ICON, 32, 32, 0));
        small_icon_ =
            static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(IDI_ITEMS), IMAGE_ICON, 16, 16, 0));
    }
}

CPropertiesFileDlg::~CPropertiesFileDlg()
{
    stop_ = true;
    if (size_thread_)
        WaitForSingleObject(size_thread_.get(), INFINITE);
    if (large_icon_)
        DestroyIcon(large_icon_);
    if (small_icon_)
        DestroyIcon(small_icon_);
    if (tab_brush_)
        DeleteObject(tab_brush_);
}

bool CPropertiesFileDlg::shows(const CPIDLList& location, const std::vector<PIDLDATA>& items) const
{
    if (location != location_ || items.size() != items_.size())
        return false;
    return std::all_of(items.begin(), items.end(), [&](const PIDLDATA& item) {
        return std::find(items_.begin(), items_.end(), item) != items_.end();
    });
}

bool CPropertiesFileDlg::start()
{
    auto* holder = new std::shared_ptr<CPropertiesFileDlg>(shared_from_this());
    com::current_module().lock();
    if (SHCreateThread(thread_proc, holder, CTF_PROCESS_REF, nullptr))
        return true;
    com::current_module().unlock();
    delete holder;
    return false;
}

DWORD WINAPI CPropertiesFileDlg::thread_proc(void* parameter)
{
    // The thread's reference keeps the object alive while its window exists; the module lock
    // that start() took keeps the DLL loaded under it.
    struct unlock_at_end {
        ~unlock_at_end() { com::current_module().unlock(); }
    } running;
    const std::unique_ptr<std::shared_ptr<CPropertiesFileDlg>> holder(
        static_cast<std::shared_ptr<CPropertiesFileDlg>*>(parameter));
    struct end_mark {
        CPropertiesFileDlg& dialog;
        ~end_mark() { dialog.ended_ = true; }
    } mark{**holder};
    const INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_TAB_CLASSES};
    InitCommonControlsEx(&controls);
    HWND window;
    {
        activation_scope common_controls;
        window = CreateDialogParamW(CQuillmereModule::instance(), MAKEINTRESOURCEW(IDD_PROPERTIES_FILE),
                                    GetDesktopWindow(), dialog_proc, reinterpret_cast<LPARAM>(holder->get()));
    }
    if (!window)
        return 0;
    ShowWindow(window, SW_SHOW);
    MSG msg;
    while (IsWindow(window) && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(window, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return 0;
}

INT_PTR CALLBACK CPropertiesFileDlg::dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<CPropertiesFileDlg*>(lparam);
        SetWindowLongPtrW(window, DWLP_USER, lparam);
        self->window_ = window;
        self->on_init();
        return TRUE;
    }
    auto* self = reinterpret_cast<CPropertiesFileDlg*>(GetWindowLongPtrW(window, DWLP_USER));
    if (!self)
        return FALSE;
    switch (message) {
    case WM_COMMAND: {
        const int id = LOWORD(wparam), code = HIWORD(wparam);
        if (id == IDOK) {
            if (self->apply())
                DestroyWindow(window);
        }
        else if (id == IDCANCEL) {
            DestroyWindow(window);
        }
        else if (id == IDC_PROP_APPLY) {
            self->apply();
        }
        else if ((id == IDC_PROP_NAME || id == IDC_PROP_DESCRIPTION) && code == EN_CHANGE) {
            self->changed(id);
        }
        else if (id >= IDC_PROP_PUBLIC && id <= IDC_PROP_FAMILY && code == BN_CLICKED) {
            self->changed(id);
        }
        return TRUE;
    }
    case WM_CTLCOLORSTATIC: {
        if (!self->tab_brush_)
            return FALSE;
        // The brush is a picture of the tab control: line it up with the static's place on it.
        HWND control = reinterpret_cast<HWND>(lparam);
        POINT origin = {0, 0};
        MapWindowPoints(control, GetDlgItem(window, IDC_PROP_TAB), &origin, 1);
        SetBrushOrgEx(reinterpret_cast<HDC>(wparam), -origin.x, -origin.y, nullptr);
        SetBkMode(reinterpret_cast<HDC>(wparam), TRANSPARENT);
        return reinterpret_cast<INT_PTR>(self->tab_brush_);
    }
    case WM_DESTROY:
        self->on_destroy();
        return FALSE;
    case WM_NCDESTROY:
        SetWindowLongPtrW(window, DWLP_USER, 0);
        self->window_ = nullptr;
        return FALSE;
    }
    return FALSE;
}

void CPropertiesFileDlg::on_init()
{
    const HWND dialog = window_;
    const HWND tab = GetDlgItem(dialog, IDC_PROP_TAB);
    std::wstring general = ui::load_string(IDS_PROP_GENERAL);
    TCITEMW item = {};
    item.mask = TCIF_TEXT;
    item.pszText = general.data();
    SendMessageW(tab, TCM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    if (IsThemeActive()) {
        RECT rc;
        GetClientRect(tab, &rc);
        HDC screen = GetDC(tab);
        HDC memory = CreateCompatibleDC(screen);
        HBITMAP picture = CreateCompatibleBitmap(screen, rc.right, rc.bottom);
        const HGDIOBJ old = SelectObject(memory, picture);
        SendMessageW(tab, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory),
                     PRF_CLIENT | PRF_ERASEBKGND | PRF_CHILDREN);
        SelectObject(memory, old);
        tab_brush_ = CreatePatternBrush(picture);
        DeleteObject(picture);
        DeleteDC(memory);
        ReleaseDC(tab, screen);
    }
    SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon_));
    SendDlgItemMessageW(dialog, IDC_PROP_ICON, STM_SETICON, reinterpret_cast<WPARAM>(large_icon_), 0);

    bool loaded = folder_ && !items_.empty();
    if (loaded) {
        loading_ = true;
        loaded = load_text_fields();
        size_thread_.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, size_proc, this, 0, nullptr)));
        show(dialog, {IDC_PROP_LINE2}, single());
        if (single_folder())
            move_by(dialog, {IDC_PROP_LINE3}, folder_shift_down);
        else
            show(dialog, {IDC_PROP_LINE3}, false);
        if (single_file())
            SetDlgItemTextW(dialog, IDC_PROP_DATE, FormatItemDate(items_[0].modified).c_str());
        else
            show(dialog, {IDC_PROP_DATE_LABEL, IDC_PROP_DATE}, false);
        loaded = load_link() && loaded;
        loaded = load_permission() && loaded;
        load_description();
        loading_ = false;
        name_changed_ = access_changed_ = permission_changed_ = description_changed_ = false;
    }
    if (!loaded)
        PostMessageW(dialog, WM_CLOSE, 0, 0);
    centre_dialog(dialog);
}

bool CPropertiesFileDlg::load_text_fields()
{
    const HWND dialog = window_;
    const std::wstring first = pidl_name(items_[0]);
    SetWindowTextW(
        dialog,
        ui::fill(ui::load_string(single() ? IDS_PROP_TITLE : IDS_PROP_TITLE_SEVERAL), {first}).c_str());
    if (single()) {
        SetDlgItemTextW(dialog, IDC_PROP_NAME, first.c_str());
    }
    else {
        SetDlgItemTextW(
            dialog, IDC_PROP_NAME,
            ui::fill(ui::load_string(IDS_PROP_COUNTS), {std::to_wstring(folders_), std::to_wstring(files_)})
                .c_str());
        HWND name = GetDlgItem(dialog, IDC_PROP_NAME);
        SendMessageW(name, EM_SETREADONLY, TRUE, 0);
        SetWindowLongPtrW(name, GWL_STYLE, GetWindowLongPtrW(name, GWL_STYLE) & ~(WS_BORDER | WS_TABSTOP));
        SetWindowLongPtrW(name, GWL_EXSTYLE, GetWindowLongPtrW(name, GWL_EXSTYLE) & ~WS_EX_CLIENTEDGE);
        SetWindowPos(name, nullptr, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
    }
    std::wstring type = pidl_type_name(items_[0]);
    if (!single()) {
        const bool same = std::all_of(items_.begin(), items_.end(),
                                      [&](const PIDLDATA& item) { return pidl_type_name(item) == type; });
        type = same ? ui::fill(ui::load_string(IDS_PROP_ALL_OF_TYPE), {type})
                    : ui::load_string(IDS_PROP_MULTIPLE_TYPES);
    }
    SetDlgItemTextW(dialog, IDC_PROP_TYPE, type.c_str());
    SetDlgItemTextW(dialog, IDC_PROP_LOCATION,
                    (ui::load_string(IDS_PROJNAME) + L"\\" + location_.path()).c_str());
    return true;
}

boost::shared_ptr<vfs::item> CPropertiesFileDlg::selected_item() const
{
    return folder_->get_item(pidl_name(items_[0]));
}

bool CPropertiesFileDlg::load_link()
{
    if (!single_file()) {
        show(window_, {IDC_PROP_LINK_LABEL, IDC_PROP_LINK}, false);
        return true;
    }
    try {
        const auto file = boost::dynamic_pointer_cast<vfs::file>(selected_item());
        if (!file)
            return false;
        SetDlgItemTextW(window_, IDC_PROP_LINK, file->get_link().c_str());
        return true;
    }
    catch (const vfs::exception& e) {
        show_error(window_, IDS_PROP_LINK_ERROR, e);
        return false;
    }
}

bool CPropertiesFileDlg::load_permission()
{
    if (!single_folder())
        return true;
    const std::initializer_list<int> controls = {IDC_PROP_ACCESS_LABEL, IDC_PROP_PUBLIC,  IDC_PROP_HIDDEN,
                                                 IDC_PROP_PRIVATE,      IDC_PROP_FRIENDS, IDC_PROP_FAMILY};
    show(window_, controls, true);
    move_by(window_, controls, -permission_shift_up);
    try {
        const auto directory = boost::dynamic_pointer_cast<vfs::directory>(selected_item());
        if (!directory)
            return false;
        const std::int32_t access = directory->get_access(), permission = directory->get_permission();
        const int radio = access == 1 ? IDC_PROP_PUBLIC : access == 2 ? IDC_PROP_HIDDEN : IDC_PROP_PRIVATE;
        CheckRadioButton(window_, IDC_PROP_PUBLIC, IDC_PROP_PRIVATE, radio);
        EnableWindow(GetDlgItem(window_, IDC_PROP_FRIENDS), radio == IDC_PROP_PRIVATE);
        EnableWindow(GetDlgItem(window_, IDC_PROP_FAMILY), radio == IDC_PROP_PRIVATE);
        CheckDlgButton(window_, IDC_PROP_FRIENDS, (permission & 1) ? BST_CHECKED : BST_UNCHECKED);
        CheckDlgButton(window_, IDC_PROP_FAMILY, (permission & 2) ? BST_CHECKED : BST_UNCHECKED);
        return true;
    }
    catch (const vfs::exception& e) {
        show_error(window_, IDS_PROP_PERMISSIONS_ERROR, e);
        return false;
    }
}

void CPropertiesFileDlg::load_description()
{
    if (!single_folder()) {
        show(window_, {IDC_PROP_DESCRIPTION_LABEL, IDC_PROP_DESCRIPTION}, false);
        return;
    }
    move_by(window_, {IDC_PROP_DESCRIPTION_LABEL, IDC_PROP_DESCRIPTION}, folder_shift_down);
    try {
        SetDlgItemTextW(window_, IDC_PROP_DESCRIPTION, selected_item()->get_description().c_str());
    }
    catch (const vfs::exception& e) {
        show_error(window_, IDS_PROP_DESCRIPTION_ERROR, e); // the dialog stays, description empty
    }
}

void CPropertiesFileDlg::show_size(std::uint64_t size)
{
    const std::wstring text =
        FormatFileSize(size, 0, 4, true) + L" (" + FormatFileSize(size, 0, 0, false) + L")";
    SetDlgItemTextW(window_, IDC_PROP_SIZE, text.c_str());
}

unsigned __stdcall CPropertiesFileDlg::size_proc(void* self)
{
    static_cast<CPropertiesFileDlg*>(self)->size_worker();
    return 0;
}

void CPropertiesFileDlg::size_worker()
{
    if (stop_)
        return;
    show_size(0);
    std::uint64_t total = 0;
    for (const PIDLDATA& item : items_) {
        if (item.kind == 2)
            total += item.size;
    }
    if (stop_)
        return;
    show_size(total);
    for (const PIDLDATA& item : items_) {
        if (item.kind != 1)
            continue;
        try {
            if (const auto directory =
                    boost::dynamic_pointer_cast<vfs::directory>(folder_->get_item(pidl_name(item))))
                add_directory(directory, total);
        }
        catch (const vfs::exception& e) {
            show_error(window_, IDS_PROP_SIZE_ERROR, e);
        }
        if (stop_)
            return;
    }
}

bool CPropertiesFileDlg::add_directory(const boost::shared_ptr<vfs::directory>& directory,
                                       std::uint64_t& total)
{
    try {
        const vfs::item_list children = directory->get_items();
        for (const auto& child : children) {
            if (child->get_type() == vfs::typeFile)
                if (const auto file = boost::dynamic_pointer_cast<vfs::file>(child))
                    total += static_cast<std::uint64_t>(file->get_size());
        }
        if (stop_)
            return false;
        show_size(total);
        for (const auto& child : children) {
            if (child->get_type() != vfs::typeDirectory)
                continue;
            const auto folder = boost::dynamic_pointer_cast<vfs::directory>(child);
            if (folder && !add_directory(folder, total))
                return false;
        }
    }
    catch (const vfs::exception& e) {
        show_error(window_, IDS_PROP_SIZE_ERROR, e); // what was counted so far stays counted
    }
    return !stop_;
}

void CPropertiesFileDlg::changed(int control)
{
    const HWND dialog = window_;
    switch (control) {
    case IDC_PROP_NAME:
        name_changed_ = true;
        break;
    case IDC_PROP_DESCRIPTION:
        description_changed_ = true;
        break;
    case IDC_PROP_PUBLIC:
    case IDC_PROP_HIDDEN:
    case IDC_PROP_PRIVATE:
        access_changed_ = true;
        EnableWindow(GetDlgItem(dialog, IDC_PROP_FRIENDS), control == IDC_PROP_PRIVATE);
        EnableWindow(GetDlgItem(dialog, IDC_PROP_FAMILY), control == IDC_PROP_PRIVATE);
        break;
    default:
        permission_changed_ = true;
    }
    if (!loading_)
        EnableWindow(GetDlgItem(dialog, IDC_PROP_APPLY), TRUE);
}

bool CPropertiesFileDlg::apply()
{
    const HWND dialog = window_;
    bool ok = true;
    const auto step = [&](bool wanted, auto&& work) {
        if (!wanted)
            return;
        try {
            ok = work() && ok;
        }
        catch (const vfs::exception& e) {
            show_error(dialog, IDS_PROP_DESCRIPTION_ERROR, e);
            ok = false;
        }
    };
    step(name_changed_ && single(), [&] {
        const std::wstring name = dialog_item_text(dialog, IDC_PROP_NAME);
        PIDLDATA& record = items_[0];
        folder_->rename_item(pidl_name(record), name);
        const PIDLDATA before = record;
        const std::size_t length = std::min(name.size(), pidl_name_chars - 1);
        std::fill(std::begin(record.name), std::end(record.name), L'\0');
        std::copy_n(name.begin(), length, record.name);
        pidl_ptr old_list((location_ + CPIDLList(before)).serialize());
        pidl_ptr new_list((location_ + CPIDLList(record)).serialize());
        SHChangeNotify(pidl_is_directory(record) ? SHCNE_RENAMEFOLDER : SHCNE_RENAMEITEM,
                       SHCNF_IDLIST | SHCNF_FLUSH, old_list.get(), new_list.get());
        return true;
    });
    step(access_changed_ || permission_changed_, [&] {
        const std::int32_t access = checked(dialog, IDC_PROP_PUBLIC)   ? 1
                                    : checked(dialog, IDC_PROP_HIDDEN) ? 2
                                                                       : 0;
        const std::int32_t permission =
            (checked(dialog, IDC_PROP_FAMILY) ? 2 : 0) + (checked(dialog, IDC_PROP_FRIENDS) ? 1 : 0);
        const auto directory = boost::dynamic_pointer_cast<vfs::directory>(selected_item());
        if (!directory)
            return false;
        directory->set_access(access, permission);
        return true;
    });
    step(description_changed_, [&] {
        const auto directory = boost::dynamic_pointer_cast<vfs::directory>(selected_item());
        if (!directory)
            return false;
        directory->set_description(dialog_item_text(dialog, IDC_PROP_DESCRIPTION));
        return true;
    });
    if (ok) {
        name_changed_ = access_changed_ = permission_changed_ = description_changed_ = false;
        EnableWindow(GetDlgItem(dialog, IDC_PROP_APPLY), FALSE);
    }
    return ok;
}

void CPropertiesFileDlg::on_destroy()
{
    stop_ = true;
    // The worker may be showing an error box owned by this window: keep its messages moving
    // until it has ended, so it never outlives the window it writes to.
    if (!size_thread_)
        return;
    const HANDLE worker = size_thread_.get();
    while (MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

void ShowProperties(IShellFolder* folder_object, const item_selection& selection)
{
    auto& dialogs = open_dialogs();
    dialogs.erase(std::remove_if(dialogs.begin(), dialogs.end(), [](const auto& d) { return d->ended(); }),
                  dialogs.end());
    const CPIDLList location = selection.absolute();
    for (const auto& d : dialogs) {
        if (d->shows(location, selection.items)) {
            // A dialog still being created comes up on its own.
            if (const HWND window = d->window()) {
                SetForegroundWindow(window);
                BringWindowToTop(window);
            }
            return;
        }
    }
    auto dialog = std::make_shared<CPropertiesFileDlg>(folder_object, selection);
    if (dialog->start())
        dialogs.push_back(std::move(dialog));
}
