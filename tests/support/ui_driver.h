// Answers the dialogs and message boxes a test makes its own thread show.
//
//   qm_test::dialog_driver driver([](qm_test::dialog& d) {
//       EXPECT_EQ(d.caption(), L"Delete");
//       d.save_png(L"delete-box");
//       d.click(IDYES);
//   });
//   int answer = MessageBoxW(nullptr, L"...", L"Delete", MB_YESNO);
//   driver.wait();   // fails the test with a clear message when no dialog came in time
//
// A helper thread watches only the windows of the thread that created the driver (never a
// global FindWindow), reads texts with SendMessageTimeout and clicks with PostMessage, so a
// click that opens a nested box cannot block it.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace qm_test {

class dialog {
public:
    explicit dialog(HWND hwnd) : hwnd_(hwnd) {}
    HWND hwnd() const { return hwnd_; }
    std::wstring caption() const;
    // The message text of a message box (its static control 0xFFFF).
    std::wstring message() const;
    std::wstring item_text(int id) const;
    void set_item_text(int id, const std::wstring& text) const;
    // Types text into a control as keyboard characters (one WM_CHAR per UTF-16 unit, posted,
    // so they arrive in order before a later click or key press).
    void type(int id, const std::wstring& text) const;
    HWND item(int id) const { return GetDlgItem(hwnd_, id); }
    // Clicks a button by id (IDOK, IDYES, ...).
    void click(int id) const;
    // The control of the dialog's thread that has the keyboard focus; null when none.
    HWND focus() const;
    // Sends a key press to the focused control (for example VK_ESCAPE).
    void press(UINT vk) const;
    // Saves a PNG of the dialog to the test artefacts; returns the path, empty on failure.
    std::wstring save_png(const std::wstring& name) const;

private:
    HWND hwnd_;
};

// Text of any window, read without blocking on a hung owner.
std::wstring window_text(HWND hwnd);

// Saves a PNG of a window (as seen on the screen) to a full path; false on failure.
bool save_window_png(HWND hwnd, const std::wstring& path);

class dialog_driver {
public:
    typedef std::function<void(dialog&)> handler;

    explicit dialog_driver(handler on_dialog, std::chrono::milliseconds deadline = std::chrono::seconds(20));
    ~dialog_driver();
    dialog_driver(const dialog_driver&) = delete;
    dialog_driver& operator=(const dialog_driver&) = delete;

    // Waits for the handler to have run; records a test failure if it did not.
    void wait();

private:
    void run();

    DWORD thread_id_;
    handler on_dialog_;
    std::chrono::milliseconds deadline_;
    std::atomic<bool> answered_{false};
    std::atomic<bool> stop_{false};
    std::wstring failure_;
    std::thread worker_;
};

} // namespace qm_test
