#include "backend/curl_library.h"
#include "backend/exception.h"
#include "backend/transfer_channel.h"
#include "test_transfer_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include <winsock2.h>
#include <ws2tcpip.h>

namespace {

using qm_test::bytes;
using qm_test::pattern;
using qm_test::remote_file;
using qm_test::sha256;
using qm_test::transfer_account;
using vfs_quillmere::transfer_channel;

constexpr std::int32_t download = transfer_channel::mode_download;
constexpr std::int32_t upload = transfer_channel::mode_upload;

std::unique_ptr<transfer_channel> channel_for(const transfer_account& account, const remote_file& file)
{
    return std::make_unique<transfer_channel>(account.host(), file.location, account.sftp_user(),
                                              account.sftp_password());
}

#define EXPECT_VFS_ERROR(statement, message, details)                                                        \
    do {                                                                                                     \
        try {                                                                                                \
            statement;                                                                                       \
            ADD_FAILURE() << #statement " did not throw";                                                    \
        }                                                                                                    \
        catch (const vfs_quillmere::exception& e) {                                                          \
            EXPECT_EQ(e.get_message(), std::wstring(message));                                               \
            EXPECT_EQ(e.get_details(), std::wstring(details));                                               \
        }                                                                                                    \
    } while (0)

// Reads to the end the way the copy engine does: a failed call is repeated; failures counted.
bytes read_all(transfer_channel& channel, std::int32_t chunk, std::vector<long long>* failures = nullptr)
{
    bytes out;
    bytes buffer(static_cast<std::size_t>(chunk));
    for (int failed = 0;;) {
        std::int32_t n = 0;
        try {
            n = channel.read(buffer.data(), chunk);
        }
        catch (const vfs_quillmere::exception& e) {
            EXPECT_EQ(e.get_message(), L"Read failed");
            EXPECT_EQ(e.get_details(), L"Internet connection failed");
            if (++failed > 10)
                throw;
            if (failures)
                failures->push_back(channel.resume_offset());
            continue;
        }
        if (n == 0)
            break;
        out.insert(out.end(), buffer.begin(), buffer.begin() + n);
    }
    return out;
}

void write_all(transfer_channel& channel, const bytes& data, std::size_t chunk, int* failures = nullptr)
{
    for (std::size_t pos = 0, failed = 0; pos < data.size();) {
        const auto n = static_cast<std::int32_t>(std::min(chunk, data.size() - pos));
        try {
            EXPECT_EQ(channel.write(data.data() + pos, n, false), n);
            pos += static_cast<std::size_t>(n);
        }
        catch (const vfs_quillmere::exception& e) {
            EXPECT_EQ(e.get_message(), L"Write failed");
            EXPECT_EQ(e.get_details(), L"Internet connection failed");
            if (++failed > 10)
                throw;
            if (failures)
                ++*failures;
        }
    }
}

void open_retrying(transfer_channel& channel, std::int32_t mode, std::vector<long long>* failures)
{
    for (int attempt = 0;; ++attempt) {
        try {
            channel.open(mode);
            return;
        }
        catch (const vfs_quillmere::exception& e) {
            EXPECT_EQ(e.get_details(), L"Internet connection failed");
            EXPECT_EQ(channel.get_mode(), 0);
            failures->push_back(0);
            if (attempt == 5)
                throw;
        }
    }
}

// The matrix of sizes and call sizes runs through vfs::file (test_file_remote); here the sizes
// around libcurl's and the callers' buffer boundaries once each way.
TEST(transfer_channel, round_trips_every_size)
{
    const transfer_account account("roundtrip");
    const std::size_t sizes[] = {0, 1, 16383, 16384, 16385, (512u << 10) - 1, 512u << 10, (2u << 20) + 1};
    for (const std::size_t size : sizes) {
        SCOPED_TRACE("size " + std::to_string(size));
        const bytes data = pattern(size, static_cast<std::uint32_t>(size));
        const remote_file file = account.create_file("f" + std::to_string(size));
        auto channel = channel_for(account, file);
        channel->open(upload);
        write_all(*channel, data, 16384);
        channel->close();
        EXPECT_EQ(sha256(account.get(file.location)), sha256(data)) << "uploaded contents";

        channel->open(download);
        EXPECT_EQ(sha256(read_all(*channel, 16384)), sha256(data)) << "downloaded contents";
        EXPECT_TRUE(channel->is_eof());
        channel->close();
        EXPECT_FALSE(channel->is_eof());
    }
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
    const bytes data = pattern(6'000'000, 7);
    struct drop_case {
        const char* name;
        long long after;
        int count;
    };
    const drop_case cases[] = {
        {"once", 4'000'000, 1},
        {"three times", 1'800'000, 3},
        {"at the first byte", 0, 1},
        {"at the last byte", 5'999'999, 1},
    };
    for (const drop_case& c : cases) {
        SCOPED_TRACE(c.name);
        const remote_file file = account.create_file(std::string("d") + std::to_string(c.after));
        account.put(file.location, data);
        account.drop_after(c.after, c.count, "read");
        auto channel = channel_for(account, file);
        std::vector<long long> failures;
        open_retrying(*channel, download, &failures);
        EXPECT_EQ(sha256(read_all(*channel, 16384, &failures)), sha256(data));
        channel->close();
        // Every drop was used. A drop found while the caller still reads the last buffer is
        // resumed by the next read without a failed call; one found while it waits fails it.
        EXPECT_EQ(account.pending_drops(), 0);
        EXPECT_LE(failures.size(), static_cast<std::size_t>(c.count));
        for (std::size_t i = 0; i < failures.size(); ++i)
            EXPECT_LE(failures[i], static_cast<long long>(i + 1) * c.after);

        // The last transfer began exactly after the bytes handed out before, which lie before
        // the point where the connection was cut.
        const auto records = account.completed_transfers(file.id, "read");
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back().result, "ok") << describe(records);
        EXPECT_EQ(records.back().first_offset + records.back().bytes, static_cast<long long>(data.size()));
        EXPECT_LE(records.back().first_offset, c.after * c.count) << describe(records);
        if (!failures.empty()) {
            EXPECT_GE(records.back().first_offset, failures.back()) << describe(records);
        }
        if (c.after == 4'000'000) {
            EXPECT_GT(records.back().first_offset, 0) << "the download resumed inside the file";
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
        int write_failures;
    };
    // The channel hands libcurl 2 MiB at a time, so a drop inside the file shows in the write
    // that completes a buffer, and a drop in the last part shows in close, which resumes it.
    const drop_case cases[] = {
        {"once", 3'000'000, 1, 1},
        {"three times", 1'500'000, 3, 3},
        {"at the first byte", 0, 1, 1},
        {"at the last byte", (5 << 20) - 1, 1, 0},
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
        EXPECT_EQ(failures, c.write_failures);
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

TEST(transfer_channel, a_failed_write_takes_none_of_its_bytes)
{
    const transfer_account account("failedwrite");
    const bytes data = pattern(3u << 20, 5);
    const remote_file file = account.create_file("w");
    account.drop_after(1'000'000, 1, "write");
    auto channel = channel_for(account, file);
    channel->open(upload);
    std::size_t pos = 0;
    bool failed = false;
    while (pos < data.size()) {
        try {
            channel->write(data.data() + pos, 16384, false);
            pos += 16384;
        }
        catch (const vfs_quillmere::exception& e) {
            EXPECT_EQ(e.get_message(), L"Write failed");
            EXPECT_EQ(e.get_details(), L"Internet connection failed");
            ASSERT_FALSE(failed) << "one drop, one failure";
            failed = true;
            // The block of 2 MiB that was on its way is resent before the next bytes.
            EXPECT_EQ(pos, (2u << 20) - 16384);
        }
    }
    channel->close();
    EXPECT_TRUE(failed);
    EXPECT_EQ(sha256(account.get(file.location)), sha256(data));
}

TEST(transfer_channel, empty_and_zero_byte_transfers)
{
    const transfer_account account("empty");
    const remote_file file = account.create_file("e");
    auto channel = channel_for(account, file);

    // Downloading an empty file: open succeeds on a finished transfer.
    channel->open(download);
    EXPECT_TRUE(channel->is_eof());
    char c = 0;
    EXPECT_EQ(channel->read(&c, 1), 0);
    EXPECT_TRUE(channel->is_eof());
    channel->close();

    // An upload of no bytes replaces the contents by an empty file.
    account.put(file.location, pattern(1000, 1));
    channel->open(upload);
    channel->close();
    EXPECT_TRUE(account.get(file.location).empty());
}

TEST(transfer_channel, a_download_closed_half_way_leaves_the_channel_reusable)
{
    const transfer_account account("halfway");
    const bytes data = pattern(4u << 20, 3);
    const remote_file file = account.create_file("h");
    account.put(file.location, data);
    auto channel = channel_for(account, file);

    channel->open(download);
    bytes part(100000);
    ASSERT_EQ(channel->read(part.data(), 100000), 100000);
    EXPECT_FALSE(channel->is_eof());
    channel->close();
    EXPECT_EQ(channel->get_mode(), 0);
    EXPECT_EQ(channel->resume_offset(), 0);

    channel->open(download);
    EXPECT_EQ(sha256(read_all(*channel, 65536)), sha256(data));
    channel->close();

    // Reading exactly to the last byte answers end of file without another call.
    channel->open(download);
    bytes whole(data.size());
    ASSERT_EQ(channel->read(whole.data(), static_cast<std::int32_t>(whole.size())),
              static_cast<std::int32_t>(data.size()));
    EXPECT_TRUE(channel->is_eof());
    channel->close();
}

TEST(transfer_channel, a_channel_destroyed_mid_transfer_stops_its_worker)
{
    const transfer_account account("destroyed");
    const bytes data = pattern(4u << 20, 9);
    const remote_file file = account.create_file("d");
    account.put(file.location, data);
    {
        auto reader = channel_for(account, file);
        reader->open(download);
        bytes part(5000);
        reader->read(part.data(), 5000);
    }
    const remote_file other = account.create_file("o");
    {
        auto writer = channel_for(account, other);
        writer->open(upload);
        write_all(*writer, pattern(3u << 20, 1), 16384);
    }
    // The abandoned transfers left the contents alone and the host serving.
    EXPECT_EQ(sha256(account.get(file.location)), sha256(data));
    auto reader = channel_for(account, file);
    reader->open(download);
    EXPECT_EQ(sha256(read_all(*reader, 16384)), sha256(data));
    reader->close();
}

TEST(transfer_channel, refuses_wrong_calls_and_credentials)
{
    const transfer_account account("calls");
    const remote_file file = account.create_file("c");
    auto channel = channel_for(account, file);
    char buffer[16] = {};

    EXPECT_VFS_ERROR(channel->open(0), L"Open failed", L"Invalid open mode");
    EXPECT_VFS_ERROR(channel->open(3), L"Open failed", L"Invalid open mode");
    EXPECT_VFS_ERROR(channel->read(buffer, 1), L"Read failed", L"File not opened");
    EXPECT_VFS_ERROR(channel->write(buffer, 1, false), L"Write failed", L"File not opened");
    EXPECT_VFS_ERROR(channel->close(), L"Close failed", L"File is not opened");
    EXPECT_VFS_ERROR(channel->read(nullptr, 1), L"Read failed", L"buffer is NULL");

    channel->open(download);
    EXPECT_VFS_ERROR(channel->open(download), L"Open failed", L"File already opened");
    EXPECT_VFS_ERROR(channel->write(buffer, 1, false), L"Write failed", L"Incorrect file mode");
    EXPECT_VFS_ERROR(channel->read(buffer, -1), L"Read failed", L"buffer length is negative");
    channel->close();

    channel->open(upload);
    EXPECT_VFS_ERROR(channel->read(buffer, 1), L"Read failed", L"Incorrect file mode");
    EXPECT_VFS_ERROR(channel->write(nullptr, 1, false), L"Write failed", L"buffer is NULL");
    EXPECT_VFS_ERROR(channel->write(buffer, -5, false), L"Write failed", L"buffer length is negative");
    ASSERT_EQ(channel->write("abc", 3, false), 3);
    channel->close();
    const bytes expected{'a', 'b', 'c'};
    EXPECT_EQ(account.get(file.location), expected) << "rejected calls wrote nothing";

    transfer_channel wrong(account.host(), file.location, account.sftp_user(), "not the password");
    EXPECT_VFS_ERROR(wrong.open(download), L"Open failed", L"Internet connection failed");
    EXPECT_EQ(wrong.get_mode(), 0);
    EXPECT_VFS_ERROR(wrong.open(upload), L"Open failed", L"Internet connection failed");
}

// A small HTTP host on loopback: serves GET bodies in 4-byte pieces and answers a PUT with a
// body of its own, the two things an SFTP host never does. (The pieces are gathered on the
// worker's side; reads spanning several hand-overs are covered by the 1 MiB calls of the file tests.)
class trickle_host {
public:
    explicit trickle_host(bytes body) : body_(std::move(body))
    {
        vfs_quillmere::ensure_curl_initialised();
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        int length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        listen(listener_, 4);
        thread_ = std::thread([this] { serve(); });
    }
    ~trickle_host()
    {
        closesocket(listener_);
        thread_.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    const bytes& received() const { return received_; }

private:
    void serve()
    {
        for (;;) {
            const SOCKET peer = accept(listener_, nullptr, nullptr);
            if (peer == INVALID_SOCKET)
                return;
            const BOOL on = TRUE;
            setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
            std::string request;
            char piece[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                const int n = recv(peer, piece, sizeof piece, 0);
                if (n <= 0)
                    break;
                request.append(piece, static_cast<std::size_t>(n));
            }
            if (request.rfind("GET", 0) == 0) {
                const std::string head =
                    "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body_.size()) +
                    "\r\nConnection: close\r\n\r\n";
                send(peer, head.data(), static_cast<int>(head.size()), 0);
                for (std::size_t pos = 0; pos < body_.size(); pos += 4) {
                    send(peer, reinterpret_cast<const char*>(body_.data() + pos),
                         static_cast<int>(std::min<std::size_t>(4, body_.size() - pos)), 0);
                    Sleep(30);
                }
            }
            else {
                if (request.find("Expect: 100-continue") != std::string::npos)
                    send(peer, "HTTP/1.1 100 Continue\r\n\r\n", 25, 0);
                std::string body = request.substr(request.find("\r\n\r\n") + 4);
                while (body.find("0\r\n\r\n") == std::string::npos || body.size() < 5 ||
                       body.compare(body.size() - 5, 5, "0\r\n\r\n") != 0) {
                    const int n = recv(peer, piece, sizeof piece, 0);
                    if (n <= 0)
                        break;
                    body.append(piece, static_cast<std::size_t>(n));
                }
                // Chunked request body: size line, data, CRLF, until the empty chunk.
                for (std::size_t pos = 0;;) {
                    const std::size_t line_end = body.find("\r\n", pos);
                    if (line_end == std::string::npos)
                        break;
                    const std::size_t size = std::stoul(body.substr(pos, line_end - pos), nullptr, 16);
                    if (size == 0)
                        break;
                    received_.insert(received_.end(),
                                     body.begin() + static_cast<std::ptrdiff_t>(line_end + 2),
                                     body.begin() + static_cast<std::ptrdiff_t>(line_end + 2 + size));
                    pos = line_end + 2 + size + 2;
                }
                const std::string answer =
                    "HTTP/1.1 201 Created\r\nContent-Length: 6\r\nConnection: close\r\n\r\nstored";
                send(peer, answer.data(), static_cast<int>(answer.size()), 0);
            }
            shutdown(peer, SD_SEND);
            closesocket(peer);
        }
    }

    bytes body_;
    bytes received_;
    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
    std::thread thread_;
};

TEST(transfer_channel, a_read_gathers_small_libcurl_buffers)
{
    const bytes body = pattern(22, 4);
    trickle_host host(body);
    transfer_channel channel(host.url(), "/file", "", "");
    channel.open(download);
    bytes got(10);
    ASSERT_EQ(channel.read(got.data(), 10), 10) << "4-byte pieces make one read of 10";
    EXPECT_EQ(got, bytes(body.begin(), body.begin() + 10));
    EXPECT_EQ(channel.resume_offset(), 10);
    bytes rest = read_all(channel, 10);
    EXPECT_EQ(rest, bytes(body.begin() + 10, body.end()));
    channel.close();
}

TEST(transfer_channel, an_upload_to_a_host_that_answers_with_a_body)
{
    trickle_host host({});
    transfer_channel channel(host.url(), "/upload", "", "");
    const bytes data = pattern(100000, 8);
    channel.open(upload);
    write_all(channel, data, 16384);
    channel.close();
    EXPECT_EQ(host.received(), data);
}

} // namespace
