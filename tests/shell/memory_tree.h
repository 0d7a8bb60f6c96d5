// A small vfs tree in memory, and a logged-in session that hands it out, for the record and
// enumerator tests that need items but no service.
#pragma once

#include "shell/connection.h"
#include "vfs/vfs.h"

#include <boost/make_shared.hpp>

namespace qm_test {

class memory_error : public vfs::exception {
public:
    std::wstring get_message() const override { return L"Internal error"; }
    std::wstring get_details() const override { return L"not in the memory tree"; }
};

class memory_file : public vfs::file {
public:
    memory_file(std::wstring name, std::int64_t size, double modified)
        : name_(std::move(name)), size_(size), modified_(modified)
    {
    }
    std::wstring get_name() override { return name_; }
    std::wstring get_id() override { return name_; }
    std::wstring get_description() override { return {}; }
    void set_description(std::wstring) override {}
    std::int32_t get_type() override { return vfs::typeFile; }
    vfs::blob get_thumbnail() override { throw memory_error(); }
    void open(std::int32_t) override { throw memory_error(); }
    void close() override {}
    bool is_bof() override { return true; }
    bool is_eof() override { return true; }
    std::int32_t get_mode() override { return 0; }
    std::int64_t get_pos() override { return 0; }
    void seek(std::int64_t, std::int32_t) override { throw memory_error(); }
    std::int32_t read(void*, std::int32_t) override { throw memory_error(); }
    std::int32_t write(const void*, std::int32_t) override { throw memory_error(); }
    std::wstring get_link() override { return {}; }
    std::int64_t get_size() override { return size_; }
    double get_date_accessed() override { return modified_ - 1; }
    double get_date_created() override { return -1.0; }
    double get_date_modified() override { return modified_; }
    std::uint32_t get_attributes() override { return 0; }
    void set_attributes(std::uint32_t) override {}

private:
    std::wstring name_;
    std::int64_t size_;
    double modified_;
};

class memory_directory : public vfs::directory {
public:
    explicit memory_directory(std::wstring name) : name_(std::move(name)) {}

    boost::shared_ptr<memory_directory> add_directory(const std::wstring& name)
    {
        auto d = boost::make_shared<memory_directory>(name);
        children_.push_back(d);
        return d;
    }
    boost::shared_ptr<memory_file> add_file(const std::wstring& name, std::int64_t size,
                                            double modified = 45000.5)
    {
        auto f = boost::make_shared<memory_file>(name, size, modified);
        children_.push_back(f);
        return f;
    }

    std::wstring get_name() override { return name_; }
    std::wstring get_id() override { return name_; }
    std::wstring get_description() override { return {}; }
    void set_description(std::wstring) override {}
    std::int32_t get_type() override { return vfs::typeDirectory; }
    vfs::blob get_thumbnail() override { throw memory_error(); }
    vfs::item_list get_items() override { return children_; }
    bool has_subfolders() override
    {
        for (auto& c : children_)
            if (c->get_type() == vfs::typeDirectory)
                return true;
        return false;
    }
    boost::shared_ptr<vfs::item> get_item(std::wstring name) override
    {
        for (auto& c : children_)
            if (c->get_name() == name)
                return c;
        throw memory_error();
    }
    void rename_item(std::wstring, std::wstring) override { throw memory_error(); }
    void rename_item(boost::shared_ptr<vfs::item>, std::wstring) override { throw memory_error(); }
    void delete_item(std::wstring) override { throw memory_error(); }
    void delete_item(boost::shared_ptr<vfs::item>) override { throw memory_error(); }
    boost::shared_ptr<vfs::file> create_file(std::wstring) override { throw memory_error(); }
    boost::shared_ptr<vfs::file> create_file_alloc(std::wstring, std::uint64_t) override
    {
        throw memory_error();
    }
    boost::shared_ptr<vfs::directory> create_directory(std::wstring) override { throw memory_error(); }
    std::int32_t get_permission() override { return 0; }
    std::int32_t get_access() override { return 0; }
    void set_access(std::int32_t, std::int32_t) override {}

    std::wstring name_;
    vfs::item_list children_;
};

class memory_client : public vfs::client {
public:
    explicit memory_client(boost::shared_ptr<memory_directory> root) : root_(std::move(root)) {}
    boost::shared_ptr<vfs::directory> get_root() override { return root_; }
    vfs::user_info get_user_info() override { return {L"demo", L"Basic"}; }
    vfs::storage_info get_storage_info() override { return {}; }

private:
    boost::shared_ptr<memory_directory> root_;
};

// Stands in for the back end's session, logged in, while it lives.
class memory_session final : public session_access {
public:
    explicit memory_session(boost::shared_ptr<memory_directory> root)
        : client_(boost::make_shared<memory_client>(std::move(root)))
    {
        set_current_session(this);
    }
    ~memory_session() { set_current_session(nullptr); }
    memory_session(const memory_session&) = delete;
    memory_session& operator=(const memory_session&) = delete;

    bool is_logged_in() override { return true; }
    bool ask_login(HWND, std::wstring&, std::wstring&) override { return false; }
    void login(const std::wstring&, const std::wstring&) override {}
    boost::shared_ptr<vfs::client> get_connection() override { return client_; }

private:
    boost::shared_ptr<memory_client> client_;
};

} // namespace qm_test
