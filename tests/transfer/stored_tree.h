// What the dev service stored below a remote folder, read from its own files on disk: relative
// path -> SHA-256 of the stored bytes, or "dir" for a folder.
#pragma once

#include "support/digest.h"
#include "vfs/vfs.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace qm_test {

typedef std::map<std::wstring, std::string> tree_digests;

inline void stored(vfs::directory& folder, const std::wstring& prefix, tree_digests& out)
{
    for (const auto& child : folder.get_items()) {
        const std::wstring path = prefix + child->get_name();
        if (auto sub = boost::dynamic_pointer_cast<vfs::directory>(child)) {
            out[path] = "dir";
            stored(*sub, path + L"\\", out);
            continue;
        }
        const char* state = std::getenv("QM_DEVSERVICE_STATE");
        const std::wstring id = child->get_id();
        std::ifstream in("Z:" + std::string(state ? state : "") + "/data/files/" +
                             std::string(id.begin(), id.end()),
                         std::ios::binary);
        out[path] = sha256(bytes(std::istreambuf_iterator<char>(in), {}));
    }
}

} // namespace qm_test
