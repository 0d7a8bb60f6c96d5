// The two source views over real data objects and real local files.
#include "local_tree.h"
#include "support/data_objects.h"
#include "support/failure.h"
#include "transfer/views/file_descriptor.h"
#include "transfer/views/hdrop.h"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <functional>

using namespace qm_test;

namespace {

struct medium_holder {
    STGMEDIUM medium = {};
    ~medium_holder() { ReleaseStgMedium(&medium); }
};

HRESULT get_global(IDataObject* data, CLIPFORMAT format, medium_holder& held)
{
    FORMATETC f = {format, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    return data->GetData(&f, &held.medium);
}

// "name:type" of every child, in listing order.
std::wstring listing(vfs::directory& folder)
{
    std::wstring text;
    for (const auto& child : folder.get_items())
        text += (text.empty() ? L"" : L" ") + child->get_name() + L":" + std::to_wstring(child->get_type());
    return text;
}

boost::shared_ptr<vfs::directory> walk(const boost::shared_ptr<vfs::directory>& root,
                                       std::initializer_list<const wchar_t*> names)
{
    boost::shared_ptr<vfs::directory> folder = root;
    for (const wchar_t* name : names)
        folder = boost::dynamic_pointer_cast<vfs::directory>(folder->get_item(name));
    return folder;
}

} // namespace

TEST(descriptor_view, rebuilds_folders_from_the_records_relative_paths)
{
    auto data = data_object::create();
    data->offer_virtual({{L"Docs", true},
                         {L"Docs\\a.txt"},
                         {L"Docs\\Sub", true},
                         {L"Docs\\Sub\\b.txt"},
                         {L"c.txt"},
                         {L"Lost\\x.txt"},
                         {L"Plain", true},
                         {L"Docs\\\\d.txt"},
                         {L"Docs/e.txt"}});
    medium_holder held;
    ASSERT_EQ(get_global(data.Get(), clipboard_format(L"FileGroupDescriptorW"), held), S_OK);
    // A folder record whose attributes are not marked valid is a file.
    static_cast<FILEGROUPDESCRIPTORW*>(GlobalLock(held.medium.hGlobal))->fgd[6].dwFlags &= ~FD_ATTRIBUTES;
    GlobalUnlock(held.medium.hGlobal);
    auto root = boost::make_shared<CFILEDESCRIPTORWrapper>(data.Get(), held.medium.hGlobal);

    const struct {
        std::initializer_list<const wchar_t*> path;
        std::wstring children;
    } cases[] = {
        {{}, L"Docs:1 c.txt:2 Plain:2 Docs/e.txt:2"},
        {{L"Docs"}, L"a.txt:2 Sub:1 d.txt:2"},
        {{L"Docs", L"Sub"}, L"b.txt:2"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(listing(*walk(root, c.path)), c.children);
    EXPECT_TRUE(root->has_subfolders());
    EXPECT_FALSE(walk(root, {L"Docs", L"Sub"})->has_subfolders());
    EXPECT_EQ(failure_of([&] { walk(root, {L"Docs"})->get_item(L"missing"); }).second,
              L"Error: Item 'missing' not found at 'Docs'");
    EXPECT_EQ(failure_of([&] { root->get_item(L"DOCS"); }).second,
              L"Error: Item 'DOCS' not found at '-=Root=-'");
}

TEST(local_view, failures_carry_the_texts_the_engine_shows)
{
    local_tree tree;
    const std::wstring readme = tree.file(L"Readme.txt", "0123456789");
    const std::wstring missing = tree.path(L"gone");
    auto data = data_object::create();
    data->offer_hdrop({readme});
    medium_holder held;
    ASSERT_EQ(get_global(data.Get(), CF_HDROP, held), S_OK);
    CHDROPWrapper root(held.medium.hGlobal);
    CHDROPFile file(readme);
    const struct {
        const char* what;
        std::function<void()> run;
        std::wstring message, details;
    } cases[] = {
        {"null medium", [] { CHDROPWrapper(nullptr); }, L"Internal error",
         L"CHDROPWrapper::CHDROPWrapper( hGlobal ): hGlobal is NULL"},
        {"block that cannot be locked",
         [] {
             auto discarded = data_object::create();
             discarded->offer_hdrop({L"C:\\x"});
             discarded->discard_blocks();
             medium_holder block;
             ASSERT_EQ(get_global(discarded.Get(), CF_HDROP, block), S_OK);
             CHDROPWrapper{block.medium.hGlobal};
         },
         L"Internal error", L"CHDROPWrapper::CHDROPWrapper( hGlobal ): Out of memory"},
        {"missing folder", [&] { CHDROPDirectory{missing}; }, L"Internal error",
         L"Path " + missing + L" does not exist"},
        {"missing file opened", [&] { CHDROPFile(missing).open(1); }, L"Stream open failed",
         L"Stream '" + missing + L"' can't be opened by unknown reason, mode=1"},
        {"missing file sized", [&] { CHDROPFile(missing).get_size(); }, L"Get size failed",
         L"Can't get size: Error opening stream '" + missing + L"'"},
        {"opened for writing", [&] { file.open(6); }, L"Internal error",
         L"CHDROPFile::open(mode) is not implemented with mode = modeWrite"},
        {"read while closed", [&] { file.read(nullptr, 1); }, L"Read failed",
         L"Read from '" + readme + L"' failed: Stream is not opened"},
        {"lookup in another case", [&] { root.get_item(L"README.TXT"); }, L"Internal error",
         L"Error: Item 'README.TXT' not found at '-=Root=-'"},
        {"root's name", [&] { root.get_name(); }, L"Internal error",
         L"CHDROPWrapper::get_name() is not implemented"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(failure_of(c.run), std::make_pair(c.message, c.details)) << c.what;
}

// A read the system refuses (here: the server end of a pipe disconnected) must not look like
// the end of the file, or the engine would report a truncated upload as complete.
TEST(local_view, a_failed_read_is_an_error_not_the_end_of_the_file)
{
    const std::wstring path = L"\\\\.\\pipe\\qm-read-" + std::to_wstring(GetCurrentProcessId());
    HANDLE server =
        CreateNamedPipeW(path.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    CHDROPFile file(path);
    file.open(vfs::modeRead);
    DisconnectNamedPipe(server);
    char buffer[16384];
    const auto failure = failure_of([&] { file.read(buffer, 16384); });
    CloseHandle(server);
    EXPECT_EQ(failure.first, L"Read failed");
    EXPECT_EQ(failure.second.rfind(L"Read from '" + path + L"' failed: ", 0), 0u) << failure.second;
    EXPECT_GT(failure.second.size(), path.size() + 20) << "with the system's reason";
}
