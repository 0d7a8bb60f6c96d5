#include "backend/session.h"

#include "backend/client.h"
#include "backend/exception.h"

#include <boost/make_shared.hpp>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include "com/handle.h"

namespace vfs_quillmere {

const wchar_t session_event_name[] = L"Local\\Quillmere_Event_LogOff";
const wchar_t session_mapping_name[] = L"Local\\Quillmere_MMF_UID";
const wchar_t session_mutex_name[] = L"Local\\Quillmere_Mutex_UID";
const wchar_t session_executable[] = L"Quillmere_Session.exe";

namespace {

// 50 rounds of 100 ms: about 5 seconds for the session manager to create its event.
constexpr int start_rounds = 50;
constexpr DWORD start_round_ms = 100;

// The mutex is opened with SYNCHRONIZE | MUTEX_MODIFY_STATE, the event with all rights.
constexpr DWORD mutex_access = SYNCHRONIZE | MUTEX_MODIFY_STATE;
constexpr DWORD event_access = EVENT_ALL_ACCESS;

// The process-wide connection cache. No lock of its own: the shell folder uses it under its
// login lock, one thread at a time.
boost::shared_ptr<vfs::client>& connection_cache()
{
    static boost::shared_ptr<vfs::client> cache;
    return cache;
}

using com::handle;
using com::mutex_hold;

class view {
public:
    view(HANDLE mapping, DWORD access) : p_(MapViewOfFile(mapping, access, 0, 0, user_id_block_bytes)) {}
    ~view()
    {
        if (p_)
            UnmapViewOfFile(p_);
    }
    view(const view&) = delete;
    view& operator=(const view&) = delete;
    void* get() const { return p_; }

private:
    void* p_;
};

struct internal_failure {
    const wchar_t* reason;
};

bool session_event_exists()
{
    const HANDLE event = OpenEventW(event_access, FALSE, session_event_name);
    if (!event)
        return false;
    CloseHandle(event);
    return true;
}

// Runs body with the UserID block mapped with access (FILE_MAP_READ or FILE_MAP_WRITE), under
// the session manager's mutex. Handles are released in reverse order on every path.
template <typename Body> void with_user_id_block(DWORD access, Body body)
{
    handle mapping(OpenFileMappingW(access, FALSE, session_mapping_name));
    if (!mapping)
        throw internal_failure{L"Error opening mapping"};
    handle mutex(OpenMutexW(mutex_access, FALSE, session_mutex_name));
    if (!mutex)
        throw internal_failure{L"Error opening mutex"};
    mutex_hold hold(mutex.get());
    view block(mapping.get(), access);
    if (!block.get())
        throw internal_failure{L"Error mapping view"};
    body(static_cast<wchar_t*>(block.get()));
}

} // namespace

bool ensure_session(HMODULE module, bool start)
{
    if (session_event_exists())
        return true;
    if (!start)
        return false;

    wchar_t name[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, name, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        throw exception(L"Internal error", L"Error getting module name");
    std::wstring executable(name, length);
    executable.erase(executable.find_last_of(L'\\') + 1);
    executable += session_executable;

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(executable.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        throw exception(L"Internal error", L"Error creating session process");
    // Nothing reads the new process's handles.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    for (int round = 0; round < start_rounds; ++round) {
        Sleep(start_round_ms);
        if (session_event_exists())
            return true;
    }
    throw exception(L"Internal error", L"Error waiting for session start");
}

std::wstring load_user_id(HMODULE module)
{
    std::wstring user_id;
    try {
        ensure_session(module, true);
        with_user_id_block(FILE_MAP_READ, [&](const wchar_t* block) {
            // The block belongs to another process: never read past its 63 characters, even
            // when it holds no terminator.
            user_id.assign(block, wcsnlen(block, user_id_max_length));
        });
    }
    catch (const internal_failure&) {
        throw exception(L"Internal error", L"Unable to load UserID");
    }
    catch (const vfs::exception&) {
        throw exception(L"Internal error", L"Unable to load UserID");
    }
    return user_id;
}

void store_user_id(HMODULE module, const std::wstring& user_id)
{
    try {
        ensure_session(module, true);
        with_user_id_block(FILE_MAP_WRITE, [&](wchar_t* block) {
            // At most 64 characters copied, zero-filled, and the 64th set to 0: 63 are stored.
            wchar_t copy[user_id_max_length + 1] = {};
            std::wmemcpy(copy, user_id.c_str(),
                         std::min<std::size_t>(user_id.size(), user_id_max_length + 1));
            copy[user_id_max_length] = L'\0';
            std::memcpy(block, copy, sizeof(copy));
        });
    }
    catch (const internal_failure&) {
        throw exception(L"Internal error", L"Unable to store UserID");
    }
    catch (const vfs::exception&) {
        throw exception(L"Internal error", L"Unable to store UserID");
    }
}

bool is_logged_in(HMODULE module)
{
    if (!ensure_session(module, false))
        return false;
    std::wstring user_id;
    try {
        user_id = load_user_id(module);
    }
    catch (const vfs::exception&) {
        user_id.clear();
    }
    return !user_id.empty();
}

void login(HMODULE module, const std::wstring& user, const std::wstring& password)
{
    if (is_logged_in(module))
        throw exception(L"Login failed", L"Already logged in");
    auto connection = boost::make_shared<client>(user, password);
    store_user_id(module, connection->user_id());
    connection_cache() = connection;
}

boost::shared_ptr<vfs::client> get_connection(HMODULE module)
{
    if (!is_logged_in(module))
        throw exception(L"Get connection from cache failed", L"Not logged in");
    boost::shared_ptr<vfs::client>& cache = connection_cache();
    if (!cache)
        cache = boost::make_shared<client>(load_user_id(module));
    return cache;
}

void reset_connection_cache()
{
    connection_cache().reset();
}

} // namespace vfs_quillmere
