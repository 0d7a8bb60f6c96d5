// The real session manager, Quillmere_Session.exe, started from the test program's folder the way
// the DLL starts it (application name, no command line), its UserID block read and written with
// the DLL's own functions. Every test begins with no instance running and ends the instances it
// started, even when an assertion fails.
#include "backend/session.h"
#include "com/handle.h"
#include "support/paths.h"
#include "support/session_manager.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <deque>
#include <string>
#include <vector>

namespace {

using com::handle;
using namespace vfs_quillmere;
using qm_test::run_session_manager;
using qm_test::session_manager_runs;

const wchar_t instance_mutex_name[] = L"Local\\Quillmere_Session_Instance";
const wchar_t download_mutex_name[] = L"Local\\Quillmere_Mutex_Download_Upload";
const DWORD mutex_access = SYNCHRONIZE | MUTEX_MODIFY_STATE; // the DLL's rights

// Exit codes of the session manager.
const DWORD exit_ok = 0, exit_already_running = 1, exit_not_running = 2;

HMODULE here()
{
    return GetModuleHandleW(nullptr); // the session manager is built beside the test program
}

std::wstring session_exe()
{
    return qm_test::program_dir() + L"\\" + session_executable;
}

bool mutex_exists(const wchar_t* name)
{
    return static_cast<bool>(handle(OpenMutexW(mutex_access, FALSE, name)));
}

// The exit code once the process has ended within the time; STILL_ACTIVE otherwise.
DWORD exit_code(const handle& process, DWORD timeout_ms = 0)
{
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process.get(), timeout_ms) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.get(), &code);
    return code;
}

// Whether the session manager's event comes (or goes, when !runs) within 5 s, as long as the DLL
// waits for it (50 x 100 ms).
bool runs_soon(bool runs = true)
{
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         session_manager_runs() != runs; Sleep(20))
        if (std::chrono::steady_clock::now() > end)
            return false;
    return true;
}

struct window_search {
    DWORD pid;
    bool visible;
};

BOOL CALLBACK find_visible_window(HWND hwnd, LPARAM param)
{
    auto* search = reinterpret_cast<window_search*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
    search->visible = search->visible || (owner == search->pid && IsWindowVisible(hwnd));
    return TRUE;
}

// The first 128 bytes of the block, read without the mutex.
std::vector<unsigned char> block_bytes()
{
    handle mapping(OpenFileMappingW(FILE_MAP_READ, FALSE, session_mapping_name));
    const void* view =
        mapping ? MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, user_id_block_bytes) : nullptr;
    if (!view)
        return {};
    const auto* p = static_cast<const unsigned char*>(view);
    std::vector<unsigned char> bytes(p, p + user_id_block_bytes);
    UnmapViewOfFile(view);
    return bytes;
}

class session_manager : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(GetFileAttributesW(session_exe().c_str()), INVALID_FILE_ATTRIBUTES)
            << "Quillmere_Session.exe is not built beside the test program";
        qm_test::quit_session_manager(); // one left by another test program
        ASSERT_FALSE(session_manager_runs()) << "a session manager runs and does not end on /quit";
    }

    void TearDown() override
    {
        qm_test::quit_session_manager();
        for (const handle& p : processes_)
            if (exit_code(p, 2000) == STILL_ACTIVE) {
                TerminateProcess(p.get(), 99);
                WaitForSingleObject(p.get(), 5000);
            }
    }

    const handle& start(const std::wstring& args = {})
    {
        processes_.push_back(qm_test::start_session_manager(args));
        return processes_.back();
    }

    const handle& start_and_wait()
    {
        const handle& process = start();
        EXPECT_TRUE(process) << "Quillmere_Session.exe did not start: error " << GetLastError();
        EXPECT_TRUE(runs_soon()) << "the event did not appear within 5 seconds";
        return process;
    }

    std::deque<handle> processes_; // references stay valid as it grows
};

TEST_F(session_manager, runs_without_a_window_with_its_objects_and_an_empty_block)
{
    // A GUI program by its PE header, so no console comes up either.
    handle file(CreateFileW(session_exe().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr));
    std::vector<unsigned char> head(4096);
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(file.get(), head.data(), static_cast<DWORD>(head.size()), &got, nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(head.data());
    ASSERT_LT(static_cast<DWORD>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS), got);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(head.data() + dos->e_lfanew);
    EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);

    const handle& process = start_and_wait();
    EXPECT_EQ(block_bytes(), std::vector<unsigned char>(user_id_block_bytes, 0)) << "nobody is logged in";
    store_user_id(here(), L"someone"); // the block takes the DLL's writes
    EXPECT_EQ(load_user_id(here()), L"someone");
    handle download(OpenMutexW(mutex_access, FALSE, download_mutex_name));
    ASSERT_TRUE(download);
    EXPECT_EQ(WaitForSingleObject(download.get(), 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(download.get()));

    Sleep(300); // it keeps running, its objects with it, and shows nothing
    EXPECT_EQ(exit_code(process), STILL_ACTIVE);
    EXPECT_TRUE(session_manager_runs());
    EXPECT_EQ(load_user_id(here()), L"someone");
    window_search search{GetProcessId(process.get()), false};
    EnumWindows(find_visible_window, reinterpret_cast<LPARAM>(&search));
    EXPECT_FALSE(search.visible) << "the session manager shows a window";
}

TEST_F(session_manager, the_block_and_its_mutex_exist_whenever_the_event_does)
{
    start();
    // Watched as closely as we can: the first time the event is seen, the others must be there.
    bool seen = false, others = false;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         !seen && std::chrono::steady_clock::now() < end;)
        if (session_manager_runs()) {
            seen = true;
            others = mutex_exists(session_mutex_name) &&
                     handle(OpenFileMappingW(FILE_MAP_READ, FALSE, session_mapping_name));
        }
    ASSERT_TRUE(seen);
    EXPECT_TRUE(others);
}

TEST_F(session_manager, logoff_waits_for_the_mutex_empties_the_block_and_keeps_running)
{
    const handle& process = start_and_wait();
    store_user_id(here(), L"holder");
    handle mutex(OpenMutexW(mutex_access, FALSE, session_mutex_name));
    ASSERT_EQ(WaitForSingleObject(mutex.get(), 5000), WAIT_OBJECT_0);
    const handle& logoff = start(L"/LOGOFF"); // switches are case-insensitive
    EXPECT_EQ(exit_code(logoff, 1000), STILL_ACTIVE) << "/logoff did not wait for the mutex";
    EXPECT_EQ(load_user_id(here()), L"holder"); // this thread owns the mutex: no wait
    ReleaseMutex(mutex.get());
    EXPECT_EQ(exit_code(logoff, 15000), exit_ok);
    EXPECT_EQ(block_bytes(), std::vector<unsigned char>(user_id_block_bytes, 0));
    EXPECT_EQ(exit_code(process), STILL_ACTIVE) << "log-off must not end the session manager";
    EXPECT_TRUE(session_manager_runs());
}

TEST_F(session_manager, a_second_instance_does_not_replace_the_first)
{
    const handle& first = start_and_wait();
    store_user_id(here(), L"still-here");
    EXPECT_EQ(exit_code(start(), 10000), exit_already_running);
    EXPECT_EQ(exit_code(first), STILL_ACTIVE);
    EXPECT_EQ(load_user_id(here()), L"still-here") << "the second start must not empty the block";
    // The first still answers: /quit ends it, not some other process.
    EXPECT_EQ(run_session_manager(L"/quit"), exit_ok);
    EXPECT_EQ(exit_code(first, 5000), exit_ok);
}

TEST_F(session_manager, an_instance_after_one_that_quit_or_was_killed_starts_logged_out)
{
    for (const bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "killed" : "/quit");
        const handle& old = start_and_wait();
        store_user_id(here(), L"stale");
        // A reader (an Explorer process in the middle of load_user_id) keeps the old block alive.
        handle kept(OpenFileMappingW(FILE_MAP_READ, FALSE, session_mapping_name));
        ASSERT_TRUE(kept);
        if (killed)
            TerminateProcess(old.get(), 7);
        else
            EXPECT_EQ(run_session_manager(L"/quit"), exit_ok);
        EXPECT_EQ(exit_code(old, killed ? 5000 : 0), killed ? 7u : exit_ok) << "/quit returns once it ended";
        EXPECT_TRUE(runs_soon(false));
        EXPECT_FALSE(mutex_exists(session_mutex_name));
        EXPECT_FALSE(mutex_exists(download_mutex_name));

        const handle& again = start_and_wait();
        EXPECT_EQ(exit_code(again), STILL_ACTIVE);
        EXPECT_EQ(load_user_id(here()), L"") << "the new session must not inherit the old UserID";
        EXPECT_EQ(run_session_manager(L"/quit"), exit_ok);
    }
}

TEST_F(session_manager, a_start_while_an_instance_ends_takes_over_once_it_is_gone)
{
    // An ending instance: its event is gone, its instance mutex not yet released. The DLL, seeing
    // no event, starts a new one and waits for its event.
    SetLastError(0);
    handle ending(CreateMutexW(nullptr, TRUE, instance_mutex_name));
    ASSERT_TRUE(ending);
    ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS))
        << "an instance still holds its mutex";
    const handle& process = start();
    EXPECT_EQ(exit_code(process, 500), STILL_ACTIVE) << "the new instance gave up while the old one ended";
    ReleaseMutex(ending.get());
    EXPECT_TRUE(runs_soon());
    EXPECT_EQ(exit_code(process), STILL_ACTIVE);
}

TEST_F(session_manager, switches_without_an_instance_start_nothing_and_unknown_ones_are_a_plain_start)
{
    for (const wchar_t* command : {L"/logoff", L"/quit"}) {
        EXPECT_EQ(run_session_manager(command), exit_not_running) << command;
        EXPECT_FALSE(session_manager_runs()) << command;
    }
    const handle& plain = start(L"something else");
    EXPECT_TRUE(runs_soon());
    EXPECT_EQ(exit_code(plain), STILL_ACTIVE);
}

} // namespace
