// Uploads through the engine into the dev service, from real data objects, with every prompt
// answered through the prompts seam, and one prompt of each kind answered in a real box.
#include "backend/client.h"
#include "backend/exception.h"
#include "backend/protocol.h"
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

class faulty_file : public vfs::file {
public:
    faulty_file(boost::shared_ptr<vfs::file> real, write_faults& faults)
        : real_(std::move(real)), faults_(faults)
    {
    }
    std::wstring get_name() override { return real_->get_name(); }
    std::wstring get_id() override { return real_->get_id(); }
    std::wstring get_description() override { return real_->get_description(); }
    void set_description(std::wstring d) override { real_->set_description(d); }
    std::int32_t get_type() override { return real_->get_type(); }
    vfs::blob get_thumbnail() override { return real_->get_thumbnail(); }
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

private:
    boost::shared_ptr<vfs::file> real_;
    write_faults& faults_;
};

class faulty_directory : public vfs::directory {
public:
    faulty_directory(boost::shared_ptr<vfs::directory> real, write_faults& faults)
        : real_(std::move(real)), faults_(faults)
    {
    }
    std::wstring get_name() override { return real_->get_name(); }
    std::wstring get_id() override { return real_->get_id(); }
    std::wstring get_description() override { return real_->get_description(); }
    void set_description(std::wstring d) override { real_->set_description(d); }
    std::int32_t get_type() override { return real_->get_type(); }
    vfs::blob get_thumbnail() override { return real_->get_thumbnail(); }
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

private:
    boost::shared_ptr<vfs::directory> real_;
    write_faults& faults_;
};

class upload : public testing::Test {
protected:
    void SetUp() override
    {
        const dev_service& service = dev_service::get();
        vfs_quillmere::set_service_url(service.base_url());
        const auto [user, password] = service.new_user("upload");
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

    boost::shared_ptr<vfs_quillmere::client> client;
    boost::shared_ptr<vfs::directory> destination;
};

const std::wstring long_name(255, L'n');
const std::wstring emoji = L"\U0001F600";

} // namespace

TEST_F(upload, local_files_and_folders_with_awkward_names_arrive_byte_for_byte)
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
    prompt_script none({});
    EXPECT_EQ(transfer(data.Get(), DROPEFFECT_MOVE), S_OK) << none.captions();
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

TEST_F(upload, a_view_that_cannot_be_built_is_reported_once_and_fails)
{
    for (bool virtual_files : {false, true}) {
        auto data = data_object::create();
        if (virtual_files)
            data->offer_virtual({{L"a.txt", false, "a"}});
        else
            data->offer_hdrop({L"C:\\a.txt"});
        data->discard_blocks();
        prompt_script script({IDOK});
        EXPECT_EQ(transfer(data.Get()), E_FAIL);
        ASSERT_EQ(script.seen.size(), 1u);
        EXPECT_EQ(script.seen[0].caption, L"Internal error");
        EXPECT_NE(script.seen[0].text.find(L"Out of memory"), std::wstring::npos) << script.seen[0].text;
        EXPECT_EQ(script.seen[0].flags, UINT(MB_OK | MB_ICONERROR));
    }
    EXPECT_EQ(transfer(data_object::create().Get()), E_INVALIDARG);
}

// Each prompt of the engine, answered in every way its buttons allow. The destination starts
// with Keep\old.txt ("old"); the source is either a.txt and old.txt ("new"), files only (the
// two-button prompts), or a folder Keep with old.txt ("new") and then a.txt.
TEST_F(upload, every_prompt_answer_has_its_effect)
{
    enum source_kind { files_only, with_folder };
    const struct {
        const char* what;
        source_kind source;
        int write_failures;
        std::vector<int> answers;
        HRESULT result;
        std::wstring prompts;
        UINT first_flags;
        std::map<std::wstring, std::string> after; // besides Keep
    } cases[] = {
        {"replace yes",
         files_only,
         0,
         {IDYES},
         S_OK,
         L"Confirm file replace",
         MB_ICONWARNING | MB_YESNO,
         {{L"Keep\\old.txt", digest("old")}, {L"old.txt", digest("new")}, {L"a.txt", digest("a")}}},
        {"replace no",
         files_only,
         0,
         {IDNO},
         E_FAIL,
         L"Confirm file replace",
         MB_ICONWARNING | MB_YESNO,
         {{L"Keep\\old.txt", digest("old")}, {L"old.txt", digest("old")}, {L"a.txt", digest("a")}}},
        {"merge, replace yes",
         with_folder,
         0,
         {IDYES, IDYES},
         S_OK,
         L"Confirm folder merge | Confirm file replace",
         MB_ICONWARNING | MB_YESNOCANCEL,
         {{L"Keep\\old.txt", digest("new")}, {L"a.txt", digest("a")}}},
        {"merge, replace cancel",
         with_folder,
         0,
         {IDYES, IDCANCEL},
         E_ABORT,
         L"Confirm folder merge | Confirm file replace",
         MB_ICONWARNING | MB_YESNOCANCEL,
         {{L"Keep\\old.txt", digest("old")}}},
        {"merge no",
         with_folder,
         0,
         {IDNO},
         E_FAIL,
         L"Confirm folder merge",
         MB_ICONWARNING | MB_YESNOCANCEL,
         {{L"Keep\\old.txt", digest("old")}, {L"a.txt", digest("a")}}},
        {"merge cancel",
         with_folder,
         0,
         {IDCANCEL},
         E_ABORT,
         L"Confirm folder merge",
         MB_ICONWARNING | MB_YESNOCANCEL,
         {{L"Keep\\old.txt", digest("old")}}},
        {"write fails, retry",
         with_folder,
         1,
         {IDYES, IDYES, IDRETRY},
         S_OK,
         L"Confirm folder merge | Confirm file replace | Error",
         MB_ICONWARNING | MB_YESNOCANCEL,
         {{L"Keep\\old.txt", digest("new")}, {L"a.txt", digest("a")}}},
        {"write fails, ignore",
         with_folder,
         1,
         {IDNO, IDIGNORE},
         E_FAIL,
         L"Confirm folder merge | Error",
         MB_ICONWARNING | MB_YESNOCANCEL,
         {{L"Keep\\old.txt", digest("old")}}},
        {"write fails, abort",
         with_folder,
         1,
         {IDNO, IDABORT},
         E_ABORT,
         L"Confirm folder merge | Error",
         MB_ICONWARNING | MB_YESNOCANCEL,
         {{L"Keep\\old.txt", digest("old")}}},
        {"write fails, cancel of two buttons",
         files_only,
         1,
         {IDCANCEL, IDYES},
         E_FAIL,
         L"Error | Confirm file replace",
         MB_ICONERROR | MB_RETRYCANCEL,
         {{L"Keep\\old.txt", digest("old")}, {L"old.txt", digest("new")}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto real = client->get_root()->create_directory(wide(c.what));
        auto keep = real->create_directory(L"Keep");
        for (auto* folder : {&keep, &real}) {
            if (c.source == with_folder && folder == &real)
                break;
            auto old = (*folder)->create_file_alloc(L"old.txt", 3);
            old->open(vfs::modeWrite | vfs::modeCreate);
            old->write("old", 3);
            old->close();
        }
        local_tree tree;
        std::vector<std::wstring> drop;
        if (c.source == with_folder) {
            tree.file(L"Keep\\old.txt", "new");
            drop = {tree.path(L"Keep"), tree.file(L"a.txt", "a")};
        }
        else
            drop = {tree.file(L"a.txt", "a"), tree.file(L"old.txt", "new")};
        auto data = data_object::create();
        data->offer_hdrop(drop);
        write_faults faults;
        faults.failures = c.write_failures;
        destination = boost::make_shared<faulty_directory>(real, faults);
        prompt_script script(c.answers);
        EXPECT_EQ(transfer(data.Get()), c.result);
        EXPECT_EQ(script.captions(), c.prompts);
        if (!script.seen.empty()) {
            EXPECT_EQ(script.seen[0].flags, c.first_flags);
        }
        if (c.write_failures && c.answers.back() == IDRETRY) {
            ASSERT_GE(faults.writes.size(), 2u);
            EXPECT_EQ(faults.writes[1], faults.writes[0]) << "the retry resends the same bytes";
        }
        auto expected = c.after;
        expected[L"Keep"] = "dir";
        destination = real;
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
    tree.file(L"small.txt", "small");
    const std::wstring big = tree.file(L"big.bin", std::string(2 << 20, 'c'));
    auto data = data_object::create();
    data->offer_hdrop({tree.path(L"small.txt"), big});
    write_faults faults;
    HWND dialog = nullptr;
    faults.on_write = [&] {
        if (faults.writes.size() != 4)
            return;
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
        std::function<void(local_tree&)> arrange;
        int failures;
        int button;
        std::wstring caption, text;
        UINT buttons_seen; // a button that must be there
    } cases[] = {
        {"question", [&](local_tree&) { destination->create_file_alloc(L"q.txt", 0); }, 0, IDNO,
         L"Confirm file replace", L"File with name 'q.txt' already exists. Replace?", IDYES},
        {"error", [](local_tree&) {}, 1, IDCANCEL, L"Error",
         L"Can't write to 'q.txt': Internet connection failed", IDRETRY},
        {"ok", [&](local_tree&) { destination->create_directory(L"q.txt"); }, 0, IDOK, L"Error creating file",
         L"File 'q.txt' could not be created.", IDOK},
    };
    auto real = destination;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        destination = real = client->get_root()->create_directory(wide(c.kind));
        local_tree tree;
        c.arrange(tree);
        auto data = data_object::create();
        data->offer_hdrop({tree.file(L"q.txt", "q")});
        write_faults faults;
        faults.failures = c.failures;
        destination = boost::make_shared<faulty_directory>(real, faults);
        dialog_driver driver([&](dialog& d) {
            EXPECT_EQ(d.caption(), c.caption);
            EXPECT_EQ(d.message(), c.text);
            EXPECT_TRUE(d.item(c.buttons_seen));
            d.save_png(L"transfer-prompt-" + wide(c.kind));
            d.click(c.button);
        });
        EXPECT_NE(transfer(data.Get()), S_OK);
        driver.wait();
    }
}
