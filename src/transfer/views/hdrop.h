// The local-file view: a CF_HDROP list of dropped local paths as a read-only tree. Folders are
// listed afresh on every call; files are read with the runtime's buffered streams.
#pragma once

#include "transfer/views/clipboard_wrapper.h"

#include <windows.h>

#include <cstdio>
#include <string>

class CHDROPItem {
public:
    virtual std::wstring get_path() = 0;

protected:
    ~CHDROPItem() = default;
};

class CHDROPWrapper : public CClipboardWrapper {
public:
    // Reads the drop list once; the caller releases the medium after the view.
    explicit CHDROPWrapper(HGLOBAL hGlobal);

    vfs::item_list get_items() override { return items_; }
    boost::shared_ptr<vfs::item> get_item(std::wstring name) override;

private:
    vfs::item_list items_;
};

class CHDROPDirectory : public views::read_only_directory, public CHDROPItem {
public:
    // Throws "Path ... does not exist" for a missing folder.
    explicit CHDROPDirectory(std::wstring path);

    std::wstring get_path() override { return path_; }
    std::wstring get_name() override;
    vfs::item_list get_items() override;
    boost::shared_ptr<vfs::item> get_item(std::wstring name) override;
    std::int32_t get_permission() override { return 0; }
    std::int32_t get_access() override { return 0; }

private:
    std::wstring path_;
};

class CHDROPFile : public views::read_only_file, public CHDROPItem {
public:
    explicit CHDROPFile(std::wstring path);
    ~CHDROPFile();
    CHDROPFile(const CHDROPFile&) = delete;
    CHDROPFile& operator=(const CHDROPFile&) = delete;

    std::wstring get_path() override { return path_; }
    std::wstring get_name() override;
    void open(std::int32_t mode) override;
    void close() override;
    bool is_bof() override;
    bool is_eof() override;
    std::int32_t get_mode() override { return mode_; }
    std::int64_t get_pos() override;
    void seek(std::int64_t offset, std::int32_t origin) override;
    std::int32_t read(void* pdata, std::int32_t len) override;
    std::int64_t get_size() override;

private:
    void require_open(const wchar_t* message);

    std::wstring path_;
    std::int32_t mode_ = 0;
    FILE* stream_ = nullptr;
};
