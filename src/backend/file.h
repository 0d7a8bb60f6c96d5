// A file of the user's storage as the last listing of its folder reported it.
#pragma once

#include "backend/client.h"
#include "backend/item.h"
#include "backend/transfer_channel.h"
#include "vfs/vfs.h"

#include <cstdint>
#include <memory>
#include <string>

namespace vfs_quillmere {

class file : public vfs::file, public item {
public:
    file(const client& connection, std::wstring id, std::wstring name, std::wstring link,
         std::wstring location, std::wstring description, std::int64_t size, std::int64_t date_accessed,
         std::int64_t date_modified);

    std::wstring get_name() override { return name_; }
    std::wstring get_id() override { return id_; }
    std::wstring get_description() override { return description_; }
    void set_description(std::wstring description) override;
    std::int32_t get_type() override { return vfs::typeFile; }
    vfs::blob get_thumbnail() override;

    void open(std::int32_t mode) override;
    void close() override;
    bool is_bof() override;
    bool is_eof() override;
    std::int32_t get_mode() override { return mode_; }
    std::int64_t get_pos() override { return position_; }
    void seek(std::int64_t offset, std::int32_t origin) override;
    std::int32_t read(void* pdata, std::int32_t len) override;
    std::int32_t write(const void* pdata, std::int32_t len) override;
    std::wstring get_link() override { return link_; }
    std::int64_t get_size() override { return size_; }
    double get_date_accessed() override;
    double get_date_created() override { return 0.0; }
    double get_date_modified() override;
    std::uint32_t get_attributes() override { return 0; }
    void set_attributes(std::uint32_t) override {}

    std::wstring get_raw_id() override { return id_; }
    const std::wstring& location() const { return location_; }

private:
    // Made by the first open: a listing holds a file object for every file it shows, and most
    // of them never transfer, so they carry no channel, credentials copy or lock.
    transfer_channel& channel();

    std::int32_t mode_ = 0;
    client client_;
    std::unique_ptr<transfer_channel> channel_;
    std::wstring id_;
    std::wstring name_;
    std::wstring link_;
    std::wstring location_;
    std::wstring description_;
    std::int64_t position_ = 0;
    std::int64_t size_ = 0;
    std::int64_t date_accessed_ = 0;
    std::int64_t date_modified_ = 0;
};

// Seconds since 1970 as an OLE Automation date; 0 (the service's "no date") as -1.0.
double ole_date_from_unix(std::int64_t seconds);

} // namespace vfs_quillmere
