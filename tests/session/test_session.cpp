// The real session manager, Quillmere_Session.exe, started from the test program's folder the
// way the DLL starts it (application name, no command line, a zeroed start-up block), and its
// named objects opened with the access rights the DLL uses.
//
// Every test begins with no instance running (one left over by another test program is ended
// with /quit) and ends the instances it started even when an assertion fails.
#include "support/paths.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <deque>
#include <vector>
#include "com/handle.h"

namespace {

const wchar_t event_name[] = L"Local\\Quillmere_Event_LogOff";
const wchar_t mapping_name[] = L"Local\\Quillmere_MMF_UID";
const wchar_t uid_mutex_name[] = L"Local\\Quillmere_Mutex_UID";
const wchar_t download_mutex_name[] = L"Local\\Quillmere_Mutex_Download_Upload";

// Access rights of the DLL.
const DWORD event_access = 0x1F0003;
const DWORD mutex_access = 0x100001; // SYNCHRONIZE | MUTEX_MODIFY_STATE
const DWORD map_read = 4;            // FILE_MAP_READ
const DWORD map_write = 2;           // FILE_MAP_WRITE
const size_t block_size = 128;

// Exit codes of the session manager (session/main.cpp).
const DWORD exit_ok = 0, exit_already_running = 1, exit_not_running = 2;

using com::handle;

std::wstring session_exe()
{
    return qm_test::program_dir() + L"\\Quillmere_Session.exe";
}

// Starts the session manager. Without arguments exactly as the DLL does (ensure_session); with
// arguments through a command line. Answers the process handle, empty on failure.
handle start_session(const std::wstring& args = {})
{
    const std::wstring exe = session_exe();
    STARTUPINFOW si;
    std::memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring command_line = L"\"" + exe + L"\" " + args;
    if (!CreateProcessW(exe.c_str(), args.empty() ? nullptr : command_line.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &si, &pi))
        return handle();
    CloseHandle(pi.hThread);
    return handle(pi.hProcess);
}

bool process_ended(const handle& process, DWORD timeout_ms = 0)
{
    return WaitForSingleObject(process.get(), timeout_ms) == WAIT_OBJECT_0;
}

// Runs the session manager with arguments to its end; answers its exit code, or a value no
// exit code has (0xFFFFFFFF) when it did not start or end within the time.
DWORD run_session(const std::wstring& args, DWORD timeout_ms = 20000)
{
    handle p = start_session(args);
    if (!p)
        return 0xFFFFFFFF;
    if (!process_ended(p, timeout_ms)) {
        TerminateProcess(p.get(), 99);
        return 0xFFFFFFFF;
    }
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(p.get(), &code);
    return code;
}

bool event_exists()
{
    handle h(OpenEventW(event_access, FALSE, event_name));
    return static_cast<bool>(h);
}

bool mutex_exists(const wchar_t* name)
{
    handle h(OpenMutexW(mutex_access, FALSE, name));
    return static_cast<bool>(h);
}

bool mapping_exists()
{
    handle h(OpenFileMappingW(map_read, FALSE, mapping_name));
    return static_cast<bool>(h);
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        Sleep(20);
    }
}

// The UserID block read and written the way the DLL does: mapping, then mutex, waited for
// without time-out, a view of 128 bytes. Empty optional-like result: ok == false.
struct block_read {
    bool ok = false;
    std::vector<unsigned char> bytes;
    std::wstring user_id() const
    {
        std::wstring s;
        for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
            const wchar_t c = static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
            if (!c)
                break;
            s += c;
        }
        return s;
    }
};

block_read read_block()
{
    block_read r;
    handle mapping(OpenFileMappingW(map_read, FALSE, mapping_name));
    handle mutex(OpenMutexW(mutex_access, FALSE, uid_mutex_name));
    if (!mapping || !mutex)
        return r;
    if (WaitForSingleObject(mutex.get(), INFINITE) != WAIT_OBJECT_0)
        return r;
    if (const void* view = MapViewOfFile(mapping.get(), map_read, 0, 0, block_size)) {
        const auto* p = static_cast<const unsigned char*>(view);
        r.bytes.assign(p, p + block_size);
        r.ok = true;
        UnmapViewOfFile(view);
    }
    ReleaseMutex(mutex.get());
    return r;
}

bool write_user_id(const std::wstring& user_id)
{
    handle mapping(OpenFileMappingW(map_write, FALSE, mapping_name));
    handle mutex(OpenMutexW(mutex_access, FALSE, uid_mutex_name));
    if (!mapping || !mutex)
        return false;
    if (WaitForSingleObject(mutex.get(), INFINITE) != WAIT_OBJECT_0)
        return false;
    bool ok = false;
    if (void* view = MapViewOfFile(mapping.get(), map_write, 0, 0, block_size)) {
        auto* text = static_cast<wchar_t*>(view);
        const size_t n = std::min<size_t>(user_id.size(), 63);
        std::memcpy(text, user_id.data(), n * sizeof(wchar_t));
        text[n] = 0;
        ok = true;
        UnmapViewOfFile(view);
    }
    ReleaseMutex(mutex.get());
    return ok;
}

bool all_zero(const std::vector<unsigned char>& bytes)
{
    for (unsigned char b : bytes)
        if (b)
            return false;
    return true;
}

// Ends every instance this test may have started, whatever the test's outcome: /quit first,
// then the hard way for the processes it knows.
class session_guard {
public:
    session_guard() = default;
    session_guard(const session_guard&) = delete;
    session_guard& operator=(const session_guard&) = delete;
    ~session_guard()
    {
        bool alive = false;
        for (const handle& p : processes_)
            alive = alive || !process_ended(p);
        if (alive || event_exists())
            run_session(L"/quit", 15000);
        for (const handle& p : processes_) {
            if (!process_ended(p, 2000)) {
                TerminateProcess(p.get(), 99);
                WaitForSingleObject(p.get(), 5000);
            }
        }
    }
    // Starts a plain instance the DLL's way and keeps its handle; answers it.
    const handle& start()
    {
        processes_.push_back(start_session());
        return processes_.back();
    }

private:
    std::deque<handle> processes_; // references stay valid as it grows
};

class session_manager : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(GetFileAttributesW(session_exe().c_str()), INVALID_FILE_ATTRIBUTES)
            << "Quillmere_Session.exe is not built beside the test program";
        // An instance left by another test program is ended, so that every test starts clean.
        if (event_exists())
            run_session(L"/quit", 15000);
        ASSERT_FALSE(event_exists()) << "a session manager runs and does not end on /quit";
    }

    // Starts an instance and waits up to 5 seconds for its event (the DLL waits 50 x 100 ms).
    void start_and_wait(const handle*& process)
    {
        process = &guard_.start();
        ASSERT_TRUE(*process) << "Quillmere_Session.exe did not start: error " << GetLastError();
        ASSERT_TRUE(wait_until(event_exists, std::chrono::seconds(5)))
            << "the event did not appear within 5 seconds";
    }

    session_guard guard_;
};

TEST_F(session_manager, creates_its_objects_within_5_seconds_with_an_empty_block)
{
    const handle* process = nullptr;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_NO_FATAL_FAILURE(start_and_wait(process));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));

    EXPECT_TRUE(mutex_exists(uid_mutex_name));
    EXPECT_TRUE(mapping_exists());
    EXPECT_TRUE(mutex_exists(download_mutex_name));

    const block_read block = read_block();
    ASSERT_TRUE(block.ok);
    EXPECT_TRUE(all_zero(block.bytes)) << "nobody is logged in at start: 128 zero bytes";

    // The mapping is writable with the DLL's rights and at least 128 bytes large.
    handle mapping(OpenFileMappingW(map_write, FALSE, mapping_name));
    ASSERT_TRUE(mapping);
    void* view = MapViewOfFile(mapping.get(), map_write, 0, 0, block_size);
    ASSERT_NE(view, nullptr);
    MEMORY_BASIC_INFORMATION info{};
    ASSERT_NE(VirtualQuery(view, &info, sizeof info), 0u);
    EXPECT_GE(info.RegionSize, block_size);
    UnmapViewOfFile(view);

    // The download mutex can be taken and given back with the rights the DLL uses.
    handle download(OpenMutexW(mutex_access, FALSE, download_mutex_name));
    ASSERT_TRUE(download);
    EXPECT_EQ(WaitForSingleObject(download.get(), 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(download.get()));

    // It keeps them while it runs.
    Sleep(300);
    EXPECT_FALSE(process_ended(*process));
    EXPECT_TRUE(event_exists());
    EXPECT_TRUE(mapping_exists());
}

BOOL CALLBACK find_visible_window(HWND hwnd, LPARAM param)
{
    auto* pid = reinterpret_cast<DWORD*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
    if (owner == *pid && IsWindowVisible(hwnd)) {
        *pid = 0; // found
        return FALSE;
    }
    return TRUE;
}

TEST_F(session_manager, is_a_gui_program_that_shows_no_window)
{
    // The subsystem in the PE header: a GUI program, so no console comes up either.
    handle file(CreateFileW(session_exe().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr));
    ASSERT_NE(file.get(), INVALID_HANDLE_VALUE);
    std::vector<unsigned char> head(4096);
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(file.get(), head.data(), static_cast<DWORD>(head.size()), &got, nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(head.data());
    ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
    ASSERT_LT(static_cast<DWORD>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS), got);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(head.data() + dos->e_lfanew);
    EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);

    const handle* process = nullptr;
    ASSERT_NO_FATAL_FAILURE(start_and_wait(process));
    Sleep(300);
    DWORD pid = GetProcessId(process->get());
    ASSERT_NE(pid, 0u);
    EnumWindows(find_visible_window, reinterpret_cast<LPARAM>(&pid));
    EXPECT_NE(pid, 0u) << "the session manager shows a window";
}

TEST_F(session_manager, the_block_and_its_mutex_exist_whenever_the_event_does)
{
    handle process = start_session();
    ASSERT_TRUE(process);
    // Watch as closely as we can: the first time the event is seen, the others must be there.
    bool seen = false, others = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!seen && std::chrono::steady_clock::now() < end) {
        if (event_exists()) {
            seen = true;
            others = mutex_exists(uid_mutex_name) && mapping_exists();
        }
    }
    // Ended here, before any assertion can leave it running; the guard is the second line.
    const DWORD quit = run_session(L"/quit");
    if (!process_ended(process, 5000))
        TerminateProcess(process.get(), 99);
    ASSERT_TRUE(seen);
    EXPECT_TRUE(others);
    EXPECT_EQ(quit, exit_ok);
}

TEST_F(session_manager, logoff_empties_the_block_and_keeps_running)
{
    const handle* process = nullptr;
    ASSERT_NO_FATAL_FAILURE(start_and_wait(process));
    ASSERT_TRUE(write_user_id(L"0123456789abcdef0123456789abcdef"));
    ASSERT_EQ(read_block().user_id(), L"0123456789abcdef0123456789abcdef");

    EXPECT_EQ(run_session(L"/logoff"), exit_ok);
    const block_read block = read_block();
    ASSERT_TRUE(block.ok);
    EXPECT_EQ(block.user_id(), L"");
    EXPECT_TRUE(all_zero(block.bytes));

    EXPECT_FALSE(process_ended(*process)) << "log-off must not end the session manager";
    EXPECT_TRUE(event_exists());

    // Logged in again, logged off again.
    ASSERT_TRUE(write_user_id(L"second"));
    EXPECT_EQ(run_session(L"/LOGOFF"), exit_ok) << "switches are case-insensitive";
    EXPECT_EQ(read_block().user_id(), L"");
}

TEST_F(session_manager, logoff_waits_for_the_mutex)
{
    const handle* process = nullptr;
    ASSERT_NO_FATAL_FAILURE(start_and_wait(process));
    ASSERT_TRUE(write_user_id(L"holder"));

    handle mutex(OpenMutexW(mutex_access, FALSE, uid_mutex_name));
    ASSERT_TRUE(mutex);
    ASSERT_EQ(WaitForSingleObject(mutex.get(), 5000), WAIT_OBJECT_0);
    handle logoff = start_session(L"/logoff");
    ASSERT_TRUE(logoff);
    // While this thread holds the mutex, the block is not touched.
    EXPECT_FALSE(process_ended(logoff, 1000)) << "/logoff did not wait for the mutex";
    {
        handle mapping(OpenFileMappingW(map_read, FALSE, mapping_name));
        ASSERT_TRUE(mapping);
        const void* view = MapViewOfFile(mapping.get(), map_read, 0, 0, block_size);
        ASSERT_NE(view, nullptr);
        EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(view)), L"holder");
        UnmapViewOfFile(view);
    }
    ReleaseMutex(mutex.get());
    ASSERT_TRUE(process_ended(logoff, 15000));
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(logoff.get(), &code);
    EXPECT_EQ(code, exit_ok);
    EXPECT_EQ(read_block().user_id(), L"");
}

TEST_F(session_manager, a_second_instance_does_not_replace_the_first)
{
    const handle* first = nullptr;
    ASSERT_NO_FATAL_FAILURE(start_and_wait(first));
    ASSERT_TRUE(write_user_id(L"still-here"));

    const handle& second = guard_.start();
    ASSERT_TRUE(second);
    ASSERT_TRUE(process_ended(second, 10000)) << "the second instance keeps running";
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(second.get(), &code);
    EXPECT_EQ(code, exit_already_running);

    EXPECT_FALSE(process_ended(*first));
    EXPECT_TRUE(event_exists());
    EXPECT_EQ(read_block().user_id(), L"still-here") << "the second start must not empty the block";

    // The first still answers: /quit ends it, not some other process.
    EXPECT_EQ(run_session(L"/quit"), exit_ok);
    EXPECT_TRUE(process_ended(*first, 5000));
}

TEST_F(session_manager, quit_ends_the_process_and_removes_the_objects)
{
    const handle* process = nullptr;
    ASSERT_NO_FATAL_FAILURE(start_and_wait(process));
    ASSERT_TRUE(write_user_id(L"someone"));

    EXPECT_EQ(run_session(L"/quit"), exit_ok);
    // /quit returns when the instance has ended.
    EXPECT_TRUE(process_ended(*process));
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(process->get(), &code);
    EXPECT_EQ(code, exit_ok);

    EXPECT_FALSE(event_exists());
    EXPECT_FALSE(mapping_exists());
    EXPECT_FALSE(mutex_exists(uid_mutex_name));
    EXPECT_FALSE(mutex_exists(download_mutex_name));

    // A new start begins with nobody logged in.
    const handle* again = nullptr;
    ASSERT_NO_FATAL_FAILURE(start_and_wait(again));
    const block_read block = read_block();
    ASSERT_TRUE(block.ok);
    EXPECT_TRUE(all_zero(block.bytes));
}

TEST_F(session_manager, a_restart_empties_a_block_that_another_process_kept_open)
{
    const handle* process = nullptr;
    ASSERT_NO_FATAL_FAILURE(start_and_wait(process));
    ASSERT_TRUE(write_user_id(L"stale"));
    // A reader (an Explorer process in the middle of load_user_id) keeps the mapping alive.
    handle kept(OpenFileMappingW(map_read, FALSE, mapping_name));
    ASSERT_TRUE(kept);
    ASSERT_EQ(run_session(L"/quit"), exit_ok);
    EXPECT_FALSE(event_exists());

    const handle* again = nullptr;
    ASSERT_NO_FATAL_FAILURE(start_and_wait(again));
    EXPECT_EQ(read_block().user_id(), L"") << "the new session must not inherit the old UserID";
}

TEST_F(session_manager, a_killed_instance_can_be_replaced)
{
    const handle* process = nullptr;
    ASSERT_NO_FATAL_FAILURE(start_and_wait(process));
    ASSERT_TRUE(TerminateProcess(process->get(), 7));
    ASSERT_TRUE(process_ended(*process, 5000));
    EXPECT_TRUE(wait_until([] { return !event_exists(); }, std::chrono::seconds(5)));

    const handle* again = nullptr;
    ASSERT_NO_FATAL_FAILURE(start_and_wait(again));
    EXPECT_FALSE(process_ended(*again));
    EXPECT_EQ(read_block().user_id(), L"");
}

TEST_F(session_manager, logoff_and_quit_without_an_instance_start_nothing)
{
    EXPECT_EQ(run_session(L"/logoff"), exit_not_running);
    EXPECT_FALSE(event_exists());
    EXPECT_EQ(run_session(L"/quit"), exit_not_running);
    EXPECT_FALSE(event_exists());
    EXPECT_FALSE(mapping_exists());
}

TEST_F(session_manager, unknown_arguments_are_a_plain_start)
{
    handle p = start_session(L"something else");
    ASSERT_TRUE(p);
    const bool appeared = wait_until(event_exists, std::chrono::seconds(5));
    EXPECT_EQ(run_session(L"/quit"), exit_ok);
    if (!process_ended(p, 5000))
        TerminateProcess(p.get(), 99);
    EXPECT_TRUE(appeared);
}

} // namespace
