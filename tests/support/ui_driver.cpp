#include "support/ui_driver.h"

#include "support/paths.h"
#include "screen_png.h"

#include <gtest/gtest.h>

#include <vector>

namespace qm_test {

namespace {

const UINT read_timeout_ms = 2000;

BOOL CALLBACK find_visible_dialog(HWND hwnd, LPARAM found)
{
    wchar_t cls[64] = {};
    GetClassNameW(hwnd, cls, 64);
    if (!IsWindowVisible(hwnd) || wcscmp(cls, L"#32770") != 0)
        return TRUE;
    *reinterpret_cast<HWND*>(found) = hwnd;
    return FALSE;
}

HWND find_dialog(DWORD thread_id)
{
    HWND found = nullptr;
    EnumThreadWindows(thread_id, find_visible_dialog, reinterpret_cast<LPARAM>(&found));
    return found;
}

} // namespace

std::wstring window_text(HWND hwnd)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, read_timeout_ms, &length))
        return {};
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                             SMTO_ABORTIFHUNG, read_timeout_ms, &copied))
        return {};
    text.resize(copied);
    return text;
}

bool save_window_png(HWND hwnd, const std::wstring& path)
{
    RECT rc;
    return GetWindowRect(hwnd, &rc) && qm_tools::save_screen_png(rc, path, hwnd);
}

std::wstring dialog::caption() const
{
    return window_text(hwnd_);
}

std::wstring dialog::message() const
{
    return item_text(0xFFFF);
}

std::wstring dialog::item_text(int id) const
{
    HWND control = GetDlgItem(hwnd_, id);
    return control ? window_text(control) : std::wstring();
}

void dialog::set_item_text(int id, const std::wstring& text) const
{
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(GetDlgItem(hwnd_, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                        SMTO_ABORTIFHUNG, read_timeout_ms, &ignored);
}

void dialog::type(int id, const std::wstring& text) const
{
    HWND control = GetDlgItem(hwnd_, id);
    for (const wchar_t c : text)
        PostMessageW(control, WM_CHAR, c, 1);
}

void dialog::click(int id) const
{
    HWND button = GetDlgItem(hwnd_, id);
    if (button)
        PostMessageW(button, BM_CLICK, 0, 0);
    else // message boxes without a Cancel button still answer IDCANCEL to a close
        PostMessageW(hwnd_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
}

HWND dialog::focus() const
{
    // Focus belongs to the dialog's thread; ask that thread which control has it.
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(GetWindowThreadProcessId(hwnd_, nullptr), &info) ? info.hwndFocus : nullptr;
}

void dialog::press(UINT vk) const
{
    HWND target = focus() ? focus() : hwnd_;
    PostMessageW(target, WM_KEYDOWN, vk, 0);
    PostMessageW(target, WM_KEYUP, vk, 0xC0000000);
}

std::wstring dialog::save_png(const std::wstring& name) const
{
    const std::wstring path = artifacts_dir() + L"\\" + name + L".png";
    return save_window_png(hwnd_, path) ? path : std::wstring();
}

dialog_driver::dialog_driver(handler on_dialog, std::chrono::milliseconds deadline)
    : thread_id_(GetCurrentThreadId()), on_dialog_(std::move(on_dialog)), deadline_(deadline)
{
    worker_ = std::thread([this] { run(); });
}

dialog_driver::~dialog_driver()
{
    stop_ = true;
    if (worker_.joinable())
        worker_.join();
}

void dialog_driver::run()
{
    const auto give_up = std::chrono::steady_clock::now() + deadline_;
    while (!stop_) {
        if (HWND hwnd = find_dialog(thread_id_)) {
            // Let the dialog finish its WM_INITDIALOG before it is read and answered.
            DWORD_PTR ignored = 0;
            SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, read_timeout_ms, &ignored);
            dialog d(hwnd);
            on_dialog_(d);
            answered_ = true;
            return;
        }
        if (std::chrono::steady_clock::now() > give_up) {
            failure_ = L"no dialog appeared within " + std::to_wstring(deadline_.count()) + L" ms";
            return;
        }
        Sleep(10);
    }
}

void dialog_driver::wait()
{
    if (worker_.joinable())
        worker_.join();
    if (!answered_) {
        const std::string text(failure_.begin(), failure_.end());
        ADD_FAILURE() << "dialog driver: " << (text.empty() ? "stopped before a dialog appeared" : text);
    }
}

} // namespace qm_test
