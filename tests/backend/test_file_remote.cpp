#include "backend/client.h"
#include "backend/curl_library.h"
#include "backend/exception.h"
#include "backend/file.h"
#include "backend/protocol.h"
#include "support/dev_service.h"
#include "support/failure.h"
#include "test_transfer_support.h"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using qm_test::failure_of;
using qm_test::wide;

using qm_test::bytes;
using qm_test::pattern;
using qm_test::read_all;
using qm_test::sha256;
using qm_test::transfer_account;
using qm_test::write_all;

using vfs_quillmere::narrow;

typedef std::pair<std::wstring, std::wstring> failure;

class file_test : public testing::Test {
protected:
    void SetUp() override
    {
        vfs_quillmere::set_service_url(qm_test::dev_service::get().base_url());
        account_ = std::make_unique<transfer_account>("file");
        client_ =
            boost::make_shared<vfs_quillmere::client>(wide(account_->name()), wide(account_->password()));
    }

    boost::shared_ptr<vfs::file> create(const std::wstring& name, std::uint64_t size = 0)
    {
        return client_->get_root()->create_file_alloc(name, size);
    }

    std::unique_ptr<transfer_account> account_;
    boost::shared_ptr<vfs_quillmere::client> client_;
};

// Writes data as a new file of the client's root, the way the copy engine does.
boost::shared_ptr<vfs::file> upload(vfs_quillmere::client& client, const std::wstring& name,
                                    const bytes& data)
{
    auto f = client.get_root()->create_file_alloc(name, data.size());
    f->open(vfs::modeWrite | vfs::modeCreate);
    write_all(*f, data, 16384);
    f->close();
    return f;
}

// Where a file lies on the transfer host.
std::string location_of(const boost::shared_ptr<vfs::file>& f)
{
    return narrow(boost::dynamic_pointer_cast<vfs_quillmere::file>(f)->location());
}

TEST_F(file_test, round_trips_sizes_around_every_buffer_boundary)
{
    // One file rewritten by every pass, so that a shorter upload must replace a longer one.
    struct pass {
        std::size_t size;
        std::int32_t chunk;
    };
    const pass passes[] = {{16385, 1},
                           {0, 4096},
                           {1, 16384},
                           {16383, 1 << 20},
                           {16384, 4096},
                           {(512u << 10) - 1, 16384},
                           {512u << 10, 1 << 20},
                           {(2u << 20) + 1, 16384},
                           {10u << 20, 1 << 20}};
    auto f = create(L"sizes.bin");
    for (const pass& p : passes) {
        SCOPED_TRACE("size " + std::to_string(p.size) + ", calls of " + std::to_string(p.chunk));
        const bytes data = pattern(p.size, static_cast<std::uint32_t>(p.size) + 1);
        f->open(vfs::modeWrite | vfs::modeCreate);
        write_all(*f, data, static_cast<std::size_t>(p.chunk));
        EXPECT_EQ(f->get_pos(), static_cast<std::int64_t>(p.size));
        f->close();
        EXPECT_EQ(f->get_size(), static_cast<std::int64_t>(p.size));

        f->open(vfs::modeRead);
        EXPECT_EQ(sha256(read_all(*f, p.chunk)), sha256(data));
        EXPECT_TRUE(f->is_eof());
        EXPECT_EQ(f->get_pos(), static_cast<std::int64_t>(p.size));
        f->close();
    }
}

TEST_F(file_test, every_pass_ends_with_update_file_info)
{
    const bytes data = pattern(1000, 2);
    auto f = create(L"passes.bin", 1000);
    const std::string id = narrow(f->get_id());
    const long long start = account_->sequence();

    f->open(vfs::modeWrite | vfs::modeCreate);
    ASSERT_EQ(f->write(data.data(), 600), 600);
    ASSERT_EQ(f->write(data.data() + 600, 400), 400);
    EXPECT_EQ(f->get_mode(), vfs::modeWrite | vfs::modeCreate);
    EXPECT_EQ(f->get_pos(), 1000);
    f->close();
    EXPECT_EQ(f->get_size(), 1000);
    EXPECT_EQ(f->get_pos(), 0);
    EXPECT_EQ(f->get_mode(), 0);
    EXPECT_EQ(account_->update_file_info_requests(start), std::vector<std::string>{id});

    f->open(vfs::modeRead);
    EXPECT_EQ(read_all(*f, 300), data);
    EXPECT_TRUE(f->is_eof());
    f->close();
    EXPECT_EQ(account_->update_file_info_requests(start), (std::vector<std::string>{id, id}));
    EXPECT_EQ(account_->get(location_of(f)), data);

    // The service took the date of the download into the listing.
    const std::string listing = account_->operations("action=list_dir&dir_id=0");
    EXPECT_GT(std::atoll(qm_test::xml_value(listing, "DateAccessed").c_str()), 0) << listing;
}

TEST_F(file_test, open_modes_and_wrong_calls)
{
    auto f = create(L"modes.txt");
    char buffer[8] = {};
    EXPECT_FALSE(f->is_eof()) << "never opened";
    const std::int32_t writing = vfs::modeWrite | vfs::modeCreate;
    // Each call made in the mode given (0: closed); bits other than read, write and create do
    // not matter.
    const struct {
        std::int32_t mode;
        std::function<void()> call;
        failure expected;
    } calls[] = {
        {0, [&] { f->open(7); }, {L"Open failed", L"Invalid open mode"}},
        {0, [&] { f->open(vfs::modeWrite); }, {L"Open failed", L"Invalid open mode"}},
        {0, [&] { f->open(0); }, {L"Open failed", L"Invalid open mode"}},
        {0, [&] { f->close(); }, {L"Close failed", L"File is not opened"}},
        {0, [&] { f->read(buffer, 8); }, {L"Read failed", L"File not opened"}},
        {0, [&] { f->write(buffer, 8); }, {L"Write failed", L"File not opened"}},
        {writing | 0x100, [&] { f->open(vfs::modeRead); }, {L"Open failed", L"File already opened"}},
        {writing, [&] { f->read(buffer, 8); }, {L"Read failed", L"Incorrect file mode"}},
        {writing, [&] { f->write(nullptr, 8); }, {L"Write failed", L"buffer is NULL"}},
        {writing, [&] { f->write(buffer, -1); }, {L"Write failed", L"buffer length is negative"}},
        {vfs::modeRead | 0x40, [&] { f->write(buffer, 8); }, {L"Write failed", L"Incorrect file mode"}},
        {vfs::modeRead, [&] { f->read(nullptr, 8); }, {L"Read failed", L"buffer is NULL"}},
        {vfs::modeRead, [&] { f->read(buffer, -1); }, {L"Read failed", L"buffer length is negative"}},
    };
    for (const auto& c : calls) {
        if (f->get_mode() != c.mode) {
            if (f->get_mode())
                f->close();
            if (c.mode)
                f->open(c.mode);
        }
        EXPECT_EQ(failure_of(c.call), c.expected);
        EXPECT_EQ(f->get_mode(), c.mode) << "a refused call leaves the file as it was";
        EXPECT_EQ(f->get_pos(), 0);
    }
    f->close();
}

TEST_F(file_test, seek_rewinds_or_stays_and_nothing_else)
{
    const bytes data = pattern(3u << 20, 6);
    auto f = create(L"seek.bin");
    f->open(vfs::modeWrite | vfs::modeCreate);
    write_all(*f, data, 1 << 20);
    f->close();

    f->open(vfs::modeRead);
    bytes part(500);
    ASSERT_EQ(f->read(part.data(), 500), 500);
    f->seek(500, vfs::originBeginning);
    f->seek(0, vfs::originCurrent);
    EXPECT_EQ(f->get_pos(), 500) << "seeks to where the file stands do nothing";
    EXPECT_EQ(failure_of([&] { f->seek(10, vfs::originCurrent); }),
              failure(L"Internal error", L"file::seek(): Operation not implemented"));
    EXPECT_EQ(failure_of([&] { f->seek(0, vfs::originEnding); }),
              failure(L"Internal error", L"file::seek(): Operation not implemented"));

    f->seek(0, vfs::originBeginning);
    EXPECT_EQ(f->get_pos(), 0);
    EXPECT_EQ(sha256(read_all(*f, 16384)), sha256(data)) << "the download started again";
    f->close();

    // Rewinding a writer starts the upload again from nothing.
    f->open(vfs::modeWrite | vfs::modeCreate);
    write_all(*f, pattern(5000, 1), 5000);
    f->seek(0, vfs::originBeginning);
    const bytes fresh = pattern(700, 2);
    write_all(*f, fresh, 700);
    f->close();
    EXPECT_EQ(f->get_size(), 700);
    EXPECT_EQ(account_->get(location_of(f)), fresh);
}

TEST_F(file_test, an_upload_that_cannot_be_finished_is_reported_by_close)
{
    auto f = create(L"lost.bin");
    const long long start = account_->sequence();
    // Every connection is cut before its first byte lands: close cannot finish the upload.
    account_->drop_after(0, 20, "write");
    f->open(vfs::modeWrite | vfs::modeCreate);
    const bytes data = pattern(1000, 3);
    ASSERT_EQ(f->write(data.data(), 1000), 1000);
    EXPECT_EQ(failure_of([&] { f->close(); }), failure(L"Close failed", L"Internet connection failed"));
    EXPECT_EQ(f->get_mode(), 0) << "the pass is over";
    EXPECT_EQ(f->get_size(), 0) << "the size of contents the host does not have is not taken";
    EXPECT_TRUE(account_->update_file_info_requests(start).empty());
}

TEST_F(file_test, small_files_share_a_connection_per_user_and_never_another_users)
{
    // Two users' uploads in turn: a connection of one would show the other none of its files.
    const transfer_account second_account("second");
    vfs_quillmere::client second(wide(second_account.name()), wide(second_account.password()));
    const struct {
        vfs_quillmere::client* client;
        const transfer_account* account;
    } users[] = {{client_.get(), account_.get()}, {&second, &second_account}};
    constexpr int files_each = 3;
    for (const bool sharing : {true, false}) {
        SCOPED_TRACE(sharing ? "shared" : "not shared");
        vfs_quillmere::share_connections(sharing);
        const long long before[] = {account_->logins(), second_account.logins()};
        std::vector<std::string> locations;
        for (int i = 0; i < 2 * files_each; ++i)
            locations.push_back(
                location_of(upload(*users[i % 2].client, (sharing ? L"s" : L"n") + std::to_wstring(i),
                                   pattern(4096, static_cast<std::uint32_t>(i)))));
        for (int u = 0; u < 2; ++u)
            EXPECT_EQ(users[u].account->logins() - before[u], sharing ? 1 : files_each);
        for (int i = 0; i < 2 * files_each; ++i)
            EXPECT_EQ(sha256(users[i % 2].account->get(locations[static_cast<std::size_t>(i)])),
                      sha256(pattern(4096, static_cast<std::uint32_t>(i))));
    }
    vfs_quillmere::share_connections(true);
}

TEST_F(file_test, a_connection_the_host_ended_between_two_files_does_not_fail_the_next)
{
    const bytes data = pattern(100'000, 7);
    auto source = upload(*client_, L"source.bin", data);
    const struct {
        const char* when;
        bool upload;
    } rows[] = {{"now", true}, {"next_request", true}, {"next_request", false}, {"now", false}};
    int n = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.when) + (r.upload ? " upload" : " download"));
        // The last file's connection waits in the cache when the host ends it.
        account_->disconnect(r.when);
        const long long logins = account_->logins();
        bytes got;
        if (r.upload) {
            const std::string location = location_of(upload(*client_, L"next" + std::to_wstring(n++), data));
            EXPECT_EQ(account_->logins(), logins + 1) << "on a new connection";
            got = account_->get(location);
        }
        else {
            source->open(vfs::modeRead);
            got = read_all(*source, 16384);
            source->close();
            EXPECT_EQ(account_->logins(), logins + 1) << "on a new connection";
        }
        EXPECT_EQ(sha256(got), sha256(data));
    }
}

TEST_F(file_test, dates_as_ole_dates)
{
    vfs_quillmere::file never(*client_, L"1", L"n", L"", L"/f/1", L"", 0, 0, 86400);
    EXPECT_EQ(never.get_date_accessed(), -1.0);
    EXPECT_EQ(never.get_date_modified(), 25570.0);
    EXPECT_EQ(never.get_date_created(), 0.0);
    vfs_quillmere::file later(*client_, L"1", L"n", L"", L"/f/1", L"", 0, 1700000000, 43200);
    EXPECT_DOUBLE_EQ(later.get_date_accessed(), 1700000000.0 / 86400.0 + 25569.0);
    EXPECT_EQ(later.get_date_modified(), 25569.5);
}

} // namespace
