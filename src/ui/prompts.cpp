#include "ui/prompts.h"

#include <mutex>
#include <utility>

namespace ui {

namespace {

std::mutex g_lock;
prompt_answerer g_answerer;

prompt_answerer current_answerer()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return g_answerer;
}

} // namespace

int ask(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags)
{
    // A copy, so that no lock is held while a box is up or an answerer runs.
    if (const prompt_answerer answerer = current_answerer())
        return answerer(prompt{owner, text, caption, flags});
    return MessageBoxW(owner, text.c_str(), caption.c_str(), flags);
}

scoped_answerer::scoped_answerer(prompt_answerer answerer)
{
    std::lock_guard<std::mutex> hold(g_lock);
    previous_ = std::exchange(g_answerer, std::move(answerer));
}

scoped_answerer::~scoped_answerer()
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_answerer = std::move(previous_);
}

} // namespace ui
