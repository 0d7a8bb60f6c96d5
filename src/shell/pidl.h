// The drive's item identifiers: one fixed 712-byte record per remote item, carried in item ID
// lists that Explorer persists in shortcuts and view state. The layout is therefore a stored
// format and must never change; the static asserts in pidl.cpp pin every offset.
#pragma once

#include "vfs/vfs.h"

#include <shlobj.h>
#include <windows.h>

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

constexpr std::uint16_t pidl_record_size = 712;
constexpr std::size_t pidl_name_chars = 260;
constexpr std::size_t pidl_type_name_chars = 80;
constexpr std::uint64_t pidl_no_size = ~std::uint64_t(0);

// One item of this namespace, exactly as stored. Natural alignment gives the 4 padding bytes
// before size; they are spelled out so the layout does not depend on the compiler.
struct PIDLDATA {
    std::uint16_t cb;
    std::uint8_t kind;
    std::uint8_t hasSubfolders;
    wchar_t name[pidl_name_chars];
    wchar_t typeName[pidl_type_name_chars];
    std::uint8_t padding[4];
    std::uint64_t size;
    double accessed;
    double modified;
};

// The texts of a record, read at most to their field size: a record that came from outside
// (a shortcut, another program) need not be terminated.
std::wstring pidl_name(const PIDLDATA& data);
std::wstring pidl_type_name(const PIDLDATA& data);
bool pidl_is_directory(const PIDLDATA& data);

// Record equality: cb, kind, hasSubfolders, name, typeName and size; not the dates.
bool operator==(const PIDLDATA& a, const PIDLDATA& b);
inline bool operator!=(const PIDLDATA& a, const PIDLDATA& b)
{
    return !(a == b);
}

// Type texts looked up once per distinct extension: listing a big folder asks the shell a
// handful of times instead of once per item.
class type_name_cache {
public:
    std::wstring get(const std::wstring& path, DWORD attributes);

private:
    std::map<std::pair<std::wstring, DWORD>, std::wstring> names_;
};

// The record of a vfs item: kind, name, type text, size and dates as the item reports them.
PIDLDATA BuildPIDLDATA(const boost::shared_ptr<vfs::item>& item);
PIDLDATA BuildPIDLDATA(const boost::shared_ptr<vfs::item>& item, type_name_cache& types);

// The extension of a name as the shell looks it up: from the last "." on, or empty.
std::wstring name_extension(const std::wstring& name);

// An item ID list in memory: an optional foreign prefix (the absolute list of the namespace
// root, kept byte for byte) followed by records of this namespace.
class CPIDLList {
public:
    CPIDLList() = default;
    explicit CPIDLList(const PIDLDATA& data);
    // foreign = true: the whole list becomes the prefix. foreign = false: every item becomes a
    // record; an item whose cb is not a record's size is not taken and marks the list invalid,
    // so that callers refuse it instead of reading past the item.
    CPIDLList(LPCITEMIDLIST pidl, bool foreign);
    CPIDLList(const CPIDLList& other);
    CPIDLList& operator=(const CPIDLList& other);
    CPIDLList(CPIDLList&& other) noexcept;
    CPIDLList& operator=(CPIDLList&& other) noexcept;
    ~CPIDLList();

    // Prefix of a, records of a then b; when b has a prefix of its own, a copy of a alone.
    friend CPIDLList operator+(const CPIDLList& a, const CPIDLList& b);

    // A new CoTaskMemAlloc list (prefix items, records, 3 zero bytes); null when out of memory.
    LPITEMIDLIST serialize() const;
    // The record names joined with "\".
    std::wstring path() const;
    std::size_t count() const { return items_.size(); }
    const PIDLDATA& last() const { return items_.back(); }
    PIDLDATA& last() { return items_.back(); }
    const PIDLDATA& operator[](std::size_t i) const { return items_[i]; }
    const std::vector<PIDLDATA>& items() const { return items_; }
    void append(const PIDLDATA& data) { items_.push_back(data); }

    bool has_prefix() const { return prefix_ != nullptr; }
    LPCITEMIDLIST prefix() const { return prefix_; }
    // Bytes of the prefix including its terminator; 0 without a prefix.
    std::size_t prefix_size() const { return prefix_size_; }
    // False when a parsed list held an item that is not one of this namespace's records.
    bool valid() const { return valid_; }

    bool operator==(const CPIDLList& other) const;
    bool operator!=(const CPIDLList& other) const { return !(*this == other); }

private:
    LPITEMIDLIST prefix_ = nullptr;
    std::size_t prefix_size_ = 0;
    std::vector<PIDLDATA> items_;
    bool valid_ = true;
};

// An item ID list of the COM task allocator, freed once by whoever holds it.
struct task_memory_free {
    void operator()(void* p) const { CoTaskMemFree(p); }
};
typedef std::unique_ptr<ITEMIDLIST, task_memory_free> pidl_ptr;

// Bytes of an item ID list up to and including its 2-byte terminator.
std::size_t pidl_list_size(LPCITEMIDLIST pidl);

// The copy policy of the enumerator: one record as a one-record relative list.
struct CPIDLConstructor {
    static HRESULT copy(LPITEMIDLIST* out, const PIDLDATA* in);
    static void init(LPITEMIDLIST* p) { *p = nullptr; }
    static void destroy(LPITEMIDLIST* p) { CoTaskMemFree(*p); }
};

typedef std::vector<PIDLDATA> pidl_snapshot;

// The enumerator EnumObjects hands out: a position over a snapshot it shares with its clones,
// and a reference on the folder that made it.
HRESULT create_pidl_enumerator(IUnknown* owner, boost::shared_ptr<const pidl_snapshot> snapshot,
                               IEnumIDList** out);
