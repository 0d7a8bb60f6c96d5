#include "shell/connection.h"

#include "com/module_base.h"

#include <atomic>

namespace {

// One login at a time for the whole module, so that two windows connecting together show one
// login dialog: the second waits and then finds the session logged in.
class login_lock {
public:
    login_lock() { InitializeCriticalSection(&cs_); }
    ~login_lock() { DeleteCriticalSection(&cs_); }
    login_lock(const login_lock&) = delete;
    login_lock& operator=(const login_lock&) = delete;
    CRITICAL_SECTION& get() { return cs_; }

private:
    CRITICAL_SECTION cs_;
};

login_lock& the_login_lock()
{
    static login_lock lock;
    return lock;
}

std::atomic<session_access*> g_session{nullptr};

// Set while a login dialog is up. The dialog's message loop can dispatch another folder's call
// on the same thread, which the critical section would let in; it must not open a second
// dialog over the first.
DWORD g_prompting_thread = 0;

struct prompting_scope {
    prompting_scope() { g_prompting_thread = GetCurrentThreadId(); }
    ~prompting_scope() { g_prompting_thread = 0; }
    prompting_scope(const prompting_scope&) = delete;
    prompting_scope& operator=(const prompting_scope&) = delete;
};

} // namespace

session_access& current_session()
{
    session_access* session = g_session.load();
    return session ? *session : backend_session();
}

void set_current_session(session_access* session)
{
    g_session = session;
}

void show_vfs_error(HWND owner, const vfs::exception& e)
{
    MessageBoxW(owner, e.get_details().c_str(), e.get_message().c_str(), MB_ICONERROR);
}

HRESULT connect_session(HWND owner, bool silent, boost::shared_ptr<vfs::client>& client,
                        boost::shared_ptr<vfs::item>& item)
{
    com::critical_section_lock guard(the_login_lock().get());
    try {
        session_access& session = current_session();
        if (!client) {
            if (!session.is_logged_in()) {
                if (silent || g_prompting_thread == GetCurrentThreadId())
                    return E_FAIL;
                std::wstring login, password;
                bool ok = false;
                {
                    prompting_scope prompting;
                    ok = session.ask_login(owner, login, password);
                }
                if (!ok)
                    return E_FAIL;
                session.login(login, password);
            }
            client = session.get_connection();
        }
        if (!item && client)
            item = client->get_root();
        return client && item ? S_OK : E_FAIL;
    }
    catch (const vfs::exception& e) {
        show_vfs_error(owner, e);
        return E_FAIL;
    }
}
