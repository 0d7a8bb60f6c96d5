// What the two source views share: their error type, their root class, and the read-only node
// bases that refuse every operation a dropped item cannot do.
#pragma once

#include "vfs/vfs.h"

#include <boost/format.hpp>

#include <string>
#include <utility>

class CWrapperException : public vfs::basic_exception {
public:
    using basic_exception::basic_exception;
};

namespace views {

// A Boost.Format text with its positional arguments filled in order.
template <typename... Args> std::wstring format(const wchar_t* text, const Args&... args)
{
    boost::wformat f(text);
    (f % ... % args);
    return f.str();
}

[[noreturn]] void fail(std::wstring message, std::wstring details);
// "Internal error" with "<class>::<operation> is not implemented".
[[noreturn]] void not_implemented(const wchar_t* class_name, const wchar_t* operation);

// The first child named exactly name; throws "Error: Item '<name>' not found at '<place>'".
boost::shared_ptr<vfs::item> find_child(const vfs::item_list& children, const std::wstring& name,
                                        const std::wstring& place);
bool any_folder(const vfs::item_list& children);
// "beginning", "current" or "ending"; another origin as its number.
std::wstring origin_name(std::int32_t origin);

// A node of a view: no identity, description or thumbnail.
template <class Interface> class read_only_node : public Interface {
public:
    explicit read_only_node(const wchar_t* class_name) : class_name_(class_name) {}
    virtual ~read_only_node() = default;

    std::wstring get_id() override { not_implemented(class_name_, L"get_id()"); }
    std::wstring get_description() override { not_implemented(class_name_, L"get_description()"); }
    void set_description(std::wstring) override
    {
        not_implemented(class_name_, L"set_description(description)");
    }
    vfs::blob get_thumbnail() override { not_implemented(class_name_, L"get_thumbnail()"); }

protected:
    const wchar_t* class_name_;
};

// A directory of a view: nothing can be changed in it.
class read_only_directory : public read_only_node<vfs::directory> {
public:
    using read_only_node::read_only_node;

    std::int32_t get_type() override { return vfs::typeDirectory; }
    bool has_subfolders() override { return any_folder(get_items()); }
    void rename_item(std::wstring, std::wstring) override
    {
        not_implemented(class_name_, L"rename_item(name, new_name)");
    }
    void rename_item(boost::shared_ptr<vfs::item>, std::wstring) override
    {
        not_implemented(class_name_, L"rename_item(item, new_name)");
    }
    void delete_item(std::wstring) override { not_implemented(class_name_, L"delete_item(name)"); }
    void delete_item(boost::shared_ptr<vfs::item>) override
    {
        not_implemented(class_name_, L"delete_item(item)");
    }
    boost::shared_ptr<vfs::file> create_file(std::wstring) override
    {
        not_implemented(class_name_, L"create_file(name)");
    }
    boost::shared_ptr<vfs::file> create_file_alloc(std::wstring, std::uint64_t) override
    {
        not_implemented(class_name_, L"create_file_alloc(name, size)");
    }
    boost::shared_ptr<vfs::directory> create_directory(std::wstring) override
    {
        not_implemented(class_name_, L"create_directory(name)");
    }
    void set_access(std::int32_t, std::int32_t) override
    {
        not_implemented(class_name_, L"set_access(access,permission)");
    }
};

// A file of a view: read only, without times, attributes, description or link.
class read_only_file : public read_only_node<vfs::file> {
public:
    using read_only_node::read_only_node;

    std::int32_t get_type() override { return vfs::typeFile; }
    std::int32_t write(const void*, std::int32_t) override
    {
        not_implemented(class_name_, L"write(pdata, len)");
    }
    std::wstring get_link() override { return {}; }
    double get_date_accessed() override { return 0.0; }
    double get_date_created() override { return 0.0; }
    double get_date_modified() override { return 0.0; }
    std::uint32_t get_attributes() override { return 0; }
    void set_attributes(std::uint32_t) override { not_implemented(class_name_, L"set_attributes(attr)"); }
};

} // namespace views

// The root of a source view: its children are the transferred top-level items. It has no name,
// identity or access of its own. Held by the engine through this class, hence the virtual
// destructor.
class CClipboardWrapper : public views::read_only_directory {
public:
    explicit CClipboardWrapper(const wchar_t* class_name) : read_only_directory(class_name) {}
    virtual ~CClipboardWrapper() = default;

    std::wstring get_name() override { views::not_implemented(class_name_, L"get_name()"); }
    std::int32_t get_permission() override { views::not_implemented(class_name_, L"get_permission()"); }
    std::int32_t get_access() override { views::not_implemented(class_name_, L"get_access()"); }
};
