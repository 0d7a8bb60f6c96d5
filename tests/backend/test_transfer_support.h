// Helpers of the transfer tests: an account on the dev service reached with plain requests, so
// that the channel is tested without the rest of the back end; deterministic contents; and a
// second path to the transfer host (libcurl used directly) to put and check files.
#pragma once

#include "support/digest.h"
#include "vfs/vfs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace qm_test {

// The text between <name> and </name> in a service document; empty when absent.
std::string xml_value(const std::string& document, const std::string& name);

struct remote_file {
    std::string id;
    std::string location;
};

// One transfer as the dev service recorded it.
struct transfer_record {
    std::string file_id;
    std::string mode; // read, write, append, rewrite
    long long first_offset = -1;
    long long bytes = 0;
    long long size_after = 0;
    std::string result; // ok, dropped, ...
};

class transfer_account {
public:
    // A new account, logged in with the "login" action.
    explicit transfer_account(const std::string& prefix = "xfer");

    const std::string& name() const { return name_; }
    const std::string& password() const { return password_; }
    const std::string& user_id() const { return user_id_; }
    const std::string& host() const { return host_; }
    const std::string& sftp_user() const { return sftp_user_; }
    const std::string& sftp_password() const { return sftp_password_; }

    // "create_file" in the root folder.
    remote_file create_file(const std::string& name, std::uint64_t size = 0) const;
    // The document of one operations request; body without user_id.
    std::string operations(const std::string& body) const;

    // libcurl directly: the whole contents in one transfer.
    void put(const std::string& location, const bytes& data) const;
    bytes get(const std::string& location) const;

    // Fault switch: the next `count` transfers of this user in `direction` (read, write, any)
    // lose their connection after `after` bytes.
    void drop_after(long long after, int count, const std::string& direction) const;
    // Fault switch: once a transfer of this user in `direction` (read, write, any) has moved
    // `after` bytes, it moves `rate` bytes a second (0: none); a negative rate lifts it.
    void throttle(const std::string& direction, long long rate, long long after = 0) const;
    // The transfer host ends this user's open connections: "now", or each one at its next
    // request ("next_request"), which the client only finds out by using it.
    void disconnect(const std::string& when) const;
    // SSH logins of this user that the transfer host accepted.
    long long logins() const;
    // Drop rules of this user not yet used up.
    int pending_drops() const;
    // What the transfer host recorded for this user, waiting a little for records of transfers
    // that are still being closed. The host records a transfer when it closes the file, which
    // for a dropped connection may come late: tests rely on the records of completed transfers.
    std::vector<transfer_record> transfers(std::size_t at_least = 0) const;
    // The records of one file whose mode is one of `modes` (comma-separated), waiting until one
    // of them completed.
    std::vector<transfer_record> completed_transfers(const std::string& file_id,
                                                     const std::string& modes) const;
    // Current sequence number of the service's records, to read only what follows.
    long long sequence() const;
    // The file_id of every "update_file_info" request of this user since `since`.
    std::vector<std::string> update_file_info_requests(long long since) const;

private:
    template <class Options> void curl_transfer(const std::string& location, Options direction) const;

    std::string name_;
    std::string password_;
    std::string user_id_;
    std::string path_;
    std::string host_;
    std::string sftp_user_;
    std::string sftp_password_;
};

// Reads to the end the way the copy engine does: a call that failed for the connection is
// repeated, up to 10 times when failures counts them, else it is rethrown.
template <typename Source> bytes read_all(Source& source, std::int32_t chunk, int* failures = nullptr)
{
    bytes out;
    bytes buffer(static_cast<std::size_t>(chunk));
    for (;;) {
        std::int32_t n = 0;
        try {
            n = source.read(buffer.data(), chunk);
        }
        catch (const vfs::exception& e) {
            EXPECT_EQ(e.get_message() + L": " + e.get_details(), L"Read failed: Internet connection failed");
            if (!failures || ++*failures >= 10)
                throw;
            continue;
        }
        if (n == 0)
            return out;
        out.insert(out.end(), buffer.begin(), buffer.begin() + n);
    }
}

// Writes everything the way the copy engine does, repeating a failed call as it was.
template <typename Sink>
void write_all(Sink& sink, const bytes& data, std::size_t chunk, int* failures = nullptr)
{
    for (std::size_t pos = 0; pos < data.size();) {
        const auto n = static_cast<std::int32_t>(std::min(chunk, data.size() - pos));
        try {
            EXPECT_EQ(sink.write(data.data() + pos, n), n);
            pos += static_cast<std::size_t>(n);
        }
        catch (const vfs::exception& e) {
            EXPECT_EQ(e.get_message() + L": " + e.get_details(), L"Write failed: Internet connection failed");
            if (!failures || ++*failures >= 10)
                throw;
        }
    }
}

} // namespace qm_test
