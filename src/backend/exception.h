// The one exception type of the service back end.
#pragma once

#include "vfs/vfs.h"

#include <string>

namespace vfs_quillmere {

class exception : public vfs::exception {
public:
    exception(std::wstring message, std::wstring details)
        : message_(std::move(message)), details_(std::move(details))
    {
    }
    std::wstring get_message() const override { return message_; }
    std::wstring get_details() const override { return details_; }

private:
    std::wstring message_;
    std::wstring details_;
};

} // namespace vfs_quillmere
