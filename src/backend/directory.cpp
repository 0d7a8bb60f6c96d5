#include "backend/directory.h"

#include "backend/exception.h"
#include "backend/file.h"
#include "com/module_base.h"

#include <boost/format.hpp>
#include <boost/make_shared.hpp>
#include <boost/pointer_cast.hpp>

namespace vfs_quillmere {

namespace {

using com::critical_section_lock;

// The raw service identifier of a node of this back end.
std::wstring raw_id_of(const boost::shared_ptr<vfs::item>& node, const wchar_t* operation)
{
    auto* own = dynamic_cast<vfs_quillmere::item*>(node.get());
    if (!own)
        throw exception(L"Internal error", std::wstring(L"directory::") + operation +
                                               L"(): the item is not a node of this service");
    return own->get_raw_id();
}

} // namespace

directory::directory(const client& connection, std::wstring id, std::wstring name, std::wstring description,
                     std::int32_t permission, std::int32_t access, bool is_gallery, bool is_mp3,
                     bool is_home_folder, bool is_renameable, bool is_deleteable, bool has_subfolders)
    : id_(std::move(id)), name_(std::move(name)), is_gallery_(is_gallery), is_mp3_(is_mp3),
      is_home_folder_(is_home_folder), is_renameable_(is_renameable), is_deleteable_(is_deleteable),
      has_subfolders_(has_subfolders), client_(connection), description_(std::move(description)),
      permission_(permission), access_(access)
{
    InitializeCriticalSection(&lock_);
}

directory::~directory()
{
    DeleteCriticalSection(&lock_);
}

void directory::set_description(std::wstring description)
{
    client_.operations_request(
        {{L"action", L"set_dir_description"}, {L"dir_id", id_}, {L"description", description}});
    critical_section_lock guard(lock_);
    description_.swap(description);
    // The old text is freed after the lock is released, by description's destructor.
}

std::wstring directory::get_description()
{
    critical_section_lock guard(lock_);
    return description_;
}

std::int32_t directory::get_permission()
{
    critical_section_lock guard(lock_);
    return permission_;
}

std::int32_t directory::get_access()
{
    critical_section_lock guard(lock_);
    return access_;
}

vfs::blob directory::get_thumbnail()
{
    throw exception(L"Internal error", L"directory::get_thumbnail(): Operation not implemented");
}

namespace {

boost::shared_ptr<directory> directory_record(const client& connection, const element& record)
{
    // Fields are read in the order the description gives, so the first missing one is named.
    const bool has_subfolders = read_flag(get_variable(record, L"HasSubfolders"));
    const bool is_deleteable = read_flag(get_variable(record, L"IsDeleteable"));
    const bool is_renameable = read_flag(get_variable(record, L"IsRenameable"));
    const bool is_home_folder = read_flag(get_variable(record, L"IsHomeFolder"));
    const bool is_mp3 = read_flag(get_variable(record, L"IsMP3"));
    const bool is_gallery = read_flag(get_variable(record, L"IsGallery"));
    const std::int32_t access = read_int32(get_variable(record, L"Access"));
    const std::int32_t permission = read_int32(get_variable(record, L"Permission"));
    std::wstring description = get_variable(record, L"Description");
    std::wstring name = get_variable(record, L"Name");
    std::wstring id = get_variable(record, L"ID");
    return boost::make_shared<directory>(connection, std::move(id), std::move(name), std::move(description),
                                         permission, access, is_gallery, is_mp3, is_home_folder,
                                         is_renameable, is_deleteable, has_subfolders);
}

boost::shared_ptr<file> file_record(const client& connection, const element& record)
{
    const std::int64_t date_modified = read_int64(get_variable(record, L"DateModified"));
    const std::int64_t date_accessed = read_int64(get_variable(record, L"DateAccessed"));
    const std::int64_t size = read_int64(get_variable(record, L"Size"));
    std::wstring description = get_variable(record, L"Description");
    std::wstring location = get_variable(record, L"Location");
    std::wstring link = get_variable(record, L"Link");
    std::wstring name = get_variable(record, L"Name");
    std::wstring id = get_variable(record, L"ID");
    return boost::make_shared<file>(connection, std::move(id), std::move(name), std::move(link),
                                    std::move(location), std::move(description), size, date_accessed,
                                    date_modified);
}

} // namespace

vfs::item_list directory::build_children(const client& connection, const element& listing)
{
    // One pass over the records where they are, without gathering them first: a listing of
    // 100 000 children is tens of megabytes that no longer fit a cache, and every further pass
    // made building grow faster than the listing.
    vfs::item_list children, files;
    listing.each_child([&](const element& record) {
        if (record.leaf())
            return;
        if (record.is(L"Directory"))
            children.push_back(directory_record(connection, record));
        else if (record.is(L"File"))
            files.push_back(file_record(connection, record));
    });
    children.splice(children.end(), files);
    return children;
}

vfs::item_list directory::get_items()
{
    vfs::item_list items =
        build_children(client_, client_.operations_request({{L"action", L"list_dir"}, {L"dir_id", id_}}));
    replace_children(items);
    return items;
}

void directory::replace_children(vfs::item_list children)
{
    {
        critical_section_lock guard(lock_);
        children_.swap(children);
    }
    // The old list dies here, outside the lock: it may hold the last reference to an open file,
    // whose transfer takes its time to shut down, and lookups must not wait for that.
}

boost::shared_ptr<vfs::item> directory::get_item(std::wstring name)
{
    bool empty;
    {
        critical_section_lock guard(lock_);
        empty = children_.empty();
    }
    if (empty)
        get_items();
    {
        critical_section_lock guard(lock_);
        for (const auto& child : children_) {
            if (child->get_name() == name)
                return child;
        }
    }
    throw exception(
        L"Item not found",
        (boost::wformat(L"File system error: item '%1%' not found in directory '%2%'") % name % name_).str());
}

void directory::rename_item(std::wstring name, std::wstring new_name)
{
    rename_item(get_item(std::move(name)), std::move(new_name));
}

void directory::rename_item(boost::shared_ptr<vfs::item> node, std::wstring new_name)
{
    const std::wstring raw_id = raw_id_of(node, L"rename_item");
    // new_name is the first pair of the body, before the action.
    if (node->get_type() == vfs::typeDirectory)
        client_.operations_request(
            {{L"new_name", new_name}, {L"action", L"rename_dir"}, {L"dir_id", raw_id}});
    else
        client_.operations_request(
            {{L"new_name", new_name}, {L"action", L"rename_file"}, {L"file_id", raw_id}});
    get_items();
}

void directory::delete_item(std::wstring name)
{
    delete_item(get_item(std::move(name)));
}

void directory::delete_item(boost::shared_ptr<vfs::item> node)
{
    const std::wstring raw_id = raw_id_of(node, L"delete_item");
    if (node->get_type() == vfs::typeDirectory)
        client_.operations_request({{L"action", L"remove_dir"}, {L"dir_id", raw_id}});
    else
        client_.operations_request({{L"action", L"remove_file"}, {L"file_id", raw_id}});
    get_items();
}

void directory::create(const request_params& request)
{
    client_.operations_request(request);
    get_items();
}

boost::shared_ptr<vfs::file> directory::create_file(std::wstring name)
{
    return create_file_alloc(std::move(name), 0);
}

boost::shared_ptr<vfs::file> directory::create_file_alloc(std::wstring name, std::uint64_t size)
{
    create(
        {{L"action", L"create_file"}, {L"dir_id", id_}, {L"name", name}, {L"size", std::to_wstring(size)}});
    return boost::dynamic_pointer_cast<vfs::file>(get_item(std::move(name)));
}

boost::shared_ptr<vfs::directory> directory::create_directory(std::wstring name)
{
    create({{L"action", L"create_dir"}, {L"dir_id", id_}, {L"name", name}});
    return boost::dynamic_pointer_cast<vfs::directory>(get_item(std::move(name)));
}

void directory::set_access(std::int32_t access, std::int32_t permission)
{
    client_.operations_request({{L"action", L"set_dir_access"},
                                {L"dir_id", id_},
                                {L"access", std::to_wstring(access)},
                                {L"permission", std::to_wstring(permission)}});
    critical_section_lock guard(lock_);
    access_ = access;
    permission_ = permission;
}

} // namespace vfs_quillmere
