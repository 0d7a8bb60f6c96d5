#include "backend/curl_library.h"

#include <curl/curl.h>

#include <mutex>

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

} // namespace vfs_quillmere
