// The dropped-descriptor view: virtual files offered as "FileGroupDescriptorW" records plus one
// "FileContents" stream per file, as a read-only tree. The hierarchy is rebuilt from the records'
// relative paths on every listing.
#pragma once

#include "transfer/views/clipboard_wrapper.h"

#include <objidl.h>
#include <shlobj.h>
#include <windows.h>
#include <wrl/client.h>

#include <string>
#include <vector>

struct IStreamImpl;

class CFILEDESCRIPTORDirectory : public views::read_only_directory {
public:
    // nIndex at or past the record count makes the root.
    CFILEDESCRIPTORDirectory(IDataObject* pDataObj, const FILEGROUPDESCRIPTORW* pFGD, UINT nIndex);

    std::wstring get_name() override { return elements_.empty() ? std::wstring() : elements_.back(); }
    vfs::item_list get_items() override;
    boost::shared_ptr<vfs::item> get_item(std::wstring name) override;
    std::int32_t get_permission() override { views::not_implemented(class_name_, L"get_permission()"); }
    std::int32_t get_access() override { views::not_implemented(class_name_, L"get_access()"); }

private:
    IDataObject* data_; // not owned: the transfer holds it for the view's lifetime
    const FILEGROUPDESCRIPTORW* descriptor_;
    UINT index_;
    std::vector<std::wstring> elements_;
};

class CFILEDESCRIPTORFile : public views::read_only_file {
public:
    CFILEDESCRIPTORFile(IDataObject* pDataObj, const FILEGROUPDESCRIPTORW* pFGD, UINT nIndex);
    ~CFILEDESCRIPTORFile();
    CFILEDESCRIPTORFile(const CFILEDESCRIPTORFile&) = delete;
    CFILEDESCRIPTORFile& operator=(const CFILEDESCRIPTORFile&) = delete;

    std::wstring get_name() override { return elements_.back(); }
    void open(std::int32_t mode) override;
    void close() override;
    bool is_bof() override { views::not_implemented(class_name_, L"is_bof()"); }
    bool is_eof() override { views::not_implemented(class_name_, L"is_eof()"); }
    std::int32_t get_mode() override { return mode_; }
    std::int64_t get_pos() override { views::not_implemented(class_name_, L"get_pos()"); }
    void seek(std::int64_t offset, std::int32_t origin) override;
    std::int32_t read(void* pdata, std::int32_t len) override;
    std::int64_t get_size() override;

private:
    std::wstring name() const;
    // The item's contents as a stream; null when the data object has none to give.
    Microsoft::WRL::ComPtr<IStream> fetch(HRESULT* hr) const;
    [[noreturn]] void throw_own_error() const;
    void release();

    IDataObject* data_;
    const FILEGROUPDESCRIPTORW* descriptor_;
    UINT index_;
    std::vector<std::wstring> elements_;
    Microsoft::WRL::ComPtr<IStream> stream_;
    Microsoft::WRL::ComPtr<IStreamImpl> own_;
    std::int32_t mode_ = 0;
};

class CFILEDESCRIPTORWrapper : public CClipboardWrapper {
public:
    // Keeps the block locked for its lifetime; the caller keeps pDataObj and the medium alive
    // until the view is gone.
    CFILEDESCRIPTORWrapper(IDataObject* pDataObj, HGLOBAL hGlobal);
    ~CFILEDESCRIPTORWrapper();
    CFILEDESCRIPTORWrapper(const CFILEDESCRIPTORWrapper&) = delete;
    CFILEDESCRIPTORWrapper& operator=(const CFILEDESCRIPTORWrapper&) = delete;

    vfs::item_list get_items() override { return root_->get_items(); }
    bool has_subfolders() override { return root_->has_subfolders(); }
    boost::shared_ptr<vfs::item> get_item(std::wstring name) override { return root_->get_item(name); }

private:
    HGLOBAL block_;
    boost::shared_ptr<CFILEDESCRIPTORDirectory> root_;
};
