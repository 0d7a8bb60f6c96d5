#include "transfer/views/hdrop.h"

#include <shellapi.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

namespace {

// The last element of a path; trailing separators do not count, a bare drive keeps its name.
std::wstring last_element(const std::wstring& path)
{
    std::size_t end = path.find_last_not_of(L"\\/");
    if (end == std::wstring::npos)
        return path;
    const std::size_t start = path.find_last_of(L"\\/", end);
    return path.substr(start == std::wstring::npos ? 0 : start + 1,
                       end + 1 - (start == std::wstring::npos ? 0 : start + 1));
}

std::wstring child_path(const std::wstring& folder, const std::wstring& name)
{
    if (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/'))
        return folder + name;
    return folder + L'\\' + name;
}

// The text the system has for the last runtime error: the operating system's own message when
// the runtime recorded one, else the runtime's.
std::wstring last_error_text()
{
    const unsigned long os_error = _doserrno;
    if (os_error) {
        wchar_t* text = nullptr;
        const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                           FORMAT_MESSAGE_IGNORE_INSERTS,
                                       nullptr, os_error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        std::wstring result(text ? text : L"", n);
        LocalFree(text);
        while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r' || result.back() == L' '))
            result.pop_back();
        if (!result.empty())
            return result;
        return L"error " + std::to_wstring(os_error);
    }
    return _wcserror(errno);
}

struct global_lock {
    HGLOBAL handle;
    void* data;
    explicit global_lock(HGLOBAL h) : handle(h), data(GlobalLock(h)) {}
    ~global_lock()
    {
        if (data)
            GlobalUnlock(handle);
    }
    global_lock(const global_lock&) = delete;
    global_lock& operator=(const global_lock&) = delete;
};

struct find_handle {
    HANDLE handle;
    ~find_handle()
    {
        if (handle != INVALID_HANDLE_VALUE)
            FindClose(handle);
    }
};

} // namespace

CHDROPWrapper::CHDROPWrapper(HGLOBAL hGlobal) : CClipboardWrapper(L"CHDROPWrapper")
{
    if (!hGlobal)
        views::fail(L"Internal error", L"CHDROPWrapper::CHDROPWrapper( hGlobal ): hGlobal is NULL");
    const global_lock lock(hGlobal);
    if (!lock.data)
        views::fail(L"Internal error", L"CHDROPWrapper::CHDROPWrapper( hGlobal ): Out of memory");
    const auto drop = static_cast<HDROP>(hGlobal);
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        // The length first: a path may be longer than the classic 260-character limit.
        const UINT length = DragQueryFileW(drop, i, nullptr, 0);
        std::vector<wchar_t> buffer(length + 1, L'\0');
        if (length == 0 || DragQueryFileW(drop, i, buffer.data(), length + 1) == 0)
            views::fail(
                L"Internal error",
                views::format(L"CHDROPWrapper::CHDROPWrapper( hGlobal ): IO error %1%", GetLastError()));
        std::wstring path(buffer.data());
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            items_.push_back(boost::shared_ptr<vfs::item>(new CHDROPDirectory(std::move(path))));
        else
            items_.push_back(boost::shared_ptr<vfs::item>(new CHDROPFile(std::move(path))));
    }
}

boost::shared_ptr<vfs::item> CHDROPWrapper::get_item(std::wstring name)
{
    return views::find_child(items_, name, L"-=Root=-");
}

CHDROPDirectory::CHDROPDirectory(std::wstring path)
    : read_only_directory(L"CHDROPDirectory"), path_(std::move(path))
{
    if (GetFileAttributesW(path_.c_str()) != INVALID_FILE_ATTRIBUTES)
        return;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
        error == ERROR_INVALID_DRIVE || error == ERROR_BAD_NETPATH)
        views::fail(L"Internal error", views::format(L"Path %1% does not exist", path_));
    // Not a vfs error: the listing that meets it converts it, and from the root's constructor
    // it reaches the transfer's entry, which handles every exception.
    throw std::system_error(static_cast<int>(error), std::system_category());
}

std::wstring CHDROPDirectory::get_name()
{
    return last_element(path_);
}

vfs::item_list CHDROPDirectory::get_items()
{
    vfs::item_list items;
    auto listing_failed = [this](long code) {
        views::fail(views::format(L"Unable to collect items from '%1%'", path_),
                    views::format(L"File system error %1%", code));
    };
    WIN32_FIND_DATAW entry = {};
    find_handle find{FindFirstFileExW(child_path(path_, L"*").c_str(), FindExInfoBasic, &entry,
                                      FindExSearchNameMatch, nullptr, 0)};
    if (find.handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return items;
        listing_failed(static_cast<long>(error));
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const std::wstring path = child_path(path_, name);
        DWORD attributes = entry.dwFileAttributes;
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) { // the status of what the link names
            attributes = GetFileAttributesW(path.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES)
                listing_failed(static_cast<long>(GetLastError()));
        }
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            try {
                items.push_back(boost::shared_ptr<vfs::item>(new CHDROPDirectory(path)));
            }
            catch (const std::system_error& e) {
                listing_failed(e.code().value());
            }
        }
        else
            items.push_back(boost::shared_ptr<vfs::item>(new CHDROPFile(path)));
    } while (FindNextFileW(find.handle, &entry));
    const DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES)
        listing_failed(static_cast<long>(error));
    return items;
}

boost::shared_ptr<vfs::item> CHDROPDirectory::get_item(std::wstring name)
{
    return views::find_child(get_items(), name, path_);
}

CHDROPFile::CHDROPFile(std::wstring path) : read_only_file(L"CHDROPFile"), path_(std::move(path)) {}

CHDROPFile::~CHDROPFile()
{
    if (stream_)
        fclose(stream_);
}

std::wstring CHDROPFile::get_name()
{
    return last_element(path_);
}

void CHDROPFile::require_open(const wchar_t* message)
{
    if (!stream_)
        views::fail(message, views::format(L"Stream '%1%' is not opened", path_));
}

void CHDROPFile::open(std::int32_t mode)
{
    if (stream_)
        views::fail(L"Stream open failed",
                    views::format(L"Stream '%1%' already opened, mode=%2%", path_, mode));
    if (mode & vfs::modeWrite)
        views::fail(L"Internal error", L"CHDROPFile::open(mode) is not implemented with mode = modeWrite");
    stream_ = _wfopen(path_.c_str(), L"rb");
    if (!stream_)
        views::fail(L"Stream open failed",
                    views::format(L"Stream '%1%' can't be opened by unknown reason, mode=%2%", path_, mode));
    mode_ = mode;
}

void CHDROPFile::close()
{
    require_open(L"Stream close failed");
    fclose(stream_);
    stream_ = nullptr;
    mode_ = 0;
}

bool CHDROPFile::is_bof()
{
    require_open(L"is_bof() failed");
    return _ftelli64(stream_) == 0;
}

bool CHDROPFile::is_eof()
{
    require_open(L"is_eof() failed");
    return feof(stream_) != 0;
}

std::int64_t CHDROPFile::get_pos()
{
    require_open(L"get_pos() failed");
    return _ftelli64(stream_);
}

void CHDROPFile::seek(std::int64_t offset, std::int32_t origin)
{
    const wchar_t* text = L"Seek of stream '%1%' to %2% from %3% failed: %4%";
    if (!stream_)
        views::fail(L"Seek failed",
                    views::format(text, path_, offset, views::origin_name(origin), L"stream not opened"));
    if (_fseeki64(stream_, offset, origin) != 0)
        views::fail(L"Seek failed", views::format(text, path_, offset, views::origin_name(origin),
                                                  L"stream operation call failed"));
}

std::int32_t CHDROPFile::read(void* pdata, std::int32_t len)
{
    if (!stream_)
        views::fail(L"Read failed", views::format(L"Read from '%1%' failed: Stream is not opened", path_));
    _doserrno = 0;
    errno = 0;
    const std::size_t count = fread(pdata, 1, static_cast<std::size_t>(len), stream_);
    // A short count is the end of the file only when the stream says so; otherwise the rest of
    // the file would silently go missing from the copy.
    if (count < static_cast<std::size_t>(len) && ferror(stream_)) {
        const std::wstring reason = last_error_text();
        clearerr(stream_);
        views::fail(L"Read failed", views::format(L"Read from '%1%' failed: %2%", path_, reason));
    }
    return static_cast<std::int32_t>(count);
}

std::int64_t CHDROPFile::get_size()
{
    FILE* stream = stream_;
    if (!stream) {
        stream = _wfopen(path_.c_str(), L"rb");
        if (!stream)
            views::fail(L"Get size failed",
                        views::format(L"Can't get size: Error opening stream '%1%'", path_));
    }
    const std::int64_t position = _ftelli64(stream);
    _fseeki64(stream, 0, SEEK_END);
    const std::int64_t size = _ftelli64(stream);
    _fseeki64(stream, position, SEEK_SET);
    if (stream != stream_)
        fclose(stream);
    return size;
}
