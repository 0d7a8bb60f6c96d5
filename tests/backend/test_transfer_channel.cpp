#include "backend/transfer_channel.h"
#include "support/failure.h"
#include "test_transfer_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace {

using qm_test::bytes;
using qm_test::failure_of;
using qm_test::pattern;
using qm_test::read_all;
using qm_test::remote_file;
using qm_test::sha256;
using qm_test::transfer_account;
using qm_test::write_all;
using vfs_quillmere::transfer_channel;

typedef std::pair<std::wstring, std::wstring> failure;
typedef std::chrono::steady_clock clock_type;

constexpr std::int32_t download = transfer_channel::mode_download;
constexpr std::int32_t upload = transfer_channel::mode_upload;
// Short enough for the tests of slow and stalled links; the product waits 25 s.
constexpr unsigned long short_idle_timeout_ms = 2500;

std::unique_ptr<transfer_channel> channel_for(const transfer_account& account, const remote_file& file,
                                              unsigned long idle_timeout_ms = 0)
{
    auto channel = std::make_unique<transfer_channel>(account.host(), file.location, account.sftp_user(),
                                                      account.sftp_password());
    if (idle_timeout_ms)
        channel->set_idle_timeout(idle_timeout_ms);
    return channel;
}

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

std::string describe(const std::vector<qm_test::transfer_record>& records)
{
    std::string text;
    for (const auto& r : records)
        text += r.mode + " from " + std::to_string(r.first_offset) + " moved " + std::to_string(r.bytes) +
                " " + r.result + "\n";
    return text;
}

TEST(transfer_channel, download_resumes_where_the_connection_dropped)
{
    const transfer_account account("dlresume");
    struct drop_case {
        const char* name;
        std::size_t size;
        long long after;
        int count;
    };
    const drop_case cases[] = {
        {"once", 6'000'000, 4'000'000, 1},
        {"three times", 6'000'000, 1'800'000, 3},
        {"inside the first buffer", 6'000'000, 100'000, 1},
        {"at the first byte", 6'000'000, 0, 1},
        {"at the last byte", 6'000'000, 5'999'999, 1},
        {"twice in a small file", 1000, 500, 2},
    };
    for (const drop_case& c : cases) {
        SCOPED_TRACE(c.name);
        const bytes data = pattern(c.size, static_cast<std::uint32_t>(c.after));
        const remote_file file = account.create_file(std::string("d") + std::to_string(c.after));
        account.put(file.location, data);
        account.drop_after(c.after, c.count, "read");
        auto channel = channel_for(account, file);
        // Whenever the connection drops, the open succeeds and the reads resume.
        channel->open(download);
        int failures = 0;
        EXPECT_EQ(sha256(read_all(*channel, 16384, &failures)), sha256(data));
        channel->close();
        // A drop found while the caller still reads the last buffer is resumed by the next read
        // without a failed call; one found while it waits fails it.
        EXPECT_EQ(account.pending_drops(), 0);
        EXPECT_LE(failures, c.count);

        // The last transfer began after the bytes handed out before, which lie before the point
        // where the connection was cut.
        const auto records = account.completed_transfers(file.id, "read");
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back().result, "ok") << describe(records);
        EXPECT_EQ(records.back().first_offset + records.back().bytes, static_cast<long long>(data.size()));
        EXPECT_LE(records.back().first_offset, c.after * c.count) << describe(records);
        if (c.count == 1 && c.after >= 1'000'000) {
            EXPECT_GT(records.back().first_offset, 0) << describe(records);
        }
    }
}

TEST(transfer_channel, open_fails_when_the_host_refuses_the_file)
{
    const transfer_account account("refused");
    const remote_file file = account.create_file("r");
    for (const auto& [location, password] :
         {std::pair{file.location, std::string("not the password")},
          std::pair{std::string("/f/999999999"), account.sftp_password()}}) {
        for (const std::int32_t mode : {download, upload}) {
            SCOPED_TRACE(location + " " + std::to_string(mode));
            transfer_channel channel(account.host(), location, account.sftp_user(), password);
            EXPECT_EQ(failure_of([&] { channel.open(mode); }),
                      failure(L"Open failed", L"Internet connection failed"));
            EXPECT_EQ(channel.get_mode(), 0);
        }
    }
}

TEST(transfer_channel, upload_resumes_where_the_connection_dropped)
{
    const transfer_account account("ulresume");
    const bytes data = pattern(5u << 20, 11);
    struct drop_case {
        const char* name;
        long long after;
        int count;
    };
    // A drop shows in the write that waits for libcurl to take more, which the next write
    // resumes, or in close, which resumes by itself; either way no write is lost or repeated.
    const drop_case cases[] = {
        {"once", 3'000'000, 1},
        {"three times", 1'500'000, 3},
        {"at the first byte", 0, 1},
        {"at the last byte", (5 << 20) - 1, 1},
    };
    for (const drop_case& c : cases) {
        SCOPED_TRACE(c.name);
        const remote_file file = account.create_file(std::string("u") + std::to_string(c.after));
        account.drop_after(c.after, c.count, "write");
        auto channel = channel_for(account, file);
        int failures = 0;
        channel->open(upload);
        write_all(*channel, data, 16384, &failures);
        channel->close();
        EXPECT_LE(failures, c.count);
        EXPECT_EQ(sha256(account.get(file.location)), sha256(data));

        // Each resumed transfer continued at the end of the host's copy, which ends where the
        // connection was cut.
        const auto records = account.completed_transfers(file.id, "rewrite,append");
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back().result, "ok") << describe(records);
        EXPECT_EQ(records.back().first_offset, c.after * c.count) << describe(records);
        EXPECT_EQ(records.back().mode, c.after ? "append" : "rewrite") << describe(records);
        for (const auto& r : records)
            EXPECT_EQ(r.first_offset % (c.after ? c.after : 1), 0) << describe(records);
    }
}

TEST(transfer_channel, close_puts_every_byte_written_on_the_host_or_fails)
{
    const transfer_account account("closing");
    struct close_case {
        const char* name;
        std::size_t size;
        long long after;
        int drops;
        bool retry;
        bool closes;
    };
    // A write fails when it waits for libcurl to take more and the transfer ends instead: the
    // caller is a whole buffer ahead of libcurl, so the first 4 MiB are written at once.
    const close_case cases[] = {
        {"a failed write repeated", 6u << 20, 1'000'000, 1, true, true},
        {"a failed write not repeated", 6u << 20, 1'000'000, 1, false, true},
        // Were close to try more than one resumption, the third transfer would succeed.
        {"a host that drops the transfer and its resumption", 1000, 0, 2, true, false},
    };
    for (const close_case& c : cases) {
        SCOPED_TRACE(c.name);
        const bytes data = pattern(c.size, 5);
        const remote_file file = account.create_file("c" + std::to_string(&c - cases));
        account.drop_after(c.after, c.drops, "write");
        auto channel = channel_for(account, file);
        channel->open(upload);
        std::size_t pos = 0;
        int failures = 0;
        while (pos < data.size()) {
            const auto n = static_cast<std::int32_t>(std::min<std::size_t>(16384, data.size() - pos));
            try {
                channel->write(data.data() + pos, n);
                pos += static_cast<std::size_t>(n);
            }
            catch (const vfs::exception&) {
                ++failures;
                if (!c.retry)
                    break;
            }
        }
        EXPECT_LE(failures, c.drops);
        if (c.closes) {
            channel->close();
            EXPECT_EQ(sha256(account.get(file.location)), sha256(bytes(data.begin(), data.begin() + pos)));
        }
        else {
            EXPECT_EQ(failure_of([&] { channel->close(); }),
                      failure(L"Close failed", L"Internet connection failed"));
            EXPECT_EQ(account.pending_drops(), 0);
        }
    }
}

TEST(transfer_channel, a_slow_link_completes_however_long_a_buffer_takes)
{
    // At this rate the whole file takes about twice the idle time-out, longer than the old
    // per-buffer time-out allowed, while a byte still moves every half second.
    const transfer_account account("slow");
    const bytes data = pattern(300'000, 21);
    const remote_file source = account.create_file("down"), target = account.create_file("up");
    account.put(source.location, data);
    account.throttle("any", 60'000);
    auto reader = channel_for(account, source, short_idle_timeout_ms);
    auto writer = channel_for(account, target, short_idle_timeout_ms);
    // Both ways at once, which halves the wait.
    std::wstring upload_error;
    std::thread up([&] {
        try {
            writer->open(upload);
            write_all(*writer, data, 16384);
            writer->close();
        }
        catch (const vfs::exception& e) {
            upload_error = e.get_message() + L": " + e.get_details();
        }
    });
    reader->open(download);
    EXPECT_EQ(sha256(read_all(*reader, 16384)), sha256(data));
    reader->close();
    up.join();
    EXPECT_EQ(upload_error, L"");
    account.throttle("any", -1);
    EXPECT_EQ(sha256(account.get(target.location)), sha256(data));
}

TEST(transfer_channel, a_stalled_link_fails_after_the_idle_time_out)
{
    const transfer_account account("stalled");
    const remote_file file = account.create_file("s"), written = account.create_file("w");
    account.put(file.location, pattern(100'000, 3));
    account.throttle("any", 0);
    auto writer = channel_for(account, written, short_idle_timeout_ms);
    auto channel = channel_for(account, file, short_idle_timeout_ms);
    const double time_out = short_idle_timeout_ms / 1000.0;
    char buffer[16];

    // Close resumes the upload once and gives up: two time-outs, not one per resumption.
    writer->open(upload);
    ASSERT_EQ(writer->write(buffer, 16), 16);
    auto start = clock_type::now();
    EXPECT_EQ(failure_of([&] { writer->close(); }), failure(L"Close failed", L"Internet connection failed"));
    EXPECT_GE(seconds_since(start), 2 * time_out * 0.9) << "not before the time-outs";
    EXPECT_LT(seconds_since(start), 4 * time_out);

    // The host opened the file, so the open succeeds; the read resumes once more and gives up.
    start = clock_type::now();
    channel->open(download);
    EXPECT_EQ(failure_of([&] { channel->read(buffer, 16); }),
              failure(L"Read failed", L"Internet connection failed"));
    EXPECT_GE(seconds_since(start), 2 * time_out * 0.9) << "not before the time-outs";
    channel->close();
}

TEST(transfer_channel, a_download_is_given_up_at_once_on_a_stalled_link)
{
    const transfer_account account("giveup");
    const bytes data = pattern(1u << 20, 9);
    const remote_file file = account.create_file("g"), small = account.create_file("small");
    account.put(file.location, data);
    account.put(small.location, pattern(1000, 9));
    // The first buffer arrives, then nothing more: only the 25 s time-out would end the transfer.
    account.throttle("read", 0, 512 * 1024);
    std::unique_ptr<transfer_channel> channel;
    for (const std::string how : {"destroy", "close"}) {
        SCOPED_TRACE(how);
        // A complete download leaves its connection in the cache, where the stalled one takes it.
        channel = channel_for(account, small);
        channel->open(download);
        read_all(*channel, 16384);
        channel->close();
        channel = channel_for(account, file);
        channel->open(download);
        bytes part(1000);
        ASSERT_EQ(channel->read(part.data(), 1000), 1000);
        const auto start = clock_type::now();
        if (how == "destroy")
            channel.reset();
        else
            channel->close();
        EXPECT_LT(seconds_since(start), 1.0) << "instead of the idle time-out";
    }
    // Opened again (a rewind), the channel reads the whole file; reading exactly to the last
    // byte answers the end of the file without another call.
    account.throttle("read", -1);
    channel->open(download);
    bytes whole(data.size());
    ASSERT_EQ(channel->read(whole.data(), static_cast<std::int32_t>(data.size())),
              static_cast<std::int32_t>(data.size()));
    EXPECT_TRUE(channel->is_eof());
    EXPECT_EQ(sha256(whole), sha256(data));
    channel->close();
    EXPECT_FALSE(channel->is_eof());
}

} // namespace
