// Every message box that asks the user something or reports an error goes through ask(), so
// that one seam lets tests answer prompts without hunting for windows. The real box is the
// default; a test installs an answerer for its scope and proves the real box separately.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace ui {

struct prompt {
    HWND owner;
    std::wstring text;
    std::wstring caption;
    UINT flags; // MessageBoxW's MB_* flags
};

// Shows the prompt (MessageBoxW) and returns the button pressed (IDYES, IDRETRY, ...); 0 when the
// box could not be shown.
int ask(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags);

typedef std::function<int(const prompt&)> prompt_answerer;

// While alive, every ask() of the process, on any thread, goes to the answerer instead of a box.
// Scopes nest: the innermost one answers; destroying it puts the previous one back.
class scoped_answerer {
public:
    explicit scoped_answerer(prompt_answerer answerer);
    ~scoped_answerer();
    scoped_answerer(const scoped_answerer&) = delete;
    scoped_answerer& operator=(const scoped_answerer&) = delete;

private:
    prompt_answerer previous_;
};

} // namespace ui
