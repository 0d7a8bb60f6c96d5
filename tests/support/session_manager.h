// The real session manager as tests see it: started beside the test program, as the DLL does.
#pragma once

#include "com/handle.h"

#include <windows.h>

#include <string>

namespace qm_test {

// Whether a session manager runs (its log-off event exists).
bool session_manager_runs();

// Starts Quillmere_Session.exe from the test program's folder, without an argument exactly as the
// DLL does (application name, no command line); answers its process, empty on failure.
com::handle start_session_manager(const std::wstring& argument = {});

// Runs Quillmere_Session.exe from the test program's folder with one argument and answers its
// exit code (-1 when it could not be started or did not end within 30 s).
DWORD run_session_manager(const std::wstring& argument);

// Ends a running session manager, so the next test starts logged out.
void quit_session_manager();

} // namespace qm_test
