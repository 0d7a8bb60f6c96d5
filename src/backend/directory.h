// A folder of the user's storage as the service reports it. Listing builds fresh child objects
// from a "list_dir" response; every change is one operation request, followed by a fresh
// listing where the listing changes. The last listing is kept under a lock so that lookups by
// name need no request.
#pragma once

#include "backend/client.h"
#include "backend/item.h"
#include "vfs/vfs.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace vfs_quillmere {

class directory : public vfs::directory, public item {
public:
    directory(const client& connection, std::wstring id, std::wstring name, std::wstring description,
              std::int32_t permission, std::int32_t access, bool is_gallery, bool is_mp3, bool is_home_folder,
              bool is_renameable, bool is_deleteable, bool has_subfolders);
    ~directory();
    directory(const directory&) = delete;
    directory& operator=(const directory&) = delete;

    std::wstring get_name() override { return name_; }
    std::wstring get_id() override { return L"dir_" + id_; }
    std::wstring get_description() override;
    void set_description(std::wstring description) override;
    std::int32_t get_type() override { return vfs::typeDirectory; }
    vfs::blob get_thumbnail() override;

    vfs::item_list get_items() override;
    bool has_subfolders() override { return has_subfolders_ != 0; }
    boost::shared_ptr<vfs::item> get_item(std::wstring name) override;
    void rename_item(std::wstring name, std::wstring new_name) override;
    void rename_item(boost::shared_ptr<vfs::item> item, std::wstring new_name) override;
    void delete_item(std::wstring name) override;
    void delete_item(boost::shared_ptr<vfs::item> item) override;
    boost::shared_ptr<vfs::file> create_file(std::wstring name) override;
    boost::shared_ptr<vfs::file> create_file_alloc(std::wstring name, std::uint64_t size) override;
    boost::shared_ptr<vfs::directory> create_directory(std::wstring name) override;
    std::int32_t get_permission() override;
    std::int32_t get_access() override;
    void set_access(std::int32_t access, std::int32_t permission) override;

    std::wstring get_raw_id() override { return id_; }

    // The six flags of the record this directory was made from.
    bool is_gallery() const { return is_gallery_ != 0; }
    bool is_mp3() const { return is_mp3_ != 0; }
    bool is_home_folder() const { return is_home_folder_ != 0; }
    bool is_renameable() const { return is_renameable_ != 0; }
    bool is_deleteable() const { return is_deleteable_ != 0; }

    // The children a "list_dir" response describes, Directory records before File records,
    // each holding a copy of connection. Throws on a missing field.
    static vfs::item_list build_children(const client& connection, const element& listing);

    // The last step of a listing: children become the cached list. Public so that a test can
    // hand it children of its own.
    void replace_children(vfs::item_list children);

private:
    void create(const request_params& request);

    std::wstring id_;
    std::wstring name_;
    std::uint8_t is_gallery_;
    std::uint8_t is_mp3_;
    std::uint8_t is_home_folder_;
    std::uint8_t is_renameable_;
    std::uint8_t is_deleteable_;
    std::uint8_t has_subfolders_;
    client client_;
    // The lock guards the children list and the three fields that change after construction:
    // other threads (a properties dialog) read them while a change is made.
    vfs::item_list children_;
    std::wstring description_;
    std::int32_t permission_;
    std::int32_t access_;
    CRITICAL_SECTION lock_;
};

} // namespace vfs_quillmere
