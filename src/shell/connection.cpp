#include "shell/connection.h"

#include "com/handle.h"
#include "com/module_base.h"
#include "ui/prompts.h"

#include <atomic>
#include <cwctype>

namespace {

// Guards the session's login state and its connection cache, which have no lock of their own.
// It is held only around calls that show nothing: a dialog disables its owner with messages
// that need the owner's thread, so a caller that blocked on a lock there would keep the dialog
// from ever closing.
class login_state {
public:
    login_state() : idle_(CreateEventW(nullptr, TRUE, TRUE, nullptr)) { InitializeCriticalSection(&cs_); }
    ~login_state() { DeleteCriticalSection(&cs_); }
    login_state(const login_state&) = delete;
    login_state& operator=(const login_state&) = delete;

    CRITICAL_SECTION& lock() { return cs_; }
    // The thread that is asking the user (dialog, login, the error box after it), or 0.
    DWORD prompting() const { return prompting_; }
    // Both under lock().
    void begin_prompt()
    {
        prompting_ = GetCurrentThreadId();
        ResetEvent(idle_.get());
    }
    void end_prompt()
    {
        prompting_ = 0;
        SetEvent(idle_.get());
    }

    // Waits until no login is in progress. Messages sent to this thread's windows are handled
    // meanwhile: the prompting thread's dialog may be owned by one of them.
    void wait_idle() const
    {
        HANDLE idle = idle_.get();
        for (;;) {
            const DWORD r = MsgWaitForMultipleObjects(1, &idle, FALSE, INFINITE, QS_SENDMESSAGE);
            if (r != WAIT_OBJECT_0 + 1)
                return;
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        }
    }

private:
    CRITICAL_SECTION cs_;
    std::atomic<DWORD> prompting_{0};
    com::handle idle_;
};

login_state& the_login_state()
{
    static login_state state;
    return state;
}

// Ends the login this thread claimed, after its dialog and error box are gone.
class prompt_scope {
public:
    explicit prompt_scope(login_state& state) : state_(state) {}
    ~prompt_scope()
    {
        com::critical_section_lock guard(state_.lock());
        state_.end_prompt();
    }
    prompt_scope(const prompt_scope&) = delete;
    prompt_scope& operator=(const prompt_scope&) = delete;

private:
    login_state& state_;
};

std::atomic<session_access*> g_session{nullptr};

constexpr std::size_t caption_limit = 100;
constexpr std::size_t quote_limit = 40;
const wchar_t ellipsis[] = L"...";

bool word_char(wchar_t c)
{
    return std::iswalnum(c) != 0;
}

// A closing quote ends a word: an apostrophe inside one ("can't") closes nothing, and neither
// does a quote that markup follows.
bool closes_quote(const std::wstring& text, std::size_t i)
{
    return i + 1 == text.size() || std::wcschr(L" \t\r\n.,;:)!?", text[i + 1]);
}

// Appends text[pos, pos + length) cut at limit code units (a surrogate pair is never split),
// with an ellipsis when something was left out.
void append_cut(std::wstring& out, const std::wstring& text, std::size_t pos, std::size_t length,
                std::size_t limit)
{
    if (length <= limit) {
        out.append(text, pos, length);
        return;
    }
    if (limit && IS_HIGH_SURROGATE(text[pos + limit - 1]))
        --limit;
    out.append(text, pos, limit);
    out += ellipsis;
}

} // namespace

std::wstring box_text(const std::wstring& text, std::size_t limit)
{
    std::wstring shown;
    std::size_t i = 0;
    // The next closing quote at or after i; it only moves forward, so a text full of openers
    // that never close is still read once.
    std::size_t closer = 0;
    while (i < text.size() && shown.size() <= limit) {
        const wchar_t c = text[i++];
        shown += c;
        if (c != L'\'' || (i > 1 && word_char(text[i - 2])))
            continue;
        if (closer < i) {
            closer = i;
            while (closer < text.size() && !(text[closer] == L'\'' && closes_quote(text, closer)))
                ++closer;
        }
        if (closer == text.size())
            continue; // an apostrophe, not a quotation
        append_cut(shown, text, i, closer - i, quote_limit);
        shown += text[closer];
        i = closer + 1;
    }
    if (shown.size() <= limit)
        return shown; // the loop ran to the end of text
    std::wstring result;
    append_cut(result, shown, 0, shown.size(), limit);
    return result;
}

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
    ui::ask(owner, box_text(e.get_details(), box_details_limit), box_text(e.get_message(), caption_limit),
            MB_ICONERROR);
}

namespace {

enum class connect_step { connected, failed, prompt, wait };

// One look at the session under the lock: connected, or what this caller must do next.
connect_step try_connect(login_state& state, session_access& session, bool silent,
                         boost::shared_ptr<vfs::client>& client, boost::shared_ptr<vfs::item>& item)
{
    com::critical_section_lock guard(state.lock());
    if (!client) {
        if (const DWORD prompting = state.prompting())
            return silent || prompting == GetCurrentThreadId() ? connect_step::failed : connect_step::wait;
        if (!session.is_logged_in()) {
            if (silent)
                return connect_step::failed;
            state.begin_prompt();
            return connect_step::prompt;
        }
        client = session.get_connection();
    }
    if (!item && client)
        item = client->get_root();
    return client && item ? connect_step::connected : connect_step::failed;
}

HRESULT log_in(HWND owner, login_state& state, session_access& session,
               boost::shared_ptr<vfs::client>& client)
{
    prompt_scope prompting(state);
    try {
        std::wstring login, password;
        if (!session.ask_login(owner, login, password))
            return E_FAIL;
        // No lock for these requests: while this thread prompts, every other caller stops at the
        // prompt before it touches the session, so none waits on them.
        session.login(login, password);
        client = session.get_connection();
        return S_OK;
    }
    catch (const vfs::exception& e) {
        show_vfs_error(owner, e);
        return E_FAIL;
    }
}

} // namespace

HRESULT connect_session(HWND owner, bool silent, boost::shared_ptr<vfs::client>& client,
                        boost::shared_ptr<vfs::item>& item)
{
    login_state& state = the_login_state();
    session_access& session = current_session();
    try {
        for (;;) {
            switch (try_connect(state, session, silent, client, item)) {
            case connect_step::connected:
                return S_OK;
            case connect_step::failed:
                return E_FAIL;
            case connect_step::wait:
                state.wait_idle(); // then look again: that login may have failed
                break;
            case connect_step::prompt:
                if (FAILED(log_in(owner, state, session, client)))
                    return E_FAIL;
                break;
            }
        }
    }
    catch (const vfs::exception& e) {
        show_vfs_error(owner, e);
        return E_FAIL;
    }
}
