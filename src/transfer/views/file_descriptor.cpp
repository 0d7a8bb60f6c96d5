#include "transfer/views/file_descriptor.h"

#include "module/ids.h"
#include "module/module.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include <shlwapi.h>

#include <algorithm>

namespace {

const wchar_t* const nodes_text = L"%1%::%1%( pDataObj, pFGD, nIndex ) : %2%";

void check_node(const wchar_t* class_name, IDataObject* data, const FILEGROUPDESCRIPTORW* descriptor)
{
    if (!data)
        views::fail(L"Internal error", views::format(nodes_text, class_name, L"pDataObj is NULL"));
    if (!descriptor)
        views::fail(L"Internal error", views::format(nodes_text, class_name, L"pFGD is NULL"));
}

// A relative path split at "\", runs of separators counting as one.
std::vector<std::wstring> elements_of(const FILEGROUPDESCRIPTORW* descriptor, UINT index)
{
    std::vector<std::wstring> elements;
    if (index >= descriptor->cItems)
        return elements;
    const std::wstring name = descriptor->fgd[index].cFileName;
    boost::split(elements, name, boost::is_any_of(L"\\"), boost::token_compress_on);
    return elements;
}

bool is_folder(const FILEDESCRIPTORW& record)
{
    return (record.dwFlags & FD_ATTRIBUTES) && (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

struct medium_holder {
    STGMEDIUM medium = {};
    ~medium_holder() { ReleaseStgMedium(&medium); }
};

} // namespace

CFILEDESCRIPTORDirectory::CFILEDESCRIPTORDirectory(IDataObject* pDataObj, const FILEGROUPDESCRIPTORW* pFGD,
                                                   UINT nIndex)
    : read_only_directory(L"CFILEDESCRIPTORDirectory"), data_(pDataObj), descriptor_(pFGD), index_(nIndex)
{
    check_node(class_name_, data_, descriptor_);
    elements_ = elements_of(descriptor_, index_);
}

vfs::item_list CFILEDESCRIPTORDirectory::get_items()
{
    vfs::item_list items;
    for (UINT i = 0; i < descriptor_->cItems; ++i) {
        const std::vector<std::wstring> elements = elements_of(descriptor_, i);
        if (elements.size() != elements_.size() + 1 ||
            !std::equal(elements_.begin(), elements_.end(), elements.begin()))
            continue;
        if (is_folder(descriptor_->fgd[i]))
            items.push_back(
                boost::shared_ptr<vfs::item>(new CFILEDESCRIPTORDirectory(data_, descriptor_, i)));
        else
            items.push_back(boost::shared_ptr<vfs::item>(new CFILEDESCRIPTORFile(data_, descriptor_, i)));
    }
    return items;
}

boost::shared_ptr<vfs::item> CFILEDESCRIPTORDirectory::get_item(std::wstring name)
{
    const std::wstring place =
        index_ < descriptor_->cItems ? descriptor_->fgd[index_].cFileName : L"-=Root=-";
    return views::find_child(get_items(), name, place);
}

CFILEDESCRIPTORFile::CFILEDESCRIPTORFile(IDataObject* pDataObj, const FILEGROUPDESCRIPTORW* pFGD, UINT nIndex)
    : read_only_file(L"CFILEDESCRIPTORFile"), data_(pDataObj), descriptor_(pFGD), index_(nIndex)
{
    check_node(class_name_, data_, descriptor_);
    if (index_ >= descriptor_->cItems)
        views::fail(L"Internal error", views::format(nodes_text, class_name_, L"nIndex is out of range"));
    elements_ = elements_of(descriptor_, index_);
}

CFILEDESCRIPTORFile::~CFILEDESCRIPTORFile() = default;

std::wstring CFILEDESCRIPTORFile::name() const
{
    return descriptor_->fgd[index_].cFileName;
}

Microsoft::WRL::ComPtr<IStream> CFILEDESCRIPTORFile::fetch(HRESULT* hr) const
{
    FORMATETC format = {_Module.clipboard_format(cfFileContents), nullptr, DVASPECT_CONTENT,
                        static_cast<LONG>(index_), TYMED_ISTREAM | TYMED_HGLOBAL};
    medium_holder holder;
    *hr = data_->GetData(&format, &holder.medium);
    Microsoft::WRL::ComPtr<IStream> stream;
    if (FAILED(*hr))
        return stream;
    if (holder.medium.tymed == TYMED_ISTREAM)
        stream = holder.medium.pstm;
    else if (holder.medium.tymed == TYMED_HGLOBAL && holder.medium.hGlobal) {
        // Contents in global memory: a copy in a stream of its own, so the file reads one way.
        // The block may be larger than the file; the record's size, when it has one, is exact.
        const FILEDESCRIPTORW& record = descriptor_->fgd[index_];
        SIZE_T size = GlobalSize(holder.medium.hGlobal);
        if (record.dwFlags & FD_FILESIZE)
            size = std::min<SIZE_T>(size, record.nFileSizeLow |
                                              (static_cast<std::uint64_t>(record.nFileSizeHigh) << 32));
        if (const void* bytes = GlobalLock(holder.medium.hGlobal)) {
            // Not Attach: mingw's adds a reference, and the copy of the contents would never be freed.
            *stream.ReleaseAndGetAddressOf() =
                SHCreateMemStream(static_cast<const BYTE*>(bytes), static_cast<UINT>(size));
            GlobalUnlock(holder.medium.hGlobal);
        }
    }
    return stream;
}

void CFILEDESCRIPTORFile::open(std::int32_t mode)
{
    if (stream_)
        views::fail(L"Stream open failed",
                    views::format(L"Stream '%1%' already opened, mode=%2%", name(), mode));
    HRESULT hr = S_OK;
    stream_ = fetch(&hr);
    if (FAILED(hr))
        views::fail(L"Stream open failed",
                    views::format(L"Stream '%1%' can't be opened, mode=%2%", name(), mode));
    if (!stream_)
        views::fail(L"Stream open failed",
                    views::format(L"Stream '%1%' can't be opened by unknown reason, mode=%2%", name(), mode));
    // The drive's own outgoing stream records its failures instead of showing them, so that they
    // come back here and reach the user once, through the engine.
    if (SUCCEEDED(stream_.As(&own_)))
        own_->SetSilent();
    mode_ = mode;
}

void CFILEDESCRIPTORFile::release()
{
    own_.Reset();
    stream_.Reset();
    mode_ = 0;
}

void CFILEDESCRIPTORFile::close()
{
    if (!stream_)
        views::fail(L"Stream close failed", views::format(L"Stream '%1%' is not opened", name()));
    release();
}

void CFILEDESCRIPTORFile::throw_own_error() const
{
    wchar_t message[1024] = {};
    wchar_t details[1024] = {};
    own_->GetError(message, details, 1024, 1024);
    message[1023] = details[1023] = 0;
    views::fail(message, details);
}

std::int32_t CFILEDESCRIPTORFile::read(void* pdata, std::int32_t len)
{
    if (!stream_)
        views::fail(L"Read failed", views::format(L"Read from '%1%' failed: Stream is not opened", name()));
    ULONG count = 0;
    if (FAILED(stream_->Read(pdata, static_cast<ULONG>(len), &count))) {
        if (own_)
            throw_own_error();
        views::fail(
            L"Read failed",
            views::format(L"Read of %1% bytes from '%2%' failed: Stream operation call failed", len, name()));
    }
    return static_cast<std::int32_t>(count);
}

void CFILEDESCRIPTORFile::seek(std::int64_t offset, std::int32_t origin)
{
    const wchar_t* text = L"Seek of stream '%1%' to %2% from %3% failed: %4%";
    if (!stream_)
        views::fail(L"Seek failed",
                    views::format(text, name(), offset, views::origin_name(origin), L"stream not opened"));
    if (origin < 0 || origin > 2)
        return;
    LARGE_INTEGER move;
    move.QuadPart = offset;
    if (FAILED(stream_->Seek(move, static_cast<DWORD>(origin), nullptr))) {
        if (own_)
            throw_own_error();
        views::fail(L"Seek failed", views::format(text, name(), offset, views::origin_name(origin),
                                                  L"stream operation call failed"));
    }
}

std::int64_t CFILEDESCRIPTORFile::get_size()
{
    Microsoft::WRL::ComPtr<IStream> stream = stream_;
    if (!stream) {
        HRESULT hr = S_OK;
        stream = fetch(&hr);
        if (FAILED(hr) || !stream)
            views::fail(L"Get size failed",
                        views::format(L"Can't get size: Error opening stream '%1%'", name()));
    }
    STATSTG stat = {};
    if (FAILED(stream->Stat(&stat, STATFLAG_NONAME))) {
        if (own_)
            throw_own_error();
        views::fail(L"Get size failed",
                    views::format(L"Can't get size of '%1%': Stream operation call failed", name()));
    }
    return static_cast<std::int64_t>(stat.cbSize.QuadPart);
}

CFILEDESCRIPTORWrapper::CFILEDESCRIPTORWrapper(IDataObject* pDataObj, HGLOBAL hGlobal)
    : CClipboardWrapper(L"CFILEDESCRIPTORWrapper"), block_(hGlobal)
{
    const wchar_t* text = L"CFILEDESCRIPTORWrapper::CFILEDESCRIPTORWrapper( pDataObj, hGlobal ): %1%";
    if (!pDataObj)
        views::fail(L"Internal error", views::format(text, L"pDataObj is NULL"));
    if (!hGlobal)
        views::fail(L"Internal error", views::format(text, L"hGlobal is NULL"));
    const auto* descriptor = static_cast<const FILEGROUPDESCRIPTORW*>(GlobalLock(hGlobal));
    if (!descriptor)
        views::fail(L"Internal error",
                    L"CFILEDESCRIPTORWrapper::CFILEDESCRIPTORWrapper(pDataObj,hGlobal): Out of memory");
    try {
        root_.reset(new CFILEDESCRIPTORDirectory(pDataObj, descriptor, 0xFFFFFFFF));
    }
    catch (...) {
        GlobalUnlock(hGlobal);
        throw;
    }
}

CFILEDESCRIPTORWrapper::~CFILEDESCRIPTORWrapper()
{
    root_.reset();
    GlobalUnlock(block_);
}
