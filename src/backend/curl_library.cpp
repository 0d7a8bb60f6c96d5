#include "backend/curl_library.h"

#include <curl/curl.h>

#include <atomic>
#include <mutex>

#include <windows.h>

namespace vfs_quillmere {

bool ensure_curl_initialised()
{
    // curl_global_cleanup is deliberately never called: the DLL may be unloaded while another
    // module of the host process still uses libcurl's shared Winsock state, and at process exit
    // the system reclaims everything anyway.
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK; });
    return ok;
}

namespace {

std::atomic<bool> sharing{true};

// The share handle and one lock per kind of data it holds; transfers run on threads of their
// own and meet in the cache. Never cleaned up, for the reason curl_global_cleanup is not: the
// connections left in it die with the process.
struct connection_share {
    CURLSH* handle = nullptr;
    CRITICAL_SECTION locks[CURL_LOCK_DATA_LAST];

    connection_share()
    {
        for (CRITICAL_SECTION& lock : locks)
            InitializeCriticalSection(&lock);
        handle = curl_share_init();
        if (!handle)
            return;
        curl_share_setopt(handle, CURLSHOPT_LOCKFUNC, &lock_data);
        curl_share_setopt(handle, CURLSHOPT_UNLOCKFUNC, &unlock_data);
        curl_share_setopt(handle, CURLSHOPT_USERDATA, this);
        if (curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) != CURLSHE_OK ||
            curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK) {
            curl_share_cleanup(handle);
            handle = nullptr;
        }
    }

    static void lock_data(CURL*, curl_lock_data data, curl_lock_access, void* self)
    {
        EnterCriticalSection(&static_cast<connection_share*>(self)->locks[data]);
    }

    static void unlock_data(CURL*, curl_lock_data data, void* self)
    {
        LeaveCriticalSection(&static_cast<connection_share*>(self)->locks[data]);
    }
};

} // namespace

void* shared_connections()
{
    if (!sharing)
        return nullptr;
    static connection_share* const share = new connection_share;
    return share->handle;
}

void share_connections(bool on)
{
    sharing = on;
}

} // namespace vfs_quillmere
