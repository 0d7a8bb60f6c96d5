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
    response_node operations_request(request_params params) const;

    const std::wstring& user_id() const { return user_id_; }
    const std::string& path() const { return path_; }
    const std::string& transfer_host() const { return transfer_host_; }
    const std::string& transfer_user() const { return transfer_user_; }
    const std::string& transfer_password() const { return transfer_password_; }

private:
    boost::shared_ptr<directory> root_;
    std::wstring user_id_;
    std::string path_;
    std::string transfer_host_;
    std::string transfer_user_;
    std::string transfer_password_;
};

} // namespace vfs_quillmere
