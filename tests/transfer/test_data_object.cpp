// The data object of items taken out of a drive folder, against the dev service: the records it
// offers and the names and depths it refuses, the item list, the formats it stores, what its
// streams read, the moves it completes, and the stream it saves itself to.
#include "backend/item.h"
#include "shell/service_folder.h"
#include "support/digest.h"
#include "transfer/data_object.h"
#include "transfer/drop_source.h"
#include "ui/prompts.h"

#include <optional>

namespace {

using namespace qm_test;

struct record {
    std::wstring path;
    bool folder;
    std::uint64_t size;
    bool operator==(const record&) const = default;
};

void PrintTo(const record& r, std::ostream* os)
{
    *os << testing::PrintToString(r.path) << (r.folder ? " dir" : " ") << (r.folder ? 0 : r.size);
}

FORMATETC format(const wchar_t* name, DWORD tymed, LONG lindex = -1)
{
    return {static_cast<CLIPFORMAT>(RegisterClipboardFormatW(name)), nullptr, DVASPECT_CONTENT, lindex,
            tymed};
}

// A logged-in account whose root holds F (a.txt, b\c.txt) and x.txt, made through the drive's
// own root directory so that the folder's cached listing knows them.
class data_object_test : public service_folder {
protected:
    void SetUp() override
    {
        service_folder::SetUp();
        log_in();
        root = new_folder();
        com::ComPtr<IShellFolderImpl> impl;
        VARIANT item;
        ASSERT_EQ(root.As(&impl), S_OK);
        ASSERT_EQ(impl->GetObject(nullptr, &item), S_OK);
        drive = boost::dynamic_pointer_cast<vfs::directory>(
            *static_cast<boost::shared_ptr<vfs::item>*>(item.byref));
        auto f = drive->create_directory(L"F");
        upload(*f, L"a.txt", "alpha");
        upload(*f->create_directory(L"b"), L"c.txt", "gamma!");
        upload(*drive, L"x.txt", "x");
    }

    static void upload(vfs::directory& folder, const std::wstring& name, const std::string& text)
    {
        auto file = folder.create_file_alloc(name, text.size());
        file->open(vfs::modeWrite | vfs::modeCreate);
        if (!text.empty())
            file->write(text.data(), static_cast<std::int32_t>(text.size()));
        file->close();
    }
    // An item under a name the service's operations refuse, in a folder of the root.
    void raw_item(const std::wstring& folder, const std::string& escaped_name, const char* kind)
    {
        auto dir = boost::dynamic_pointer_cast<vfs_quillmere::item>(drive->get_item(folder));
        service->control("raw_item", "user=" + user + "&dir=" + vfs_quillmere::narrow(dir->get_raw_id()) +
                                         "&name=" + escaped_name + "&kind=" + kind + "&data=raw");
    }

    // The data object of root items, as Explorer asks for it.
    com::ComPtr<IDataObject> offer(const std::vector<std::wstring>& names, HRESULT expected = S_OK)
    {
        std::vector<unique_pidl> lists;
        std::vector<LPCITEMIDLIST> items;
        for (const auto& name : names) {
            lists.push_back(parse(root.Get(), name));
            items.push_back(lists.back().get());
        }
        com::ComPtr<IDataObject> data;
        EXPECT_EQ(root->GetUIObjectOf(nullptr, static_cast<UINT>(items.size()), items.data(), IID_IDataObject,
                                      nullptr, reinterpret_cast<void**>(data.GetAddressOf())),
                  expected);
        return data;
    }

    static std::vector<record> records(IDataObject* data)
    {
        FORMATETC asked = format(CFSTR_FILEDESCRIPTORW, TYMED_HGLOBAL);
        STGMEDIUM medium = {};
        std::vector<record> out;
        if (FAILED(data->GetData(&asked, &medium)))
            return out;
        const auto* group = static_cast<const FILEGROUPDESCRIPTORW*>(GlobalLock(medium.hGlobal));
        for (UINT i = 0; i < group->cItems; ++i) {
            const FILEDESCRIPTORW& d = group->fgd[i];
            const bool folder = d.dwFileAttributes == FILE_ATTRIBUTE_DIRECTORY;
            EXPECT_EQ(d.dwFlags, folder ? DWORD(FD_ATTRIBUTES | FD_PROGRESSUI)
                                        : DWORD(FD_ATTRIBUTES | FD_PROGRESSUI | FD_FILESIZE));
            out.push_back({d.cFileName, folder, (std::uint64_t(d.nFileSizeHigh) << 32) | d.nFileSizeLow});
        }
        GlobalUnlock(medium.hGlobal);
        ReleaseStgMedium(&medium);
        return out;
    }

    com::ComPtr<IShellFolder2> root;
    boost::shared_ptr<vfs::directory> drive;
};

TEST_F(data_object_test, records_list_the_selection_depth_first_with_names_that_keep_their_depth)
{
    auto hostile = drive->create_directory(L"H");
    raw_item(L"H", "a%5Cb", "file"); // a\b
    raw_item(L"H", "c%2Fd", "file"); // c/d
    raw_item(L"H", "..", "dir");
    struct {
        std::vector<std::wstring> selected;
        std::vector<record> expected;
    } const cases[] = {
        {{L"x.txt", L"F"},
         {{L"x.txt", false, 1},
          {L"F", true, 0},
          {L"F\\b", true, 0},
          {L"F\\b\\c.txt", false, 6},
          {L"F\\a.txt", false, 5}}},
        {{L"H"}, {{L"H", true, 0}, {L"H\\__", true, 0}, {L"H\\a_b", false, 3}, {L"H\\c_d", false, 3}}},
    };
    for (const auto& c : cases) {
        auto data = offer(c.selected);
        ASSERT_TRUE(data);
        EXPECT_EQ(records(data.Get()), c.expected) << testing::PrintToString(c.selected);
    }
}

TEST_F(data_object_test, a_path_too_long_for_a_record_refuses_the_whole_selection_once)
{
    const std::wstring long_name(100, L'n');
    auto deep = drive->create_directory(L"D")->create_directory(long_name);
    upload(*deep->create_directory(long_name), std::wstring(55, L'f'), "fits"); // 259 characters
    upload(*deep, std::wstring(156, L'g'), "fits");                             // 259 too
    std::vector<ui::prompt> prompts;
    ui::scoped_answerer answer([&](const ui::prompt& p) {
        prompts.push_back(p);
        return IDOK;
    });
    EXPECT_EQ(records(offer({L"D"}).Get()).size(), 5u);
    EXPECT_TRUE(prompts.empty());

    raw_item(L"D", std::string(258, 'h'), "file"); // D\hhh... is 260 characters
    auto data = offer({L"x.txt", L"D"});
    FORMATETC asked[] = {format(CFSTR_FILEDESCRIPTORW, TYMED_HGLOBAL),
                         format(CFSTR_FILECONTENTS, TYMED_ISTREAM, 0)};
    for (auto& f : asked) {
        STGMEDIUM medium = {};
        EXPECT_EQ(data->GetData(&f, &medium), HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE));
    }
    ASSERT_EQ(prompts.size(), 1u);
    EXPECT_EQ(prompts[0].caption, L"Path Too Long");
    EXPECT_NE(prompts[0].text.find(L"'D\\" + std::wstring(258, L'h') + L"' lies too deep"),
              std::wstring::npos);
}

TEST_F(data_object_test, what_get_data_and_query_get_data_answer)
{
    auto data = offer({L"F", L"x.txt"});
    const LONG records = 5; // F, F\b, F\b\c.txt, F\a.txt, x.txt: folders first in a listing
    struct {
        const wchar_t* name;
        DWORD tymed;
        LONG lindex;
        HRESULT query, get;
    } const cases[] = {
        {CFSTR_FILEDESCRIPTORW, TYMED_HGLOBAL, -1, S_OK, S_OK},
        {CFSTR_FILEDESCRIPTORW, TYMED_ISTREAM, -1, DV_E_FORMATETC, DV_E_TYMED},
        {CFSTR_FILECONTENTS, TYMED_ISTREAM, -1, S_OK, DV_E_LINDEX},
        {CFSTR_FILECONTENTS, TYMED_ISTREAM, records, DV_E_FORMATETC, DV_E_LINDEX},
        {CFSTR_FILECONTENTS, TYMED_ISTREAM, 1, DV_E_FORMATETC, E_UNEXPECTED}, // F\b, a folder
        {CFSTR_FILECONTENTS, TYMED_HGLOBAL, 1, DV_E_FORMATETC, DV_E_TYMED},
        {CFSTR_SHELLIDLIST, TYMED_HGLOBAL, -1, DV_E_FORMATETC, S_OK},
        {L"OleClipboardPersistOnFlush", TYMED_HGLOBAL, -1, S_OK, S_OK},
        {CFSTR_PREFERREDDROPEFFECT, TYMED_HGLOBAL, -1, DV_E_FORMATETC, DV_E_FORMATETC},
    };
    for (const auto& c : cases) {
        FORMATETC f = format(c.name, c.tymed, c.lindex);
        STGMEDIUM medium = {};
        EXPECT_EQ(data->QueryGetData(&f), c.query) << testing::PrintToString(c.name) << c.lindex;
        EXPECT_EQ(data->GetData(&f, &medium), c.get) << testing::PrintToString(c.name) << c.lindex;
        ReleaseStgMedium(&medium);
    }

    // The item list: the folder's absolute list, then one record per selected item.
    FORMATETC f = format(CFSTR_SHELLIDLIST, TYMED_HGLOBAL);
    STGMEDIUM medium = {};
    ASSERT_EQ(data->GetData(&f, &medium), S_OK);
    const auto* cida = static_cast<const BYTE*>(GlobalLock(medium.hGlobal));
    const auto& header = *reinterpret_cast<const CIDA*>(cida);
    const std::size_t folder_size = pidl_list_size(root_pidl);
    ASSERT_EQ(header.cidl, 2u);
    EXPECT_EQ(GlobalSize(medium.hGlobal), 4 * 4 + folder_size + 2 * 714);
    EXPECT_EQ(std::vector<UINT>(header.aoffset, header.aoffset + 3),
              (std::vector<UINT>{16, UINT(16 + folder_size), UINT(16 + folder_size + 714)}));
    EXPECT_EQ(std::memcmp(cida + 16, root_pidl, folder_size), 0);
    const auto item = [&](int i) {
        return CPIDLList(reinterpret_cast<LPCITEMIDLIST>(cida + header.aoffset[i]), false);
    };
    EXPECT_EQ(std::pair(item(1).path(), item(2).path()),
              std::pair(std::wstring(L"F"), std::wstring(L"x.txt")));
    GlobalUnlock(medium.hGlobal);
    ReleaseStgMedium(&medium);
}

DWORD read_dword(IDataObject* data, const wchar_t* name, STGMEDIUM* keep = nullptr)
{
    FORMATETC f = format(name, TYMED_HGLOBAL);
    STGMEDIUM medium = {};
    if (FAILED(data->GetData(&f, &medium)))
        return 0xDEAD;
    const DWORD value = *static_cast<const DWORD*>(GlobalLock(medium.hGlobal));
    GlobalUnlock(medium.hGlobal);
    if (keep)
        *keep = medium;
    else
        ReleaseStgMedium(&medium);
    return value;
}

HRESULT set_dword(IDataObject* data, const wchar_t* name, DWORD value, IUnknown* releaser = nullptr)
{
    FORMATETC f = format(name, TYMED_HGLOBAL);
    STGMEDIUM medium = {TYMED_HGLOBAL, {nullptr}, releaser};
    medium.hGlobal = GlobalAlloc(GMEM_MOVEABLE, sizeof value);
    *static_cast<DWORD*>(GlobalLock(medium.hGlobal)) = value;
    GlobalUnlock(medium.hGlobal);
    return data->SetData(&f, &medium, TRUE);
}

ULONG references(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

TEST_F(data_object_test, stored_formats_are_shared_with_readers_and_listed_in_store_order)
{
    auto data = offer({L"x.txt"});
    const ULONG idle = references(data.Get());
    ASSERT_EQ(set_dword(data.Get(), CFSTR_PREFERREDDROPEFFECT, DROPEFFECT_COPY), S_OK);
    ASSERT_EQ(set_dword(data.Get(), CFSTR_PREFERREDDROPEFFECT, DROPEFFECT_MOVE), S_OK); // replaces
    STGMEDIUM shared = {};
    EXPECT_EQ(read_dword(data.Get(), CFSTR_PREFERREDDROPEFFECT, &shared), DWORD(DROPEFFECT_MOVE));
    EXPECT_EQ(shared.pUnkForRelease, static_cast<IUnknown*>(data.Get()));
    EXPECT_EQ(references(data.Get()), idle + 1);
    ReleaseStgMedium(&shared); // drops that reference; the memory stays the object's
    EXPECT_EQ(references(data.Get()), idle);
    EXPECT_EQ(read_dword(data.Get(), CFSTR_PREFERREDDROPEFFECT), DWORD(DROPEFFECT_MOVE));

    // A medium whose release object is the data object itself is copied, and the reference it
    // held is dropped: the object does not keep itself alive.
    data->AddRef();
    ASSERT_EQ(set_dword(data.Get(), L"Logical Performed DropEffect", DROPEFFECT_COPY, data.Get()), S_OK);
    EXPECT_EQ(references(data.Get()), idle);
    EXPECT_EQ(read_dword(data.Get(), L"Logical Performed DropEffect"), DWORD(DROPEFFECT_COPY));
    FORMATETC with_device = format(L"Other", TYMED_HGLOBAL);
    DVTARGETDEVICE device = {};
    with_device.ptd = &device;
    STGMEDIUM none = {};
    EXPECT_EQ(data->SetData(&with_device, &none, FALSE), DV_E_DVTARGETDEVICE);

    com::ComPtr<IEnumFORMATETC> formats;
    EXPECT_EQ(data->EnumFormatEtc(DATADIR_SET, &formats), E_NOTIMPL);
    ASSERT_EQ(data->EnumFormatEtc(DATADIR_GET, &formats), S_OK);
    const CLIPFORMAT expected[] = {format(L"OleClipboardPersistOnFlush", 0).cfFormat,
                                   format(CFSTR_FILEDESCRIPTORW, 0).cfFormat,
                                   format(CFSTR_FILECONTENTS, 0).cfFormat,
                                   format(CFSTR_SHELLIDLIST, 0).cfFormat,
                                   format(CFSTR_PREFERREDDROPEFFECT, 0).cfFormat,
                                   format(L"Logical Performed DropEffect", 0).cfFormat};
    FORMATETC got[8] = {};
    ULONG fetched = 0;
    EXPECT_EQ(formats->Skip(1), S_OK);
    EXPECT_EQ(formats->Next(8, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 5u);
    EXPECT_EQ(formats->Next(2, got, nullptr), E_POINTER);
    EXPECT_EQ(formats->Skip(1), S_FALSE);
    EXPECT_EQ(formats->Reset(), S_OK);
    EXPECT_EQ(formats->Next(1, got, nullptr), S_OK);
    EXPECT_EQ(got[0].cfFormat, expected[0]);
    ASSERT_EQ(formats->Next(5, got, &fetched), S_OK);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(got[i].cfFormat, expected[i + 1]) << i;
}

// The saved form, spelled out field by field: the same on 32 and 64 bits.
struct saved_form {
    std::string bytes;
    saved_form& u8(std::uint8_t v) { return raw(&v, 1); }
    saved_form& u32(std::uint32_t v) { return raw(&v, 4); }
    saved_form& raw(const void* p, std::size_t n)
    {
        bytes.append(static_cast<const char*>(p), n);
        return *this;
    }
    // flag, size, the list's items and a 3-byte terminator
    saved_form& list(bool foreign, LPCITEMIDLIST items)
    {
        const std::uint32_t n = static_cast<std::uint32_t>(pidl_list_size(items) - 2);
        return u8(foreign).u32(n + 3).raw(items, n).raw("\0\0\0", 3);
    }
    com::ComPtr<IStream> stream() const
    {
        com::ComPtr<IStream> s;
        CreateStreamOnHGlobal(nullptr, TRUE, &s);
        s->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
        const LARGE_INTEGER start = {};
        s->Seek(start, STREAM_SEEK_SET, nullptr);
        return s;
    }
};

HRESULT load(const saved_form& form, com::ComPtr<IDataObject>* loaded = nullptr)
{
    auto object = com::make<CDataObjectImpl>();
    const HRESULT hr = object->Load(form.stream().Get());
    if (loaded)
        object.As(loaded);
    return hr;
}

TEST_F(data_object_test, a_saved_object_loads_into_a_working_one_and_a_hostile_stream_fails_cleanly)
{
    auto data = offer({L"x.txt", L"F"});
    set_dword(data.Get(), CFSTR_PREFERREDDROPEFFECT, DROPEFFECT_MOVE);
    com::ComPtr<IPersistStream> persist;
    ASSERT_EQ(data.As(&persist), S_OK);
    com::ComPtr<IStream> stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
    ASSERT_EQ(persist->Save(stream.Get(), TRUE), S_OK);

    const unique_pidl x = parse(root.Get(), L"x.txt"), f = parse(root.Get(), L"F");
    const USHORT empty = 0;
    const auto golden = [&](std::uint32_t window) {
        return saved_form()
            .u32(window)
            .list(true, root_pidl)
            .list(false, reinterpret_cast<LPCITEMIDLIST>(&empty))
            .u32(2)
            .list(false, x.get())
            .list(false, f.get())
            .u32(DROPEFFECT_MOVE);
    };
    HGLOBAL memory = nullptr;
    GetHGlobalFromStream(stream.Get(), &memory);
    ULARGE_INTEGER at = {}, max = {};
    const LARGE_INTEGER zero = {};
    stream->Seek(zero, STREAM_SEEK_CUR, &at);
    EXPECT_EQ(std::string(static_cast<const char*>(GlobalLock(memory)), at.QuadPart), golden(0).bytes);
    GlobalUnlock(memory);
    EXPECT_EQ(persist->GetSizeMax(&max), S_OK);
    EXPECT_EQ(max.QuadPart, at.QuadPart);

    // What another build saved, with a window that still exists and one that does not.
    const HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    for (const HWND owner : {window, HWND(nullptr)}) {
        com::ComPtr<IDataObject> loaded;
        ASSERT_EQ(load(golden(owner ? HandleToLong(owner) : 0x7ffffff0), &loaded), S_OK);
        EXPECT_EQ(own_selection(loaded.Get())->owner, owner ? owner : GetDesktopWindow());
        EXPECT_EQ(records(loaded.Get()), records(data.Get()));
        EXPECT_EQ(read_dword(loaded.Get(), CFSTR_PREFERREDDROPEFFECT), DWORD(DROPEFFECT_MOVE));
    }
    DestroyWindow(window);

    // Cut anywhere, it fails; so does every count or size no well-formed stream holds, before
    // anything of that size is allocated.
    const saved_form whole = golden(0);
    for (std::size_t n = 0; n < whole.bytes.size(); ++n)
        ASSERT_EQ(load(saved_form{whole.bytes.substr(0, n)}), E_FAIL) << n;
    PIDLDATA foreign = {};
    foreign.cb = 100;
    const unique_pidl other = record_list(foreign), missing = record_list(make_record(L"gone", true));
    const auto head = [&] { return saved_form().u32(0).list(true, root_pidl); };
    const auto relative = [&](LPCITEMIDLIST list) {
        return head().list(false, list).u32(1).list(false, x.get()).u32(0);
    };
    struct {
        const char* what;
        saved_form form;
    } const cases[] = {
        {"huge root size", saved_form().u32(0).u8(1).u32(0xfffffff0).raw(whole.bytes.data() + 9, 100)},
        {"foreign flag 2", saved_form().u32(0).u8(2).raw(whole.bytes.data() + 5, whole.bytes.size() - 5)},
        {"huge item count",
         head().list(false, reinterpret_cast<LPCITEMIDLIST>(&empty)).u32(0xffffffff).list(false, x.get())},
        {"no items", head().list(false, reinterpret_cast<LPCITEMIDLIST>(&empty)).u32(0).u32(0)},
        {"an item that is not a record",
         head().list(false, reinterpret_cast<LPCITEMIDLIST>(&empty)).u32(1).list(false, other.get()).u32(0)},
        {"a relative list that is not the drive's", relative(other.get())},
        {"a folder the drive does not have", relative(missing.get())},
        {"an item cb past its bytes", head()
                                          .list(false, reinterpret_cast<LPCITEMIDLIST>(&empty))
                                          .u32(1)
                                          .u8(0)
                                          .u32(4)
                                          .raw("\xff\x02\0\0", 4)
                                          .u32(0)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(load(c.form), E_FAIL) << c.what;
}

TEST(drop_source, a_drag_drops_on_release_and_cancels_on_escape)
{
    com::ComPtr<IDropSource> source;
    ASSERT_EQ(com::create_instance<CDropSourceImpl>(IID_PPV_ARGS(&source)), S_OK);
    struct {
        BOOL escape;
        DWORD keys;
        HRESULT result;
    } const cases[] = {
        {FALSE, MK_LBUTTON, S_OK},
        {FALSE, MK_LBUTTON | MK_SHIFT, S_OK},
        {FALSE, MK_RBUTTON, DRAGDROP_S_DROP},
        {TRUE, MK_LBUTTON, DRAGDROP_S_CANCEL},
    };
    for (const auto& c : cases)
        EXPECT_EQ(source->QueryContinueDrag(c.escape, c.keys), c.result) << c.escape << " " << c.keys;
    EXPECT_EQ(source->GiveFeedback(DROPEFFECT_COPY), DRAGDROP_S_USEDEFAULTCURSORS);
}

} // namespace
