// The drop target and paste against the dev service, with the real engine: the effects a drag
// shows, what a drop or paste uploads (checked by SHA-256 of what the service stored) and what
// the source learns of it, the asynchronous worker, and the drops that must not happen.
#include "shell/bg_menu.h"
#include "shell/service_folder.h"
#include "support/data_objects.h"
#include "support/digest.h"
#include "transfer/local_tree.h"
#include "transfer/drop_target.h"
#include "ui/prompts.h"

#include <map>
#include <optional>
#include <thread>

namespace {

using namespace qm_test;

std::string digest(const std::string& text)
{
    return sha256(bytes(text.begin(), text.end()));
}

typedef std::map<std::wstring, std::string> tree_digests; // path -> SHA-256, "" for a folder

// What the service stored below a directory.
void stored(vfs::directory& directory, const std::wstring& prefix, tree_digests& out)
{
    for (const auto& item : directory.get_items()) {
        const std::wstring path = prefix + item->get_name();
        if (auto sub = boost::dynamic_pointer_cast<vfs::directory>(item)) {
            out[path] = "";
            stored(*sub, path + L"\\", out);
            continue;
        }
        auto file = boost::dynamic_pointer_cast<vfs::file>(item);
        std::string contents;
        file->open(vfs::modeRead);
        char buffer[65536];
        for (std::int32_t n; (n = file->read(buffer, sizeof buffer)) > 0;)
            contents.append(buffer, n);
        file->close();
        out[path] = digest(contents);
    }
}

// The local tree every drop offers: a file and a folder with a file of several engine buffers.
class dropped_tree {
public:
    dropped_tree()
    {
        add(L"a & b.txt", pattern(3000, 1));
        add(L"Sub\\big.bin", pattern(70000, 2));
        digests_[L"Sub"] = "";
    }
    std::vector<std::wstring> paths() const { return {tree_.path(L"a & b.txt"), tree_.path(L"Sub")}; }
    const tree_digests& digests() const { return digests_; }

private:
    void add(const std::wstring& path, const bytes& data)
    {
        tree_.file(path, std::string(data.begin(), data.end()));
        digests_[path] = sha256(data);
    }
    local_tree tree_;
    tree_digests digests_;
};

// The drive's own outgoing data object as far as a drop target sees it: IDataObjectImpl naming
// the folder its items come from, the data itself from a test data object.
class own_data_object final : public IDataObject, public IDataObjectImpl {
public:
    own_data_object(IDataObject* inner, const CPIDLList& root, const CPIDLList& relative)
        : inner_(inner), root_(root), relative_(relative)
    {
    }
    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IDataObjectImpl)) {
            *ppv = static_cast<IDataObjectImpl*>(this);
            AddRef();
            return S_OK;
        }
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDataObject)) {
            *ppv = static_cast<IDataObject*>(this);
            AddRef();
            return S_OK;
        }
        return inner_->QueryInterface(riid, ppv);
    }
    IFACEMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    IFACEMETHODIMP_(ULONG) Release() override { return --refs_; } // lives on the test's stack
    IFACEMETHODIMP GetPath(LPITEMIDLIST* root, LPITEMIDLIST* relative) override
    {
        *root = root_.serialize();
        *relative = relative_.serialize();
        return S_OK;
    }
    IFACEMETHODIMP GetData(FORMATETC* f, STGMEDIUM* m) override { return inner_->GetData(f, m); }
    IFACEMETHODIMP GetDataHere(FORMATETC* f, STGMEDIUM* m) override { return inner_->GetDataHere(f, m); }
    IFACEMETHODIMP QueryGetData(FORMATETC* f) override { return inner_->QueryGetData(f); }
    IFACEMETHODIMP GetCanonicalFormatEtc(FORMATETC* a, FORMATETC* b) override
    {
        return inner_->GetCanonicalFormatEtc(a, b);
    }
    IFACEMETHODIMP SetData(FORMATETC* f, STGMEDIUM* m, BOOL r) override { return inner_->SetData(f, m, r); }
    IFACEMETHODIMP EnumFormatEtc(DWORD d, IEnumFORMATETC** e) override { return inner_->EnumFormatEtc(d, e); }
    IFACEMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
    IFACEMETHODIMP DUnadvise(DWORD) override { return E_NOTIMPL; }
    IFACEMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

private:
    IDataObject* inner_;
    CPIDLList root_, relative_;
    ULONG refs_ = 1;
};

// A logged-in account; each case drops into a folder of its own below the root.
class drop_target : public service_folder {
protected:
    void SetUp() override
    {
        service_folder::SetUp();
        log_in();
        account = std::make_unique<vfs_quillmere::client>(wide(user), wide(password));
        root = new_folder();
    }

    // A new remote folder, and its drop target as Explorer gets it: from the folder's view, or
    // from its parent for a drop onto the folder's icon.
    com::ComPtr<IDropTarget> new_destination(const std::wstring& name,
                                             com::ComPtr<IShellFolder>* folder = nullptr,
                                             bool from_parent = false)
    {
        account->get_root()->create_directory(name);
        unique_pidl child = parse(root.Get(), name);
        com::ComPtr<IShellFolder> bound;
        EXPECT_EQ(root->BindToObject(child.get(), nullptr, IID_PPV_ARGS(&bound)), S_OK);
        com::ComPtr<IDropTarget> target;
        LPCITEMIDLIST one = child.get();
        EXPECT_EQ(from_parent ? root->GetUIObjectOf(nullptr, 1, &one, IID_IDropTarget, nullptr,
                                                    reinterpret_cast<void**>(target.GetAddressOf()))
                              : bound->CreateViewObject(nullptr, IID_PPV_ARGS(&target)),
                  S_OK);
        if (folder)
            *folder = bound;
        return target;
    }
    tree_digests stored_below(const std::wstring& name)
    {
        tree_digests out;
        auto directory = boost::dynamic_pointer_cast<vfs::directory>(account->get_root()->get_item(name));
        stored(*directory, L"", out);
        return out;
    }

    std::unique_ptr<vfs_quillmere::client> account;
    com::ComPtr<IShellFolder2> root;
    dropped_tree local;
};

const POINTL origin = {0, 0};

TEST_F(folder_base, the_effect_a_drag_shows_follows_shift_and_what_the_source_allows)
{
    enum offer { hdrop, files, nothing };
    struct {
        offer offered;
        DWORD keys, allowed, effect;
    } const cases[] = {
        {hdrop, 0, DROPEFFECT_COPY | DROPEFFECT_MOVE, DROPEFFECT_COPY},
        {hdrop, MK_SHIFT, DROPEFFECT_COPY | DROPEFFECT_MOVE, DROPEFFECT_MOVE},
        {hdrop, MK_SHIFT, DROPEFFECT_COPY, DROPEFFECT_COPY},
        {files, 0, DROPEFFECT_MOVE, DROPEFFECT_MOVE},
        {files, MK_CONTROL, DROPEFFECT_COPY | DROPEFFECT_MOVE | DROPEFFECT_LINK, DROPEFFECT_COPY},
        {hdrop, 0, DROPEFFECT_LINK, DROPEFFECT_COPY}, // link is never chosen
        {nothing, 0, DROPEFFECT_COPY | DROPEFFECT_MOVE, DROPEFFECT_NONE},
    };
    com::ComPtr<IDropTarget> target;
    ASSERT_EQ(new_folder()->CreateViewObject(nullptr, IID_PPV_ARGS(&target)), S_OK);
    for (const auto& c : cases) {
        auto data = data_object::create();
        if (c.offered == hdrop)
            data->offer_hdrop({L"C:\\windows\\win.ini"});
        if (c.offered == files)
            data->offer_virtual({{L"a.txt", false, "a"}});
        DWORD entered = c.allowed, over = c.allowed, left = c.allowed;
        EXPECT_EQ(target->DragEnter(data.Get(), c.keys, origin, &entered), S_OK);
        EXPECT_EQ(target->DragOver(c.keys, origin, &over), S_OK);
        EXPECT_EQ(target->DragLeave(), S_OK);
        EXPECT_EQ(target->DragOver(c.keys, origin, &left), S_OK);
        EXPECT_EQ(entered, c.effect) << c.offered << " " << c.keys << " " << c.allowed;
        EXPECT_EQ(over, c.effect) << c.offered << " " << c.keys << " " << c.allowed;
        EXPECT_EQ(left, DWORD(DROPEFFECT_NONE)) << "after DragLeave";
    }
}

TEST_F(drop_target, a_drop_uploads_local_or_virtual_files_and_reports_the_effect_to_the_source)
{
    const bytes small_bytes = pattern(100, 3), large_bytes = pattern(40000, 4);
    const std::string small(small_bytes.begin(), small_bytes.end()),
        large(large_bytes.begin(), large_bytes.end());
    const tree_digests virtual_digests = {
        {L"V", ""}, {L"V\\small.txt", digest(small)}, {L"large.bin", digest(large)}};
    const std::vector<virtual_item> virtual_files = {
        {L"V", true, ""}, {L"V\\small.txt", false, small}, {L"large.bin", false, large}};
    struct {
        const wchar_t* destination;
        bool local;
        contents_medium medium;
        DWORD keys, allowed, effect;
        bool from_parent = false;
    } const cases[] = {
        {L"onto its icon", true, contents_medium::stream, 0, DROPEFFECT_COPY, DROPEFFECT_COPY, true},
        {L"copied", true, contents_medium::stream, 0, DROPEFFECT_COPY | DROPEFFECT_MOVE, DROPEFFECT_COPY},
        {L"moved", true, contents_medium::stream, MK_SHIFT, DROPEFFECT_COPY | DROPEFFECT_MOVE,
         DROPEFFECT_MOVE},
        {L"streams", false, contents_medium::stream, 0, DROPEFFECT_COPY, DROPEFFECT_COPY},
        {L"memory", false, contents_medium::hglobal, MK_SHIFT, DROPEFFECT_MOVE, DROPEFFECT_MOVE},
    };
    for (const auto& c : cases) {
        auto target = new_destination(c.destination, nullptr, c.from_parent);
        auto data = data_object::create();
        if (c.local)
            data->offer_hdrop(local.paths());
        else
            data->offer_virtual(virtual_files, c.medium);
        DWORD effect = c.allowed;
        ASSERT_EQ(target->DragEnter(data.Get(), c.keys, origin, &effect), S_OK);
        effect = c.allowed;
        EXPECT_EQ(target->Drop(data.Get(), c.keys, origin, &effect), S_OK);
        EXPECT_EQ(effect, c.effect) << testing::PrintToString(c.destination);
        EXPECT_EQ(data->dword(L"Performed DropEffect"), c.effect);
        EXPECT_EQ(data->dword(L"Paste Succeeded"), c.effect);
        EXPECT_EQ(stored_below(c.destination), c.local ? local.digests() : virtual_digests);
    }
}

TEST_F(drop_target, an_asynchronous_drop_uploads_on_a_worker_that_reports_through_end_operation)
{
    auto target = new_destination(L"async");
    auto data = data_object::create();
    data->offer_hdrop(local.paths());
    data->offer_async();
    data->make_free_threaded(); // so that its calls run on the thread that makes them
    DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
    ASSERT_EQ(target->DragEnter(data.Get(), MK_SHIFT, origin, &effect), S_OK);
    effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
    ASSERT_EQ(target->Drop(data.Get(), MK_SHIFT, origin, &effect), S_OK);
    EXPECT_EQ(effect, DWORD(DROPEFFECT_NONE)) << "the worker reports the outcome";
    target.Reset(); // the worker holds what it needs
    for (DWORD end = GetTickCount() + 60000; !data->async().ended && GetTickCount() < end;)
        Sleep(20);
    const async_record record = data->async();
    ASSERT_TRUE(record.ended);
    EXPECT_TRUE(record.started);
    EXPECT_EQ(record.start_thread, record.end_thread);
    EXPECT_NE(record.start_thread, GetCurrentThreadId());
    EXPECT_EQ(record.end_result, S_OK);
    EXPECT_EQ(record.end_effect, DWORD(DROPEFFECT_MOVE));
    EXPECT_EQ(data->dword(L"Performed DropEffect"), DWORD(DROPEFFECT_MOVE));
    EXPECT_EQ(data->dword(L"Paste Succeeded"), DWORD(DROPEFFECT_MOVE));
    EXPECT_EQ(stored_below(L"async"), local.digests());
}

TEST_F(drop_target, drops_that_upload_nothing)
{
    com::ComPtr<IShellFolder> folder;
    auto target = new_destination(L"here", &folder);
    CPIDLList here(make_record(L"here", true)), elsewhere(make_record(L"Docs", true));
    here = CPIDLList(parse(root.Get(), L"here").get(), false);
    const CPIDLList drive_root(root_pidl, true);
    std::vector<ui::prompt> prompts;
    ui::scoped_answerer answer([&](const ui::prompt& p) {
        prompts.push_back(p);
        return IDOK;
    });
    struct {
        const char* what;
        std::vector<std::wstring> paths;
        const CPIDLList* source_folder; // the drive folder the items come from, if any
        HRESULT result;
        std::size_t boxes;
    } const cases[] = {
        {"items of the folder itself", local.paths(), &here, E_FAIL, 0},
        {"a path that does not exist", {L"C:\\no such folder\\x.txt"}, nullptr, S_OK, 1},
    };
    for (const auto& c : cases) {
        prompts.clear();
        auto data = data_object::create();
        data->offer_hdrop(c.paths);
        own_data_object own(data.Get(), drive_root, c.source_folder ? *c.source_folder : elsewhere);
        IDataObject* dropped = c.source_folder ? static_cast<IDataObject*>(&own) : data.Get();
        DWORD effect = DROPEFFECT_COPY;
        ASSERT_EQ(target->DragEnter(dropped, 0, origin, &effect), S_OK);
        effect = DROPEFFECT_COPY;
        EXPECT_EQ(target->Drop(dropped, 0, origin, &effect), c.result) << c.what;
        EXPECT_EQ(effect, DWORD(DROPEFFECT_NONE)) << c.what;
        EXPECT_EQ(prompts.size(), c.boxes) << c.what;
        EXPECT_TRUE(stored_below(L"here").empty()) << c.what;
    }
}

TEST(async_drop_worker, failures_of_its_plumbing_are_shown_as_internal_errors)
{
    std::vector<ui::prompt> prompts;
    ui::scoped_answerer answer([&](const ui::prompt& p) {
        prompts.push_back(p);
        return IDOK;
    });
    auto without_async = data_object::create();
    without_async->make_free_threaded();
    struct {
        bool marshalled; // else the stream holds no marshalled object
        const wchar_t* text;
    } const cases[] = {
        {false, L"Unable to extract data object from the stream"},
        {true, L"Unable to start async operation"},
    };
    for (const auto& c : cases) {
        prompts.clear();
        auto params = std::make_unique<AsyncDropParams>();
        if (c.marshalled)
            ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(
                          IID_IDataObject, static_cast<IDataObject*>(without_async.Get()), &params->stream),
                      S_OK);
        else
            ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &params->stream), S_OK);
        std::thread(AsyncDropWorker, params.release()).join();
        ASSERT_EQ(prompts.size(), 1u) << testing::PrintToString(c.text);
        EXPECT_EQ(prompts[0].caption, L"Internal error");
        EXPECT_EQ(prompts[0].text, c.text);
        EXPECT_EQ(prompts[0].flags, UINT(MB_ICONERROR));
    }
}

uintptr_t __cdecl no_thread(void*, unsigned, _beginthreadex_proc_type, void*, unsigned, unsigned*)
{
    return 0;
}

TEST(async_drop_worker, one_that_cannot_start_lets_go_of_the_data_object)
{
    auto data = data_object::create();
    data->AddRef();
    const ULONG before = data->Release();
    auto params = std::make_unique<AsyncDropParams>();
    ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IDataObject, static_cast<IDataObject*>(data.Get()),
                                                    &params->stream),
              S_OK);
    EXPECT_EQ(StartAsyncDropWorker(std::move(params), no_thread), E_FAIL);
    data->AddRef();
    EXPECT_EQ(data->Release(), before);
}

TEST_F(drop_target, paste_takes_the_effects_the_clipboard_prefers)
{
    struct {
        const wchar_t* destination;
        std::optional<DWORD> preferred;
        HRESULT result;
    } const cases[] = {
        {L"copy", DROPEFFECT_COPY, S_OK},
        {L"move", DROPEFFECT_MOVE, S_OK},
        {L"copy and link", DROPEFFECT_COPY | DROPEFFECT_LINK, S_OK},
        {L"none preferred", std::nullopt, DV_E_FORMATETC},
    };
    for (const auto& c : cases) {
        com::ComPtr<IShellFolder> folder;
        new_destination(c.destination, &folder);
        com::ComPtr<IContextMenu> menu;
        ASSERT_EQ(folder->CreateViewObject(nullptr, IID_PPV_ARGS(&menu)), S_OK);
        auto data = data_object::create();
        data->offer_hdrop(local.paths());
        if (c.preferred)
            data->set_dword(L"Preferred DropEffect", *c.preferred);
        ASSERT_EQ(OleSetClipboard(data.Get()), S_OK);
        CMINVOKECOMMANDINFO paste = {};
        paste.cbSize = sizeof paste;
        paste.lpVerb = "paste";
        EXPECT_EQ(menu->InvokeCommand(&paste), c.result) << testing::PrintToString(c.destination);
        EXPECT_EQ(stored_below(c.destination), c.preferred ? local.digests() : tree_digests())
            << testing::PrintToString(c.destination);
        OleSetClipboard(nullptr);
    }
}

} // namespace
