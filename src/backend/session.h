// The login's link to the session manager, "Quillmere_Session.exe": a separate process that
// keeps the user's UserID in a named shared-memory block across Explorer windows, and the
// process-wide cache of the connected client. Every function takes the DLL's module handle
// first: the session manager is started from the DLL's own folder.
#pragma once

#include "vfs/vfs.h"

#include <windows.h>

#include <boost/shared_ptr.hpp>

#include <string>

namespace vfs_quillmere {

// The session manager's named objects.
extern const wchar_t session_event_name[];   // exists while the session manager runs
extern const wchar_t session_mapping_name[]; // the 128-byte UserID block
extern const wchar_t session_mutex_name[];   // guards the block
extern const wchar_t session_executable[];   // beside the DLL
constexpr std::size_t user_id_block_bytes = 128;
constexpr std::size_t user_id_max_length = 63;

// True when the session manager runs and holds a UserID. Never starts it, never throws.
bool is_logged_in(HMODULE module);

// Logs in with user name and password: fails ("Login failed", "Already logged in") without a
// request when somebody is logged in; otherwise the service's login, the UserID stored in the
// session manager (started when needed) and the client cached. A failure leaves the cache as it
// was.
void login(HMODULE module, const std::wstring& user, const std::wstring& password);

// The cached client, made from the stored UserID on first use; fails ("Get connection from
// cache failed", "Not logged in") when nobody is logged in.
boost::shared_ptr<vfs::client> get_connection(HMODULE module);

// True when the session manager runs. With start, starts it from the module's folder and
// waits up to 50 x 100 ms for its event; throws ("Internal error", ...) when that fails.
bool ensure_session(HMODULE module, bool start);

// The UserID in the block (at most 63 characters); ("Internal error", "Unable to load UserID").
std::wstring load_user_id(HMODULE module);

// Writes the first 63 characters of user_id; ("Internal error", "Unable to store UserID").
void store_user_id(HMODULE module, const std::wstring& user_id);

// Empties the process-wide connection cache. Internal: for tests only, never exported.
void reset_connection_cache();

} // namespace vfs_quillmere
