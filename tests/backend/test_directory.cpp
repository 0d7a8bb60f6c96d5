// The client and remote directories against the dev service: every operation, the names the
// wire must carry intact, the cached listing, and threads at once. Each test logs in a fresh
// user, so tests never share a tree.
#include "backend/client.h"
#include "backend/directory.h"
#include "backend/exception.h"
#include "backend/file.h"
#include "backend/protocol.h"
#include "support/dev_service.h"

#include <boost/make_shared.hpp>
#include <boost/pointer_cast.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>
#include "support/failure.h"

using namespace vfs_quillmere;

namespace {

using qm_test::failure_of;
using qm_test::wide;

std::vector<std::wstring> names_of(const vfs::item_list& items)
{
    std::vector<std::wstring> names;
    for (const auto& item : items)
        names.push_back(item->get_name());
    return names;
}

std::string raw_id(const boost::shared_ptr<vfs::item>& node)
{
    return narrow(dynamic_cast<item&>(*node).get_raw_id());
}

class directory_test : public testing::Test {
protected:
    void SetUp() override
    {
        service_ = &qm_test::dev_service::get();
        service_->control("reset");
        set_service_url(service_->base_url());
        std::tie(user_, password_) = service_->new_user("dir");
        client_ = boost::make_shared<client>(wide(user_), wide(password_));
    }

    boost::shared_ptr<vfs::directory> root() { return client_->get_root(); }
    boost::shared_ptr<vfs::directory> folder(const std::wstring& name)
    {
        return boost::dynamic_pointer_cast<vfs::directory>(root()->get_item(name));
    }
    std::string user_id() const { return narrow(client_->user_id()); }
    std::string last_body() const { return service_->control("last_body?endpoint=operations"); }

    std::string requests(const std::string& action) const { return service_->requests(user_, action); }
    std::size_t request_count(const std::string& action) const
    {
        return service_->request_count(user_, action);
    }
    void fault(const std::string& kind, const std::string& action, const std::string& rest = "") const
    {
        service_->control("fault/" + kind, "action=" + action + "&user=" + user_ + rest);
    }

    const qm_test::dev_service* service_ = nullptr;
    std::string user_;
    std::string password_;
    boost::shared_ptr<client> client_;
};

} // namespace

// -- client ----------------------------------------------------------------------------------

TEST_F(directory_test, clients_by_login_and_by_user_id_carry_the_same_connection_data)
{
    EXPECT_EQ(client_->path(), "/api");
    EXPECT_EQ(client_->transfer_host().rfind("sftp://127.0.0.1:", 0), 0u) << client_->transfer_host();
    // The login itself went out with an empty user_id, last.
    EXPECT_EQ(last_body(), "action=login&user=" + user_ + "&pass=" + password_ + "&user_id=");
    // The description sent get_ftp_params with an empty user_id, so no service could tell whose
    // credentials to answer with.
    client from_id(client_->user_id());
    EXPECT_EQ(last_body(), "action=get_ftp_params&user_id=" + user_id());
    EXPECT_EQ(
        from_id.path() + from_id.transfer_host() + from_id.transfer_user() + from_id.transfer_password(),
        client_->path() + client_->transfer_host() + client_->transfer_user() + client_->transfer_password());
}

TEST_F(directory_test, the_root_is_one_object_its_nodes_outlive_their_client_and_sizes_are_64_bit)
{
    const auto a = root();
    EXPECT_EQ(a.get(), root().get());
    EXPECT_EQ(a->get_id(), L"dir_0");
    EXPECT_FALSE(a->has_subfolders());
    boost::shared_ptr<vfs::directory> home;
    {
        auto own = boost::make_shared<client>(wide(user_), wide(password_));
        home = boost::dynamic_pointer_cast<vfs::directory>(own->get_root()->get_item(L"Home"));
    }
    ASSERT_TRUE(home);
    EXPECT_NO_THROW(home->get_items());

    // Storage figures are 64-bit values.
    const auto [name, password] = service_->new_user("quota", 5000000000LL);
    client limited(wide(name), wide(password));
    ASSERT_TRUE(limited.get_root()->create_file_alloc(L"big", 3000000000ULL));
    const vfs::storage_info s = limited.get_storage_info();
    EXPECT_EQ(s.capacity, 5000000000LL);
    EXPECT_EQ(s.space_used, 3000000000LL);
    EXPECT_EQ(s.space_free, 2000000000LL);
}

// -- listing and lookup ----------------------------------------------------------------------

TEST_F(directory_test, a_fresh_account_lists_its_three_folders_with_their_flags)
{
    const vfs::item_list items = root()->get_items();
    EXPECT_EQ(last_body(), "action=list_dir&dir_id=0&user_id=" + user_id());
    EXPECT_EQ(names_of(items), (std::vector<std::wstring>{L"Home", L"Music", L"Photos"}));
    for (const auto& item : items) {
        auto& d = dynamic_cast<directory&>(*item);
        EXPECT_FALSE(d.is_renameable() || d.is_deleteable() || d.has_subfolders());
        EXPECT_EQ(d.is_home_folder(), item->get_name() == L"Home");
        EXPECT_EQ(d.is_mp3(), item->get_name() == L"Music");
        EXPECT_EQ(d.is_gallery(), item->get_name() == L"Photos");
    }
}

TEST_F(directory_test, directories_come_before_files_which_carry_their_fields)
{
    auto home = folder(L"Home");
    ASSERT_TRUE(home->create_file(L"a file"));
    ASSERT_TRUE(home->create_directory(L"z folder"));
    auto data = boost::dynamic_pointer_cast<file>(home->create_file_alloc(L"b file", 12345));
    EXPECT_EQ(names_of(home->get_items()), (std::vector<std::wstring>{L"z folder", L"a file", L"b file"}));
    root()->get_items();
    EXPECT_TRUE(folder(L"Home")->has_subfolders()) << "the root's listing now says Home has a subfolder";
    ASSERT_TRUE(data);
    EXPECT_EQ(data->get_size(), 12345);
    EXPECT_EQ(data->location(), L"/f/" + data->get_id());
    EXPECT_NE(data->get_link().find(L"/link/"), std::wstring::npos);
    EXPECT_GT(data->get_date_modified(), 40000.0) << "an OLE date after 2009";
}

TEST_F(directory_test, a_failed_listing_reports_its_error_and_keeps_the_cached_children)
{
    const std::string no_link =
        "&body=<Response><File><DateModified>1</DateModified><DateAccessed>1</DateAccessed><Size>1</Size>"
        "<Description></Description><Location>/f/9</Location><Name>x</Name><ID>9</ID></File></Response>";
    const struct {
        const char* kind;
        std::string rest;
        std::wstring message, details;
    } cases[] = {
        {"body", no_link, L"Variable 'Link' not found", L"No such variable defined at the response"},
        {"error", "&name=Busy&description=Try later.", L"Busy", L"Try later."},
        {"malformed", "", L"Parse error", L""},
    };
    auto r = root();
    ASSERT_EQ(r->get_items().size(), 3u);
    for (const auto& c : cases) {
        fault(c.kind, "list_dir", c.rest);
        const auto [message, details] = failure_of([&] { r->get_items(); });
        EXPECT_EQ(message, c.message);
        EXPECT_TRUE(c.details.empty() || details == c.details) << url_encode(details);
        const std::size_t before = request_count("list_dir");
        EXPECT_EQ(r->get_item(L"Music")->get_name(), L"Music") << "the old list still answers";
        EXPECT_EQ(request_count("list_dir"), before);
    }
}

TEST_F(directory_test, lookup_lists_once_unless_empty_and_matches_names_exactly)
{
    auto r = root();
    EXPECT_EQ(r->get_item(L"Home")->get_name(), L"Home");
    EXPECT_EQ(r->get_item(L"Photos")->get_name(), L"Photos");
    EXPECT_EQ(request_count("list_dir"), 1u) << "a second lookup asks nobody";
    const auto [message, details] = failure_of([&] { r->get_item(L"home"); });
    EXPECT_EQ(message, L"Item not found");
    EXPECT_EQ(details, L"File system error: item 'home' not found in directory ''");

    auto music = folder(L"Music");
    EXPECT_EQ(failure_of([&] { music->get_item(L"x"); }).second,
              L"File system error: item 'x' not found in directory 'Music'");
    failure_of([&] { music->get_item(L"x"); });
    EXPECT_EQ(request_count("list_dir"), 3u) << "an empty directory lists again on every lookup";

    client other(wide(user_), wide(password_));
    other.get_root()->create_directory(L"made elsewhere");
    EXPECT_EQ(failure_of([&] { r->get_item(L"made elsewhere"); }).first, L"Item not found")
        << "changes by others are seen at the next listing";
    r->get_items();
    EXPECT_NO_THROW(r->get_item(L"made elsewhere"));
}

// -- names on the wire -----------------------------------------------------------------------

TEST_F(directory_test, names_with_marks_and_unicode_survive_the_round_trip)
{
    const std::vector<std::wstring> names = {
        L"a&b",
        L"1+1=2",
        L"<tag>",
        L"x > y < z",
        L"100% \"quoted\" #1 ?[]^`{}|",
        L"caf\u00e9 cr\u00e8me",
        L"\u4e2d\u6587 \u0420\u0443\u0441",
        L"emoji \xD83D\xDE00 end",
        L"semi;colon~",
    };
    for (const auto& name : names) {
        auto d = root()->create_directory(name);
        ASSERT_TRUE(d) << url_encode(name);
        EXPECT_EQ(d->get_name(), name);
    }
    client other(wide(user_), wide(password_));
    for (const auto& name : names)
        EXPECT_EQ(other.get_root()->get_item(name)->get_name(), name) << url_encode(name);
}

TEST_F(directory_test, a_change_the_service_refuses_reaches_the_caller_and_changes_nothing)
{
    auto r = root();
    const struct {
        std::function<void()> change;
        std::wstring message, details;
    } cases[] = {
        {[&] { r->create_directory(L"a/b"); }, L"Invalid name", L"A name cannot contain '/' or '\\'."},
        {[&] { r->create_file(L""); }, L"Invalid name", L"A name cannot be empty."},
        {[&] { r->create_directory(L"Home"); }, L"Name already in use", L""},
        {[&] { r->rename_item(L"Home", L"Away"); }, L"Cannot rename folder", L""},
        {[&] { r->rename_item(L"nobody", L"x"); }, L"Item not found", L""},
        {[&] { r->delete_item(L"nobody"); }, L"Item not found", L""},
    };
    for (const auto& c : cases) {
        const auto [message, details] = failure_of(c.change);
        EXPECT_EQ(message, c.message);
        EXPECT_TRUE(c.details.empty() || details == c.details) << url_encode(details);
    }
    EXPECT_EQ(names_of(r->get_items()), (std::vector<std::wstring>{L"Home", L"Music", L"Photos"}));
    EXPECT_EQ(request_count("rename_file") + request_count("remove_dir") + request_count("remove_file"), 0u);
}

// -- changes ---------------------------------------------------------------------------------

TEST_F(directory_test, create_answers_the_new_child_or_nothing_over_a_child_of_the_other_kind)
{
    auto d = root()->create_directory(L"New folder");
    ASSERT_TRUE(d && d->create_file(L"empty.txt"));
    EXPECT_EQ(last_body().rfind("action=list_dir", 0), 0u) << "creation is followed by a listing";
    EXPECT_EQ(request_count("create_file"), 1u);
    EXPECT_NE(requests("create_file").find("\"size\": \"0\""), std::string::npos) << requests("create_file");
    auto big = d->create_file_alloc(L"big.bin", 18446744073709551615ULL / 4);
    EXPECT_EQ(big->get_size(), static_cast<std::int64_t>(18446744073709551615ULL / 4));
    // A service that accepts the request but keeps the old child: the follow-up lookup finds it.
    fault("body", "create_dir", "&body=<Response><Result>OK</Result></Response>");
    EXPECT_FALSE(d->create_directory(L"big.bin"));
    fault("body", "create_file", "&body=<Response><Result>OK</Result></Response>");
    EXPECT_FALSE(root()->create_file(L"New folder"));
}

TEST_F(directory_test, rename_sends_new_name_first_delete_removes_and_both_list_again)
{
    auto r = root();
    auto d = r->create_directory(L"x");
    auto f = r->create_file(L"y");
    r->rename_item(d, L"x2 & more");
    r->rename_item(L"y", L"y2");
    EXPECT_NE(
        requests("rename_dir")
            .find("\"params\": {\"new_name\": \"x2 & more\", \"action\": \"rename_dir\", \"dir_id\": \"" +
                  raw_id(d) + "\", \"user_id\": \"" + user_id() + "\"}"),
        std::string::npos)
        << requests("rename_dir");
    EXPECT_NE(requests("rename_file")
                  .find("\"params\": {\"new_name\": \"y2\", \"action\": \"rename_file\", \"file_id\": \"" +
                        raw_id(f) + "\""),
              std::string::npos)
        << requests("rename_file");
    EXPECT_EQ(r->get_item(L"x2 & more")->get_id(), d->get_id());
    EXPECT_EQ(failure_of([&] { r->get_item(L"y"); }).first, L"Item not found");
    EXPECT_EQ(d->get_name(), L"x") << "the old object keeps its old name";

    r->create_directory(L"gone")->create_file(L"inside");
    r->delete_item(L"gone");
    r->delete_item(r->get_item(L"x2 & more"));
    r->delete_item(r->get_item(L"y2"));
    EXPECT_EQ(names_of(r->get_items()), (std::vector<std::wstring>{L"Home", L"Music", L"Photos"}));
    EXPECT_EQ(request_count("remove_dir"), 2u);
    EXPECT_EQ(request_count("remove_file"), 1u);
}

TEST_F(directory_test, access_and_description_change_on_success_only)
{
    auto d = root()->create_directory(L"shared");
    d->set_access(3, 5);
    EXPECT_EQ(last_body(),
              "action=set_dir_access&dir_id=" + raw_id(d) + "&access=3&permission=5&user_id=" + user_id());
    EXPECT_EQ(d->get_access(), 3);
    EXPECT_EQ(d->get_permission(), 5);
    d->set_access(-1, 2147483647);
    EXPECT_EQ(d->get_access(), -1);
    EXPECT_EQ(d->get_permission(), 2147483647);

    const std::wstring text = L"Notes <old> & new \u00e9";
    d->set_description(text);
    EXPECT_EQ(d->get_description(), text);
    client other(wide(user_), wide(password_));
    auto again = boost::dynamic_pointer_cast<vfs::directory>(other.get_root()->get_item(L"shared"));
    EXPECT_EQ(again->get_description(), text);
    EXPECT_EQ(again->get_access(), -1);
    fault("error", "set_dir_description", "&name=No&description=Not now.");
    EXPECT_EQ(failure_of([&] { d->set_description(L"other"); }).first, L"No");
    EXPECT_EQ(d->get_description(), text);
    EXPECT_EQ(failure_of([&] { d->get_thumbnail(); }).second,
              L"directory::get_thumbnail(): Operation not implemented");
}

// -- threads ---------------------------------------------------------------------------------

TEST_F(directory_test, lookups_do_not_wait_while_a_replaced_child_is_destroyed)
{
    const auto node = folder(L"Home");
    auto& home = dynamic_cast<directory&>(*node);
    home.create_file(L"new");
    const HANDLE dying = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // A child whose last reference blocks until released, as an open file's does while its
    // transfer shuts down.
    const auto music = folder(L"Music");
    home.replace_children({boost::shared_ptr<vfs::item>(music.get(), [&](vfs::item*) {
        SetEvent(dying);
        WaitForSingleObject(release, 20000);
    })});
    // The listing drops the last reference to the slow child.
    std::thread lister([&] { home.get_items(); });
    EXPECT_EQ(WaitForSingleObject(dying, 10000), WAIT_OBJECT_0);
    auto lookup = std::async(std::launch::async, [&] { return home.get_item(L"new")->get_name(); });
    const bool answered = lookup.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    SetEvent(release);
    lister.join();
    EXPECT_TRUE(answered) << "the lookup waited for the old child's destruction";
    EXPECT_EQ(lookup.get(), L"new");
    CloseHandle(dying);
    CloseHandle(release);
}

TEST_F(directory_test, the_description_is_read_whole_while_another_thread_changes_it)
{
    // Long texts live in blocks of their own that freeing returns to the system, so a read that
    // races the change would copy unmapped memory.
    auto d = root()->create_directory(L"described");
    const std::wstring texts[] = {std::wstring(1500000, L'a'), std::wstring(1500001, L'b')};
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done) {
            const std::wstring seen = d->get_description();
            if (!seen.empty() && seen != texts[seen.size() % 2 == 0 ? 0 : 1])
                ++torn;
        }
    });
    // The service keeps no text this long: it answers success without storing it.
    fault("body", "set_dir_description", "&count=0&body=<Response><Result>OK</Result></Response>");
    const auto written = failure_of([&] {
        for (int round = 0; round < 10; ++round)
            d->set_description(texts[round % 2]);
        throw exception(L"done", L"");
    });
    done = true;
    reader.join();
    EXPECT_EQ(written.first, L"done") << url_encode(written.second);
    EXPECT_EQ(torn.load(), 0);
}
