#include "backend/client.h"

#include "backend/directory.h"
#include "backend/exception.h"

#include <boost/make_shared.hpp>

namespace vfs_quillmere {

namespace {

const char path_discovery[] = "/qm_get_path.php";
const char operations_endpoint[] = "/qm_operations.php";

// The Path variable of the discovery response, put in front of every endpoint name.
std::string discover_path()
{
    const response root = text_request(path_discovery, {{L"version", L"1.0"}});
    return narrow(get_variable(root, L"Path"));
}

} // namespace

// The block is filled while nobody else holds it yet, then shared read-only by every copy.
client::client(const std::wstring& user, const std::wstring& password)
{
    const auto data = boost::make_shared<connection_data>();
    data->path = discover_path();
    data_ = data;
    // The user id is still empty here, so "login" carries an empty user_id.
    const response root = operations_request({{L"action", L"login"}, {L"user", user}, {L"pass", password}});
    data->user_id = get_variable(root, L"UserID");
    data->transfer_host = narrow(get_variable(root, L"SFTP_Host"));
    data->transfer_user = narrow(get_variable(root, L"SFTP_User"));
    data->transfer_password = narrow(get_variable(root, L"SFTP_Pass"));
}

client::client(const std::wstring& user_id)
{
    const auto data = boost::make_shared<connection_data>();
    data->path = discover_path();
    // The description stores the UserID only after "get_ftp_params", so that request went out
    // with an empty user_id and no service could tell whose credentials to hand out. Stored
    // first, it names the user; a service that ignores the field is unaffected.
    data->user_id = user_id;
    data_ = data;
    const response root = operations_request({{L"action", L"get_ftp_params"}});
    data->transfer_host = narrow(get_variable(root, L"SFTP_Host"));
    data->transfer_user = narrow(get_variable(root, L"SFTP_User"));
    data->transfer_password = narrow(get_variable(root, L"SFTP_Pass"));
}

boost::shared_ptr<vfs::directory> client::get_root()
{
    if (!root_) {
        // The root holds a copy of this client made before the root is stored, so no cycle.
        root_ = boost::make_shared<directory>(*this, L"0", L"", L"", 0, 0, false, false, false, false, false,
                                              false);
    }
    return root_;
}

vfs::user_info client::get_user_info()
{
    const response root = operations_request({{L"action", L"get_user_info"}});
    vfs::user_info info;
    info.user_name = get_variable(root, L"UserName");
    info.user_level = get_variable(root, L"UserLevel");
    return info;
}

vfs::storage_info client::get_storage_info()
{
    const response root = operations_request({{L"action", L"get_storage_info"}});
    vfs::storage_info info;
    info.capacity = read_int64(get_variable(root, L"Capacity"));
    info.space_used = read_int64(get_variable(root, L"SpaceUsed"));
    info.space_free = read_int64(get_variable(root, L"SpaceFree"));
    return info;
}

response client::operations_request(request_params params) const
{
    params.emplace_back(L"user_id", data_->user_id);
    return text_request(data_->path + operations_endpoint, params);
}

} // namespace vfs_quillmere
