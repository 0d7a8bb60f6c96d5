#include "shell/extract_image.h"

#include "com/handle.h"
#include "module/app_folder.h"
#include "shell/boundary.h"
#include "shell/shell_folder.h"

#include <shlwapi.h>
#include <windows.h>

// GDI+'s flat API; the C++ wrappers are not needed for one decode.
#include <gdiplus.h>

#include <mutex>
#include <optional>
#include <vector>

namespace {

[[noreturn]] void fail(const wchar_t* text)
{
    throw thumbnail_failure{text};
}

vfs::file& file_of(const boost::shared_ptr<vfs::item>& item)
{
    auto* file = dynamic_cast<vfs::file*>(item.get());
    if (!file)
        fail(L"Item is not a file");
    return *file;
}

// The cache folder as found the last time; asking the shell and creating both folders for every
// thumbnail cost more than reading a cached picture. A folder deleted meanwhile is made again
// when a picture cannot be written into it.
std::wstring cache_folder(bool again = false)
{
    static std::mutex lock;
    static std::wstring folder;
    std::lock_guard<std::mutex> guard(lock);
    if (folder.empty() || again) {
        std::wstring failure;
        folder = application_folder(L"Thumbnails", failure);
        if (folder.empty())
            fail(failure.c_str());
    }
    return folder;
}

// The cache file's last write as an OLE automation date, the unit of the service's dates; none
// when there is no cache file. The attributes are read without opening the file: opening it cost
// a tenth of a cached thumbnail under Wine, and a picture being replaced is moved into place whole.
std::optional<double> cache_date(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA found;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &found) ||
        (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return std::nullopt;
    const FILETIME& written = found.ftLastWriteTime;
    const ULONGLONG ticks = (static_cast<ULONGLONG>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    return static_cast<double>(ticks) / 864000000000.0 - 109205.0;
}

// The picture goes to a file of its own first and takes the cache file's place only when whole:
// a write cut short must never leave a cache file that counts as fresh.
void fetch(vfs::file& file, const std::wstring& path)
{
    const vfs::blob picture = file.get_thumbnail();
    // No picture (the file is no image): nothing worth keeping, and nothing that would decode.
    if (!picture.size)
        fail(L"No thumbnail");
    const std::wstring folder = path.substr(0, path.rfind(L'\\'));
    wchar_t temporary[MAX_PATH];
    if (!GetTempFileNameW(folder.c_str(), L"new", 0, temporary) &&
        (cache_folder(true) != folder || !GetTempFileNameW(folder.c_str(), L"new", 0, temporary)))
        fail(L"Can't open thumbnail file for writing");
    bool placed = false;
    {
        const com::handle out = com::file_handle(
            CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out) {
            DeleteFileW(temporary);
            fail(L"Can't open thumbnail file for writing");
        }
        DWORD written = 0;
        placed = WriteFile(out.get(), picture.data.get(), picture.size, &written, nullptr) &&
                 written == picture.size;
    }
    placed = placed && MoveFileExW(temporary, path.c_str(), MOVEFILE_REPLACE_EXISTING);
    if (!placed) {
        DeleteFileW(temporary);
        fail(L"Can't write thumbnail file");
    }
}

bool gdiplus_started()
{
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        // Never shut down: another thread may be decoding when the DLL unloads, and the process
        // ends soon after anyway.
        Gdiplus::GdiplusStartupInput input;
        ULONG_PTR token = 0;
        started = Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok;
    });
    return started;
}

HBITMAP decode(const std::wstring& path)
{
    if (!gdiplus_started())
        fail(L"Can't start GDI+");
    Gdiplus::GpBitmap* image = nullptr;
    if (Gdiplus::DllExports::GdipCreateBitmapFromFile(path.c_str(), &image) != Gdiplus::Ok)
        return nullptr;
    HBITMAP bitmap = nullptr;
    if (Gdiplus::DllExports::GdipCreateHBITMAPFromBitmap(image, &bitmap, 0) != Gdiplus::Ok)
        bitmap = nullptr;
    Gdiplus::DllExports::GdipDisposeImage(image);
    return bitmap;
}

} // namespace

std::wstring thumbnail_file_name(const std::wstring& id)
{
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, id.data(), static_cast<int>(id.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, id.data(), static_cast<int>(id.size()), bytes.data(), size, nullptr,
                        nullptr);
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring name;
    for (const unsigned char byte : bytes) {
        name += digits[byte >> 4];
        name += digits[byte & 15];
    }
    if (name.empty())
        fail(L"Item has no id");
    return name;
}

std::wstring thumbnail_cache_path(const std::wstring& id)
{
    std::wstring path = cache_folder() + L'\\' + thumbnail_file_name(id);
    if (path.size() >= MAX_PATH)
        fail(L"Thumbnail file name is too long");
    return path;
}

HBITMAP extract_thumbnail(vfs::file& file, const std::wstring& path)
{
    bool fetched = false;
    const std::optional<double> cached = cache_date(path);
    if (!cached || file.get_date_modified() > *cached) {
        fetch(file, path);
        fetched = true;
    }
    HBITMAP bitmap = decode(path);
    if (!bitmap && !fetched) {
        fetch(file, path);
        bitmap = decode(path);
    }
    if (!bitmap)
        fail(L"Can't decode thumbnail file");
    return bitmap;
}

const QITAB* CExtractImageImpl::interface_table()
{
    static const QITAB table[] = {QITABENT(CExtractImageImpl, IExtractImage), {}};
    return table;
}

IFACEMETHODIMP CExtractImageImpl::GetLocation(LPWSTR path, DWORD length, DWORD* priority, const SIZE*, DWORD,
                                              DWORD* flags)
{
    if (priority)
        *priority = IEIT_PRIORITY_NORMAL;
    if (!path || !flags)
        return E_POINTER;
    return com_boundary([&]() -> HRESULT {
        try {
            path_ = thumbnail_cache_path(file_of(item_).get_id());
            if (path_.size() + 1 > length)
                fail(L"Thumbnail file name is too long");
            lstrcpynW(path, path_.c_str(), static_cast<int>(length));
            // Explorer runs Extract later on its background thread.
            return (*flags & IEIFLAG_ASYNC) ? E_PENDING : S_OK;
        }
        catch (const thumbnail_failure&) {
            return E_FAIL;
        }
    });
}

IFACEMETHODIMP CExtractImageImpl::Extract(HBITMAP* bitmap)
{
    if (!bitmap)
        return E_POINTER;
    *bitmap = nullptr;
    return com_boundary([&]() -> HRESULT {
        try {
            vfs::file& file = file_of(item_);
            *bitmap = extract_thumbnail(file, path_.empty() ? thumbnail_cache_path(file.get_id()) : path_);
            return S_OK;
        }
        catch (const thumbnail_failure&) {
            return E_FAIL;
        }
    });
}

HRESULT create_folder_image(folder_object_request& request, REFIID riid, void** out)
{
    return com::create_instance<CExtractImageImpl>(riid, out, request.item);
}

HRESULT create_item_image(folder_object_request& request, REFIID riid, void** out)
{
    CPIDLList list;
    if (!request.folder.relative_records(request.items[0], list) || !list.count())
        return E_INVALIDARG;
    const auto directory = boost::dynamic_pointer_cast<vfs::directory>(request.item);
    boost::shared_ptr<vfs::item> child;
    try {
        child = directory->get_item(pidl_name(list.last()));
    }
    catch (const vfs::exception&) {
        return E_FAIL;
    }
    if (!boost::dynamic_pointer_cast<vfs::file>(child))
        return E_FAIL;
    return com::create_instance<CExtractImageImpl>(riid, out, child);
}
