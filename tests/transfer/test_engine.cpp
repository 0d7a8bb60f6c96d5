// Uploads through the engine into the dev service, from real data objects, with every prompt
// answered through the prompts seam, and one prompt of each kind answered in a real box.
#include "backend/client.h"
#include "backend/directory.h"
#include "backend/file.h"
#include "backend/exception.h"
#include "backend/protocol.h"
#include "com/object.h"
#include "local_tree.h"
#include "prompt_script.h"
#include "stored_tree.h"
#include "module/resource.h"
#include "support/data_objects.h"
#include "support/dev_service.h"
#include "support/digest.h"
#include "support/failure.h"
#include "support/paths.h"
#include "support/ui_driver.h"
#include "transfer/engine.h"
#include "transfer/views/hdrop.h"
#include "ui/prompts.h"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>

using namespace qm_test;

namespace {

std::string digest(const std::string& text)
{
    return sha256(bytes(text.begin(), text.end()));
}

// Write failures injected into the real remote folder and files, standing for a connection lost
// in the middle of a file; every write is kept, failed ones too.
struct write_faults {
    int failures = 0;
    std::vector<std::string> writes;
    std::function<void()> on_write;
};

class faulty_file : public vfs_quillmere::file {
public:
    faulty_file(const vfs_quillmere::client& connection, vfs_quillmere::file& real, write_faults& faults)
        : file(connection, real.get_raw_id(), real.get_name(), real.get_link(), real.location(), L"",
               real.get_size(), 0, 0),
          faults_(faults)
    {
    }
    std::int32_t write(const void* pdata, std::int32_t len) override
    {
        faults_.writes.emplace_back(static_cast<const char*>(pdata), static_cast<std::size_t>(len));
        if (faults_.on_write)
            faults_.on_write();
        if (faults_.failures > 0 && faults_.failures--)
            throw vfs_quillmere::exception(L"Write failed", L"Internet connection failed");
        return file::write(pdata, len);
    }

private:
    write_faults& faults_;
};

class faulty_directory : public vfs_quillmere::directory {
public:
    faulty_directory(const vfs_quillmere::client& connection, vfs::directory& real, write_faults& faults)
        : directory(connection, dynamic_cast<vfs_quillmere::item&>(real).get_raw_id(), real.get_name(), L"",
                    0, 0, false, false, false, true, true, false),
          connection_(connection), faults_(faults)
    {
    }
    boost::shared_ptr<vfs::file> create_file_alloc(std::wstring name, std::uint64_t size) override
    {
        auto real =
            boost::dynamic_pointer_cast<vfs_quillmere::file>(directory::create_file_alloc(name, size));
        return real ? boost::make_shared<faulty_file>(connection_, *real, faults_) : nullptr;
    }
    boost::shared_ptr<vfs::directory> create_directory(std::wstring name) override
    {
        auto real = directory::create_directory(name);
        return real ? boost::make_shared<faulty_directory>(connection_, *real, faults_) : nullptr;
    }

private:
    const vfs_quillmere::client& connection_;
    write_faults& faults_;
};

class upload : public testing::Test {
protected:
    void SetUp() override
    {
        const dev_service& service = dev_service::get();
        vfs_quillmere::set_service_url(service.base_url());
        std::string password;
        std::tie(user, password) = service.new_user("upload");
        client = boost::make_shared<vfs_quillmere::client>(wide(user), wide(password));
        destination = client->get_root()->create_directory(L"Up");
    }
    HRESULT transfer(IDataObject* data, DWORD effect = DROPEFFECT_COPY)
    {
        return TransferFromDataObject(nullptr, data, destination, CPIDLList(), effect);
    }
    std::map<std::wstring, std::string> remote()
    {
        std::map<std::wstring, std::string> out;
        stored(*destination, L"", out);
        return out;
    }

    std::string user;
    boost::shared_ptr<vfs_quillmere::client> client;
    boost::shared_ptr<vfs::directory> destination;
};

const std::wstring long_name(255, L'n');
const std::wstring emoji = L"\U0001F600";

} // namespace

TEST_F(upload, pasted_local_files_with_awkward_names_and_a_300_character_path_arrive_byte_for_byte)
{
    local_tree tree;
    const std::string big(100000, 'b');
    tree.file(L"Tree\\a & b.txt", "ampersand");
    tree.file(L"Tree\\c+d\\R\u00e9sum\u00e9 " + emoji + L".txt", big);
    tree.file(L"Tree\\empty.txt", "");
    tree.folder(L"Tree\\Empty folder");
    const std::wstring long_file = tree.file(long_name, "long name");
    // A path beyond the classic 260-character limit, dropped as it is.
    const std::wstring deep =
        tree.file(std::wstring(130, L'p') + L"\\" + std::wstring(130, L'q') + L"\\deep.txt", "deep");
    ASSERT_GT(deep.size(), 300u);
    tree.file(L"decoy.txt", "decoy");

    auto data = data_object::create();
    data->offer_hdrop({tree.path(L"Tree"), long_file, deep});
    // Pasted: what the engine reads is the clipboard's own object.
    ASSERT_EQ(OleSetClipboard(data.Get()), S_OK);
    com::ComPtr<IDataObject> clipboard;
    ASSERT_EQ(OleGetClipboard(&clipboard), S_OK);
    prompt_script none({});
    EXPECT_EQ(transfer(clipboard.Get(), DROPEFFECT_MOVE), S_OK) << none.captions();
    OleSetClipboard(nullptr);
    const std::map<std::wstring, std::string> expected = {
        {L"Tree", "dir"},
        {L"Tree\\a & b.txt", digest("ampersand")},
        {L"Tree\\c+d", "dir"},
        {L"Tree\\c+d\\R\u00e9sum\u00e9 " + emoji + L".txt", digest(big)},
        {L"Tree\\empty.txt", digest("")},
        {L"Tree\\Empty folder", "dir"},
        {long_name, digest("long name")},
        {L"deep.txt", digest("deep")},
    };
    EXPECT_EQ(remote(), expected);
    EXPECT_EQ(none.seen.size(), 0u);
}

TEST_F(upload, virtual_files_arrive_from_streams_and_global_memory_and_win_over_local_files)
{
    local_tree tree;
    const std::string big(70000, 'v');
    for (const contents_medium medium : {contents_medium::stream, contents_medium::hglobal}) {
        SCOPED_TRACE(medium == contents_medium::stream ? "stream" : "global memory");
        destination = client->get_root()->create_directory(medium == contents_medium::stream ? L"S" : L"G");
        auto data = data_object::create();
        data->offer_virtual({{L"<angle> & +", true},
                             {L"<angle> & +\\\u00e4 " + emoji + L".bin", false, big},
                             {L"<angle> & +\\zero.txt", false, ""},
                             {long_name, false, "long"}},
                            medium);
        // Offered as well, but the virtual files are what the source meant.
        data->offer_hdrop({tree.file(L"local.txt", "local")});
        prompt_script none({});
        EXPECT_EQ(transfer(data.Get()), S_OK) << none.captions();
        const std::map<std::wstring, std::string> expected = {
            {L"<angle> & +", "dir"},
            {L"<angle> & +\\\u00e4 " + emoji + L".bin", digest(big)},
            {L"<angle> & +\\zero.txt", digest("")},
            {long_name, digest("long")},
        };
        EXPECT_EQ(remote(), expected);
    }
}

TEST_F(upload, a_view_that_cannot_be_built_reaches_the_caller_unshown)
{
    for (bool virtual_files : {false, true}) {
        auto data = data_object::create();
        if (virtual_files)
            data->offer_virtual({{L"a.txt", false, "a"}});
        else
            data->offer_hdrop({L"C:\\a.txt"});
        data->discard_blocks();
        prompt_script script({});
        try {
            transfer(data.Get());
            ADD_FAILURE() << "the view's failure did not reach the caller";
        }
        catch (const vfs::exception& e) {
            EXPECT_EQ(e.get_message(), L"Internal error");
            EXPECT_NE(e.get_details().find(L"Out of memory"), std::wstring::npos) << e.get_details();
        }
        EXPECT_TRUE(script.seen.empty()); // the caller decides how to show it
    }
    EXPECT_EQ(transfer(data_object::create().Get()), E_INVALIDARG);
}

// Each prompt of the engine, answered in every way its buttons allow. The destination starts
// with Keep\old.txt ("old"); the source is either a.txt and old.txt ("new"), files only (the
// two-button prompts), or a folder Keep with old.txt ("new") and then a.txt. A lost connection
// is injected into the first write of the upload.
TEST_F(upload, every_prompt_answer_has_its_effect)
{
    // Answers and prompts as letters: Yes No Cancel Retry Ignore Abort; Merge Replace Error.
    const struct {
        const char* what;
        bool files_only, drop;
        const char *answers, *prompts;
        HRESULT result;
        std::wstring after; // path=contents besides the folder Keep
    } cases[] = {
        {"replace yes", true, false, "Y", "R", S_OK, L"Keep\\old.txt=old old.txt=new a.txt=a"},
        {"replace no", true, false, "N", "R", E_FAIL, L"Keep\\old.txt=old old.txt=old a.txt=a"},
        {"merge, replace yes", false, false, "YY", "MR", S_OK, L"Keep\\old.txt=new a.txt=a"},
        {"merge, replace cancel", false, false, "YC", "MR", E_ABORT, L"Keep\\old.txt=old"},
        {"merge no", false, false, "N", "M", E_FAIL, L"Keep\\old.txt=old a.txt=a"},
        {"merge cancel", false, false, "C", "M", E_ABORT, L"Keep\\old.txt=old"},
        {"write fails, retry", false, true, "YYR", "MRE", S_OK, L"Keep\\old.txt=new a.txt=a"},
        {"write fails, ignore", false, true, "NI", "ME", E_FAIL, L"Keep\\old.txt=old"},
        {"write fails, abort", false, true, "NA", "ME", E_ABORT, L"Keep\\old.txt=old"},
        {"write fails, cancel of two", true, true, "CY", "ER", E_FAIL, L"Keep\\old.txt=old old.txt=new"},
    };
    const std::map<char, int> buttons = {{'Y', IDYES},   {'N', IDNO},     {'C', IDCANCEL},
                                         {'R', IDRETRY}, {'I', IDIGNORE}, {'A', IDABORT}};
    const std::string half_megabyte(500000, 'a');
    const std::map<std::wstring, std::string> contents = {
        {L"old", "old"}, {L"new", "new"}, {L"a", half_megabyte}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        destination = client->get_root()->create_directory(wide(c.what));
        for (const auto& folder : {destination->create_directory(L"Keep"), destination}) {
            auto old = folder->create_file_alloc(L"old.txt", 3);
            old->open(vfs::modeWrite | vfs::modeCreate);
            old->write("old", 3);
            old->close();
            if (!c.files_only)
                break;
        }
        local_tree tree;
        tree.file(c.files_only ? L"old.txt" : L"Keep\\old.txt", "new");
        const std::wstring a = tree.file(L"a.txt", half_megabyte);
        auto data = data_object::create();
        data->offer_hdrop(c.files_only ? std::vector<std::wstring>{a, tree.path(L"old.txt")}
                                       : std::vector<std::wstring>{tree.path(L"Keep"), a});
        write_faults faults;
        faults.failures = c.drop ? 1 : 0;
        auto real = destination;
        destination = boost::make_shared<faulty_directory>(*client, *real, faults);
        std::vector<int> answers;
        for (const char* letter = c.answers; *letter; ++letter)
            answers.push_back(buttons.at(*letter));
        prompt_script script(answers);
        EXPECT_EQ(transfer(data.Get()), c.result);
        std::string prompts;
        for (const auto& p : script.seen) {
            const bool error = p.caption == L"Error";
            prompts += error ? 'E' : p.caption == L"Confirm folder merge" ? 'M' : 'R';
            EXPECT_EQ(p.flags, error ? MB_ICONERROR | (c.files_only ? MB_RETRYCANCEL : MB_ABORTRETRYIGNORE)
                                     : MB_ICONWARNING | (c.files_only ? MB_YESNO : MB_YESNOCANCEL))
                << p.caption;
        }
        EXPECT_EQ(prompts, c.prompts) << script.captions();
        if (c.result == S_OK && c.drop) {
            ASSERT_GE(faults.writes.size(), 2u);
            EXPECT_EQ(faults.writes[1], faults.writes[0]) << "the retry resends the same bytes";
        }
        destination = real;
        std::map<std::wstring, std::string> expected = {{L"Keep", "dir"}};
        std::wistringstream after(c.after);
        for (std::wstring entry; after >> entry;)
            expected[entry.substr(0, entry.find(L'='))] =
                digest(contents.at(entry.substr(entry.find(L'=') + 1)));
        EXPECT_EQ(remote(), expected);
    }
}

TEST_F(upload, a_name_held_by_the_other_kind_stops_the_transfer)
{
    destination->create_directory(L"file.txt");
    destination->create_file_alloc(L"Folder", 0);
    local_tree tree;
    const struct {
        std::wstring dropped, caption, text;
    } cases[] = {
        {tree.file(L"file.txt", "x"), L"Error creating file", L"File 'file.txt' could not be created."},
        {tree.folder(L"Folder"), L"Error creating folder", L"Folder 'Folder' could not be created."},
    };
    for (const auto& c : cases) {
        auto data = data_object::create();
        data->offer_hdrop({c.dropped});
        prompt_script script({IDOK});
        EXPECT_EQ(transfer(data.Get()), E_ABORT);
        ASSERT_EQ(script.seen.size(), 1u);
        EXPECT_EQ(script.seen[0].caption + L": " + script.seen[0].text, c.caption + L": " + c.text);
        EXPECT_EQ(script.seen[0].flags, UINT(MB_ICONERROR));
    }
    EXPECT_EQ(remote(), (std::map<std::wstring, std::string>{{L"file.txt", "dir"}, {L"Folder", digest("")}}));
}

// The user presses Cancel in the real progress dialog while a large file is being written.
TEST_F(upload, cancel_in_the_progress_dialog_removes_the_partial_file)
{
    local_tree tree;
    auto data = data_object::create();
    data->offer_hdrop({tree.file(L"small.txt", "small"), tree.file(L"big.bin", std::string(2 << 20, 'c'))});
    write_faults faults;
    faults.on_write = [&] {
        if (faults.writes.size() != 4)
            return;
        HWND dialog = nullptr;
        EnumWindows(
            [](HWND hwnd, LPARAM found) {
                DWORD pid = 0;
                GetWindowThreadProcessId(hwnd, &pid);
                if (pid == GetCurrentProcessId() && window_text(hwnd) == L"Copying...")
                    *reinterpret_cast<HWND*>(found) = hwnd;
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&dialog));
        ASSERT_TRUE(dialog) << "no progress dialog";
        save_window_png(dialog, artifacts_dir() + L"\\transfer-progress.png");
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(dialog, WM_COMMAND, IDCANCEL, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
    };
    auto real = destination;
    destination = boost::make_shared<faulty_directory>(*client, *real, faults);
    prompt_script none({});
    EXPECT_EQ(transfer(data.Get()), E_ABORT);
    EXPECT_LT(faults.writes.size(), 10u) << "stopped soon after the cancel";
    destination = real;
    EXPECT_EQ(remote(), (std::map<std::wstring, std::string>{{L"small.txt", digest("small")}}));
}

// One prompt of each kind reaches a real message box, owned by the progress dialog.
TEST_F(upload, each_kind_of_prompt_shows_a_real_message_box)
{
    const struct {
        const char* kind;
        const wchar_t* existing; // in the destination before the upload of q.txt
        bool drop;
        int button;
        std::wstring caption, text;
    } cases[] = {
        {"question", L"file", false, IDNO, L"Confirm file replace",
         L"File with name 'q.txt' already exists. Replace?"},
        {"error", nullptr, true, IDCANCEL, L"Error", L"Can't write to 'q.txt': Internet connection failed"},
        {"ok", L"folder", false, IDOK, L"Error creating file", L"File 'q.txt' could not be created."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        destination = client->get_root()->create_directory(wide(c.kind));
        if (c.existing && c.existing == std::wstring(L"file"))
            destination->create_file_alloc(L"q.txt", 0);
        else if (c.existing)
            destination->create_directory(L"q.txt");
        write_faults faults;
        faults.failures = c.drop ? 1 : 0;
        auto real = destination;
        destination = boost::make_shared<faulty_directory>(*client, *real, faults);
        local_tree tree;
        auto data = data_object::create();
        data->offer_hdrop({tree.file(L"q.txt", std::string(200000, 'q'))});
        dialog_driver driver([&](dialog& d) {
            EXPECT_EQ(d.caption(), c.caption);
            EXPECT_EQ(d.message(), c.text);
            d.save_png(L"transfer-prompt-" + wide(c.kind));
            d.click(c.button);
        });
        EXPECT_NE(transfer(data.Get()), S_OK);
        driver.wait();
    }
}
