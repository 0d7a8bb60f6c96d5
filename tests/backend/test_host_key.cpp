// Trust on first use of the transfer host's key: the known-hosts file on its own, then real
// transfers to the dev service, whose key the test changes. The Wine prefix user's known-hosts
// file is removed before and after, so the next test meets the host as new.
#include "backend/known_hosts.h"
#include "backend/transfer_channel.h"
#include "com/handle.h"
#include "support/dev_service.h"
#include "support/failure.h"
#include "test_transfer_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>

#include <windows.h>

namespace {

using vfs_quillmere::host_key_verdict;
using vfs_quillmere::transfer_channel;

std::string contents(const std::wstring& path)
{
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void replace(const std::wstring& path, const std::string& text)
{
    std::ofstream(std::filesystem::path(path), std::ios::binary | std::ios::trunc) << text;
}

struct removed_file {
    explicit removed_file(std::wstring p) : path(std::move(p)) { DeleteFileW(path.c_str()); }
    ~removed_file() { DeleteFileW(path.c_str()); }
    const std::wstring path;
};

std::wstring temp_file(const wchar_t* name)
{
    wchar_t folder[MAX_PATH];
    return std::wstring(folder, GetTempPathW(MAX_PATH, folder)) + name;
}

TEST(known_hosts, a_host_is_known_by_its_exact_name_and_key_and_recorded_when_missing)
{
    const std::string host = "[10.0.0.1]:2222";
    struct row {
        const char* file;
        host_key_verdict verdict;
    } const rows[] = {
        {"", host_key_verdict::recorded},
        {"# [10.0.0.1]:2222 ssh-rsa AAAA\n", host_key_verdict::recorded},
        {"10.0.0.1 ssh-rsa AAAA\n[10.0.0.1]:22 ssh-rsa BBBB\n", host_key_verdict::recorded},
        {"other,[10.0.0.1]:2222 ssh-rsa AAAA", host_key_verdict::known},
        {"[10.0.0.1]:2222 ssh-rsa BBBB\n[10.0.0.1]:2222 ssh-rsa AAAA\n", host_key_verdict::known},
        {"[10.0.0.1]:2222 ssh-rsa BBBB\n", host_key_verdict::changed},
        {"[10.0.0.1]:2222 ssh-ed25519 AAAA\n", host_key_verdict::changed},
    };
    const removed_file file(temp_file(L"qm_known_hosts_test"));
    for (const row& r : rows) {
        SCOPED_TRACE(r.file);
        replace(file.path, r.file);
        EXPECT_EQ(vfs_quillmere::trust_host_key(file.path, host, "ssh-rsa", "AAAA"), r.verdict);
        const std::string before = r.file;
        const std::string added = before.empty() || before.back() == '\n' ? "" : "\n";
        const bool recorded = r.verdict == host_key_verdict::recorded;
        EXPECT_EQ(contents(file.path), recorded ? before + added + host + " ssh-rsa AAAA\n" : before);
    }
}

TEST(known_hosts, a_writer_waits_for_the_lock_and_decides_on_what_the_holder_left)
{
    const removed_file file(temp_file(L"qm_known_hosts_lock"));
    // Another process, or another transfer of this one, is in the middle of recording the host.
    const com::handle lock(CreateMutexW(nullptr, FALSE, L"Local\\Quillmere_Mutex_Known_Hosts"));
    ASSERT_EQ(WaitForSingleObject(lock.get(), 5000), WAIT_OBJECT_0);
    auto verdict = std::async(std::launch::async, [&] {
        return vfs_quillmere::trust_host_key(file.path, "[10.0.0.1]:2222", "ssh-rsa", "AAAA");
    });
    EXPECT_EQ(verdict.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    replace(file.path, "[10.0.0.1]:2222 ssh-rsa BBBB\n");
    ReleaseMutex(lock.get());
    EXPECT_EQ(verdict.get(), host_key_verdict::changed);
    EXPECT_EQ(contents(file.path), "[10.0.0.1]:2222 ssh-rsa BBBB\n");
}

TEST(known_hosts, an_unknown_host_is_trusted_once_and_a_changed_key_refused)
{
    const qm_test::dev_service& service = qm_test::dev_service::get();
    const removed_file file(vfs_quillmere::known_hosts_path());
    ASSERT_FALSE(file.path.empty());
    CreateDirectoryW(file.path.substr(0, file.path.rfind(L'\\')).c_str(), nullptr);
    const std::string other = "[192.0.2.1]:2222 ssh-rsa AAAAB3NzaC1yc2EAAAADAQABAAAAgQC7\n";
    replace(file.path, other);

    const std::string first_key = service.regenerate_host_key();
    const qm_test::transfer_account account;
    const qm_test::remote_file remote = account.create_file("key.bin");
    const auto transfer = [&](std::int32_t mode) {
        transfer_channel channel(account.host(), remote.location, account.sftp_user(),
                                 account.sftp_password());
        channel.open(mode);
        channel.close();
    };

    transfer(transfer_channel::mode_download);
    const std::string known =
        other + "[127.0.0.1]:" + std::to_string(service.sftp_port()) + " " + first_key + "\n";
    EXPECT_EQ(contents(file.path), known) << "the new host is written down beside what was there";
    transfer(transfer_channel::mode_upload);
    EXPECT_EQ(contents(file.path), known) << "a known host is not written down again";

    service.regenerate_host_key();
    for (const std::int32_t mode : {transfer_channel::mode_download, transfer_channel::mode_upload}) {
        const auto [message, details] = qm_test::failure_of([&] { transfer(mode); });
        EXPECT_EQ(message, L"Open failed");
        EXPECT_EQ(details, L"The transfer host's key has changed");
    }
    EXPECT_EQ(contents(file.path), known) << "a changed key is not written down";
}

} // namespace
