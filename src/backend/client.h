// The entry into the service back end: one user's connection data, copied into every node so
// that a node outlives its parent and the client that made it.
#pragma once

#include "backend/protocol.h"
#include "vfs/vfs.h"

#include <boost/shared_ptr.hpp>

#include <string>

namespace vfs_quillmere {

class directory;

class client : public vfs::client {
public:
    // Logs in: path discovery, then "login".
    client(const std::wstring& user, const std::wstring& password);
    // From a stored UserID: path discovery, then "get_ftp_params".
    explicit client(const std::wstring& user_id);

    boost::shared_ptr<vfs::directory> get_root() override;
    vfs::user_info get_user_info() override;
    vfs::storage_info get_storage_info() override;

    // Appends user_id to params and POSTs them to Path + "/qm_operations.php".
    response operations_request(request_params params) const;

    const std::wstring& user_id() const { return data_->user_id; }
    const std::string& path() const { return data_->path; }
    const std::string& transfer_host() const { return data_->transfer_host; }
    const std::string& transfer_user() const { return data_->transfer_user; }
    const std::string& transfer_password() const { return data_->transfer_password; }

private:
    // The connection data never changes after construction, so copies share one block: every
    // node of a listing carries a copy of the client, and a folder of 100 000 children would
    // otherwise hold 100 000 copies of the same four strings.
    struct connection_data {
        std::wstring user_id;
        std::string path;
        std::string transfer_host;
        std::string transfer_user;
        std::string transfer_password;
    };

    boost::shared_ptr<directory> root_;
    boost::shared_ptr<const connection_data> data_;
};

} // namespace vfs_quillmere
