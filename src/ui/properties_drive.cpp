#include "ui/properties_drive.h"

#include "module/module.h"
#include "module/resource.h"
#include "ui/texts.h"
#include "shell/columns.h"
#include "shell/connection.h"

#include <algorithm>

namespace {

// Loading waits for this message, so the sheet is on screen before the service is asked.
constexpr UINT load_message = WM_USER + 1;

std::uint64_t size_of(std::int64_t bytes)
{
    return static_cast<std::uint64_t>(std::max<std::int64_t>(bytes, 0));
}

// The chart's control names a class nobody else registers; its painting is replaced at once.
void register_chart_class()
{
    WNDCLASSW chart = {};
    chart.lpfnWndProc = DefWindowProcW;
    chart.hInstance = CQuillmereModule::instance();
    chart.lpszClassName = L"PieChart";
    chart.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    RegisterClassW(&chart); // fails harmlessly when registered already
}

} // namespace

drive_page_texts drive_page(const vfs::user_info& account, const vfs::storage_info& storage)
{
    drive_page_texts t;
    t.user_name = account.user_name;
    t.user_level = account.user_level;
    t.used = FormatFileSize(size_of(storage.space_used), 0, 0, false);
    t.used_short = FormatFileSize(size_of(storage.space_used), 0, 4, true);
    if (storage.capacity) {
        t.free = FormatFileSize(size_of(storage.space_free), 0, 0, false);
        t.free_short = FormatFileSize(size_of(storage.space_free), 0, 4, true);
        t.capacity = FormatFileSize(size_of(storage.capacity), 0, 0, false);
        t.capacity_short = FormatFileSize(size_of(storage.capacity), 0, 4, true);
        t.chart = static_cast<unsigned>(storage.space_used * 1000 / storage.capacity);
    }
    else {
        t.free = t.capacity = ui::load_string(IDS_UNLIMITED);
    }
    return t;
}

const QITAB* CPropertiesDriveDlg::interface_table()
{
    static const QITAB table[] = {
        QITABENT(CPropertiesDriveDlg, IShellPropSheetExt), QITABENT(CPropertiesDriveDlg, IShellExtInit), {}};
    return table;
}

IFACEMETHODIMP CPropertiesDriveDlg::AddPages(LPFNSVADDPROPSHEETPAGE add, LPARAM parameter)
{
    if (!add)
        return E_INVALIDARG;
    LoadStringW(CQuillmereModule::instance(), IDS_PROPERTIES_GENERAL, title_, 80);
    register_chart_class();
    PROPSHEETPAGEW page = {};
    page.dwSize = PROPSHEETPAGEW_V1_SIZE;
    page.dwFlags = PSP_USETITLE | PSP_USECALLBACK;
    page.hInstance = CQuillmereModule::instance();
    page.pszTemplate = MAKEINTRESOURCEW(IDD_PROPERTIES_DRIVE);
    page.pszTitle = title_;
    page.pfnDlgProc = page_proc;
    page.lParam = reinterpret_cast<LPARAM>(this);
    page.pfnCallback = page_callback;
    HPROPSHEETPAGE handle = CreatePropertySheetPageW(&page);
    if (!handle)
        return E_OUTOFMEMORY;
    if (!add(handle, parameter)) {
        DestroyPropertySheetPage(handle);
        return E_FAIL;
    }
    return 1; // the page to show first
}

// The page holds a reference on the object for as long as the sheet keeps the page.
UINT CALLBACK CPropertiesDriveDlg::page_callback(HWND, UINT message, LPPROPSHEETPAGEW page)
{
    auto* self = reinterpret_cast<CPropertiesDriveDlg*>(page->lParam);
    switch (message) {
    case PSPCB_ADDREF:
        self->AddRef();
        self->page_reference_ = true;
        break;
    case PSPCB_CREATE:
        if (!self->page_reference_) {
            self->AddRef();
            self->page_reference_ = true;
        }
        return 1;
    case PSPCB_RELEASE:
        self->Release();
        break;
    }
    return 0;
}

INT_PTR CALLBACK CPropertiesDriveDlg::page_proc(HWND window, UINT message, WPARAM, LPARAM lparam)
{
    if (message == WM_INITDIALOG) {
        auto* self =
            reinterpret_cast<CPropertiesDriveDlg*>(reinterpret_cast<PROPSHEETPAGEW*>(lparam)->lParam);
        SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        self->on_init(window);
        return TRUE;
    }
    auto* self = reinterpret_cast<CPropertiesDriveDlg*>(GetWindowLongPtrW(window, DWLP_USER));
    if (!self)
        return FALSE;
    if (message == load_message) {
        if (!self->load())
            PostMessageW(GetParent(window), WM_CLOSE, 0, 0);
        return TRUE;
    }
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, DWLP_USER, 0);
        self->page_ = nullptr;
    }
    return FALSE;
}

void CPropertiesDriveDlg::on_init(HWND window)
{
    page_ = window;
    SetDlgItemTextW(window, IDC_DRIVE_NAME, L"Quillmere");
    const HINSTANCE module = CQuillmereModule::instance();
    const HWND sheet = GetParent(window);
    SendMessageW(sheet, WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(LoadIconW(module, MAKEINTRESOURCEW(IDI_DRIVE))));
    SendMessageW(sheet, WM_SETICON, ICON_BIG,
                 reinterpret_cast<LPARAM>(LoadIconW(module, MAKEINTRESOURCEW(IDI_DRIVE))));
    chart_.SubclassWindow(GetDlgItem(window, IDC_DRIVE_CHART));
    PostMessageW(window, load_message, 0, 0);
}

bool CPropertiesDriveDlg::load()
{
    boost::shared_ptr<vfs::client> client;
    boost::shared_ptr<vfs::item> root;
    // Asks for a login when nobody is logged in; its failures are shown there.
    if (FAILED(connect_session(page_, false, client, root)))
        return false;
    drive_page_texts t;
    try {
        const vfs::user_info account = client->get_user_info();
        t = drive_page(account, client->get_storage_info());
    }
    catch (const vfs::exception& e) {
        show_vfs_error(page_, e);
        return false;
    }
    const std::pair<int, const std::wstring*> fields[] = {
        {IDC_DRIVE_USER_NAME, &t.user_name}, {IDC_DRIVE_USER_LEVEL, &t.user_level},
        {IDC_DRIVE_USED, &t.used},           {IDC_DRIVE_USED_SHORT, &t.used_short},
        {IDC_DRIVE_FREE, &t.free},           {IDC_DRIVE_FREE_SHORT, &t.free_short},
        {IDC_DRIVE_CAPACITY, &t.capacity},   {IDC_DRIVE_CAPACITY_SHORT, &t.capacity_short},
    };
    for (const auto& [id, text] : fields)
        SetDlgItemTextW(page_, id, text->c_str());
    chart_.set_value(t.chart);
    InvalidateRect(GetDlgItem(page_, IDC_DRIVE_CHART), nullptr, TRUE);
    return true;
}
