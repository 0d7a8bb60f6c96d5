// Drives Wine's Explorer through the demo without a person: opens the computer folder and the
// Quillmere drive through the Location box, answers the login dialog, opens a subfolder, and
// saves a PNG of the screen after each step. Used by scripts/demo.sh --headless.
//
// Usage: demo_driver.exe SHOTS_DIR USER PASSWORD [SUBFOLDER]
#include "module/ids.h"

#include <objidl.h>
#include <gdiplus.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const wchar_t* const computer_folder = L"::{20D04FE0-3AEA-1069-A2D8-08002B30309D}";
const int login_edit = 301;
const int password_edit = 302;

std::wstring shots_dir;
int failures = 0;

void say(const std::wstring& text)
{
    std::fwprintf(stdout, L"demo_driver: %ls\n", text.c_str());
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
};

BOOL CALLBACK find_top(HWND hwnd, LPARAM param)
{
    auto* s = reinterpret_cast<search*>(param);
    if (IsWindowVisible(hwnd) && class_of(hwnd) == s->cls) {
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

bool png_encoder(CLSID* clsid)
{
    UINT count = 0, size = 0;
    Gdiplus::GetImageEncodersSize(&count, &size);
    std::vector<BYTE> buffer(size ? size : 1);
    auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    Gdiplus::GetImageEncoders(count, size, codecs);
    for (UINT i = 0; i < count; ++i) {
        if (wcscmp(codecs[i].MimeType, L"image/png") == 0) {
            *clsid = codecs[i].Clsid;
            return true;
        }
    }
    return false;
}

void screenshot(const std::wstring& name)
{
    Sleep(1500); // let the view paint
    const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    CLSID png;
    bool saved = false;
    const std::wstring path = shots_dir + L"\\" + name + L".png";
    if (png_encoder(&png)) {
        Gdiplus::Bitmap image(bitmap, nullptr);
        saved = image.Save(path.c_str(), &png, nullptr) == Gdiplus::Ok;
    }
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
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
        std::fwprintf(stderr, L"usage: demo_driver SHOTS_DIR USER PASSWORD [SUBFOLDER]\n");
        return 2;
    }
    shots_dir = argv[1];
    const std::wstring user = argv[2], password = argv[3];
    const std::wstring subfolder = argc > 4 ? argv[4] : L"";

    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);

    HWND explorer = wait_for_top(L"ExplorerWClass", 60000);
    if (!explorer) {
        say(L"Explorer's window did not appear");
        return 1;
    }
    MoveWindow(explorer, 0, 0, 900, 600, TRUE);
    screenshot(L"1-explorer");

    navigate(explorer, computer_folder);
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
    screenshot(L"4-drive");

    if (!subfolder.empty()) {
        navigate(explorer, drive + L"\\" + subfolder);
        screenshot(L"5-subfolder");
    }

    PostMessageW(explorer, WM_CLOSE, 0, 0);
    Gdiplus::GdiplusShutdown(token);
    say(failures ? L"finished with failures" : L"finished");
    return failures ? 1 : 0;
}
