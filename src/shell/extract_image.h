// Thumbnails of the drive's files: the picture the service makes of a file, kept in a cache folder
// so that it is fetched again only after the file changed.
#pragma once

#include "com/object.h"
#include "shell/folder_objects.h"
#include "vfs/vfs.h"

#include <shlobj.h>

#include <boost/shared_ptr.hpp>

#include <string>

// Why a thumbnail could not be had; the COM methods turn it into E_FAIL, nothing is shown.
struct thumbnail_failure {
    std::wstring text;
};

class CExtractImageImpl : public com::unknown_impl<CExtractImageImpl, IExtractImage> {
public:
    explicit CExtractImageImpl(boost::shared_ptr<vfs::item> item) : item_(std::move(item)) {}
    static const QITAB* interface_table();

    IFACEMETHODIMP GetLocation(LPWSTR path, DWORD length, DWORD* priority, const SIZE* size, DWORD depth,
                               DWORD* flags) override;
    IFACEMETHODIMP Extract(HBITMAP* bitmap) override;

private:
    boost::shared_ptr<vfs::item> item_;
    std::wstring path_;
};

// The cache file's name for a service id: the hex digits of its UTF-8 bytes. An id is the
// service's text ("..", "a\b", "CON" are all possible answers) and must never name anything but a
// plain file inside the cache folder.
std::wstring thumbnail_file_name(const std::wstring& id);
std::wstring thumbnail_cache_path(const std::wstring& id);

// The picture of file as a bitmap the caller owns: from the cache file at path while it is newer
// than the file, else fetched and cached first. A cache file that does not decode (left by a
// write cut short elsewhere, or damaged) is fetched again once. Throws thumbnail_failure.
HBITMAP extract_thumbnail(vfs::file& file, const std::wstring& path);

// The folder's own file (CreateViewObject) and the one selected file (GetUIObjectOf).
HRESULT create_folder_image(folder_object_request& request, REFIID riid, void** out);
HRESULT create_item_image(folder_object_request& request, REFIID riid, void** out);
