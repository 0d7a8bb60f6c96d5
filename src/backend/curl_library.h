// libcurl's process-wide set-up. It is done on first use from a normal thread, never in
// DllMain (it loads Winsock and Schannel, which must not happen under the loader lock).
#pragma once

namespace vfs_quillmere {

// Initialises libcurl once per process; false when libcurl cannot start (callers report that
// as a connection failure).
bool ensure_curl_initialised();

} // namespace vfs_quillmere
