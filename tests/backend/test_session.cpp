// The DLL's side of the session with the real session manager: is_logged_in,
// login, get_connection and the UserID block. The session manager's named objects are one per
// Wine prefix, so these tests never run at the same time as other tests that use them (ctest's
// "session" lock), and each test quits the session manager it started: no process is left.
#include "backend/client.h"
#include "backend/exception.h"
#include "backend/protocol.h"
#include "backend/session.h"
#include "module/module.h"
#include "support/dev_service.h"
#include "support/paths.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include "support/failure.h"
#include "support/session_manager.h"

using namespace vfs_quillmere;

namespace {

using qm_test::quit_session_manager;
using qm_test::run_session_manager;
using qm_test::session_manager_runs;

using qm_test::failure_of;
using qm_test::wide;

// Writes 128 raw bytes into the UserID block, as another process might.
void write_block(const void* bytes)
{
    const HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, session_mapping_name);
    ASSERT_NE(mapping, nullptr);
    void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, user_id_block_bytes);
    ASSERT_NE(view, nullptr);
    std::memcpy(view, bytes, user_id_block_bytes);
    UnmapViewOfFile(view);
    CloseHandle(mapping);
}

class session_test : public testing::Test {
protected:
    void SetUp() override
    {
        module_ = CQuillmereModule::instance();
        service_ = &qm_test::dev_service::get();
        set_service_url(service_->base_url());
        quit_session_manager();
        ASSERT_FALSE(session_manager_runs()) << "a session manager from elsewhere is still running";
        reset_connection_cache();
        const auto [name, password] = service_->new_user("session");
        user_ = name;
        password_ = password;
    }

    void TearDown() override
    {
        quit_session_manager();
        EXPECT_FALSE(session_manager_runs()) << "the session manager must not be left behind";
        reset_connection_cache();
    }

    std::size_t login_requests() const
    {
        const std::string json = service_->control("requests?action=login&user=" + user_);
        std::size_t n = 0;
        for (std::size_t at = json.find("\"seq\""); at != std::string::npos;
             at = json.find("\"seq\"", at + 1))
            ++n;
        return n;
    }

    HMODULE module_ = nullptr;
    const qm_test::dev_service* service_ = nullptr;
    std::string user_;
    std::string password_;
};

} // namespace

TEST_F(session_test, without_a_session_manager_nobody_is_logged_in_and_nothing_is_started)
{
    EXPECT_FALSE(ensure_session(module_, false));
    EXPECT_FALSE(is_logged_in(module_));
    EXPECT_FALSE(session_manager_runs()) << "is_logged_in must not start the session manager";
    const auto [message, details] = failure_of([&] { get_connection(module_); });
    EXPECT_EQ(message, L"Get connection from cache failed");
    EXPECT_EQ(details, L"Not logged in");
    EXPECT_FALSE(session_manager_runs());
}

TEST_F(session_test, login_starts_the_session_manager_and_stores_the_user_id)
{
    const DWORD started = GetTickCount();
    login(module_, wide(user_), wide(password_));
    EXPECT_LT(GetTickCount() - started, 5000u + 2000u) << "at most 50 x 100 ms of waiting";
    EXPECT_TRUE(session_manager_runs());
    EXPECT_TRUE(is_logged_in(module_));
    const std::wstring stored = load_user_id(module_);
    EXPECT_FALSE(stored.empty());

    const auto connection = get_connection(module_);
    auto* c = dynamic_cast<client*>(connection.get());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->user_id(), stored);
    EXPECT_EQ(get_connection(module_).get(), connection.get()) << "the cached client";
    EXPECT_EQ(connection->get_root()->get_items().size(), 3u);
}

TEST_F(session_test, a_second_login_fails_without_a_request)
{
    login(module_, wide(user_), wide(password_));
    const std::size_t before = login_requests();
    EXPECT_EQ(before, 1u);
    const auto cached = get_connection(module_);
    const auto [message, details] = failure_of([&] { login(module_, wide(user_), wide(password_)); });
    EXPECT_EQ(message, L"Login failed");
    EXPECT_EQ(details, L"Already logged in");
    EXPECT_EQ(login_requests(), before) << "no request to the service";
    EXPECT_EQ(get_connection(module_).get(), cached.get());
}

TEST_F(session_test, a_failed_login_leaves_the_cache_and_the_block_alone)
{
    const auto [message, details] = failure_of([&] { login(module_, wide(user_), L"wrong password"); });
    EXPECT_EQ(message, L"Login failed");
    EXPECT_EQ(details, L"The user name or password is incorrect.");
    EXPECT_FALSE(is_logged_in(module_));
    EXPECT_FALSE(session_manager_runs()) << "nothing was stored, so nothing was started";
}

TEST_F(session_test, a_user_id_of_70_characters_is_stored_as_63)
{
    const std::wstring long_id(70, L'x');
    store_user_id(module_, long_id + L"");
    EXPECT_TRUE(session_manager_runs()) << "store_user_id starts the session manager";
    EXPECT_EQ(load_user_id(module_), std::wstring(63, L'x'));
    store_user_id(module_, L"short");
    EXPECT_EQ(load_user_id(module_), L"short") << "a shorter id leaves no tail of the longer one";
}

TEST_F(session_test, a_block_without_terminator_is_read_as_63_characters)
{
    ASSERT_TRUE(ensure_session(module_, true));
    wchar_t block[64];
    for (wchar_t& c : block)
        c = L'A';
    write_block(block);
    EXPECT_EQ(load_user_id(module_), std::wstring(63, L'A'));
}

TEST_F(session_test, log_off_through_the_session_manager_ends_the_login)
{
    login(module_, wide(user_), wide(password_));
    ASSERT_TRUE(is_logged_in(module_));
    const auto cached = get_connection(module_);
    EXPECT_EQ(run_session_manager(L"/logoff"), 0u);
    EXPECT_TRUE(session_manager_runs()) << "log-off empties the block, the process stays";
    EXPECT_FALSE(is_logged_in(module_));
    const auto [message, details] = failure_of([&] { get_connection(module_); });
    EXPECT_EQ(message, L"Get connection from cache failed");
    EXPECT_EQ(details, L"Not logged in");
    // A new login is possible and replaces the cached client.
    login(module_, wide(user_), wide(password_));
    EXPECT_NE(get_connection(module_).get(), cached.get());
}

TEST_F(session_test, quitting_the_session_manager_ends_the_login)
{
    login(module_, wide(user_), wide(password_));
    EXPECT_EQ(run_session_manager(L"/quit"), 0u);
    EXPECT_FALSE(session_manager_runs());
    EXPECT_FALSE(is_logged_in(module_));
    EXPECT_EQ(failure_of([&] { get_connection(module_); }).second, L"Not logged in");
}

TEST_F(session_test, another_process_login_is_picked_up_from_the_stored_user_id)
{
    // As if another Explorer process had logged in: the block holds a UserID, this process's
    // cache is empty, so get_connection builds a client from the UserID with get_ftp_params.
    client elsewhere(wide(user_), wide(password_));
    store_user_id(module_, elsewhere.user_id());
    const auto connection = get_connection(module_);
    auto* c = dynamic_cast<client*>(connection.get());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->user_id(), elsewhere.user_id());
    EXPECT_EQ(c->transfer_user(), elsewhere.transfer_user()) << "the service knew whose credentials to send";
    EXPECT_EQ(c->transfer_password(), elsewhere.transfer_password());
    EXPECT_EQ(connection->get_user_info().user_name, wide(user_));
}

TEST_F(session_test, errors_of_the_session_link_are_internal_errors)
{
    // A module whose folder has no session manager: kernel32 lives in the system folder.
    const HMODULE elsewhere = GetModuleHandleW(L"kernel32.dll");
    auto [message, details] = failure_of([&] { ensure_session(elsewhere, true); });
    EXPECT_EQ(message, L"Internal error");
    EXPECT_EQ(details, L"Error creating session process");
    std::tie(message, details) = failure_of([&] { load_user_id(elsewhere); });
    EXPECT_EQ(message, L"Internal error");
    EXPECT_EQ(details, L"Unable to load UserID");
    std::tie(message, details) = failure_of([&] { store_user_id(elsewhere, L"x"); });
    EXPECT_EQ(message, L"Internal error");
    EXPECT_EQ(details, L"Unable to store UserID");
    EXPECT_FALSE(is_logged_in(elsewhere));
}
