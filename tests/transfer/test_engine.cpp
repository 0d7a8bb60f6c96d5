// Uploads through the engine into the dev service, from real data objects, with every prompt
// answered through the prompts seam, and one prompt of each kind answered in a real box.
#include "backend/client.h"
#include "backend/exception.h"
#include "backend/protocol.h"
#include "com/object.h"
#include "local_tree.h"
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

// What the service stored below folder: relative path -> SHA-256 of the stored bytes, or "dir".
void stored(vfs::directory& folder, const std::wstring& prefix, std::map<std::wstring, std::string>& out)
{
    for (const auto& child : folder.get_items()) {
        const std::wstring path = prefix + child->get_name();
        if (auto sub = boost::dynamic_pointer_cast<vfs::directory>(child)) {
            out[path] = "dir";
            stored(*sub, path + L"\\", out);
            continue;
        }
        const char* state = std::getenv("QM_DEVSERVICE_STATE");
        std::string id(child->get_id().begin(), child->get_id().end());
        std::ifstream in("Z:" + std::string(state ? state : "") + "/data/files/" + id, std::ios::binary);
        out[path] = digest(std::string(std::istreambuf_iterator<char>(in), {}));
    }
}

// Answers prompts from a script (IDCANCEL once it runs out) and keeps what was asked.
struct prompt_script {
    explicit prompt_script(std::vector<int> answers) : answers_(std::move(answers)) {}
    std::vector<ui::prompt> seen;
    std::wstring captions() const
    {
        std::wstring text;
        for (const auto& p : seen)
            text += (text.empty() ? L"" : L" | ") + p.caption;
        return text;
    }

private:
    std::vector<int> answers_;
    ui::scoped_answerer scope_{[this](const ui::prompt& p) {
        seen.push_back(p);
        return seen.size() <= answers_.size() ? answers_[seen.size() - 1] : IDCANCEL;
    }};
};

// A destination whose files fail to write on request, and report each write: a double of our
// own storage interface that stands for a connection lost in the middle of a file.
struct write_faults {
    int failures = 0;
    std::vector<std::string> writes; // every write call's bytes, failed ones too
    std::function<void()> on_write;
};

// Hands every item operation to the real node.
template <class Interface> class forwarding : public Interface {
public:
    forwarding(boost::shared_ptr<Interface> real, write_faults& faults)
        : real_(std::move(real)), faults_(faults)
    {
    }
    std::wstring get_name() override { return real_->get_name(); }
    std::wstring get_id() override { return real_->get_id(); }
    std::wstring get_description() override { return real_->get_description(); }
    void set_description(std::wstring d) override { real_->set_description(d); }
    std::int32_t get_type() override { return real_->get_type(); }
    vfs::blob get_thumbnail() override { return real_->get_thumbnail(); }

protected:
    boost::shared_ptr<Interface> real_;
    write_faults& faults_;
};

class faulty_file : public forwarding<vfs::file> {
public:
    using forwarding::forwarding;
    void open(std::int32_t mode) override { real_->open(mode); }
    void close() override { real_->close(); }
    bool is_bof() override { return real_->is_bof(); }
    bool is_eof() override { return real_->is_eof(); }
    std::int32_t get_mode() override { return real_->get_mode(); }
    std::int64_t get_pos() override { return real_->get_pos(); }
    void seek(std::int64_t offset, std::int32_t origin) override { real_->seek(offset, origin); }
    std::int32_t read(void* pdata, std::int32_t len) override { return real_->read(pdata, len); }
    std::int32_t write(const void* pdata, std::int32_t len) override
    {
        faults_.writes.emplace_back(static_cast<const char*>(pdata), static_cast<std::size_t>(len));
        if (faults_.on_write)
            faults_.on_write();
        if (faults_.failures > 0 && faults_.failures--)
            throw vfs_quillmere::exception(L"Write failed", L"Internet connection failed");
        return real_->write(pdata, len);
    }
    std::wstring get_link() override { return real_->get_link(); }
    std::int64_t get_size() override { return real_->get_size(); }
    double get_date_accessed() override { return real_->get_date_accessed(); }
    double get_date_created() override { return real_->get_date_created(); }
    double get_date_modified() override { return real_->get_date_modified(); }
    std::uint32_t get_attributes() override { return real_->get_attributes(); }
    void set_attributes(std::uint32_t a) override { real_->set_attributes(a); }
};

class faulty_directory : public forwarding<vfs::directory> {
public:
    using forwarding::forwarding;
    vfs::item_list get_items() override { return real_->get_items(); }
    bool has_subfolders() override { return real_->has_subfolders(); }
    boost::shared_ptr<vfs::item> get_item(std::wstring name) override { return real_->get_item(name); }
    void rename_item(std::wstring n, std::wstring m) override { real_->rename_item(n, m); }
    void rename_item(boost::shared_ptr<vfs::item> i, std::wstring m) override { real_->rename_item(i, m); }
    void delete_item(std::wstring name) override { real_->delete_item(name); }
    void delete_item(boost::shared_ptr<vfs::item> item) override { real_->delete_item(item); }
    boost::shared_ptr<vfs::file> create_file(std::wstring name) override { return real_->create_file(name); }
    boost::shared_ptr<vfs::file> create_file_alloc(std::wstring name, std::uint64_t size) override
    {
        return boost::make_shared<faulty_file>(real_->create_file_alloc(name, size), faults_);
    }
    boost::shared_ptr<vfs::directory> create_directory(std::wstring name) override
    {
        return boost::make_shared<faulty_directory>(real_->create_directory(name), faults_);
    }
    std::int32_t get_permission() override { return real_->get_permission(); }
    std::int32_t get_access() override { return real_->get_access(); }
    void set_access(std::int32_t a, std::int32_t p) override { real_->set_access(a, p); }
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
        destination = boost::make_shared<faulty_directory>(real, faults);
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
    destination = boost::make_shared<faulty_directory>(real, faults);
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
        destination = boost::make_shared<faulty_directory>(real, faults);
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
