#include "shell/pidl.h"

#include "com/object.h"

#include <shellapi.h>

#include <cstddef>
#include <cstring>
#include <new>

// The stored format, byte for byte.
static_assert(offsetof(PIDLDATA, cb) == 0);
static_assert(offsetof(PIDLDATA, kind) == 2);
static_assert(offsetof(PIDLDATA, hasSubfolders) == 3);
static_assert(offsetof(PIDLDATA, name) == 4);
static_assert(offsetof(PIDLDATA, typeName) == 524);
static_assert(offsetof(PIDLDATA, padding) == 684);
static_assert(offsetof(PIDLDATA, size) == 688);
static_assert(offsetof(PIDLDATA, accessed) == 696);
static_assert(offsetof(PIDLDATA, modified) == 704);
static_assert(sizeof(PIDLDATA) == 712 && sizeof(PIDLDATA) == pidl_record_size);
static_assert(sizeof(wchar_t) == 2);

namespace {

// A list ends with 3 zero bytes: readers stop at the first cb of 0.
constexpr std::size_t terminator_size = 3;

std::wstring bounded(const wchar_t* text, std::size_t chars)
{
    return std::wstring(text, wcsnlen(text, chars));
}

void copy_bounded(wchar_t* field, std::size_t chars, const std::wstring& text)
{
    const std::size_t n = std::min(text.size(), chars - 1);
    std::memset(field, 0, chars * sizeof(wchar_t));
    std::memcpy(field, text.data(), n * sizeof(wchar_t));
}

const SHITEMID* next_item(const SHITEMID* item)
{
    return reinterpret_cast<const SHITEMID*>(reinterpret_cast<const BYTE*>(item) + item->cb);
}

} // namespace

std::wstring pidl_name(const PIDLDATA& data)
{
    return bounded(data.name, pidl_name_chars);
}

std::wstring pidl_type_name(const PIDLDATA& data)
{
    return bounded(data.typeName, pidl_type_name_chars);
}

bool pidl_is_directory(const PIDLDATA& data)
{
    return data.kind == vfs::typeDirectory;
}

bool operator==(const PIDLDATA& a, const PIDLDATA& b)
{
    return a.cb == b.cb && a.kind == b.kind && a.hasSubfolders == b.hasSubfolders &&
           wcsncmp(a.name, b.name, pidl_name_chars) == 0 &&
           wcsncmp(a.typeName, b.typeName, pidl_type_name_chars) == 0 && a.size == b.size;
}

std::wstring type_name_cache::get(const std::wstring& path, DWORD attributes)
{
    const auto key = std::make_pair(path, attributes);
    const auto found = names_.find(key);
    if (found != names_.end())
        return found->second;
    SHFILEINFOW info = {};
    std::wstring name;
    if (SHGetFileInfoW(path.c_str(), attributes, &info, sizeof info,
                       SHGFI_TYPENAME | SHGFI_USEFILEATTRIBUTES))
        name = bounded(info.szTypeName, sizeof info.szTypeName / sizeof info.szTypeName[0]);
    names_.emplace(key, name);
    return name;
}

std::wstring name_extension(const std::wstring& name)
{
    const std::size_t dot = name.rfind(L'.');
    return dot == std::wstring::npos ? std::wstring() : name.substr(dot);
}

PIDLDATA BuildPIDLDATA(const boost::shared_ptr<vfs::item>& item)
{
    type_name_cache types;
    return BuildPIDLDATA(item, types);
}

PIDLDATA BuildPIDLDATA(const boost::shared_ptr<vfs::item>& item, type_name_cache& types)
{
    PIDLDATA data;
    std::memset(&data, 0, sizeof data);
    data.cb = pidl_record_size;
    data.kind = static_cast<std::uint8_t>(item->get_type());
    copy_bounded(data.name, pidl_name_chars, item->get_name());
    data.size = pidl_no_size;
    data.accessed = vfs::date_unknown;
    data.modified = vfs::date_unknown;

    if (data.kind == vfs::typeDirectory) {
        if (auto directory = boost::dynamic_pointer_cast<vfs::directory>(item)) {
            data.hasSubfolders = directory->has_subfolders() ? 1 : 0;
            copy_bounded(data.typeName, pidl_type_name_chars, types.get(L"*", FILE_ATTRIBUTE_DIRECTORY));
        }
    }
    else if (auto file = boost::dynamic_pointer_cast<vfs::file>(item)) {
        data.size = static_cast<std::uint64_t>(file->get_size());
        data.accessed = file->get_date_accessed();
        data.modified = file->get_date_modified();
        copy_bounded(data.typeName, pidl_type_name_chars,
                     types.get(name_extension(pidl_name(data)), FILE_ATTRIBUTE_NORMAL));
    }
    return data;
}

std::size_t pidl_list_size(LPCITEMIDLIST pidl)
{
    if (!pidl)
        return 0;
    const SHITEMID* item = &pidl->mkid;
    while (item->cb)
        item = next_item(item);
    return static_cast<std::size_t>(reinterpret_cast<const BYTE*>(item) -
                                    reinterpret_cast<const BYTE*>(pidl)) +
           sizeof(USHORT);
}

CPIDLList::CPIDLList(const PIDLDATA& data) : items_{data} {}

CPIDLList::CPIDLList(LPCITEMIDLIST pidl, bool foreign)
{
    if (!pidl)
        return;
    if (foreign) {
        prefix_size_ = pidl_list_size(pidl);
        prefix_ = static_cast<LPITEMIDLIST>(CoTaskMemAlloc(prefix_size_));
        if (!prefix_)
            throw std::bad_alloc();
        std::memcpy(prefix_, pidl, prefix_size_);
        return;
    }
    for (const SHITEMID* item = &pidl->mkid; item->cb; item = next_item(item)) {
        if (item->cb != pidl_record_size) {
            // Not one of ours: never read past its cb. The list as a whole is refused.
            valid_ = false;
            items_.clear();
            return;
        }
        PIDLDATA data;
        std::memcpy(&data, item, sizeof data);
        items_.push_back(data);
    }
}

CPIDLList::CPIDLList(const CPIDLList& other)
    : prefix_size_(other.prefix_size_), items_(other.items_), valid_(other.valid_)
{
    if (other.prefix_) {
        prefix_ = static_cast<LPITEMIDLIST>(CoTaskMemAlloc(prefix_size_));
        if (!prefix_)
            throw std::bad_alloc();
        std::memcpy(prefix_, other.prefix_, prefix_size_);
    }
}

CPIDLList& CPIDLList::operator=(const CPIDLList& other)
{
    if (this != &other) {
        CPIDLList copy(other);
        *this = std::move(copy);
    }
    return *this;
}

CPIDLList::CPIDLList(CPIDLList&& other) noexcept
    : prefix_(other.prefix_), prefix_size_(other.prefix_size_), items_(std::move(other.items_)),
      valid_(other.valid_)
{
    other.prefix_ = nullptr;
    other.prefix_size_ = 0;
}

CPIDLList& CPIDLList::operator=(CPIDLList&& other) noexcept
{
    if (this != &other) {
        CoTaskMemFree(prefix_);
        prefix_ = other.prefix_;
        prefix_size_ = other.prefix_size_;
        items_ = std::move(other.items_);
        valid_ = other.valid_;
        other.prefix_ = nullptr;
        other.prefix_size_ = 0;
    }
    return *this;
}

CPIDLList::~CPIDLList()
{
    CoTaskMemFree(prefix_);
}

CPIDLList operator+(const CPIDLList& a, const CPIDLList& b)
{
    CPIDLList result(a);
    if (!b.has_prefix())
        result.items_.insert(result.items_.end(), b.items_.begin(), b.items_.end());
    return result;
}

LPITEMIDLIST CPIDLList::serialize() const
{
    const std::size_t prefix_items = prefix_ ? prefix_size_ - sizeof(USHORT) : 0;
    const std::size_t total = prefix_items + items_.size() * sizeof(PIDLDATA) + terminator_size;
    BYTE* out = static_cast<BYTE*>(CoTaskMemAlloc(total));
    if (!out)
        return nullptr;
    BYTE* p = out;
    if (prefix_items) {
        std::memcpy(p, prefix_, prefix_items);
        p += prefix_items;
    }
    for (const PIDLDATA& data : items_) {
        std::memcpy(p, &data, sizeof data);
        p += sizeof data;
    }
    std::memset(p, 0, terminator_size);
    return reinterpret_cast<LPITEMIDLIST>(out);
}

std::wstring CPIDLList::path() const
{
    std::wstring result;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (i)
            result += L'\\';
        result += pidl_name(items_[i]);
    }
    return result;
}

bool CPIDLList::operator==(const CPIDLList& other) const
{
    if ((prefix_ == nullptr) != (other.prefix_ == nullptr))
        return false;
    if (prefix_ &&
        (prefix_size_ != other.prefix_size_ || std::memcmp(prefix_, other.prefix_, prefix_size_) != 0))
        return false;
    return items_ == other.items_;
}

HRESULT CPIDLConstructor::copy(LPITEMIDLIST* out, const PIDLDATA* in)
{
    BYTE* list = static_cast<BYTE*>(CoTaskMemAlloc(sizeof(PIDLDATA) + terminator_size));
    *out = reinterpret_cast<LPITEMIDLIST>(list);
    if (!list)
        return E_OUTOFMEMORY;
    std::memcpy(list, in, sizeof(PIDLDATA));
    std::memset(list + sizeof(PIDLDATA), 0, terminator_size);
    return S_OK;
}

namespace {

class CEnumIDListImpl : public com::unknown_impl<CEnumIDListImpl, IEnumIDList> {
public:
    CEnumIDListImpl(IUnknown* owner, boost::shared_ptr<const pidl_snapshot> snapshot, std::size_t position)
        : owner_(owner), snapshot_(std::move(snapshot)), position_(position)
    {
    }

    static const QITAB* interface_table()
    {
        static const QITAB table[] = {QITABENT(CEnumIDListImpl, IEnumIDList), {}};
        return table;
    }

    IFACEMETHODIMP Next(ULONG celt, LPITEMIDLIST* rgelt, ULONG* fetched) override
    {
        if (!rgelt || (celt != 1 && !fetched))
            return E_POINTER;
        if (!snapshot_)
            return E_FAIL;
        ULONG n = 0;
        for (; n < celt && position_ < snapshot_->size(); ++n, ++position_) {
            if (FAILED(CPIDLConstructor::copy(&rgelt[n], &(*snapshot_)[position_]))) {
                for (ULONG i = 0; i < n; ++i) {
                    CPIDLConstructor::destroy(&rgelt[i]);
                    CPIDLConstructor::init(&rgelt[i]);
                }
                position_ -= n;
                if (fetched)
                    *fetched = 0;
                return E_OUTOFMEMORY;
            }
        }
        if (fetched)
            *fetched = n;
        return n < celt ? S_FALSE : S_OK;
    }

    IFACEMETHODIMP Skip(ULONG celt) override
    {
        if (!snapshot_)
            return E_FAIL;
        const std::size_t left = snapshot_->size() - position_;
        if (celt > left) {
            position_ = snapshot_->size();
            return S_FALSE;
        }
        position_ += celt;
        return S_OK;
    }

    IFACEMETHODIMP Reset() override
    {
        position_ = 0;
        return S_OK;
    }

    IFACEMETHODIMP Clone(IEnumIDList** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        return com::create_instance<CEnumIDListImpl>(IID_IEnumIDList, reinterpret_cast<void**>(out),
                                                     owner_.Get(), snapshot_, position_);
    }

private:
    com::ComPtr<IUnknown> owner_;
    boost::shared_ptr<const pidl_snapshot> snapshot_;
    std::size_t position_;
};

} // namespace

HRESULT create_pidl_enumerator(IUnknown* owner, boost::shared_ptr<const pidl_snapshot> snapshot,
                               IEnumIDList** out)
{
    return com::create_instance<CEnumIDListImpl>(IID_IEnumIDList, reinterpret_cast<void**>(out), owner,
                                                 std::move(snapshot), std::size_t(0));
}
