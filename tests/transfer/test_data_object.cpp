// The data object of items taken out of a drive folder, against the dev service: the records it
// offers and the names and depths it refuses, the item list, the formats it stores, what its
// streams read, the moves it completes, and the stream it saves itself to.
#include "backend/item.h"
#include "transfer/drive_folder.h"
#include "transfer/data_object.h"
#include "transfer/stored_tree.h"
#include "ui/prompts.h"

#include <fstream>
#include <span>
#include <optional>

namespace {

using namespace qm_test;

FORMATETC format(const wchar_t* name, DWORD tymed, LONG lindex = -1)
{
    return {static_cast<CLIPFORMAT>(RegisterClipboardFormatW(name)), nullptr, DVASPECT_CONTENT, lindex,
            tymed};
}

bytes text(const std::string& s)
{
    return bytes(s.begin(), s.end());
}

// The records offered: "path\" for a folder, "path:size" for a file.
std::vector<std::wstring> records(IDataObject* data)
{
    FORMATETC asked = format(CFSTR_FILEDESCRIPTORW, TYMED_HGLOBAL);
    STGMEDIUM medium = {};
    std::vector<std::wstring> out;
    if (FAILED(data->GetData(&asked, &medium)))
        return out;
    const auto* group = static_cast<const FILEGROUPDESCRIPTORW*>(GlobalLock(medium.hGlobal));
    for (const FILEDESCRIPTORW& d : std::span(group->fgd, group->cItems)) {
        const bool folder = d.dwFileAttributes == FILE_ATTRIBUTE_DIRECTORY;
        EXPECT_EQ(d.dwFlags, DWORD(FD_ATTRIBUTES | FD_PROGRESSUI | (folder ? 0 : FD_FILESIZE)));
        out.push_back(d.cFileName + (folder ? L"\\" : L":" + std::to_wstring(d.nFileSizeLow)));
    }
    GlobalUnlock(medium.hGlobal);
    ReleaseStgMedium(&medium);
    return out;
}

// Everything a "FileContents" stream reads.
bytes read_contents(IDataObject* data, LONG index)
{
    FORMATETC f = format(CFSTR_FILECONTENTS, TYMED_ISTREAM, index);
    STGMEDIUM medium = {};
    bytes out, buffer(1 << 20);
    ULONG n = 0;
    EXPECT_EQ(data->GetData(&f, &medium), S_OK);
    while (medium.pstm && SUCCEEDED(medium.pstm->Read(buffer.data(), ULONG(buffer.size()), &n)) && n)
        out.insert(out.end(), buffer.begin(), buffer.begin() + n);
    ReleaseStgMedium(&medium);
    return out;
}

DWORD read_dword(IDataObject* data, const wchar_t* name, STGMEDIUM* keep = nullptr)
{
    FORMATETC f = format(name, TYMED_HGLOBAL);
    STGMEDIUM medium = {};
    if (FAILED(data->GetData(&f, &medium)))
        return 0xDEAD;
    const DWORD value = *static_cast<const DWORD*>(GlobalLock(medium.hGlobal));
    GlobalUnlock(medium.hGlobal);
    keep ? void(*keep = medium) : ReleaseStgMedium(&medium);
    return value;
}

template <class T>
HRESULT set_value(IDataObject* data, const wchar_t* name, T value, IUnknown* releaser = nullptr)
{
    FORMATETC f = format(name, TYMED_HGLOBAL);
    STGMEDIUM medium = {TYMED_HGLOBAL, {nullptr}, releaser};
    medium.hGlobal = GlobalAlloc(GMEM_FIXED, sizeof value);
    std::memcpy(medium.hGlobal, &value, sizeof value);
    return data->SetData(&f, &medium, TRUE);
}

ULONG references(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

// A logged-in account whose root holds F (a.txt, b\c.txt) and x.txt.
class data_object_test : public drive_folder {
protected:
    void SetUp() override
    {
        drive_folder::SetUp();
        auto f = drive->create_directory(L"F");
        upload(*f, L"a.txt", text("alpha"));
        upload(*f->create_directory(L"b"), L"c.txt", text("gamma!"));
        upload(*drive, L"x.txt", text("x"));
    }

    // An item under a name the service's operations refuse, in a folder of the root.
    void raw_item(const std::wstring& folder, const std::string& escaped_name, const char* kind)
    {
        auto dir = boost::dynamic_pointer_cast<vfs_quillmere::item>(drive->get_item(folder));
        service->control("raw_item", "user=" + user + "&dir=" + vfs_quillmere::narrow(dir->get_raw_id()) +
                                         "&name=" + escaped_name + "&kind=" + kind + "&data=raw");
    }
    // The data object of root items, as Explorer asks for it.
    com::ComPtr<IDataObject> offer(const std::vector<std::wstring>& names)
    {
        std::vector<unique_pidl> lists;
        std::vector<LPCITEMIDLIST> items;
        for (const auto& name : names) {
            lists.push_back(parse(root.Get(), name));
            items.push_back(lists.back().get());
        }
        com::ComPtr<IDataObject> data;
        EXPECT_EQ(root->GetUIObjectOf(nullptr, UINT(items.size()), items.data(), IID_IDataObject, nullptr,
                                      reinterpret_cast<void**>(data.GetAddressOf())),
                  S_OK);
        return data;
    }
    bool in_root(const std::wstring& name)
    {
        for (const auto& item : drive->get_items())
            if (item->get_name() == name)
                return true;
        return false;
    }
};

TEST_F(data_object_test, records_list_the_selection_depth_first_with_names_that_keep_their_depth)
{
    drive->create_directory(L"H");
    raw_item(L"H", "a%5Cb", "file"); // a\b
    raw_item(L"H", "c%2Fd", "file"); // c/d
    raw_item(L"H", "..", "dir");
    struct {
        std::vector<std::wstring> selected, expected;
    } const cases[] = {
        {{L"x.txt", L"F"}, {L"x.txt:1", L"F\\", L"F\\b\\", L"F\\b\\c.txt:6", L"F\\a.txt:5"}},
        {{L"H"}, {L"H\\", L"H\\__\\", L"H\\a_b:3", L"H\\c_d:3"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(records(offer(c.selected).Get()), c.expected) << testing::PrintToString(c.selected);
}

TEST_F(data_object_test, a_path_too_long_for_a_record_refuses_the_whole_selection_once)
{
    const std::wstring long_name(100, L'n');
    auto deep = drive->create_directory(L"D")->create_directory(long_name);
    upload(*deep->create_directory(long_name), std::wstring(55, L'f'), text("fits")); // 259 characters
    upload(*deep, std::wstring(156, L'g'), text("fits"));                             // 259 too
    std::vector<ui::prompt> prompts;
    ui::scoped_answerer answer([&](const ui::prompt& p) {
        prompts.push_back(p);
        return IDOK;
    });
    EXPECT_EQ(records(offer({L"D"}).Get()).size(), 5u);
    EXPECT_TRUE(prompts.empty());

    raw_item(L"D", std::string(258, 'h'), "file"); // D\hhh... is 260 characters
    auto data = offer({L"x.txt", L"D"});
    for (FORMATETC f :
         {format(CFSTR_FILEDESCRIPTORW, TYMED_HGLOBAL), format(CFSTR_FILECONTENTS, TYMED_ISTREAM, 0)}) {
        STGMEDIUM medium = {};
        EXPECT_EQ(data->GetData(&f, &medium), HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE));
    }
    ASSERT_EQ(prompts.size(), 1u);
    EXPECT_EQ(prompts[0].caption, L"Path Too Long");
    EXPECT_EQ(prompts[0].text.find(L"'D\\" + std::wstring(258, L'h') + L"' lies too deep"), 0u);
}

TEST_F(data_object_test, what_get_data_and_query_get_data_answer)
{
    auto data = offer({L"F", L"x.txt"});
    const LONG count = 5; // F, F\b, F\b\c.txt, F\a.txt, x.txt: folders first in a listing
    struct {
        const wchar_t* name;
        DWORD tymed;
        LONG lindex;
        HRESULT query, get;
    } const cases[] = {
        {CFSTR_FILEDESCRIPTORW, TYMED_HGLOBAL, -1, S_OK, S_OK},
        {CFSTR_FILEDESCRIPTORW, TYMED_ISTREAM, -1, DV_E_FORMATETC, DV_E_TYMED},
        {CFSTR_FILECONTENTS, TYMED_ISTREAM, -1, S_OK, DV_E_LINDEX},
        {CFSTR_FILECONTENTS, TYMED_ISTREAM, count, DV_E_FORMATETC, DV_E_LINDEX},
        {CFSTR_FILECONTENTS, TYMED_ISTREAM, 1, DV_E_FORMATETC, E_UNEXPECTED}, // F\b, a folder
        {CFSTR_FILECONTENTS, TYMED_HGLOBAL, 2, DV_E_FORMATETC, DV_E_TYMED},
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
    const UINT folder_size = UINT(pidl_list_size(root_pidl));
    EXPECT_EQ(GlobalSize(medium.hGlobal), 16 + folder_size + 2 * 714);
    ASSERT_EQ(header.cidl, 2u);
    EXPECT_EQ(std::vector<UINT>(header.aoffset, header.aoffset + 3),
              (std::vector<UINT>{16, 16 + folder_size, 16 + folder_size + 714}));
    EXPECT_EQ(std::memcmp(cida + 16, root_pidl, folder_size), 0);
    for (int i : {1, 2})
        EXPECT_EQ(CPIDLList(reinterpret_cast<LPCITEMIDLIST>(cida + header.aoffset[i]), false).path(),
                  i == 1 ? L"F" : L"x.txt");
    GlobalUnlock(medium.hGlobal);
    ReleaseStgMedium(&medium);
}

TEST_F(data_object_test, stored_formats_are_shared_with_readers_and_listed_in_store_order)
{
    auto data = offer({L"x.txt"});
    const ULONG idle = references(data.Get());
    ASSERT_EQ(set_value(data.Get(), CFSTR_PREFERREDDROPEFFECT, DWORD(DROPEFFECT_COPY)), S_OK);
    ASSERT_EQ(set_value(data.Get(), CFSTR_PREFERREDDROPEFFECT, DWORD(DROPEFFECT_MOVE)), S_OK); // replaces
    STGMEDIUM shared = {};
    EXPECT_EQ(read_dword(data.Get(), CFSTR_PREFERREDDROPEFFECT, &shared), DWORD(DROPEFFECT_MOVE));
    EXPECT_EQ(std::pair(shared.pUnkForRelease, references(data.Get())),
              std::pair(static_cast<IUnknown*>(data.Get()), idle + 1));
    ReleaseStgMedium(&shared); // drops that reference; the memory stays the object's
    EXPECT_EQ(std::pair(read_dword(data.Get(), CFSTR_PREFERREDDROPEFFECT), references(data.Get())),
              std::pair(DWORD(DROPEFFECT_MOVE), idle));
    // A medium whose release object is the data object itself is copied, and the reference it
    // held is dropped: the object does not keep itself alive.
    data->AddRef();
    ASSERT_EQ(set_value(data.Get(), L"Logical Performed DropEffect", DWORD(7), data.Get()), S_OK);
    EXPECT_EQ(std::pair(read_dword(data.Get(), L"Logical Performed DropEffect"), references(data.Get())),
              std::pair(DWORD(7), idle));

    // A medium handed over belongs to the object once stored, even when what follows fails (a
    // target CLSID that cannot be read): the caller must not be told to free it again.
    {
        auto owner = offer({L"x.txt"});
        const ULONG owner_idle = references(owner.Get());
        FORMATETC f = format(CFSTR_TARGETCLSID, TYMED_HGLOBAL);
        STGMEDIUM medium = {TYMED_HGLOBAL, {nullptr}, owner.Get()};
        medium.hGlobal = GlobalAlloc(GMEM_MOVEABLE, 0);
        owner->AddRef();
        auto target = offer({L"x.txt"});
        if (FAILED(target->SetData(&f, &medium, TRUE)))
            ReleaseStgMedium(&medium);
        target.Reset();
        EXPECT_EQ(references(owner.Get()), owner_idle);
    }

    com::ComPtr<IEnumFORMATETC> formats;
    EXPECT_EQ(data->EnumFormatEtc(DATADIR_SET, &formats), E_NOTIMPL);
    ASSERT_EQ(data->EnumFormatEtc(DATADIR_GET, &formats), S_OK);
    const wchar_t* expected[] = {
        L"OleClipboardPersistOnFlush", CFSTR_FILEDESCRIPTORW,          CFSTR_FILECONTENTS, CFSTR_SHELLIDLIST,
        CFSTR_PREFERREDDROPEFFECT,     L"Logical Performed DropEffect"};
    FORMATETC got[8] = {};
    ULONG fetched = 0;
    EXPECT_EQ(formats->Next(8, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 6u);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(got[i].cfFormat, format(expected[i], 0).cfFormat) << i;
}

TEST_F(data_object_test, contents_read_through_the_stream_are_the_stored_bytes)
{
    auto folder = drive->create_directory(L"S");
    std::map<std::wstring, std::string> expected;
    for (std::size_t size : {0, 1, 16383, 16385}) {
        const bytes data = pattern(size, std::uint32_t(size));
        upload(*folder, std::to_wstring(size), data);
        expected[std::to_wstring(size)] = sha256(data);
    }
    // The large one goes into the service's store directly: only the way down is tested here.
    const std::size_t large = 100 << 20;
    const std::wstring id = folder->create_file_alloc(L"large", large)->get_id();
    const bytes data = pattern(large, 7);
    expected[L"large"] = sha256(data);
    std::ofstream("Z:" + std::string(std::getenv("QM_DEVSERVICE_STATE")) + "/data/files/" +
                      vfs_quillmere::narrow(id),
                  std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), std::streamsize(large));

    auto object = offer({L"S"});
    const std::vector<std::wstring> listed = records(object.Get());
    ASSERT_EQ(listed.size(), 6u);
    for (LONG i = 1; i < 6; ++i) {
        const std::wstring name = listed[std::size_t(i)].substr(2, listed[std::size_t(i)].find(L':') - 2);
        EXPECT_EQ(sha256(read_contents(object.Get(), i)), expected[name]) << testing::PrintToString(name);
    }
}

TEST_F(data_object_test, a_completed_move_deletes_the_sources_and_a_drop_on_the_recycle_bin_asks_first)
{
    const CLSID recycle_bin = {0x645ff040, 0x5081, 0x101b, {0x9f, 0x08, 0x00, 0xaa, 0x00, 0x2f, 0x95, 0x4e}};
    const DWORD move = DROPEFFECT_MOVE, copy = DROPEFFECT_COPY;
    struct {
        const char* what;
        std::vector<std::pair<const wchar_t*, DWORD>> set; // in this order
        std::optional<CLSID> target;
        bool on_clipboard;
        std::optional<int> answer; // the confirmation's, when one is asked
        bool deleted;
    } const cases[] = {
        {"pasted as a move",
         {{CFSTR_PERFORMEDDROPEFFECT, move}, {CFSTR_PASTESUCCEEDED, move}},
         {},
         true,
         {},
         true},
        {"a moving drag",
         {{CFSTR_LOGICALPERFORMEDDROPEFFECT, move}, {CFSTR_PASTESUCCEEDED, 0}},
         {},
         false,
         {},
         true},
        {"pasted as a copy",
         {{CFSTR_PERFORMEDDROPEFFECT, copy}, {CFSTR_PASTESUCCEEDED, copy}},
         {},
         true,
         {},
         false},
        {"move not yet confirmed", {{CFSTR_PERFORMEDDROPEFFECT, move}}, {}, true, {}, false},
        {"the bin, No", {}, recycle_bin, false, IDNO, false},
        {"the bin, Yes", {}, recycle_bin, false, IDYES, true},
        {"another target", {}, CLSID_ShellFolderImpl, false, {}, false},
    };
    auto copied = offer({L"F"});
    int n = 0;
    for (const auto& c : cases) {
        const std::wstring name = L"m" + std::to_wstring(++n) + L".txt";
        upload(*drive, name, text("moved"));
        auto data = offer({name});
        // Off the clipboard, something the user copied since holds it, and keeps it.
        IDataObject* held = c.on_clipboard ? data.Get() : copied.Get();
        ASSERT_EQ(OleSetClipboard(held), S_OK);
        std::vector<ui::prompt> asked;
        ui::scoped_answerer answer([&](const ui::prompt& p) {
            asked.push_back(p);
            return c.answer.value_or(IDCANCEL);
        });
        for (const auto& [format_name, value] : c.set)
            EXPECT_EQ(set_value(data.Get(), format_name, value), S_OK);
        EXPECT_EQ(c.target ? set_value(data.Get(), CFSTR_TARGETCLSID, *c.target) : S_OK, S_OK);
        EXPECT_EQ(in_root(name), !c.deleted) << c.what;
        EXPECT_EQ(asked.size(), c.answer ? 1u : 0u) << c.what;
        EXPECT_EQ(asked.empty() ? L"" : asked[0].caption, c.answer ? L"Delete File" : L"") << c.what;
        EXPECT_EQ(OleIsCurrentClipboard(held) == S_OK, !(c.on_clipboard && c.deleted)) << c.what;
    }
    OleSetClipboard(nullptr);
}

// A drag from one drive folder onto another: the drive's own drop target reads the records and
// streams of the drive's own data object; with Shift the sources go.
TEST_F(data_object_test, a_drag_between_drive_folders_copies_or_moves_through_the_contents_streams)
{
    ui::scoped_answerer answer([&](const ui::prompt& p) {
        ADD_FAILURE() << testing::PrintToString(p.caption + L": " + p.text);
        return IDCANCEL;
    });
    const tree_digests sent = {{L"F", "dir"},
                               {L"F\\a.txt", sha256(text("alpha"))},
                               {L"F\\b", "dir"},
                               {L"F\\b\\c.txt", sha256(text("gamma!"))},
                               {L"x.txt", sha256(text("x"))}};
    for (const bool move : {false, true}) {
        const std::wstring to = move ? L"moved here" : L"copied here";
        auto destination = drive->create_directory(to);
        com::ComPtr<IShellFolder> bound;
        com::ComPtr<IDropTarget> target;
        ASSERT_EQ(root->BindToObject(parse(root.Get(), to).get(), nullptr, IID_PPV_ARGS(&bound)), S_OK);
        ASSERT_EQ(bound->CreateViewObject(nullptr, IID_PPV_ARGS(&target)), S_OK);
        auto source = offer({L"F", L"x.txt"});
        const DWORD keys = move ? MK_SHIFT : 0;
        DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
        ASSERT_EQ(target->DragEnter(source.Get(), keys | MK_LBUTTON, {}, &effect), S_OK);
        effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
        ASSERT_EQ(target->Drop(source.Get(), keys, {}, &effect), S_OK);
        EXPECT_EQ(effect, move ? DWORD(DROPEFFECT_MOVE) : DWORD(DROPEFFECT_COPY));
        tree_digests landed;
        stored(*destination, L"", landed);
        EXPECT_EQ(landed, sent) << move;
        EXPECT_EQ(in_root(L"F") || in_root(L"x.txt"), !move);
    }
}

// The saved form, spelled out field by field: the same on 32 and 64 bits.
struct saved_form {
    std::string bytes;
    saved_form& u8(std::uint8_t v) { return raw(&v, 1); }
    saved_form& u32(std::uint32_t v) { return raw(&v, 4); }
    saved_form& raw(const void* p, std::size_t n)
    {
        if (n)
            bytes.append(static_cast<const char*>(p), n);
        return *this;
    }
    // flag, size, the list's items and a 3-byte terminator
    saved_form& list(bool foreign, LPCITEMIDLIST items)
    {
        const std::uint32_t n = items ? static_cast<std::uint32_t>(pidl_list_size(items) - 2) : 0;
        return u8(foreign).u32(n + 3).raw(items, n).raw("\0\0\0", 3);
    }
};

HRESULT load(const std::string& bytes, com::ComPtr<IDataObject>* loaded = nullptr)
{
    com::ComPtr<IStream> stream;
    CreateStreamOnHGlobal(nullptr, TRUE, &stream);
    stream->Write(bytes.data(), ULONG(bytes.size()), nullptr);
    stream->Seek({}, STREAM_SEEK_SET, nullptr);
    auto object = com::make<CDataObjectImpl>();
    const HRESULT hr = object->Load(stream.Get());
    if (loaded)
        object.As(loaded);
    return hr;
}

TEST_F(data_object_test, a_saved_object_loads_into_a_working_one_and_a_hostile_stream_fails_cleanly)
{
    auto data = offer({L"x.txt", L"F"});
    set_value(data.Get(), CFSTR_PREFERREDDROPEFFECT, DWORD(DROPEFFECT_MOVE));
    com::ComPtr<IPersistStream> persist;
    com::ComPtr<IStream> stream;
    ASSERT_EQ(data.As(&persist), S_OK);
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
    ASSERT_EQ(persist->Save(stream.Get(), TRUE), S_OK);

    const unique_pidl x = parse(root.Get(), L"x.txt"), f = parse(root.Get(), L"F");
    const auto golden = [&](std::uint32_t window) {
        return saved_form()
            .u32(window)
            .list(true, root_pidl)
            .list(false, nullptr)
            .u32(2)
            .list(false, x.get());
    };
    const std::string whole = golden(0).list(false, f.get()).u32(DROPEFFECT_MOVE).bytes;
    HGLOBAL memory = nullptr;
    ULARGE_INTEGER at = {}, max = {};
    GetHGlobalFromStream(stream.Get(), &memory);
    stream->Seek({}, STREAM_SEEK_CUR, &at);
    EXPECT_EQ(std::string(static_cast<const char*>(GlobalLock(memory)), at.QuadPart), whole);
    GlobalUnlock(memory);
    EXPECT_EQ(persist->GetSizeMax(&max), S_OK);
    EXPECT_EQ(max.QuadPart, at.QuadPart);

    // What another build saved, with a window that still exists and one that does not.
    const HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    for (const HWND owner : {window, HWND(nullptr)}) {
        com::ComPtr<IDataObject> loaded;
        ASSERT_EQ(load(golden(owner ? HandleToLong(owner) : 0x7ffffff0)
                           .list(false, f.get())
                           .u32(DROPEFFECT_MOVE)
                           .bytes,
                       &loaded),
                  S_OK);
        EXPECT_EQ(own_selection(loaded.Get())->owner, owner ? owner : GetDesktopWindow());
        EXPECT_EQ(records(loaded.Get()), records(data.Get()));
        EXPECT_EQ(read_dword(loaded.Get(), CFSTR_PREFERREDDROPEFFECT), DWORD(DROPEFFECT_MOVE));
    }
    DestroyWindow(window);

    // Cut anywhere, it fails; so does every count or size no well-formed stream holds, before
    // anything of that size is allocated (which would fail with E_OUTOFMEMORY).
    for (std::size_t n = 0; n < whole.size(); ++n)
        ASSERT_EQ(load(whole.substr(0, n)), E_FAIL) << n;
    PIDLDATA foreign = {};
    foreign.cb = 100;
    const unique_pidl other = record_list(foreign), missing = record_list(make_record(L"gone", true));
    const auto head = [&] { return saved_form().u32(0).list(true, root_pidl); };
    const auto with = [&](LPCITEMIDLIST relative, std::uint32_t count, LPCITEMIDLIST item) {
        return head().list(false, relative).u32(count).list(false, item).u32(0).bytes;
    };
    struct {
        const char* what;
        std::string bytes;
    } const cases[] = {
        {"huge root size", saved_form().u32(0).u8(1).u32(0xfffffff0).raw(whole.data() + 9, 100).bytes},
        {"foreign flag 2", saved_form().u32(0).u8(2).raw(whole.data() + 5, whole.size() - 5).bytes},
        {"huge item count", with(nullptr, 0xffffffff, x.get())},
        {"no items", head().list(false, nullptr).u32(0).u32(0).bytes},
        {"an item that is not a record", with(nullptr, 1, other.get())},
        {"a relative list that is not the drive's", with(other.get(), 1, x.get())},
        {"a folder the drive does not have", with(missing.get(), 1, x.get())},
        {"an item's cb past its bytes",
         head().list(false, nullptr).u32(1).u8(0).u32(4).raw("\xff\x02\0\0", 4).bytes},
    };
    for (const auto& c : cases)
        EXPECT_EQ(load(c.bytes), E_FAIL) << c.what;
}

} // namespace
