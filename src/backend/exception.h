// The one exception type of the service back end.
#pragma once

#include "vfs/vfs.h"

#include <string>

namespace vfs_quillmere {

class exception : public vfs::basic_exception {
public:
    using basic_exception::basic_exception;
};

} // namespace vfs_quillmere
