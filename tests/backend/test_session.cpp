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

#include <algorithm>
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
        std::tie(user_, password_) = service_->new_user("session");
    }

    void TearDown() override
    {
        quit_session_manager();
        EXPECT_FALSE(session_manager_runs()) << "the session manager must not be left behind";
        reset_connection_cache();
    }

    HMODULE module_ = nullptr;
    const qm_test::dev_service* service_ = nullptr;
    std::string user_;
    std::string password_;
};

} // namespace

TEST_F(session_test, without_a_session_manager_nobody_is_logged_in_and_a_failed_login_starts_none)
{
    EXPECT_FALSE(ensure_session(module_, false));
    EXPECT_FALSE(is_logged_in(module_));
    const auto [message, details] = failure_of([&] { get_connection(module_); });
    EXPECT_EQ(message, L"Get connection from cache failed");
    EXPECT_EQ(details, L"Not logged in");
    EXPECT_EQ(failure_of([&] { login(module_, wide(user_), L"wrong password"); }).second,
              L"The user name or password is incorrect.");
    EXPECT_FALSE(is_logged_in(module_));
    EXPECT_FALSE(session_manager_runs()) << "nothing was stored, so nothing was started";
}

TEST_F(session_test, login_starts_the_session_manager_and_a_second_login_fails_without_a_request)
{
    const DWORD started = GetTickCount();
    login(module_, wide(user_), wide(password_));
    EXPECT_LT(GetTickCount() - started, 5000u + 2000u) << "at most 50 x 100 ms of waiting";
    EXPECT_TRUE(is_logged_in(module_));
    const auto connection = get_connection(module_);
    EXPECT_EQ(dynamic_cast<client&>(*connection).user_id(), load_user_id(module_));
    EXPECT_EQ(get_connection(module_).get(), connection.get()) << "the cached client";
    EXPECT_EQ(connection->get_root()->get_items().size(), 3u);

    const auto [message, details] = failure_of([&] { login(module_, wide(user_), wide(password_)); });
    EXPECT_EQ(message, L"Login failed");
    EXPECT_EQ(details, L"Already logged in");
    EXPECT_EQ(service_->request_count(user_, "login"), 1u) << "no request to the service";
    EXPECT_EQ(get_connection(module_).get(), connection.get());
}

TEST_F(session_test, the_user_id_block_holds_at_most_63_characters)
{
    store_user_id(module_, std::wstring(70, L'x'));
    EXPECT_TRUE(session_manager_runs()) << "store_user_id starts the session manager";
    EXPECT_EQ(load_user_id(module_), std::wstring(63, L'x'));
    store_user_id(module_, L"short");
    EXPECT_EQ(load_user_id(module_), L"short") << "a shorter id leaves no tail of the longer one";
    wchar_t block[64];
    std::fill(std::begin(block), std::end(block), L'A');
    write_block(block);
    EXPECT_EQ(load_user_id(module_), std::wstring(63, L'A')) << "a block without terminator";
}

TEST_F(session_test, log_off_or_quit_through_the_session_manager_ends_the_login)
{
    for (const wchar_t* command : {L"/logoff", L"/quit"}) {
        login(module_, wide(user_), wide(password_));
        const auto cached = get_connection(module_);
        EXPECT_EQ(run_session_manager(command), 0u);
        EXPECT_EQ(session_manager_runs(), std::wstring(command) == L"/logoff")
            << "log-off empties the block, the process stays";
        EXPECT_FALSE(is_logged_in(module_));
        EXPECT_EQ(failure_of([&] { get_connection(module_); }).second, L"Not logged in");
        // A new login is possible and replaces the cached client.
        login(module_, wide(user_), wide(password_));
        EXPECT_NE(get_connection(module_).get(), cached.get());
        quit_session_manager();
    }
}

TEST_F(session_test, another_process_login_is_picked_up_from_the_stored_user_id)
{
    // As if another Explorer process had logged in: the block holds a UserID, this process's
    // cache is empty, so get_connection builds a client from the UserID with get_ftp_params.
    client elsewhere(wide(user_), wide(password_));
    store_user_id(module_, elsewhere.user_id());
    const auto& c = dynamic_cast<client&>(*get_connection(module_));
    EXPECT_EQ(c.user_id() + wide(c.transfer_user() + c.transfer_password()),
              elsewhere.user_id() + wide(elsewhere.transfer_user() + elsewhere.transfer_password()));
}

TEST_F(session_test, errors_of_the_session_link_are_internal_errors)
{
    // A module whose folder has no session manager: kernel32 lives in the system folder.
    const HMODULE elsewhere = GetModuleHandleW(L"kernel32.dll");
    EXPECT_EQ(failure_of([&] { ensure_session(elsewhere, true); }).second, L"Error creating session process");
    EXPECT_EQ(failure_of([&] { load_user_id(elsewhere); }),
              std::make_pair(std::wstring(L"Internal error"), std::wstring(L"Unable to load UserID")));
    EXPECT_EQ(failure_of([&] { store_user_id(elsewhere, L"x"); }),
              std::make_pair(std::wstring(L"Internal error"), std::wstring(L"Unable to store UserID")));
    EXPECT_FALSE(is_logged_in(elsewhere));
}
