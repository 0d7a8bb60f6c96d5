// Opening remote files against the dev service: the intermediate copies and their companions,
// unique and safe local names, a cancelled download, and a missing download mutex. Files are given
// extensions no program is registered for, so the shell opens nothing that could outlive a test.
#include "prompt_script.h"
#include "support/session_manager.h"
#include "transfer/drive_folder.h"
#include "transfer/open_item.h"

#include <cstdio>
#include <fstream>
#include <map>

using namespace qm_test;

namespace {

std::wstring intermediate_dir()
{
    wchar_t appdata[MAX_PATH] = {};
    SHGetSpecialFolderPathW(nullptr, appdata, CSIDL_LOCAL_APPDATA, TRUE);
    return std::wstring(appdata) + L"\\Quillmere\\Intermediate files\\";
}

// Name -> contents of every file in the intermediate folder; clear() removes them.
std::map<std::wstring, bytes> intermediate_files(bool clear = false)
{
    std::map<std::wstring, bytes> files;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((intermediate_dir() + L"*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        const std::wstring path = intermediate_dir() + found.cFileName;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        files[found.cFileName] =
            bytes(std::istreambuf_iterator<char>(std::ifstream(path.c_str(), std::ios::binary).rdbuf()), {});
        if (clear)
            DeleteFileW(path.c_str());
    }
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    return files;
}

std::string form_value(const std::wstring& text)
{
    std::string out;
    char hex[4];
    for (const unsigned char c : vfs_quillmere::narrow(text)) {
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        out += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : hex;
    }
    return out;
}

class open_item : public drive_folder {
protected:
    void SetUp() override
    {
        drive_folder::SetUp();
        intermediate_files(true);
    }
    void TearDown() override
    {
        intermediate_files(true);
        drive_folder::TearDown();
    }
    // Opens s and waits for the worker to end: it holds a module lock while it runs.
    static void run_worker(const item_selection& s)
    {
        const LONG before = com::current_module().lock_count();
        ASSERT_EQ(OpenItems(s, nullptr), S_OK);
        for (DWORD end = GetTickCount() + 30000;
             com::current_module().lock_count() != before && GetTickCount() < end;)
            Sleep(10);
        ASSERT_EQ(com::current_module().lock_count(), before) << "the worker did not end";
    }
    // What a companion holds: the item's absolute list, terminator included.
    bytes companion_of(const item_selection& s, std::size_t i)
    {
        const pidl_ptr list((s.absolute() + CPIDLList(s.items[i])).serialize());
        const auto* p = reinterpret_cast<const unsigned char*>(list.get());
        return bytes(p, p + pidl_list_size(list.get()));
    }
};

TEST_F(open_item, opening_twice_gives_a_second_name_and_each_copy_its_companion)
{
    const bytes report = pattern(40000, 1), readme = pattern(10, 2);
    upload(*drive, L"report.qmx", report);
    upload(*drive, L"README", readme);
    const item_selection s = selection_of({L"report.qmx", L"Docs", L"README"});
    prompt_script script({IDCANCEL, IDCANCEL}); // the folder, each time
    run_worker(s);
    run_worker(s);
    const std::map<std::wstring, bytes> expected = {
        {L"report.qmx", report},    {L"report.qmx.PIDL", companion_of(s, 0)},
        {L"report(0).qmx", report}, {L"report(0).qmx.PIDL", companion_of(s, 0)},
        {L"README", readme},        {L"README.PIDL", companion_of(s, 2)},
        {L"README(0)", readme},     {L"README(0).PIDL", companion_of(s, 2)},
    };
    EXPECT_EQ(intermediate_files(), expected);
    EXPECT_EQ(script.texts(), L"File not found | File not found");
    for (const auto& p : script.seen)
        EXPECT_EQ(std::tuple(p.caption, p.flags),
                  std::tuple(std::wstring(L"Error"), UINT(MB_RETRYCANCEL | MB_ICONERROR)));
}

TEST_F(open_item, a_hostile_remote_name_becomes_a_plain_file_in_the_intermediate_folder)
{
    const std::map<std::wstring, std::wstring> cases = {
        {L"..", L"_"},
        {L"a\\b.qmx", L"a_b.qmx"},
        {L"../up.qmx", L".._up.qmx"},
        {L"C:evil.qmx", L"C_evil.qmx"},
        {L"a|b?*\"<>.qmx", L"a_b_____.qmx"},
        {L"tab\tbell\x07.qmx", L"tab_bell_.qmx"},
        {L"x.qmx.", L"x.qmx"},
        {L"y.qmx . ", L"y.qmx"},
        {L"CON", L"_CON"},
        {L"nul.qmx", L"_nul.qmx"},
        {L"Com1", L"_Com1"},
        {L"lpt9.qmx", L"_lpt9.qmx"},
        {L"COM10.qmx", L"COM10.qmx"}, // not a device
    };
    std::vector<std::wstring> names;
    std::map<std::wstring, bytes> expected;
    for (const auto& [remote, local] : cases) {
        service->control("raw_item", "user=" + user + "&name=" + form_value(remote) +
                                         "&data=" + form_value(L"contents of " + local));
        names.push_back(remote);
        const std::string text = vfs_quillmere::narrow(L"contents of " + local);
        expected[local] = bytes(text.begin(), text.end());
    }
    drive->get_items();
    const item_selection s = selection_of(names);
    prompt_script none({});
    run_worker(s);
    auto files = intermediate_files();
    std::erase_if(files, [](const auto& f) { return f.first.ends_with(L".PIDL"); });
    EXPECT_EQ(files, expected);
    EXPECT_EQ(none.texts(), L"");
}

TEST_F(open_item, a_long_name_is_cut_to_keep_the_path_within_245_characters)
{
    struct {
        std::wstring name, tail;
    } const cases[] = {
        {std::wstring(250, L'n') + L".qmx", L"n.qmx"},
        {L"n." + std::wstring(250, L'e'), L"e"}, // no type the shell knows: cut like the rest
    };
    for (const auto& c : cases) {
        const std::wstring first = GetIntermediatePath(c.name);
        EXPECT_EQ(first.size(), 245u);
        EXPECT_TRUE(first.starts_with(intermediate_dir()) && first.ends_with(c.tail)) << first.substr(40);
        std::fclose(_wfopen(first.c_str(), L"wb"));
        const std::wstring second = GetIntermediatePath(c.name);
        const std::wstring ext = c.tail.substr(1);
        EXPECT_EQ(second, first.substr(0, 245 - ext.size()) + L"(0)" + ext);
        intermediate_files(true);
    }
}

TEST_F(open_item, cancelling_in_the_progress_dialog_removes_the_partial_copy)
{
    upload(*drive, L"big.qmx", pattern(3 * 16384 + 1, 3));
    const item_selection s = selection_of({L"big.qmx"});
    com::ComPtr<IProgressDialog> progress;
    com::ComPtr<IOleWindow> window;
    ASSERT_EQ(CoCreateInstance(CLSID_ProgressDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IProgressDialog,
                               reinterpret_cast<void**>(progress.GetAddressOf())),
              S_OK);
    ASSERT_EQ(progress->StartProgressDialog(nullptr, nullptr, PROGDLG_NORMAL, nullptr), S_OK);
    HWND dialog = nullptr;
    ASSERT_EQ(progress.As(&window), S_OK);
    ASSERT_EQ(window->GetWindow(&dialog), S_OK);
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    for (DWORD end = GetTickCount() + 5000; !progress->HasUserCancelled() && GetTickCount() < end;)
        Sleep(10);
    ASSERT_TRUE(progress->HasUserCancelled());

    prompt_script none({});
    std::uint64_t completed = 0;
    EXPECT_THROW(
        DownloadToIntermediate(nullptr, progress.Get(), 3 * 16384 + 1, &completed, drive, s.items[0]),
        open_given_up);
    EXPECT_EQ(completed, 16384u); // given up at the first chunk
    EXPECT_EQ(intermediate_files().size(), 0u);
    EXPECT_EQ(none.texts(), L"");
    progress->StopProgressDialog();
}

TEST_F(open_item, without_the_download_mutex_nothing_is_downloaded)
{
    upload(*drive, L"m.qmx", pattern(100, 4));
    const item_selection s = selection_of({L"m.qmx"});
    quit_session_manager(); // the mutex's owner
    prompt_script script({});
    run_worker(s);
    ASSERT_EQ(script.seen.size(), 1u);
    EXPECT_EQ(std::tuple(script.seen[0].caption, script.seen[0].text, script.seen[0].flags),
              std::tuple(std::wstring(L"Internal error"), std::wstring(L"Error opening mutex"),
                         UINT(MB_ICONERROR)));
    EXPECT_EQ(intermediate_files().size(), 0u);
    EXPECT_EQ(OpenItems(item_selection{}, nullptr), E_INVALIDARG);
}

TEST_F(open_item, a_local_copy_that_cannot_be_made_asks_retry_or_cancel)
{
    upload(*drive, L"c.qmx", pattern(100, 6));
    const std::wstring folder = intermediate_dir().substr(0, intermediate_dir().size() - 1);
    RemoveDirectoryW(folder.c_str());
    std::fclose(_wfopen(folder.c_str(), L"wb")); // a file where the folder belongs
    prompt_script script({IDRETRY, IDCANCEL});
    run_worker(selection_of({L"c.qmx"}));
    DeleteFileW(folder.c_str());
    EXPECT_EQ(script.texts(), L"Can't create intermediate file | Can't create intermediate file");
    EXPECT_EQ(script.captions(), L"Error | Error");
}

} // namespace
