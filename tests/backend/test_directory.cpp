// The client and remote directories against the dev service: every operation,
// the names the wire must carry intact, the cached listing, and two threads at once. Each test
// logs in a fresh user, so tests never share a tree.
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
#include <string>
#include <thread>
#include <vector>
#include "support/failure.h"

using namespace vfs_quillmere;

namespace {

using qm_test::failure_of;
using qm_test::wide;

std::string utf8(const std::wstring& w)
{
    return url_encode(w); // plain letters only in messages
}

std::size_t count_of(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

std::vector<std::wstring> names_of(const vfs::item_list& items)
{
    std::vector<std::wstring> names;
    for (const auto& item : items)
        names.push_back(item->get_name());
    return names;
}

class directory_test : public testing::Test {
protected:
    void SetUp() override
    {
        service_ = &qm_test::dev_service::get();
        service_->control("reset");
        set_service_url(service_->base_url());
        const auto [name, password] = service_->new_user("dir");
        user_ = name;
        password_ = password;
        client_ = boost::make_shared<client>(wide(user_), wide(password_));
    }

    boost::shared_ptr<vfs::directory> root() { return client_->get_root(); }

    // Operation requests of this user so far, as the service recorded them (JSON).
    std::string requests(const std::string& action) const
    {
        return service_->control("requests?user=" + user_ + "&action=" + action);
    }
    std::size_t request_count(const std::string& action) const
    {
        return count_of(requests(action), "\"seq\"");
    }

    const qm_test::dev_service* service_ = nullptr;
    std::string user_;
    std::string password_;
    boost::shared_ptr<client> client_;
};

} // namespace

// -- client ----------------------------------------------------------------------------------

TEST_F(directory_test, login_stores_the_user_id_path_and_transfer_credentials)
{
    EXPECT_FALSE(client_->user_id().empty());
    EXPECT_EQ(client_->path(), "/api");
    EXPECT_EQ(client_->transfer_host().rfind("sftp://127.0.0.1:", 0), 0u) << client_->transfer_host();
    EXPECT_FALSE(client_->transfer_user().empty());
    EXPECT_FALSE(client_->transfer_password().empty());
    // The login itself went out with an empty user_id, last.
    const std::string body = service_->control("last_body?endpoint=operations");
    EXPECT_EQ(body, "action=login&user=" + user_ + "&pass=" + password_ + "&user_id=");
}

TEST_F(directory_test, client_from_a_stored_user_id_sends_it_with_get_ftp_params)
{
    // Mended: the description sent get_ftp_params with an empty user_id, so no service could
    // tell whose credentials to answer with.
    client from_id(client_->user_id());
    EXPECT_EQ(service_->control("last_body?endpoint=operations"),
              "action=get_ftp_params&user_id=" + narrow(client_->user_id()));
    EXPECT_EQ(from_id.user_id(), client_->user_id());
    EXPECT_EQ(from_id.path(), "/api");
    EXPECT_EQ(from_id.transfer_host(), client_->transfer_host());
    EXPECT_EQ(from_id.transfer_user(), client_->transfer_user());
    EXPECT_EQ(from_id.transfer_password(), client_->transfer_password());
}

TEST_F(directory_test, a_wrong_password_reaches_the_caller_as_the_service_error)
{
    const auto [message, details] = failure_of([&] { client(wide(user_), L"wrong"); });
    EXPECT_EQ(message, L"Login failed");
    EXPECT_EQ(details, L"The user name or password is incorrect.");
}

TEST_F(directory_test, user_and_storage_info)
{
    const vfs::user_info info = client_->get_user_info();
    EXPECT_EQ(info.user_name, wide(user_));
    EXPECT_EQ(info.user_level, L"Standard");
    const vfs::storage_info storage = client_->get_storage_info();
    EXPECT_EQ(storage.capacity, 0);
    EXPECT_EQ(storage.space_used, 0);

    const auto [name, password] = service_->new_user("quota", 5000000000LL);
    client limited(wide(name), wide(password));
    auto file = limited.get_root()->create_file_alloc(L"big", 3000000000ULL);
    ASSERT_TRUE(file);
    const vfs::storage_info s = limited.get_storage_info();
    EXPECT_EQ(s.capacity, 5000000000LL) << "64-bit values";
    EXPECT_EQ(s.space_used, 3000000000LL);
    EXPECT_EQ(s.space_free, 2000000000LL);
}

TEST_F(directory_test, get_root_is_the_same_object_with_id_dir_0)
{
    const auto a = root();
    const auto b = root();
    EXPECT_EQ(a.get(), b.get());
    EXPECT_EQ(a->get_id(), L"dir_0");
    EXPECT_EQ(a->get_name(), L"");
    EXPECT_EQ(a->get_description(), L"");
    EXPECT_EQ(a->get_type(), vfs::typeDirectory);
    EXPECT_FALSE(a->has_subfolders()) << "the root's flag is false";
    EXPECT_EQ(a->get_access(), 0);
    EXPECT_EQ(a->get_permission(), 0);
    EXPECT_EQ(dynamic_cast<item*>(a.get())->get_raw_id(), L"0");
}

TEST_F(directory_test, a_node_outlives_its_client)
{
    boost::shared_ptr<vfs::directory> home;
    {
        auto own = boost::make_shared<client>(wide(user_), wide(password_));
        home = boost::dynamic_pointer_cast<vfs::directory>(own->get_root()->get_item(L"Home"));
    }
    ASSERT_TRUE(home);
    EXPECT_NO_THROW(home->get_items());
}

// -- listing ---------------------------------------------------------------------------------

TEST_F(directory_test, a_fresh_account_lists_its_three_folders_with_their_flags)
{
    const vfs::item_list items = root()->get_items();
    ASSERT_EQ(items.size(), 3u);
    for (const auto& item : items) {
        ASSERT_EQ(item->get_type(), vfs::typeDirectory);
        auto* d = dynamic_cast<directory*>(item.get());
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(item->get_id().rfind(L"dir_", 0), 0u);
        EXPECT_FALSE(d->is_renameable());
        EXPECT_FALSE(d->is_deleteable());
        EXPECT_FALSE(d->has_subfolders());
        if (item->get_name() == L"Home")
            EXPECT_TRUE(d->is_home_folder());
        else if (item->get_name() == L"Music")
            EXPECT_TRUE(d->is_mp3());
        else if (item->get_name() == L"Photos")
            EXPECT_TRUE(d->is_gallery());
        else
            ADD_FAILURE() << "unexpected folder";
    }
    EXPECT_EQ(request_count("list_dir"), 1u);
    const std::string body = service_->control("last_body?endpoint=operations");
    EXPECT_EQ(body, "action=list_dir&dir_id=0&user_id=" + narrow(client_->user_id()));
}

TEST_F(directory_test, directories_come_before_files)
{
    auto home = boost::dynamic_pointer_cast<vfs::directory>(root()->get_item(L"Home"));
    ASSERT_TRUE(home);
    ASSERT_TRUE(home->create_file(L"a file"));
    ASSERT_TRUE(home->create_directory(L"z folder"));
    ASSERT_TRUE(home->create_file(L"b file"));
    const vfs::item_list items = home->get_items();
    EXPECT_EQ(names_of(items), (std::vector<std::wstring>{L"z folder", L"a file", L"b file"}));
    EXPECT_EQ(items.front()->get_type(), vfs::typeDirectory);
    EXPECT_EQ(items.back()->get_type(), vfs::typeFile);
    // The listing of the root now says Home has a subfolder.
    for (const auto& item : root()->get_items()) {
        if (item->get_name() == L"Home") {
            EXPECT_TRUE(boost::dynamic_pointer_cast<vfs::directory>(item)->has_subfolders());
        }
    }
}

TEST_F(directory_test, file_fields_come_from_the_listing)
{
    auto file =
        boost::dynamic_pointer_cast<vfs_quillmere::file>(root()->create_file_alloc(L"data.bin", 12345));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->get_size(), 12345);
    EXPECT_EQ(file->get_type(), vfs::typeFile);
    EXPECT_EQ(file->location(), L"/f/" + file->get_id());
    EXPECT_NE(file->get_link().find(L"/link/"), std::wstring::npos);
    EXPECT_GT(file->get_date_modified(), 40000.0) << "an OLE date after 2009";
    EXPECT_EQ(file->get_date_created(), 0.0);
}

TEST_F(directory_test, a_file_record_lacking_link_fails_the_listing)
{
    const std::string body =
        "<Response><File><DateModified>1</DateModified><DateAccessed>1</DateAccessed><Size>1</Size>"
        "<Description></Description><Location>/f/9</Location><Name>x</Name><ID>9</ID></File></Response>";
    service_->control("fault/body", "action=list_dir&user=" + user_ + "&body=" + body);
    const auto [message, details] = failure_of([&] { root()->get_items(); });
    EXPECT_EQ(message, L"Variable 'Link' not found");
    EXPECT_EQ(details, L"No such variable defined at the response");
}

TEST_F(directory_test, a_failed_listing_leaves_the_cached_children)
{
    auto r = root();
    ASSERT_EQ(r->get_items().size(), 3u);
    service_->control("fault/error", "action=list_dir&user=" + user_ + "&name=Busy&description=Try later.");
    const auto [message, details] = failure_of([&] { r->get_items(); });
    EXPECT_EQ(message, L"Busy");
    EXPECT_EQ(details, L"Try later.");
    const std::size_t before = request_count("list_dir");
    EXPECT_EQ(r->get_item(L"Music")->get_name(), L"Music") << "the old list still answers";
    EXPECT_EQ(request_count("list_dir"), before);
}

TEST_F(directory_test, a_malformed_listing_is_a_parse_error)
{
    service_->control("fault/malformed", "action=list_dir&user=" + user_);
    EXPECT_EQ(failure_of([&] { root()->get_items(); }).first, L"Parse error");
}

// -- lookup ----------------------------------------------------------------------------------

TEST_F(directory_test, get_item_lists_once_then_uses_the_cached_list)
{
    auto r = root();
    EXPECT_EQ(r->get_item(L"Home")->get_name(), L"Home");
    EXPECT_EQ(request_count("list_dir"), 1u);
    EXPECT_EQ(r->get_item(L"Photos")->get_name(), L"Photos");
    EXPECT_EQ(request_count("list_dir"), 1u) << "a second lookup asks nobody";
}

TEST_F(directory_test, an_empty_directory_lists_again_on_every_lookup)
{
    auto music = boost::dynamic_pointer_cast<vfs::directory>(root()->get_item(L"Music"));
    ASSERT_TRUE(music);
    const std::size_t before = request_count("list_dir");
    EXPECT_EQ(failure_of([&] { music->get_item(L"x"); }).first, L"Item not found");
    EXPECT_EQ(failure_of([&] { music->get_item(L"x"); }).first, L"Item not found");
    EXPECT_EQ(request_count("list_dir"), before + 2);
}

TEST_F(directory_test, get_item_is_case_sensitive)
{
    auto r = root();
    const auto [message, details] = failure_of([&] { r->get_item(L"home"); });
    EXPECT_EQ(message, L"Item not found");
    EXPECT_EQ(details, L"File system error: item 'home' not found in directory ''");
    auto home = boost::dynamic_pointer_cast<vfs::directory>(r->get_item(L"Home"));
    home->create_directory(L"Docs");
    EXPECT_EQ(failure_of([&] { home->get_item(L"DOCS"); }).second,
              L"File system error: item 'DOCS' not found in directory 'Home'");
}

TEST_F(directory_test, lookup_does_not_see_changes_made_by_others_until_the_next_listing)
{
    auto r = root();
    r->get_items();
    client other(wide(user_), wide(password_));
    other.get_root()->create_directory(L"made elsewhere");
    EXPECT_EQ(failure_of([&] { r->get_item(L"made elsewhere"); }).first, L"Item not found");
    r->get_items();
    EXPECT_EQ(r->get_item(L"made elsewhere")->get_name(), L"made elsewhere");
}

// -- names on the wire -----------------------------------------------------------------------

TEST_F(directory_test, names_with_marks_and_unicode_survive_the_round_trip)
{
    auto r = root();
    const std::vector<std::wstring> names = {
        L"a&b",
        L"1+1=2",
        L"<tag>",
        L"x > y < z",
        L"100% \"quoted\" #1 ?[]^`{}|",
        L"caf\u00e9 cr\u00e8me",
        L"\u4e2d\u6587 \u0420\u0443\u0441",
        std::wstring(L"emoji \xD83D\xDE00 end"),
        L"semi;colon~",
    };
    for (const auto& name : names) {
        auto d = r->create_directory(name);
        ASSERT_TRUE(d) << utf8(name);
        EXPECT_EQ(d->get_name(), name);
    }
    // A fresh client sees the same names byte for byte.
    client other(wide(user_), wide(password_));
    for (const auto& name : names) {
        EXPECT_EQ(other.get_root()->get_item(name)->get_name(), name) << utf8(name);
    }
    // The body carried "&" escaped and "+" as it is.
    r->create_file(L"p+q&r");
    const std::string requests_json = requests("create_file");
    EXPECT_NE(requests_json.find("p+q&r"), std::string::npos) << requests_json;
}

TEST_F(directory_test, a_name_the_service_refuses_reaches_the_caller)
{
    auto r = root();
    auto [message, details] = failure_of([&] { r->create_directory(L"a/b"); });
    EXPECT_EQ(message, L"Invalid name");
    EXPECT_EQ(details, L"A name cannot contain '/' or '\\'.");
    std::tie(message, details) = failure_of([&] { r->create_file(L""); });
    EXPECT_EQ(message, L"Invalid name");
    EXPECT_EQ(details, L"A name cannot be empty.");
    std::tie(message, details) = failure_of([&] { r->create_directory(L"Home"); });
    EXPECT_EQ(message, L"Name already in use");
}

// -- changes ---------------------------------------------------------------------------------

TEST_F(directory_test, create_directory_and_files)
{
    auto r = root();
    auto d = r->create_directory(L"New folder");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->get_type(), vfs::typeDirectory);
    EXPECT_EQ(d->get_name(), L"New folder");
    auto f = d->create_file(L"empty.txt");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->get_size(), 0);
    EXPECT_EQ(service_->control("last_body?endpoint=operations").rfind("action=list_dir", 0), 0u)
        << "creation is followed by a listing";
    EXPECT_EQ(count_of(requests("create_file"), "\"size\": \"0\""), 1u) << requests("create_file");
    auto big = d->create_file_alloc(L"big.bin", 18446744073709551615ULL / 4);
    EXPECT_FALSE(big == nullptr);
    EXPECT_EQ(big->get_size(), static_cast<std::int64_t>(18446744073709551615ULL / 4));
    EXPECT_EQ(names_of(d->get_items()), (std::vector<std::wstring>{L"big.bin", L"empty.txt"}));
}

TEST_F(directory_test, create_directory_over_an_existing_file_answers_an_empty_pointer)
{
    auto r = root();
    ASSERT_TRUE(r->create_file(L"clash"));
    // A service that accepts the request but keeps the file: the follow-up lookup finds a file.
    service_->control("fault/body",
                      "action=create_dir&user=" + user_ + "&body=<Response><Result>OK</Result></Response>");
    const auto d = r->create_directory(L"clash");
    EXPECT_FALSE(d) << "the child of that name is a file";
    EXPECT_EQ(r->get_item(L"clash")->get_type(), vfs::typeFile);
    // And the other way round.
    ASSERT_TRUE(r->create_directory(L"clash dir"));
    service_->control("fault/body",
                      "action=create_file&user=" + user_ + "&body=<Response><Result>OK</Result></Response>");
    EXPECT_FALSE(r->create_file(L"clash dir"));
}

TEST_F(directory_test, rename_a_directory_sends_new_name_first)
{
    auto r = root();
    auto d = r->create_directory(L"before");
    const std::wstring raw = dynamic_cast<item*>(d.get())->get_raw_id();
    r->rename_item(L"before", L"after & more");
    const std::string json = requests("rename_dir");
    EXPECT_EQ(count_of(json, "\"seq\""), 1u);
    // The body order as sent.
    const std::string renamed = service_->control("requests?user=" + user_ + "&action=rename_dir");
    EXPECT_NE(renamed.find("after & more"), std::string::npos);
    EXPECT_EQ(r->get_item(L"after & more")->get_id(), L"dir_" + raw);
    EXPECT_EQ(failure_of([&] { r->get_item(L"before"); }).first, L"Item not found")
        << "the rename is followed by a listing";
    EXPECT_EQ(d->get_name(), L"before") << "the old object keeps its old name";
}

TEST_F(directory_test, rename_body_order_is_new_name_action_id_user_id)
{
    auto r = root();
    auto d = r->create_directory(L"x");
    auto f = r->create_file(L"y");
    const std::string raw_dir = narrow(dynamic_cast<item*>(d.get())->get_raw_id());
    const std::string raw_file = narrow(dynamic_cast<item*>(f.get())->get_raw_id());
    const std::string uid = narrow(client_->user_id());
    // The service records the parameters in body order.
    r->rename_item(d, L"x2");
    EXPECT_NE(requests("rename_dir")
                  .find("\"params\": {\"new_name\": \"x2\", \"action\": \"rename_dir\", \"dir_id\": \"" +
                        raw_dir + "\", \"user_id\": \"" + uid + "\"}"),
              std::string::npos)
        << requests("rename_dir");
    r->rename_item(f, L"y2");
    EXPECT_NE(requests("rename_file")
                  .find("\"params\": {\"new_name\": \"y2\", \"action\": \"rename_file\", \"file_id\": \"" +
                        raw_file + "\", \"user_id\": \"" + uid + "\"}"),
              std::string::npos)
        << requests("rename_file");
    // Both renames happened on the service.
    EXPECT_EQ(names_of(r->get_items()).size(), 5u);
    EXPECT_NO_THROW(r->get_item(L"x2"));
    EXPECT_NO_THROW(r->get_item(L"y2"));
}

TEST_F(directory_test, rename_of_a_missing_name_requests_no_change)
{
    auto r = root();
    const auto [message, details] = failure_of([&] { r->rename_item(L"nobody", L"x"); });
    EXPECT_EQ(message, L"Item not found");
    EXPECT_EQ(request_count("rename_dir") + request_count("rename_file"), 0u);
}

TEST_F(directory_test, rename_refused_by_the_service)
{
    auto r = root();
    const auto [message, details] = failure_of([&] { r->rename_item(L"Home", L"Away"); });
    EXPECT_EQ(message, L"Cannot rename folder");
    EXPECT_NO_THROW(r->get_item(L"Home"));
}

TEST_F(directory_test, delete_files_and_directories)
{
    auto r = root();
    auto d = r->create_directory(L"gone");
    d->create_file(L"inside");
    r->create_file(L"gone too");
    r->delete_item(L"gone");
    r->delete_item(r->get_item(L"gone too"));
    EXPECT_EQ(names_of(r->get_items()), (std::vector<std::wstring>{L"Home", L"Music", L"Photos"}));
    EXPECT_EQ(request_count("remove_dir"), 1u);
    EXPECT_EQ(request_count("remove_file"), 1u);
    EXPECT_EQ(failure_of([&] { r->delete_item(L"gone"); }).first, L"Item not found");
}

TEST_F(directory_test, set_access_sends_access_then_permission)
{
    auto r = root();
    auto d = r->create_directory(L"shared");
    d->set_access(3, 5);
    EXPECT_EQ(service_->control("last_body?endpoint=operations"),
              "action=set_dir_access&dir_id=" + narrow(dynamic_cast<item*>(d.get())->get_raw_id()) +
                  "&access=3&permission=5&user_id=" + narrow(client_->user_id()));
    EXPECT_EQ(d->get_access(), 3);
    EXPECT_EQ(d->get_permission(), 5);
    for (const auto& item : r->get_items()) {
        if (item->get_name() == L"shared") {
            auto again = boost::dynamic_pointer_cast<vfs::directory>(item);
            EXPECT_EQ(again->get_access(), 3);
            EXPECT_EQ(again->get_permission(), 5);
        }
    }
    d->set_access(-1, 2147483647);
    EXPECT_EQ(d->get_access(), -1);
    EXPECT_EQ(d->get_permission(), 2147483647);
}

TEST_F(directory_test, set_description_of_a_directory)
{
    auto r = root();
    auto d = r->create_directory(L"described");
    d->set_description(L"Notes <old> & new \u00e9");
    EXPECT_EQ(d->get_description(), L"Notes <old> & new \u00e9");
    client other(wide(user_), wide(password_));
    EXPECT_EQ(other.get_root()->get_item(L"described")->get_description(), L"Notes <old> & new \u00e9");
    // A failed change keeps the old text.
    service_->control("fault/error",
                      "action=set_dir_description&user=" + user_ + "&name=No&description=Not now.");
    EXPECT_EQ(failure_of([&] { d->set_description(L"other"); }).first, L"No");
    EXPECT_EQ(d->get_description(), L"Notes <old> & new \u00e9");
}

TEST_F(directory_test, a_directory_has_no_thumbnail)
{
    const auto [message, details] = failure_of([&] { root()->get_thumbnail(); });
    EXPECT_EQ(message, L"Internal error");
    EXPECT_EQ(details, L"directory::get_thumbnail(): Operation not implemented");
}

// -- threads ---------------------------------------------------------------------------------

TEST_F(directory_test, two_threads_list_and_look_up_the_same_directory_at_once)
{
    auto r = root();
    auto home = boost::dynamic_pointer_cast<vfs::directory>(r->get_item(L"Home"));
    for (int i = 0; i < 20; ++i)
        home->create_file(L"f" + std::to_wstring(i));
    std::atomic<int> failures{0};
    auto worker = [&](int seed) {
        for (int round = 0; round < 15; ++round) {
            try {
                if ((round + seed) % 2 == 0) {
                    if (home->get_items().size() != 20)
                        ++failures;
                }
                else if (home->get_item(L"f" + std::to_wstring(round))->get_name() !=
                         L"f" + std::to_wstring(round)) {
                    ++failures;
                }
            }
            catch (const vfs::exception&) {
                ++failures;
            }
        }
    };
    std::thread a(worker, 0);
    std::thread b(worker, 1);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
}
