// The drop target and paste against the dev service, with the real engine: the effects a drag
// shows, what a drop or paste uploads (checked by SHA-256 of what the service stored) and what
// the source learns of it, the asynchronous worker, and the drops that must not happen.
#include "shell/bg_menu.h"
#include "shell/service_folder.h"
#include "transfer/drive_folder.h"
#include "support/data_objects.h"
#include "support/digest.h"
#include "transfer/local_tree.h"
#include "transfer/stored_tree.h"
#include "transfer/drop_target.h"
#include "ui/prompts.h"

#include <map>
#include <stdexcept>
#include <optional>
#include <thread>

namespace {

using namespace qm_test;

std::string digest(const std::string& text)
{
    return sha256(bytes(text.begin(), text.end()));
}

// The local tree every drop offers: a file and a folder with a file of several engine buffers.
class dropped_tree {
public:
    dropped_tree()
    {
        add(L"a & b.txt", pattern(3000, 1));
        add(L"Sub\\big.bin", pattern(70000, 2));
        digests_[L"Sub"] = "dir";
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

// What a drop target sees of the drive's own outgoing data object: IDataObjectImpl naming the
// folder its items come from, and a format the engine reads. Nothing may get past that test.
class own_data_object final : public IDataObject, public IDataObjectImpl {
public:
    own_data_object(const CPIDLList& root, const CPIDLList& relative) : root_(root), relative_(relative) {}
    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = IsEqualIID(riid, IID_IDataObjectImpl) ? static_cast<IDataObjectImpl*>(this)
               : IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDataObject)
                   ? static_cast<IUnknown*>(static_cast<IDataObject*>(this))
                   : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE; // lives on the test's stack: no count
    }
    IFACEMETHODIMP_(ULONG) AddRef() override { return 2; }
    IFACEMETHODIMP_(ULONG) Release() override { return 1; }
    IFACEMETHODIMP GetPath(LPITEMIDLIST* root, LPITEMIDLIST* relative) override
    {
        *root = root_.serialize();
        *relative = relative_.serialize();
        return S_OK;
    }
    IFACEMETHODIMP QueryGetData(FORMATETC*) override { return S_OK; }
    IFACEMETHODIMP GetData(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    IFACEMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    IFACEMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
    IFACEMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    IFACEMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    IFACEMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
    IFACEMETHODIMP DUnadvise(DWORD) override { return E_NOTIMPL; }
    IFACEMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

private:
    CPIDLList root_, relative_;
};

// A logged-in account; each case drops into a folder of its own below the root, made through
// the drive's own root directory, so that the folders' cached listing knows it.
class drop_target : public drive_folder {
protected:
    // A new remote folder, and its drop target as Explorer gets it: from the folder's view, or
    // from its parent for a drop onto the folder's icon.
    com::ComPtr<IDropTarget> new_destination(const std::wstring& name,
                                             com::ComPtr<IShellFolder>* folder = nullptr,
                                             bool from_parent = false)
    {
        drive->create_directory(name);
        unique_pidl child = parse(root.Get(), name);
        com::ComPtr<IShellFolder> bound;
        com::ComPtr<IDropTarget> target;
        LPCITEMIDLIST one = child.get();
        if (FAILED(root->BindToObject(child.get(), nullptr, IID_PPV_ARGS(&bound))) ||
            FAILED(from_parent ? root->GetUIObjectOf(nullptr, 1, &one, IID_IDropTarget, nullptr,
                                                     reinterpret_cast<void**>(target.GetAddressOf()))
                               : bound->CreateViewObject(nullptr, IID_PPV_ARGS(&target))))
            throw std::runtime_error("no drop target for the new folder");
        if (folder)
            *folder = bound;
        return target;
    }
    tree_digests stored_below(const std::wstring& name)
    {
        tree_digests out;
        stored(*boost::dynamic_pointer_cast<vfs::directory>(drive->get_item(name)), L"", out);
        return out;
    }

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
        target->DragLeave();
        target->DragOver(c.keys, origin, &left);
        EXPECT_EQ(std::tuple(entered, over, left), std::tuple(c.effect, c.effect, DWORD(DROPEFFECT_NONE)))
            << c.offered << " " << c.keys << " " << c.allowed;
    }
}

// An asynchronous source is answered by a worker: Drop itself reports nothing done, the worker
// calls StartOperation and EndOperation with the result and the effect.
TEST_F(drop_target, a_drop_uploads_local_or_virtual_files_and_reports_the_effect_to_the_source)
{
    const std::string text(5000, 'v');
    const tree_digests virtual_digests = {{L"V", "dir"}, {L"V\\v.txt", digest(text)}};
    struct {
        const wchar_t* destination;
        bool local, async;
        DWORD keys, allowed, effect;
        bool from_parent;
    } const cases[] = {
        {L"onto its icon", true, false, 0, DROPEFFECT_COPY | DROPEFFECT_MOVE, DROPEFFECT_COPY, true},
        {L"moved", true, false, MK_SHIFT, DROPEFFECT_COPY | DROPEFFECT_MOVE, DROPEFFECT_MOVE, false},
        {L"virtual", false, false, 0, DROPEFFECT_MOVE, DROPEFFECT_MOVE, false},
        {L"async", true, true, MK_SHIFT, DROPEFFECT_COPY | DROPEFFECT_MOVE, DROPEFFECT_MOVE, false},
    };
    for (const auto& c : cases) {
        const std::string what = testing::PrintToString(c.destination);
        auto target = new_destination(c.destination, nullptr, c.from_parent);
        auto data = data_object::create();
        if (c.local)
            data->offer_hdrop(local.paths());
        else
            data->offer_virtual({{L"V", true, ""}, {L"V\\v.txt", false, text}}, contents_medium::hglobal);
        if (c.async) {
            data->offer_async();
            data->make_free_threaded(); // its calls run on the thread that makes them
        }
        DWORD effect = c.allowed;
        ASSERT_EQ(target->DragEnter(data.Get(), c.keys, origin, &effect), S_OK);
        effect = c.allowed;
        EXPECT_EQ(target->Drop(data.Get(), c.keys, origin, &effect), S_OK);
        EXPECT_EQ(effect, c.async ? DWORD(DROPEFFECT_NONE) : c.effect) << what;
        target.Reset(); // a worker holds what it needs
        for (DWORD end = GetTickCount() + 60000; c.async && !data->async().ended && GetTickCount() < end;)
            Sleep(20);
        const async_record record = data->async();
        EXPECT_EQ(record.started && record.ended, c.async) << what;
        if (c.async) {
            EXPECT_EQ(record.start_thread, record.end_thread);
            EXPECT_NE(record.start_thread, GetCurrentThreadId());
            EXPECT_EQ(std::pair(record.end_result, record.end_effect), std::pair(S_OK, c.effect));
        }
        EXPECT_EQ(data->dword(L"Performed DropEffect"), c.effect) << what;
        EXPECT_EQ(data->dword(L"Paste Succeeded"), c.effect) << what;
        EXPECT_EQ(stored_below(c.destination), c.local ? local.digests() : virtual_digests) << what;
    }
}

TEST_F(drop_target, drops_that_upload_nothing)
{
    auto target = new_destination(L"here");
    own_data_object own(CPIDLList(root_pidl, true), CPIDLList(parse(root.Get(), L"here").get(), false));
    auto missing = data_object::create();
    missing->offer_hdrop({L"C:\\no such folder\\x.txt"});
    auto unreadable = data_object::create();
    unreadable->offer_hdrop({L"C:\\a.txt"});
    unreadable->discard_blocks();
    std::vector<ui::prompt> prompts;
    ui::scoped_answerer answer([&](const ui::prompt& p) {
        prompts.push_back(p);
        return IDOK;
    });
    struct {
        const char* what;
        IDataObject* data;
        HRESULT result;
        std::size_t boxes;
    } const cases[] = {
        {"items of the folder itself", &own, E_FAIL, 0},
        {"a source view that cannot be built", unreadable.Get(), E_FAIL, 1},
        // The engine shows why the view could not be built; the source learns nothing was done.
        {"a path that does not exist", missing.Get(), S_OK, 1},
    };
    for (const auto& c : cases) {
        prompts.clear();
        DWORD effect = DROPEFFECT_COPY;
        ASSERT_EQ(target->DragEnter(c.data, 0, origin, &effect), S_OK);
        EXPECT_EQ(target->Drop(c.data, 0, origin, &effect), c.result) << c.what;
        EXPECT_EQ(effect, DWORD(DROPEFFECT_NONE)) << c.what;
        EXPECT_EQ(prompts.size(), c.boxes) << c.what;
        EXPECT_TRUE(stored_below(L"here").empty()) << c.what;
    }
    EXPECT_EQ(missing->dword(L"Performed DropEffect"), DWORD(DROPEFFECT_NONE));
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
    // A source view that cannot be built ends in the same box, not in the engine's.
    auto unreadable = data_object::create();
    unreadable->make_free_threaded();
    unreadable->offer_async();
    unreadable->offer_hdrop({L"C:\\a.txt"});
    unreadable->discard_blocks();
    struct {
        data_object* marshalled; // else the stream holds no marshalled object
        const wchar_t* text;
    } const cases[] = {
        {nullptr, L"Unable to extract data object from the stream"},
        {without_async.Get(), L"Unable to start async operation"},
        {unreadable.Get(), L"CHDROPWrapper::CHDROPWrapper( hGlobal ): Out of memory"},
    };
    for (const auto& c : cases) {
        prompts.clear();
        auto params = std::make_unique<AsyncDropParams>();
        if (c.marshalled)
            ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(
                          IID_IDataObject, static_cast<IDataObject*>(c.marshalled), &params->stream),
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
