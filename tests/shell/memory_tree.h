// A small vfs tree in memory, and a session that hands it out, for the folder tests that do
// not need the service: the folder sees only vfs calls, so these exercise the same code.
#pragma once

#include "shell/connection.h"
#include "vfs/vfs.h"

#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>

#include <atomic>
#include <functional>
#include <stdexcept>

namespace qm_test {

class memory_error : public vfs::exception {
public:
    memory_error(std::wstring message, std::wstring details)
        : message_(std::move(message)), details_(std::move(details))
    {
    }
    std::wstring get_message() const override { return message_; }
    std::wstring get_details() const override { return details_; }

private:
    std::wstring message_, details_;
};

[[noreturn]] inline void not_here(const wchar_t* what)
{
    throw memory_error(L"Internal error", std::wstring(what) + L" is not implemented");
}

class memory_file : public vfs::file {
public:
    memory_file(std::wstring name, std::int64_t size, double accessed = -1.0, double modified = -1.0)
        : name_(std::move(name)), size_(size), accessed_(accessed), modified_(modified)
    {
    }
    std::wstring get_name() override { return name_; }
    std::wstring get_id() override { return L"file_" + name_; }
    std::wstring get_description() override { return {}; }
    void set_description(std::wstring) override {}
    std::int32_t get_type() override { return vfs::typeFile; }
    vfs::blob get_thumbnail() override { not_here(L"get_thumbnail"); }
    void open(std::int32_t) override { not_here(L"open"); }
    void close() override {}
    bool is_bof() override { return true; }
    bool is_eof() override { return true; }
    std::int32_t get_mode() override { return 0; }
    std::int64_t get_pos() override { return 0; }
    void seek(std::int64_t, std::int32_t) override { not_here(L"seek"); }
    std::int32_t read(void*, std::int32_t) override { not_here(L"read"); }
    std::int32_t write(const void*, std::int32_t) override { not_here(L"write"); }
    std::wstring get_link() override { return {}; }
    std::int64_t get_size() override { return size_; }
    double get_date_accessed() override { return accessed_; }
    double get_date_created() override { return -1.0; }
    double get_date_modified() override { return modified_; }
    std::uint32_t get_attributes() override { return 0; }
    void set_attributes(std::uint32_t) override {}

    std::wstring name_;

private:
    std::int64_t size_;
    double accessed_, modified_;
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
        auto f = boost::make_shared<memory_file>(name, size, modified - 1, modified);
        children_.push_back(f);
        return f;
    }

    std::wstring get_name() override { return name_; }
    std::wstring get_id() override { return L"dir_" + name_; }
    std::wstring get_description() override { return {}; }
    void set_description(std::wstring) override {}
    std::int32_t get_type() override { return vfs::typeDirectory; }
    vfs::blob get_thumbnail() override { not_here(L"get_thumbnail"); }
    vfs::item_list get_items() override
    {
        ++listings;
        if (fail_listing)
            throw memory_error(L"Request failed", L"No internet connection available");
        return children_;
    }
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
        throw memory_error(L"Item not found", L"File system error: item '" + name + L"' not found");
    }
    void rename_item(std::wstring name, std::wstring new_name) override
    {
        auto item = get_item(name);
        renamed.emplace_back(name, new_name);
        if (auto f = boost::dynamic_pointer_cast<memory_file>(item))
            f->name_ = new_name;
        else if (auto d = boost::dynamic_pointer_cast<memory_directory>(item))
            d->name_ = new_name;
    }
    void rename_item(boost::shared_ptr<vfs::item> item, std::wstring new_name) override
    {
        rename_item(item->get_name(), new_name);
    }
    void delete_item(std::wstring) override { not_here(L"delete_item"); }
    void delete_item(boost::shared_ptr<vfs::item>) override { not_here(L"delete_item"); }
    boost::shared_ptr<vfs::file> create_file(std::wstring) override { not_here(L"create_file"); }
    boost::shared_ptr<vfs::file> create_file_alloc(std::wstring, std::uint64_t) override
    {
        not_here(L"create_file");
    }
    boost::shared_ptr<vfs::directory> create_directory(std::wstring) override
    {
        not_here(L"create_directory");
    }
    std::int32_t get_permission() override { return 0; }
    std::int32_t get_access() override { return 0; }
    void set_access(std::int32_t, std::int32_t) override {}

    std::wstring name_;
    vfs::item_list children_;
    int listings = 0;
    bool fail_listing = false;
    std::vector<std::pair<std::wstring, std::wstring>> renamed;
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

// Stands in for the back end's session; installed for its lifetime.
class memory_session final : public session_access {
public:
    explicit memory_session(boost::shared_ptr<memory_directory> root, bool logged_in = true)
        : client_(boost::make_shared<memory_client>(std::move(root))), logged_in_(logged_in)
    {
        set_current_session(this);
    }
    ~memory_session() { set_current_session(nullptr); }
    memory_session(const memory_session&) = delete;
    memory_session& operator=(const memory_session&) = delete;

    bool is_logged_in() override { return logged_in_; }
    bool ask_login(HWND owner, std::wstring& login, std::wstring& password) override
    {
        ++prompts;
        return on_prompt ? on_prompt(owner, login, password) : false;
    }
    void login(const std::wstring& user, const std::wstring&) override
    {
        if (user == L"wrong")
            throw memory_error(L"Login failed", L"Wrong user name or password");
        logged_in_ = true;
    }
    boost::shared_ptr<vfs::client> get_connection() override
    {
        if (!logged_in_)
            throw memory_error(L"Get connection from cache failed", L"Not logged in");
        return client_;
    }

    std::atomic<int> prompts{0};
    std::function<bool(HWND, std::wstring&, std::wstring&)> on_prompt;

private:
    boost::shared_ptr<memory_client> client_;
    std::atomic<bool> logged_in_;
};

} // namespace qm_test
