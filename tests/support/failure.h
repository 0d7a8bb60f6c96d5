// Small helpers the back-end and shell tests share.
#pragma once

#include "vfs/vfs.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace qm_test {

// Runs f and answers the (message, details) of the vfs::exception it throws; a test failure
// when it throws none.
template <typename F> std::pair<std::wstring, std::wstring> failure_of(F f)
{
    try {
        f();
    }
    catch (const vfs::exception& e) {
        return {e.get_message(), e.get_details()};
    }
    ADD_FAILURE() << "no vfs::exception was thrown";
    return {};
}

// ASCII text (user names, passwords, ids the dev service makes) as a wide string.
inline std::wstring wide(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

} // namespace qm_test
