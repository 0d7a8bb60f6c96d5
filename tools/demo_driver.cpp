// Drives Wine's Explorer through the demo without a person: opens the computer folder and the
// Quillmere drive through the Location box, answers the login dialog, opens the demo account's
// Home folder and a file's context menu there, and saves a PNG of the screen after each step.
// Each step is checked in what the view shows (its items read from Explorer's list view), for
// the subfolder in what the dev service saw, for the menu in the popup Explorer shows; no error
// box may be left open. Exits 1 when any check fails.
// Used by scripts/demo.sh --headless.
//
// Usage: demo_driver.exe SHOTS_DIR USER PASSWORD
#include "com/handle.h"
#include "module/ids.h"
#include "screen_png.h"

#include <windows.h>
#include <commctrl.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

const wchar_t* const computer_folder = L"::{20D04FE0-3AEA-1069-A2D8-08002B30309D}";
const wchar_t* const control_url = L"http://127.0.0.1:8460/_control/requests?action=list_dir&user=demo";
const int login_edit = 301;
const int password_edit = 302;

// What the dev service's demo account holds.
const std::vector<std::wstring> demo_folders = {L"Home", L"Music", L"Photos", L"Partag\u00e9 publiquement",
                                                L"Projets 2024"};
const wchar_t* const demo_subfolder = L"Home";
const wchar_t* const demo_file = L"Read me.txt";
const std::vector<std::wstring> demo_home = {L"Read me.txt", L"Caf\u00e9 cr\u00e8me \u2013 recette.txt",
                                             L"Lettres \u00e0 Zo\u00eb"};

std::wstring shots_dir;
int failures = 0;

// In UTF-8: the demo account's names are not all in the console's code page.
void say(const std::wstring& text)
{
    const std::wstring line = L"demo_driver: " + text + L"\n";
    const int size = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), bytes.data(), size, nullptr,
                        nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

std::wstring class_of(HWND hwnd)
{
    wchar_t name[64] = {};
    GetClassNameW(hwnd, name, 64);
    return name;
}

struct search {
    std::wstring cls;
    HWND found = nullptr;
    DWORD pid = 0; // top-level windows of this process only; 0 for any
};

DWORD process_of(HWND hwnd)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    return pid;
}

BOOL CALLBACK find_top(HWND hwnd, LPARAM param)
{
    auto* s = reinterpret_cast<search*>(param);
    if (IsWindowVisible(hwnd) && class_of(hwnd) == s->cls && (!s->pid || process_of(hwnd) == s->pid)) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK find_child(HWND hwnd, LPARAM param)
{
    auto* s = reinterpret_cast<search*>(param);
    if (class_of(hwnd) == s->cls) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND wait_for_top(const std::wstring& cls, DWORD timeout_ms)
{
    for (DWORD waited = 0; waited < timeout_ms; waited += 100) {
        search s{cls};
        EnumWindows(find_top, reinterpret_cast<LPARAM>(&s));
        if (s.found)
            return s.found;
        Sleep(100);
    }
    return nullptr;
}

HWND child_of_class(HWND parent, const std::wstring& cls)
{
    search s{cls};
    EnumChildWindows(parent, find_child, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

void screenshot(const std::wstring& name)
{
    Sleep(1500); // let the view paint
    const RECT whole{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    const std::wstring path = shots_dir + L"\\" + name + L".png";
    const bool saved = qm_tools::save_screen_png(whole, path);
    say((saved ? L"saved " : L"could not save ") + path);
    if (!saved)
        ++failures;
}

// Types a path into the Location box and presses Enter, as a user would.
bool navigate(HWND explorer, const std::wstring& path)
{
    HWND combo = child_of_class(explorer, L"ComboBoxEx32");
    HWND edit = combo ? child_of_class(combo, L"Edit") : nullptr;
    if (!edit) {
        say(L"no Location box found");
        return false;
    }
    say(L"location: " + path);
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()), SMTO_ABORTIFHUNG, 5000,
                        &ignored);
    PostMessageW(edit, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    PostMessageW(edit, WM_CHAR, VK_RETURN, 0x001C0001);
    PostMessageW(edit, WM_KEYUP, VK_RETURN, 0xC01C0001);
    return true;
}

HWND wait_for_login(DWORD timeout_ms)
{
    for (DWORD waited = 0; waited < timeout_ms; waited += 100) {
        search s{L"#32770"};
        EnumWindows(find_top, reinterpret_cast<LPARAM>(&s));
        if (s.found && GetDlgItem(s.found, login_edit) && GetDlgItem(s.found, password_edit))
            return s.found;
        Sleep(100);
    }
    return nullptr;
}

// Memory in another process, freed with the object.
class remote_memory {
public:
    remote_memory(HANDLE process, SIZE_T size)
        : process_(process), address_(VirtualAllocEx(process, nullptr, size, MEM_COMMIT, PAGE_READWRITE))
    {
    }
    ~remote_memory()
    {
        if (address_)
            VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
    }
    remote_memory(const remote_memory&) = delete;
    remote_memory& operator=(const remote_memory&) = delete;
    BYTE* get() const { return static_cast<BYTE*>(address_); }

private:
    HANDLE process_;
    void* address_;
};

// The names a list view shows, read in its own process: the item texts are asked for with a
// buffer that lives there.
std::vector<std::wstring> list_view_items(HWND explorer)
{
    std::vector<std::wstring> names;
    HWND list = child_of_class(explorer, L"SysListView32");
    DWORD pid = 0;
    if (!list || !GetWindowThreadProcessId(list, &pid))
        return names;
    com::handle process(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid));
    if (!process)
        return names;
    constexpr int text_chars = 300;
    remote_memory remote(process.get(), sizeof(LVITEMW) + text_chars * sizeof(wchar_t));
    if (!remote.get())
        return names;
    DWORD_PTR count = 0;
    SendMessageTimeoutW(list, LVM_GETITEMCOUNT, 0, 0, SMTO_ABORTIFHUNG, 5000, &count);
    for (DWORD_PTR i = 0; i < count; ++i) {
        LVITEMW item = {};
        item.cchTextMax = text_chars;
        item.pszText = reinterpret_cast<LPWSTR>(remote.get() + sizeof(LVITEMW));
        wchar_t text[text_chars + 1] = {};
        DWORD_PTR length = 0;
        if (!WriteProcessMemory(process.get(), remote.get(), &item, sizeof item, nullptr) ||
            !SendMessageTimeoutW(list, LVM_GETITEMTEXTW, i, reinterpret_cast<LPARAM>(remote.get()),
                                 SMTO_ABORTIFHUNG, 5000, &length) ||
            !ReadProcessMemory(process.get(), item.pszText, text, text_chars * sizeof(wchar_t), nullptr))
            continue;
        names.emplace_back(text);
    }
    return names;
}

std::wstring joined(const std::vector<std::wstring>& names)
{
    std::wstring text;
    for (const auto& name : names)
        text += (text.empty() ? L"" : L" | ") + name;
    return text;
}

// Waits until the view lists every expected name; a failure names what it shows instead.
bool view_shows(HWND explorer, const std::vector<std::wstring>& expected, const std::wstring& step)
{
    std::vector<std::wstring> shown;
    for (DWORD waited = 0; waited < 30000; waited += 250) {
        shown = list_view_items(explorer);
        if (std::all_of(expected.begin(), expected.end(), [&](const std::wstring& name) {
                return std::find(shown.begin(), shown.end(), name) != shown.end();
            })) {
            say(step + L": the view shows " + joined(shown));
            return true;
        }
        Sleep(250);
    }
    say(step + L": FAILED: expected " + joined(expected) + L", the view shows " + joined(shown));
    ++failures;
    return false;
}

// The dev service's record of the demo account's listings, as JSON text.
std::string service_listings()
{
    std::string body;
    HINTERNET net = InternetOpenW(L"demo_driver", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (!net)
        return body;
    if (HINTERNET url = InternetOpenUrlW(net, control_url, nullptr, 0, INTERNET_FLAG_RELOAD, 0)) {
        char buffer[4096];
        DWORD got = 0;
        while (InternetReadFile(url, buffer, sizeof buffer, &got) && got)
            body.append(buffer, got);
        InternetCloseHandle(url);
    }
    InternetCloseHandle(net);
    return body;
}

// The folders (dir_id values) that the service listed, in order.
std::vector<std::string> listed_folders(const std::string& json)
{
    std::vector<std::string> ids;
    const std::string key = "\"dir_id\": \"";
    for (std::size_t at = json.find(key); at != std::string::npos; at = json.find(key, at + 1)) {
        const std::size_t begin = at + key.size(), end = json.find('"', begin);
        if (end != std::string::npos)
            ids.push_back(json.substr(begin, end - begin));
    }
    return ids;
}

// How often the service listed a folder other than the root.
std::size_t subfolder_listings()
{
    const auto ids = listed_folders(service_listings());
    return ids.size() - static_cast<std::size_t>(std::count(ids.begin(), ids.end(), std::string("0")));
}

// Waits until the service has listed a folder other than the root more often than before.
bool service_listed_a_subfolder(std::size_t before)
{
    for (DWORD waited = 0; waited < 30000; waited += 250) {
        if (subfolder_listings() > before)
            return true;
        Sleep(250);
    }
    say(L"subfolder: FAILED: the dev service never listed it");
    ++failures;
    return false;
}

// Where the view shows an item, in screen coordinates; false when it does not show it.
bool item_point(HWND explorer, const std::wstring& name, POINT& point)
{
    const auto names = list_view_items(explorer);
    const auto at = std::find(names.begin(), names.end(), name);
    HWND list = child_of_class(explorer, L"SysListView32");
    DWORD pid = 0;
    if (at == names.end() || !list || !GetWindowThreadProcessId(list, &pid))
        return false;
    com::handle process(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid));
    if (!process)
        return false;
    remote_memory remote(process.get(), sizeof(RECT));
    RECT rect = {LVIR_LABEL, 0, 0, 0};
    DWORD_PTR ok = 0;
    if (!remote.get() || !WriteProcessMemory(process.get(), remote.get(), &rect, sizeof rect, nullptr) ||
        !SendMessageTimeoutW(list, LVM_GETITEMRECT, static_cast<WPARAM>(at - names.begin()),
                             reinterpret_cast<LPARAM>(remote.get()), SMTO_ABORTIFHUNG, 5000, &ok) ||
        !ok || !ReadProcessMemory(process.get(), remote.get(), &rect, sizeof rect, nullptr))
        return false;
    point = {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
    return ClientToScreen(list, &point);
}

// Right-clicks an item as the user's mouse would: the cursor moves there first, so the menu
// opens where it points.
bool right_click_item(HWND explorer, const std::wstring& name)
{
    POINT at = {};
    HWND list = child_of_class(explorer, L"SysListView32");
    if (!item_point(explorer, name, at)) {
        say(L"the view does not show " + name);
        return false;
    }
    SetCursorPos(at.x, at.y);
    POINT client = at;
    ScreenToClient(list, &client);
    PostMessageW(list, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(client.x, client.y));
    PostMessageW(list, WM_RBUTTONUP, 0, MAKELPARAM(client.x, client.y));
    return true;
}

// The popup menu Explorer shows, once it shows one within the time.
HWND wait_for_menu(HWND explorer, DWORD timeout_ms)
{
    search s{L"#32768", nullptr, process_of(explorer)};
    for (DWORD waited = 0;; waited += 100) {
        EnumWindows(find_top, reinterpret_cast<LPARAM>(&s));
        if (s.found || waited >= timeout_ms)
            return s.found;
        Sleep(100);
    }
}

// Opens an item's context menu with a right click and closes it with Escape. Wine's view shows
// a menu only when the folder hands one out for the selection (GetUIObjectOf, IContextMenu).
void show_item_menu(HWND explorer, const std::wstring& item, const std::wstring& shot)
{
    HWND menu = right_click_item(explorer, item) ? wait_for_menu(explorer, 10000) : nullptr;
    say(menu ? L"item menu: shown for " + item : L"item menu: FAILED: no menu for " + item);
    failures += menu ? 0 : 1;
    screenshot(shot);
    if (!menu)
        return;
    PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
    for (int i = 0; i < 50 && wait_for_menu(explorer, 0); ++i)
        Sleep(100);
}

struct chart_search {
    DWORD pid;
    HWND sheet = nullptr;
};

BOOL CALLBACK find_chart(HWND hwnd, LPARAM param)
{
    auto* s = reinterpret_cast<chart_search*>(param);
    if (process_of(hwnd) == s->pid && IsWindowVisible(hwnd) && child_of_class(hwnd, L"PieChart")) {
        s->sheet = hwnd;
        return FALSE;
    }
    return TRUE;
}

// The drive's Properties from its context menu in the computer folder: the property sheet with
// the drive's page, its chart and the account's name. Properties is the menu's last item.
void show_drive_properties(HWND explorer, const std::wstring& user, const std::wstring& shot)
{
    navigate(explorer, computer_folder);
    HWND menu = view_shows(explorer, {L"Quillmere"}, L"computer folder again") &&
                        right_click_item(explorer, L"Quillmere")
                    ? wait_for_menu(explorer, 10000)
                    : nullptr;
    chart_search s{process_of(explorer)};
    if (menu) {
        PostMessageW(menu, WM_KEYDOWN, VK_UP, 0);
        PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
        for (int i = 0; i < 100 && !s.sheet; ++i, Sleep(100))
            EnumWindows(find_chart, reinterpret_cast<LPARAM>(&s));
    }
    std::wstring shown;
    if (s.sheet) {
        HWND page = GetParent(child_of_class(s.sheet, L"PieChart"));
        for (int i = 0; i < 100 && shown.empty(); ++i, Sleep(100)) {
            wchar_t text[128] = {};
            DWORD_PTR copied = 0;
            SendMessageTimeoutW(GetDlgItem(page, 403), WM_GETTEXT, 128, reinterpret_cast<LPARAM>(text),
                                SMTO_ABORTIFHUNG, 5000, &copied);
            shown = text;
        }
    }
    const bool ok = s.sheet && shown == user;
    say(ok ? L"drive properties: the usage page shows " + user
           : L"drive properties: FAILED: " + std::wstring(s.sheet
                                                              ? L"the page shows user '" + shown + L"'"
                                                              : L"no property sheet with the usage chart"));
    failures += ok ? 0 : 1;
    screenshot(shot);
    if (s.sheet)
        PostMessageW(s.sheet, WM_CLOSE, 0, 0);
    else if (menu)
        PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
    Sleep(500);
}

struct open_boxes {
    DWORD pid;
    std::vector<std::wstring> found;
};

BOOL CALLBACK collect_box(HWND hwnd, LPARAM param)
{
    auto* boxes = reinterpret_cast<open_boxes*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == boxes->pid && IsWindowVisible(hwnd) && class_of(hwnd) == L"#32770") {
        wchar_t caption[256] = {}, text[1024] = {};
        GetWindowTextW(hwnd, caption, 256);
        GetDlgItemTextW(hwnd, 0xFFFF, text, 1024);
        boxes->found.push_back(std::wstring(caption) + L": " + text);
    }
    return TRUE;
}

// Fails the run for every dialog or message box that Explorer's process still shows.
void expect_no_box(HWND explorer)
{
    open_boxes boxes{};
    GetWindowThreadProcessId(explorer, &boxes.pid);
    EnumWindows(collect_box, reinterpret_cast<LPARAM>(&boxes));
    for (const auto& box : boxes.found) {
        say(L"FAILED: a box is left open: " + box);
        ++failures;
    }
}

std::wstring guid_text(const GUID& g)
{
    wchar_t text[40] = {};
    StringFromGUID2(g, text, 40);
    return text;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4) {
        std::fwprintf(stderr, L"usage: demo_driver SHOTS_DIR USER PASSWORD\n");
        return 2;
    }
    shots_dir = argv[1];
    const std::wstring user = argv[2], password = argv[3];

    HWND explorer = wait_for_top(L"ExplorerWClass", 60000);
    if (!explorer) {
        say(L"Explorer's window did not appear");
        return 1;
    }
    MoveWindow(explorer, 0, 0, 900, 600, TRUE);
    screenshot(L"1-explorer");

    navigate(explorer, computer_folder);
    view_shows(explorer, {L"Quillmere"}, L"computer folder");
    screenshot(L"2-computer-folder");

    const std::wstring drive = std::wstring(computer_folder) + L"\\::" + guid_text(CLSID_ShellFolderImpl);
    navigate(explorer, drive);
    if (HWND login = wait_for_login(30000)) {
        SetDlgItemTextW(login, login_edit, user.c_str());
        SetDlgItemTextW(login, password_edit, password.c_str());
        screenshot(L"3-login-dialog");
        PostMessageW(GetDlgItem(login, IDOK), BM_CLICK, 0, 0);
        for (int i = 0; i < 100 && IsWindow(login); ++i)
            Sleep(100);
    }
    else {
        say(L"no login dialog appeared (already logged in?)");
    }
    view_shows(explorer, demo_folders, L"drive");
    screenshot(L"4-drive");

    const std::size_t listed_before = subfolder_listings();
    navigate(explorer, drive + L"\\" + demo_subfolder);
    if (service_listed_a_subfolder(listed_before))
        view_shows(explorer, demo_home, L"subfolder");
    screenshot(L"5-subfolder");
    expect_no_box(explorer);

    show_item_menu(explorer, demo_file, L"6-item-menu");
    expect_no_box(explorer);

    show_drive_properties(explorer, user, L"7-drive-properties");
    expect_no_box(explorer);

    PostMessageW(explorer, WM_CLOSE, 0, 0);
    say(failures ? L"finished with failures" : L"finished");
    return failures ? 1 : 0;
}
