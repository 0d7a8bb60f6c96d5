// A temporary local folder the transfer tests drop from, removed with its contents at the end.
#pragma once

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace qm_test {

class local_tree {
public:
    local_tree()
    {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        root_ = std::filesystem::path(temp) /
                (L"qm-drop-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++count_));
        std::filesystem::create_directories(root_);
    }
    ~local_tree()
    {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    local_tree(const local_tree&) = delete;
    local_tree& operator=(const local_tree&) = delete;

    std::wstring path(const std::wstring& relative = {}) const
    {
        std::filesystem::path full = relative.empty() ? root_ : root_ / relative;
        return full.make_preferred().wstring();
    }
    std::wstring folder(const std::wstring& relative) const
    {
        std::filesystem::create_directories(root_ / relative);
        return path(relative);
    }
    std::wstring file(const std::wstring& relative, const std::string& bytes) const
    {
        const std::filesystem::path full = root_ / relative;
        std::filesystem::create_directories(full.parent_path());
        std::ofstream(full, std::ios::binary) << bytes;
        return path(relative);
    }

private:
    std::filesystem::path root_;
    static inline int count_ = 0;
};

} // namespace qm_test
