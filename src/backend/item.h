#pragma once

#include <string>

namespace vfs_quillmere {

// Second base of the back end's nodes: the raw service identifier that goes into dir_id and
// file_id, without the "dir_" prefix of get_id.
class item {
public:
    virtual std::wstring get_raw_id() = 0;

protected:
    ~item() = default;
};

} // namespace vfs_quillmere
