// Quillmere_Session.exe: the session manager the DLL shares its login with; it also owns the
// mutex that serialises opening items.
//
//   Quillmere_Session.exe           start the session manager (nothing happens when one runs)
//   Quillmere_Session.exe /logoff   make the running instance log off (empty the UserID block)
//   Quillmere_Session.exe /quit     end the running instance and wait until it has ended
//
// The running instance owns, in the "Local\" namespace:
//   mutex   Quillmere_Session_Instance          held by the instance: one instance per session
//   mutex   Quillmere_Mutex_UID                 guards the UserID block
//   mapping Quillmere_MMF_UID                   128 bytes, the UserID block, zeroed at start
//   event   Quillmere_Event_LogOff              created last of the three: its existence tells
//                                               the DLL that the block can be used
//   mutex   Quillmere_Mutex_Download_Upload     serialises opening items
// and a hidden message-only window of class "Quillmere_Session_Window" through which /logoff
// and /quit reach it. No window is ever shown.
//
// Exit codes: 0 done; 1 another instance already runs (plain start); 2 no instance runs
// (/logoff, /quit); 3 the objects or the window could not be created; 4 the running instance
// did not answer or end in time.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include "com/handle.h"

namespace {

const wchar_t instance_mutex_name[] = L"Local\\Quillmere_Session_Instance";
const wchar_t uid_mutex_name[] = L"Local\\Quillmere_Mutex_UID";
const wchar_t uid_mapping_name[] = L"Local\\Quillmere_MMF_UID";
const wchar_t logoff_event_name[] = L"Local\\Quillmere_Event_LogOff";
const wchar_t download_mutex_name[] = L"Local\\Quillmere_Mutex_Download_Upload";
const wchar_t window_class[] = L"Quillmere_Session_Window";

const DWORD uid_block_size = 128;

// Messages of the control window; both answer 1 when done.
const UINT msg_logoff = WM_APP + 1;
const UINT msg_quit = WM_APP + 2;

const UINT answer_timeout_ms = 10000;
const DWORD quit_timeout_ms = 10000;
// How long a starting instance waits for one that is ending to be gone; the DLL waits 5 s for
// the event of the instance it started.
const DWORD takeover_timeout_ms = 4000;
const DWORD takeover_poll_ms = 20;

enum exit_code {
    exit_ok = 0,
    exit_already_running = 1,
    exit_not_running = 2,
    exit_failed = 3,
    exit_no_answer = 4
};

using com::handle;

// The objects of a running instance, released in the reverse order of creation.
struct session_objects {
    handle instance;
    handle uid_mutex;
    handle uid_mapping;
    void* uid_view = nullptr;
    handle download_mutex;
    handle logoff_event;
    HWND window = nullptr;

    ~session_objects()
    {
        // The event goes first: from then on the DLL reads "not running" and stops using
        // the block. The instance mutex goes last, so a new instance takes over only from an
        // instance that is wholly gone.
        logoff_event.reset();
        if (window)
            DestroyWindow(window);
        download_mutex.reset();
        if (uid_view)
            UnmapViewOfFile(uid_view);
        uid_mapping.reset();
        uid_mutex.reset();
        if (instance) {
            ReleaseMutex(instance.get());
            instance.reset();
        }
    }
};

session_objects* g_session = nullptr;

// Empties the UserID block under its mutex. A mutex abandoned by a process that died while
// holding it is still acquired (WAIT_ABANDONED), and the block is written over anyway.
void log_off(session_objects& s)
{
    const DWORD wait = WaitForSingleObject(s.uid_mutex.get(), INFINITE);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED)
        return;
    SecureZeroMemory(s.uid_view, uid_block_size);
    FlushViewOfFile(s.uid_view, uid_block_size);
    ReleaseMutex(s.uid_mutex.get());
}

LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
    switch (msg) {
    case msg_logoff:
        if (g_session)
            log_off(*g_session);
        return 1;
    case msg_quit:
        PostQuitMessage(exit_ok);
        return 1;
    case WM_CLOSE:
        PostQuitMessage(exit_ok);
        return 0;
    default:
        return DefWindowProcW(hwnd, msg, wparam, lparam);
    }
}

bool event_exists()
{
    const handle event(OpenEventW(SYNCHRONIZE, FALSE, logoff_event_name));
    return static_cast<bool>(event);
}

// The instance mutex is held from before the first object is made until after the last one is
// gone, and the event exists only while all of them do. An instance that holds the mutex
// without its event is therefore starting or ending: a new instance waits that out, gives way
// to one that turns out alive and takes over from one that is gone. Giving up at once would
// leave the DLL that started it (having seen no event) waiting for an event that never comes.
bool take_instance(HANDLE mutex)
{
    DWORD wait = WaitForSingleObject(mutex, 0);
    for (DWORD waited = 0; wait == WAIT_TIMEOUT && !event_exists() && waited < takeover_timeout_ms;
         waited += takeover_poll_ms)
        wait = WaitForSingleObject(mutex, takeover_poll_ms);
    return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

int run_instance(HINSTANCE instance)
{
    session_objects s;

    // One instance: the instance mutex is owned by the running instance's main thread and
    // released last. A mutex abandoned by an instance that was killed is taken over.
    s.instance.reset(CreateMutexW(nullptr, FALSE, instance_mutex_name));
    if (!s.instance)
        return exit_failed;
    if (!take_instance(s.instance.get())) {
        s.instance.reset();
        return exit_already_running;
    }

    // The mutex and the block before the event: whoever sees the event may use them at once.
    s.uid_mutex.reset(CreateMutexW(nullptr, FALSE, uid_mutex_name));
    if (!s.uid_mutex)
        return exit_failed;
    s.uid_mapping.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, uid_block_size,
                                           uid_mapping_name));
    if (!s.uid_mapping)
        return exit_failed;
    s.uid_view = MapViewOfFile(s.uid_mapping.get(), FILE_MAP_WRITE, 0, 0, uid_block_size);
    if (!s.uid_view)
        return exit_failed;
    // A fresh mapping is zeroed; one kept alive by a handle of a process that still used the
    // previous instance's block is emptied here: a new session starts with nobody logged in.
    log_off(s);

    s.download_mutex.reset(CreateMutexW(nullptr, FALSE, download_mutex_name));
    if (!s.download_mutex)
        return exit_failed;

    // The control window before the event, so that whoever sees the event can reach it.
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance;
    wc.lpszClassName = window_class;
    if (!RegisterClassExW(&wc))
        return exit_failed;
    g_session = &s;
    s.window = CreateWindowExW(0, window_class, L"Quillmere session", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               instance, nullptr);
    if (!s.window) {
        g_session = nullptr;
        return exit_failed;
    }

    s.logoff_event.reset(CreateEventW(nullptr, TRUE, FALSE, logoff_event_name));
    if (!s.logoff_event) {
        g_session = nullptr;
        return exit_failed;
    }

    MSG msg;
    int result = exit_ok;
    for (;;) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            result = static_cast<int>(msg.wParam);
            break;
        }
        if (got == -1) {
            result = exit_failed;
            break;
        }
        DispatchMessageW(&msg);
    }
    g_session = nullptr;
    return result; // s releases everything, the event first
}

HWND find_running_instance()
{
    return FindWindowExW(HWND_MESSAGE, nullptr, window_class, nullptr);
}

int request_logoff()
{
    HWND window = find_running_instance();
    if (!window)
        return exit_not_running;
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(window, msg_logoff, 0, 0, SMTO_ABORTIFHUNG, answer_timeout_ms, &answer) ||
        answer != 1)
        return exit_no_answer;
    return exit_ok;
}

int request_quit()
{
    HWND window = find_running_instance();
    if (!window)
        return exit_not_running;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    handle process(pid ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr);
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(window, msg_quit, 0, 0, SMTO_ABORTIFHUNG, answer_timeout_ms, &answer) ||
        answer != 1) {
        // The window may already be gone because the instance is ending anyway.
        if (!process || WaitForSingleObject(process.get(), 0) != WAIT_OBJECT_0)
            return exit_no_answer;
    }
    // Return only when the instance has ended and its objects are gone.
    if (process && WaitForSingleObject(process.get(), quit_timeout_ms) != WAIT_OBJECT_0)
        return exit_no_answer;
    return exit_ok;
}

enum class command { start, logoff, quit };

// The DLL starts the program with no command line, so the application name (which may hold
// blanks) stands in for it: only the two switches are recognised and everything else ignored.
command parse_command_line()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    command c = command::start;
    for (int i = 1; argv && i < argc; ++i) {
        const wchar_t* a = argv[i];
        if (a[0] != L'/' && a[0] != L'-')
            continue;
        if (_wcsicmp(a + 1, L"logoff") == 0)
            c = command::logoff;
        else if (_wcsicmp(a + 1, L"quit") == 0)
            c = command::quit;
    }
    if (argv)
        LocalFree(argv);
    return c;
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    switch (parse_command_line()) {
    case command::logoff:
        return request_logoff();
    case command::quit:
        return request_quit();
    case command::start:
    default:
        return run_instance(instance);
    }
}
