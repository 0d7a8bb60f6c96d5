#include "support/session_manager.h"

#include "backend/session.h"
#include "support/paths.h"

namespace qm_test {

bool session_manager_runs()
{
    const HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, vfs_quillmere::session_event_name);
    if (!event)
        return false;
    CloseHandle(event);
    return true;
}

com::handle start_session_manager(const std::wstring& argument)
{
    const std::wstring exe = program_dir() + L"\\" + vfs_quillmere::session_executable;
    std::wstring command = L"\"" + exe + L"\" " + argument;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(exe.c_str(), argument.empty() ? nullptr : command.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &process))
        return {};
    CloseHandle(process.hThread);
    return com::handle(process.hProcess);
}

DWORD run_session_manager(const std::wstring& argument)
{
    const com::handle process = start_session_manager(argument);
    DWORD code = static_cast<DWORD>(-1);
    if (process && WaitForSingleObject(process.get(), 30000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.get(), &code);
    return code;
}

void quit_session_manager()
{
    if (session_manager_runs())
        run_session_manager(L"/quit");
}

} // namespace qm_test
