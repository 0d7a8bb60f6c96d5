// Trust on first use for the transfer host: the key a host showed the first time is kept in the
// user's known-hosts file, and a host that later shows another key is refused, so the transfer
// credentials never go to whoever else answers on the host's address.
#pragma once

#include <string>
#include <utility>

namespace vfs_quillmere {

// <local application data>\Quillmere\known_hosts, in the OpenSSH format; empty when the local
// application data folder is unknown.
std::wstring known_hosts_path();

enum class host_key_verdict {
    known,    // the host is in the file with this key
    recorded, // the host was not in the file: it is now, with this key
    changed,  // the host is in the file with another key
    failed    // the file could not be read or written: nothing can be trusted
};

// Looks host up in the file at path and records key (type "ssh-rsa" and the like, base64) when
// the host is not there. Serialised by a named mutex across threads and processes, and the
// file is only ever appended to, so concurrent transfers neither lose nor tear entries.
host_key_verdict trust_host_key(const std::wstring& path, const std::string& host, const std::string& type,
                                const std::string& key);

// What one transfer's host-key check found; lives as long as the transfer.
struct host_key_check {
    explicit host_key_check(std::string host_url) : url(std::move(host_url)) {}
    std::string url;   // the front of the transfer URL: scheme, host, port
    std::wstring path; // the known-hosts file
    std::string file;  // the same as libcurl opens it
    bool changed = false;
};

// Makes the libcurl easy handle curl check an SFTP host's key against the known-hosts file
// before it sends credentials, for the transfer URL check.url.
void check_host_key(void* curl, host_key_check& check);

} // namespace vfs_quillmere
