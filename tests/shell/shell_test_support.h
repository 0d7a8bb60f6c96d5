// Small helpers shared by the shell folder tests.
#pragma once

#include "shell/pidl.h"
#include "shell/shell_folder.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace qm_test {

struct task_mem_deleter {
    void operator()(void* p) const { CoTaskMemFree(p); }
};
typedef std::unique_ptr<ITEMIDLIST, task_mem_deleter> unique_pidl;

inline std::wstring strret_text(STRRET& s, LPCITEMIDLIST pidl = nullptr)
{
    LPWSTR text = nullptr;
    if (FAILED(StrRetToStrW(&s, pidl, &text)) || !text)
        return L"<none>";
    std::wstring result(text);
    CoTaskMemFree(text);
    return result;
}

inline std::wstring display_name(IShellFolder* folder, LPCITEMIDLIST pidl, SHGDNF flags)
{
    STRRET s = {};
    const HRESULT hr = folder->GetDisplayNameOf(pidl, flags, &s);
    if (FAILED(hr))
        return L"<failed>";
    return strret_text(s, pidl);
}

// Names of every item an enumeration gives, in order; "<S_FALSE>" for no enumerator.
inline std::vector<std::wstring> enumerate(IShellFolder* folder, SHCONTF flags)
{
    com::ComPtr<IEnumIDList> items;
    const HRESULT hr = folder->EnumObjects(nullptr, flags, &items);
    if (hr == S_FALSE && !items)
        return {L"<S_FALSE>"};
    EXPECT_EQ(hr, S_OK);
    std::vector<std::wstring> names;
    if (!items)
        return names;
    LPITEMIDLIST pidl = nullptr;
    while (items->Next(1, &pidl, nullptr) == S_OK) {
        unique_pidl owned(pidl);
        EXPECT_EQ(pidl->mkid.cb, 712);
        names.push_back(display_name(folder, pidl, SHGDN_NORMAL));
    }
    return names;
}

// The relative list ParseDisplayName makes of a name.
inline unique_pidl parse(IShellFolder* folder, const std::wstring& name, ULONG* eaten = nullptr,
                         ULONG* attributes = nullptr)
{
    std::wstring text = name;
    LPITEMIDLIST pidl = nullptr;
    const HRESULT hr = folder->ParseDisplayName(nullptr, nullptr, text.data(), eaten, &pidl, attributes);
    EXPECT_EQ(hr, S_OK) << "parsing " << testing::PrintToString(name);
    return unique_pidl(pidl);
}

// A record as a one-item relative list.
inline unique_pidl record_list(const PIDLDATA& data)
{
    return unique_pidl(CPIDLList(data).serialize());
}

inline PIDLDATA make_record(const std::wstring& name, bool directory, std::uint64_t size = 0)
{
    PIDLDATA data;
    std::memset(&data, 0, sizeof data);
    data.cb = pidl_record_size;
    data.kind = directory ? 1 : 2;
    wcsncpy(data.name, name.c_str(), pidl_name_chars - 1);
    data.size = directory ? pidl_no_size : size;
    data.accessed = data.modified = -1.0;
    return data;
}

} // namespace qm_test
