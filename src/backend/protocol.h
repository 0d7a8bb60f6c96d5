// The service's request and response protocol: form-encoded POST bodies to the service's
// endpoints, and the tagged text document that comes back.
#pragma once

#include "vfs/vfs.h"

#include <string>
#include <utility>
#include <vector>

namespace vfs_quillmere {

// Parameters in sending order.
typedef std::vector<std::pair<std::wstring, std::wstring>> request_params;

// One element of a parsed response.
struct response_node {
    std::wstring name;
    std::wstring value; // empty for an element with children
    bool leaf = true;
    std::vector<response_node> children;
};

// POSTs params to path on the service's host; answers the parsed root. Throws the service's
// Error record, "Parse error" and "Request failed" as vfs_quillmere::exception.
response_node text_request(const std::string& path, const request_params& params);

// The same POST; answers the body bytes unparsed (thumbnails).
vfs::blob raw_request(const std::string& path, const request_params& params);

std::wstring get_variable(const response_node& node, const std::wstring& name);
std::vector<const response_node*> get_records(const response_node& node, const std::wstring& name);

// The service's base URL. Built in; tests point it at a dev service on a free port. Not
// exported from the DLL.
const std::string& service_url();
void set_service_url(const std::string& url);

} // namespace vfs_quillmere
