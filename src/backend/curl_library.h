// libcurl's process-wide set-up. It is done on first use from a normal thread, never in
// DllMain (it loads Winsock and Schannel, which must not happen under the loader lock).
#pragma once

namespace vfs_quillmere {

// Initialises libcurl once per process; false when libcurl cannot start (callers report that
// as a connection failure).
bool ensure_curl_initialised();

// The connection cache that every transfer of the process shares (a CURLSH*), so that files
// moved one after another reuse an SSH connection instead of each paying for a handshake and a
// login; null when sharing is turned off or could not be set up. libcurl matches a cached
// connection by host and credentials, so the transfers of different users never meet on one.
// Call after ensure_curl_initialised.
void* shared_connections();
// Turns sharing off (or on again) for the transfers that start from now on. Only benchmarks
// do, to compare with a connection per transfer.
void share_connections(bool on);

} // namespace vfs_quillmere
