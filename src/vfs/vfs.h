// The storage interfaces: every tree the drive works with (the service, dropped virtual files,
// dropped local files) is reached through these classes, so one copy engine serves them all.
//
// Nodes and clients are always created into a boost::shared_ptr of their concrete class, which
// destroys them through that type; the interfaces therefore hold no data and need no virtual
// destructor (an implementation may add one after the inherited operations).
#pragma once

#include <boost/shared_ptr.hpp>
#include <boost/shared_array.hpp>

#include <cstdint>
#include <list>
#include <string>
#include <utility>

namespace vfs {

// The numbering callers rely on; the values cross process and module boundaries unchanged.
enum item_type : std::int32_t { typeDirectory = 1, typeFile = 2 };

// Open modes form a bit set. Readers open with modeRead, writers with modeWrite | modeCreate.
enum open_mode : std::int32_t { modeRead = 1, modeWrite = 2, modeCreate = 4 };

// Same numbering as the standard library's seek origins.
enum seek_origin : std::int32_t { originBeginning = 0, originCurrent = 1, originEnding = 2 };

// Dates are OLE Automation dates (days since 30 December 1899, UTC as delivered).
constexpr double date_unknown = -1.0;

class item;
class directory;
class file;

typedef std::list<boost::shared_ptr<item>> item_list;

// An image file as delivered by a tree; the interfaces do not interpret the bytes.
struct blob {
    boost::shared_array<unsigned char> data;
    std::uint32_t size = 0;
};

struct user_info {
    std::wstring user_name;
    std::wstring user_level;
};

struct storage_info {
    std::int64_t capacity = 0;
    std::int64_t space_used = 0;
    std::int64_t space_free = 0;
};

// The one error type of every operation. Thrown by value as a concrete subclass and caught by
// reference; the message is short (a caption), the details a sentence.
class exception {
public:
    virtual std::wstring get_message() const = 0;
    virtual std::wstring get_details() const = 0;

protected:
    ~exception() = default;
};

// The (message, details) pair that every concrete exception type carries.
class basic_exception : public exception {
public:
    basic_exception(std::wstring message, std::wstring details)
        : message_(std::move(message)), details_(std::move(details))
    {
    }
    std::wstring get_message() const override { return message_; }
    std::wstring get_details() const override { return details_; }

private:
    std::wstring message_;
    std::wstring details_;
};

class client {
public:
    virtual boost::shared_ptr<directory> get_root() = 0;
    virtual user_info get_user_info() = 0;
    virtual storage_info get_storage_info() = 0;

protected:
    ~client() = default;
};

class item {
public:
    virtual std::wstring get_name() = 0;
    virtual std::wstring get_id() = 0;
    virtual std::wstring get_description() = 0;
    virtual void set_description(std::wstring description) = 0;
    virtual std::int32_t get_type() = 0;
    virtual blob get_thumbnail() = 0;

protected:
    ~item() = default;
};

class directory : public item {
public:
    virtual item_list get_items() = 0;
    virtual bool has_subfolders() = 0;
    virtual boost::shared_ptr<item> get_item(std::wstring name) = 0;
    virtual void rename_item(std::wstring name, std::wstring new_name) = 0;
    virtual void rename_item(boost::shared_ptr<item> item, std::wstring new_name) = 0;
    virtual void delete_item(std::wstring name) = 0;
    virtual void delete_item(boost::shared_ptr<item> item) = 0;
    virtual boost::shared_ptr<file> create_file(std::wstring name) = 0;
    virtual boost::shared_ptr<file> create_file_alloc(std::wstring name, std::uint64_t size) = 0;
    virtual boost::shared_ptr<directory> create_directory(std::wstring name) = 0;
    virtual std::int32_t get_permission() = 0;
    virtual std::int32_t get_access() = 0;
    // Access first: the reverse of the getters' order, kept because callers rely on it.
    virtual void set_access(std::int32_t access, std::int32_t permission) = 0;

protected:
    ~directory() = default;
};

class file : public item {
public:
    virtual void open(std::int32_t mode) = 0;
    virtual void close() = 0;
    virtual bool is_bof() = 0;
    virtual bool is_eof() = 0;
    virtual std::int32_t get_mode() = 0;
    virtual std::int64_t get_pos() = 0;
    virtual void seek(std::int64_t offset, std::int32_t origin) = 0;
    virtual std::int32_t read(void* pdata, std::int32_t len) = 0;
    virtual std::int32_t write(const void* pdata, std::int32_t len) = 0;
    virtual std::wstring get_link() = 0;
    virtual std::int64_t get_size() = 0;
    virtual double get_date_accessed() = 0;
    virtual double get_date_created() = 0;
    virtual double get_date_modified() = 0;
    virtual std::uint32_t get_attributes() = 0;
    virtual void set_attributes(std::uint32_t attr) = 0;

protected:
    ~file() = default;
};

} // namespace vfs
