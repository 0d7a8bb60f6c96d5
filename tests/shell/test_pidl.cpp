// The item record and item ID lists: the stored layout, the builder, list operations, refusal
// of foreign items, and the enumerator.
#include "memory_tree.h"
#include "module/module.h"
#include "shell_test_support.h"

#include <shellapi.h>

namespace {

using namespace qm_test;

std::wstring shell_type_name(const wchar_t* path, DWORD attributes)
{
    SHFILEINFOW info = {};
    SHGetFileInfoW(path, attributes, &info, sizeof info, SHGFI_TYPENAME | SHGFI_USEFILEATTRIBUTES);
    return info.szTypeName;
}

TEST(pidl, builder_fills_files_and_directories_as_stored)
{
    auto root = boost::make_shared<memory_directory>(L"");
    auto docs = root->add_directory(L"Docs");
    docs->add_directory(L"Inner");
    auto file = root->add_file(L"archive.tar.gz", 1234, 45000.25);

    const PIDLDATA d = BuildPIDLDATA(docs);
    const BYTE* raw = reinterpret_cast<const BYTE*>(&d);
    EXPECT_EQ(raw[0] | raw[1] << 8, 712);
    EXPECT_EQ(raw[2], 1);
    EXPECT_EQ(raw[3], 1) << "hasSubfolders of a directory with a subdirectory";
    EXPECT_EQ(pidl_name(d), L"Docs");
    EXPECT_EQ(pidl_type_name(d), shell_type_name(L"*", FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(d.size, ~0ull);
    EXPECT_EQ(d.accessed, -1.0);
    EXPECT_EQ(d.modified, -1.0);

    const PIDLDATA f = BuildPIDLDATA(file);
    EXPECT_EQ(f.kind, 2);
    EXPECT_EQ(f.hasSubfolders, 0);
    EXPECT_EQ(f.size, 1234u);
    EXPECT_EQ(f.modified, 45000.25);
    EXPECT_EQ(f.accessed, 45000.25 - 1);
    EXPECT_EQ(pidl_type_name(f), shell_type_name(L".gz", FILE_ATTRIBUTE_NORMAL).substr(0, 79));

    const PIDLDATA readme = BuildPIDLDATA(root->add_file(L"README", 0));
    EXPECT_EQ(pidl_type_name(readme), shell_type_name(L"", FILE_ATTRIBUTE_NORMAL).substr(0, 79));

    const std::wstring long_name(300, L'x');
    const PIDLDATA cut = BuildPIDLDATA(root->add_file(long_name, 1));
    EXPECT_EQ(pidl_name(cut), long_name.substr(0, 259));
    EXPECT_EQ(cut.name[259], L'\0');
}

TEST(pidl, serialize_with_a_prefix_and_parse_back)
{
    // A foreign prefix of two items of 20 and 30 bytes.
    std::vector<BYTE> foreign(20 + 30 + 2, 0xAB);
    foreign[0] = 20, foreign[1] = 0;
    foreign[20] = 30, foreign[21] = 0;
    foreign[50] = foreign[51] = 0;
    CPIDLList root(reinterpret_cast<LPCITEMIDLIST>(foreign.data()), true);
    EXPECT_TRUE(root.has_prefix());
    EXPECT_EQ(root.count(), 0u);

    const CPIDLList list = root + CPIDLList(make_record(L"Docs", true));
    unique_pidl bytes(list.serialize());
    ASSERT_TRUE(bytes);
    com::ComPtr<IMalloc> malloc;
    ASSERT_EQ(CoGetMalloc(1, &malloc), S_OK);
    EXPECT_EQ(malloc->GetSize(bytes.get()), 765u);
    const BYTE* p = reinterpret_cast<const BYTE*>(bytes.get());
    EXPECT_EQ(std::memcmp(p, foreign.data(), 50), 0);
    EXPECT_EQ(p[50] | p[51] << 8, 712);
    EXPECT_EQ(p[762], 0);
    EXPECT_EQ(p[763], 0);
    EXPECT_EQ(p[764], 0);
    EXPECT_EQ(pidl_list_size(bytes.get()), 764u);

    // Parsing the records part gives the record back.
    const CPIDLList records(reinterpret_cast<LPCITEMIDLIST>(p + 50), false);
    ASSERT_TRUE(records.valid());
    ASSERT_EQ(records.count(), 1u);
    EXPECT_EQ(pidl_name(records.last()), L"Docs");
    EXPECT_EQ(CPIDLList(nullptr, false).count(), 0u);
}

TEST(pidl, concatenation_path_and_equality)
{
    std::vector<BYTE> foreign = {4, 0, 1, 2, 0, 0};
    const CPIDLList p(reinterpret_cast<LPCITEMIDLIST>(foreign.data()), true);
    CPIDLList ab = p + CPIDLList(make_record(L"A", true));
    ab.append(make_record(L"B", true));
    const CPIDLList c(make_record(L"C", false, 5));

    const CPIDLList abc = ab + c;
    EXPECT_EQ(abc.count(), 3u);
    EXPECT_EQ(abc.path(), L"A\\B\\C");
    EXPECT_TRUE(abc.has_prefix());
    EXPECT_EQ(ab + p, ab) << "a list with a prefix of its own is not appended";
    EXPECT_EQ(CPIDLList().path(), L"");

    PIDLDATA x = make_record(L"same", true), y = x;
    y.accessed = 1;
    y.modified = 2;
    y.padding[0] = 7;
    EXPECT_EQ(x, y) << "dates and padding are not compared";
    y.hasSubfolders = 1;
    EXPECT_NE(x, y);
    EXPECT_NE(CPIDLList(x), p + CPIDLList(x));
}

class folder_over_memory : public testing::Test {
protected:
    void SetUp() override
    {
        root = boost::make_shared<memory_directory>(L"");
        root->add_directory(L"Docs");
        root->add_file(L"a.txt", 1);
        root->add_directory(L"Photos");
        root->add_file(L"b.txt", 2);
        session = std::make_unique<memory_session>(root);
        ASSERT_EQ(com::create_instance<CShellFolderImpl>(IID_IShellFolder2, &folder), S_OK);
    }
    boost::shared_ptr<memory_directory> root;
    std::unique_ptr<memory_session> session;
    com::ComPtr<IShellFolder2> folder;
};

// Lists placed so that they end exactly where a no-access page begins: reading one byte past
// a list faults at once instead of reading whatever follows it in the heap.
class guarded_page {
public:
    guarded_page()
    {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        base_ =
            static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        if (!base_ || !VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old))
            ADD_FAILURE() << "no guarded page: " << GetLastError();
    }
    ~guarded_page() { VirtualFree(base_, 0, MEM_RELEASE); }
    guarded_page(const guarded_page&) = delete;
    guarded_page& operator=(const guarded_page&) = delete;

    LPCITEMIDLIST place(const std::vector<BYTE>& bytes)
    {
        BYTE* at = base_ + page_ - bytes.size();
        std::memcpy(at, bytes.data(), bytes.size());
        return reinterpret_cast<LPCITEMIDLIST>(at);
    }

private:
    BYTE* base_ = nullptr;
    std::size_t page_ = 0;
};

std::vector<BYTE> list_of(std::initializer_list<std::vector<BYTE>> items)
{
    std::vector<BYTE> bytes;
    for (const auto& item : items)
        bytes.insert(bytes.end(), item.begin(), item.end());
    bytes.insert(bytes.end(), {0, 0}); // the usual 2-byte terminator, not our 3
    return bytes;
}

std::vector<BYTE> record_bytes()
{
    const PIDLDATA r = make_record(L"a.txt", false, 1);
    const BYTE* p = reinterpret_cast<const BYTE*>(&r);
    return std::vector<BYTE>(p, p + sizeof r);
}

TEST_F(folder_over_memory, lists_are_never_read_past_their_end_and_foreign_items_are_refused)
{
    guarded_page guard;
    const unique_pidl ours = record_list(make_record(L"a.txt", false, 1));

    const struct {
        const char* what;
        std::vector<BYTE> bytes;
        std::size_t records; // how many a valid list has; ~0 for a refused one
    } cases[] = {
        {"one record", list_of({record_bytes()}), 1},
        {"a foreign item of 4 bytes", list_of({{4, 0, 1, 1}}), ~std::size_t(0)},
        {"a foreign item of 2 bytes", list_of({{2, 0}}), ~std::size_t(0)},
        {"a record, then a foreign item of 10 bytes",
         list_of({record_bytes(), {10, 0, 1, 1, 1, 1, 1, 1, 1, 1}}), ~std::size_t(0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LPCITEMIDLIST pidl = guard.place(c.bytes);
        const CPIDLList parsed(pidl, false);
        EXPECT_EQ(parsed.valid(), c.records != ~std::size_t(0));
        EXPECT_EQ(parsed.count(), parsed.valid() ? c.records : 0u);
        EXPECT_EQ(pidl_list_size(pidl), c.bytes.size());
        EXPECT_EQ(CPIDLList(pidl, true).prefix_size(), c.bytes.size());

        // The folder's own methods on the same bytes, as Explorer hands them over.
        STRRET name = {};
        const HRESULT shown = folder->GetDisplayNameOf(pidl, SHGDN_NORMAL, &name);
        EXPECT_EQ(SUCCEEDED(shown), parsed.valid());
        if (SUCCEEDED(shown)) {
            EXPECT_EQ(strret_text(name, pidl), L"a.txt");
        }
        SFGAOF attributes = SFGAO_FOLDER;
        EXPECT_EQ(SUCCEEDED(folder->GetAttributesOf(1, &pidl, &attributes)), parsed.valid());
        EXPECT_EQ(HRESULT_CODE(folder->CompareIDs(0, pidl, ours.get())) == 0, parsed.valid());
    }

    // Name and type fields without any terminator are read to their field size only.
    PIDLDATA full;
    std::memset(&full, 0, sizeof full);
    std::fill(std::begin(full.name), std::end(full.name), L'n');
    std::fill(std::begin(full.typeName), std::end(full.typeName), L't');
    EXPECT_EQ(pidl_name(full).size(), 260u);
    EXPECT_EQ(pidl_type_name(full).size(), 80u);
}

TEST_F(folder_over_memory, enumerator_next_skip_reset_clone_and_lifetime)
{
    IEnumIDList* raw = nullptr;
    EXPECT_EQ(folder->EnumObjects(nullptr, SHCONTF_FOLDERS, nullptr), E_POINTER);
    ASSERT_EQ(folder->EnumObjects(nullptr, SHCONTF_FOLDERS, &raw), S_OK);
    com::ComPtr<IEnumIDList> items;
    *items.GetAddressOf() = raw;

    LPITEMIDLIST got[3] = {};
    ULONG fetched = 99;
    EXPECT_EQ(items->Next(3, nullptr, &fetched), E_POINTER);
    EXPECT_EQ(items->Next(3, got, nullptr), E_POINTER);
    EXPECT_EQ(items->Next(3, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 2u);
    EXPECT_EQ(pidl_list_size(got[1]), 714u);
    for (ULONG i = 0; i < fetched; ++i)
        CoTaskMemFree(got[i]);

    EXPECT_EQ(items->Reset(), S_OK);
    EXPECT_EQ(items->Skip(1), S_OK);
    com::ComPtr<IEnumIDList> clone;
    ASSERT_EQ(items->Clone(&clone), S_OK);
    EXPECT_EQ(items->Skip(5), S_FALSE);

    // A new enumeration of the folder must not pull the snapshot from under the clone.
    EXPECT_EQ(enumerate(folder.Get(), SHCONTF_NONFOLDERS).size(), 2u);
    items.Reset();
    folder.Reset();
    EXPECT_GT(_Module.lock_count(), 0) << "the enumerator keeps the module (and its folder) alive";
    LPITEMIDLIST one = nullptr;
    ASSERT_EQ(clone->Next(1, &one, nullptr), S_OK);
    unique_pidl owned(one);
    EXPECT_EQ(pidl_name(CPIDLList(one, false).last()), L"Photos");
    EXPECT_EQ(clone->Next(1, &one, nullptr), S_FALSE);
    clone.Reset();
    EXPECT_EQ(_Module.lock_count(), 0) << "nothing of ours is left alive";
}

} // namespace
