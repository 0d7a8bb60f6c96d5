#include "shell/extract_image.h"

#include "com/handle.h"
#include "module/app_folder.h"
#include "shell/boundary.h"
#include "shell/shell_folder.h"

#include <shlwapi.h>
#include <windows.h>

#include <wincodec.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

namespace {

// Far beyond any thumbnail; a cache file or picture larger than these is not drawn. A few
// kilobytes of PNG can claim any size, and the decoded picture lives in Explorer's process, whose
// 32-bit build has 2 GiB of address space: 2048 x 2048 costs at most 28 MiB while it is made.
constexpr LONGLONG max_picture_bytes = 16 << 20;
constexpr UINT max_picture_side = 2048;

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

// The cache file's bytes when it is newer than modified (an OLE automation date, the unit of the
// service's dates); none when it is older or cannot be read. Readers share the file, so that two
// threads may draw the same picture; a picture being replaced is moved into place whole.
std::optional<std::string> fresh_cache(const std::wstring& path, double modified)
{
    const com::handle in =
        com::file_handle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    FILETIME written;
    if (!in || !GetFileTime(in.get(), nullptr, nullptr, &written))
        return std::nullopt;
    const ULONGLONG ticks = (static_cast<ULONGLONG>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    if (modified > static_cast<double>(ticks) / 864000000000.0 - 109205.0)
        return std::nullopt;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(in.get(), &size) || size.QuadPart > max_picture_bytes)
        return std::nullopt;
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!ReadFile(in.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr))
        return std::nullopt;
    bytes.resize(got);
    return bytes;
}

// The picture goes to a file of its own first and takes the cache file's place only when whole:
// a write cut short must never leave a cache file that counts as fresh.
vfs::blob fetch(vfs::file& file, const std::wstring& path)
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
    return picture;
}

// The system's codecs are made through their module's own class objects. Asking COM for them
// by class id (as GDI+ does for every picture it loads) reads the registry for each object, and
// under Wine that made a cached thumbnail cost ten times its decoding. The module stays loaded
// for the process.
HRESULT make_codec(REFCLSID id, REFIID riid, void** out)
{
    using entry_point = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    static const entry_point get_class_object = []() -> entry_point {
        const HMODULE module = LoadLibraryExW(L"windowscodecs.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        const FARPROC proc = module ? GetProcAddress(module, "DllGetClassObject") : nullptr;
        return reinterpret_cast<entry_point>(reinterpret_cast<void*>(proc));
    }();
    com::ComPtr<IClassFactory> factory;
    if (!get_class_object || FAILED(get_class_object(id, IID_PPV_ARGS(&factory))))
        return E_FAIL;
    return factory->CreateInstance(nullptr, riid, out);
}

// The decoder for a picture's format, told by its first bytes: the raster formats the service's
// pictures come in, and any the platform's imaging library reads.
const CLSID* decoder_for(std::string_view bytes)
{
    static const struct {
        std::string_view signature;
        const CLSID* decoder;
    } formats[] = {
        {{"\x89PNG\r\n\x1a\n", 8}, &CLSID_WICPngDecoder}, {{"\xff\xd8\xff", 3}, &CLSID_WICJpegDecoder},
        {{"GIF8", 4}, &CLSID_WICGifDecoder},              {{"BM", 2}, &CLSID_WICBmpDecoder},
        {{"II*\0", 4}, &CLSID_WICTiffDecoder},            {{"MM\0*", 4}, &CLSID_WICTiffDecoder},
        {{"\0\0\1\0", 4}, &CLSID_WICIcoDecoder},
    };
    for (const auto& format : formats) {
        if (bytes.substr(0, format.signature.size()) == format.signature)
            return format.decoder;
    }
    return nullptr;
}

// The frame's pixels as rows of 32 bits, alpha premultiplied as GDI's blending wants it.
bool copy_pixels(IWICBitmapFrameDecode& frame, UINT width, UINT height, BYTE* out)
{
    const std::size_t count = static_cast<std::size_t>(width) * height;
    WICPixelFormatGUID format;
    if (SUCCEEDED(frame.GetPixelFormat(&format)) && format == GUID_WICPixelFormat24bppBGR) {
        // Opaque colour, what photos and most pictures decode to, is spread by hand: making and
        // running a format converter cost a sixth of a cached thumbnail under Wine.
        std::vector<BYTE> rows(count * 3);
        if (FAILED(frame.CopyPixels(nullptr, width * 3, static_cast<UINT>(rows.size()), rows.data())))
            return false;
        for (std::size_t i = 0; i < count; ++i) {
            std::memcpy(out + 4 * i, &rows[3 * i], 3);
            out[4 * i + 3] = 0xff;
        }
        return true;
    }
    com::ComPtr<IWICFormatConverter> converter;
    return SUCCEEDED(make_codec(CLSID_WICDefaultFormatConverter, IID_PPV_ARGS(&converter))) &&
           SUCCEEDED(converter->Initialize(&frame, GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone,
                                           nullptr, 0, WICBitmapPaletteTypeCustom)) &&
           SUCCEEDED(converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(count * 4), out));
}

// The picture's first frame at its own size as a 32-bit device-independent bitmap; null when the
// bytes are no picture.
HBITMAP decode(std::string_view bytes)
{
    const CLSID* format = decoder_for(bytes);
    com::ComPtr<IWICBitmapDecoder> decoder;
    com::ComPtr<IWICBitmapFrameDecode> frame;
    com::ComPtr<IStream> stream;
    *stream.ReleaseAndGetAddressOf() =
        SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<UINT>(bytes.size()));
    UINT width = 0, height = 0;
    if (!format || !stream || FAILED(make_codec(*format, IID_PPV_ARGS(&decoder))) ||
        FAILED(decoder->Initialize(stream.Get(), WICDecodeMetadataCacheOnDemand)) ||
        FAILED(decoder->GetFrame(0, &frame)) || FAILED(frame->GetSize(&width, &height)) || !width ||
        !height || width > max_picture_side || height > max_picture_side)
        return nullptr;
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), static_cast<LONG>(width), -static_cast<LONG>(height), 1, 32,
                      BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap && !copy_pixels(*frame.Get(), width, height, static_cast<BYTE*>(bits))) {
        DeleteObject(bitmap);
        bitmap = nullptr;
    }
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
    if (const std::optional<std::string> cached = fresh_cache(path, file.get_date_modified())) {
        if (HBITMAP bitmap = decode(*cached))
            return bitmap;
    }
    const vfs::blob picture = fetch(file, path);
    HBITMAP bitmap = decode({reinterpret_cast<const char*>(picture.data.get()), picture.size});
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
