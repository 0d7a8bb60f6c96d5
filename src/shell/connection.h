// How folders reach the service: the session's login state, the login prompt and the cached
// client, behind one interface so that a test can put an in-memory tree behind the folders.
// The default goes to the back end's session and the login dialog.
#pragma once

#include "vfs/vfs.h"

#include <windows.h>

#include <boost/shared_ptr.hpp>

#include <string>

class session_access {
public:
    virtual bool is_logged_in() = 0;
    // Shows the login dialog owned by owner; true when the user pressed OK.
    virtual bool ask_login(HWND owner, std::wstring& login, std::wstring& password) = 0;
    virtual void login(const std::wstring& user, const std::wstring& password) = 0;
    virtual boost::shared_ptr<vfs::client> get_connection() = 0;

protected:
    ~session_access() = default;
};

// The back end's session (backend_session.cpp).
session_access& backend_session();

session_access& current_session();
// Replaces the session for the whole module; null puts the back end's back.
void set_current_session(session_access* session);

// Connects a folder: logs in when needed (asking the user only when not silent) and fills
// client and root. One login is asked for at a time: while it is in progress a silent caller,
// or one on the prompting thread itself, fails at once; another waits for it, handling the
// messages sent to its thread. No lock is held while a dialog or box is up. A vfs::exception
// is shown in an error box owned by owner. S_OK, or E_FAIL when not connected; any other
// exception is left to the caller's COM boundary.
HRESULT connect_session(HWND owner, bool silent, boost::shared_ptr<vfs::client>& client,
                        boost::shared_ptr<vfs::item>& item);

// The error box of a vfs::exception: details as text, message as caption, both cut by box_text
// (the service writes both; a megabyte of text keeps a box busy for seconds and off-screen).
void show_vfs_error(HWND owner, const vfs::exception& e);

// What a box shows of a text: at most limit characters, and of each passage in single quotes
// (a response quoted in a parse error) only its first few dozen; "..." marks every cut.
std::wstring box_text(const std::wstring& text, std::size_t limit);
constexpr std::size_t box_details_limit = 1000;
