// Paths the tests share: the build tree as Windows sees it under Wine, and where artefacts
// (screenshots of dialogs) are kept.
#pragma once

#include <string>

namespace qm_test {

// A Unix path as a Windows path on Wine's Z: drive.
std::wstring windows_path(const std::string& unix_path);

// Folder for test artefacts, created on first use: <build>/artifacts.
std::wstring artifacts_dir();

// Folder of the running test program (the DLL and the session manager are built beside it).
std::wstring program_dir();

} // namespace qm_test
