// Answers prompts from a script (IDCANCEL once it runs out) and keeps what was asked; prompts
// may come from a worker thread.
#pragma once

#include "ui/prompts.h"

#include <mutex>
#include <string>
#include <vector>

namespace qm_test {

struct prompt_script {
    explicit prompt_script(std::vector<int> answers) : answers_(std::move(answers)) {}
    std::vector<ui::prompt> seen;
    std::wstring captions() const
    {
        std::wstring text;
        for (const auto& p : seen)
            text += (text.empty() ? L"" : L" | ") + p.caption;
        return text;
    }
    std::wstring texts() const
    {
        std::wstring text;
        for (const auto& p : seen)
            text += (text.empty() ? L"" : L" | ") + p.text;
        return text;
    }

private:
    std::mutex lock_;
    std::vector<int> answers_;
    ui::scoped_answerer scope_{[this](const ui::prompt& p) {
        std::lock_guard<std::mutex> hold(lock_);
        seen.push_back(p);
        return seen.size() <= answers_.size() ? answers_[seen.size() - 1] : IDCANCEL;
    }};
};

} // namespace qm_test
