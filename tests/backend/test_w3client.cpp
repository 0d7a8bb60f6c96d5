// W3Client: URL splitting without a network, and the bytes that reach the dev service.
#include "backend/exception.h"
#include "backend/protocol.h"
#include "backend/w3client.h"
#include "support/dev_service.h"

#include <gtest/gtest.h>

#include <string>
#include "support/failure.h"

using vfs_quillmere::W3Client;

namespace {

std::string read_all(W3Client& w3)
{
    std::string body;
    char piece[1023];
    while (const std::uint32_t got = w3.Read(piece, sizeof(piece)))
        body.append(piece, got);
    return body;
}

class w3client_service : public testing::Test {
protected:
    void SetUp() override
    {
        service_ = &qm_test::dev_service::get();
        service_->control("reset");
        vfs_quillmere::set_service_url(service_->base_url());
    }
    std::string last_body() const { return service_->control("last_body?endpoint=get_path"); }
    const qm_test::dev_service* service_ = nullptr;
};

} // namespace

TEST(w3client_url, split_into_scheme_credentials_host_port_and_path)
{
    const struct {
        const char* url;
        W3Client::url_parts parts;
    } cases[] = {
        {"https://ann:se:cret@example.org:8443/a/b?c=d",
         {"https", "ann", "se:cret", "example.org", 8443, "/a/b?c=d"}},
        {"https://h", {"https", "", "", "h", 443, "/"}},
        {"ftp://h/x", {"ftp", "", "", "h", 21, "/x"}},
        {"gopher://h/x", {"gopher", "", "", "h", 80, "/x"}},
        {"example.org:8080/x", {"http", "", "", "example.org", 8080, "/x"}},
        {"http://h:81/a@b", {"http", "", "", "h", 81, "/a@b"}},
    };
    for (const auto& c : cases) {
        const auto p = W3Client::split_url(c.url);
        EXPECT_EQ(p.scheme, c.parts.scheme) << c.url;
        EXPECT_EQ(p.user, c.parts.user) << c.url;
        EXPECT_EQ(p.password, c.parts.password) << c.url;
        EXPECT_EQ(p.host, c.parts.host) << c.url;
        EXPECT_EQ(p.port, c.parts.port) << c.url;
        EXPECT_EQ(p.path, c.parts.path) << c.url;
    }
    W3Client w3;
    EXPECT_FALSE(w3.ConnectUrl("gopher://h/")) << "no service for other schemes";
}

TEST(w3client_connect, given_credentials_win_and_a_redirect_needing_confirmation_was_sent)
{
    // WinINet connects lazily, so Connect succeeds without anybody at the other end.
    W3Client given;
    ASSERT_TRUE(given.ConnectUrl("http://u:p@127.0.0.1:8081/base", "me", "mine"));
    EXPECT_EQ(given.user() + given.password(), "memine");
    EXPECT_TRUE(W3Client::send_succeeded(FALSE, 12168));
    EXPECT_FALSE(W3Client::send_succeeded(FALSE, ERROR_INTERNET_CANNOT_CONNECT));
}

TEST_F(w3client_service, form_get_and_multipart_bodies_arrive_as_sent)
{
    W3Client w3;
    w3.AddParam("stale", "1");
    ASSERT_TRUE(w3.ConnectUrl(service_->base_url()));
    w3.AddParam("version", "1.0");
    w3.AddParam(vfs_quillmere::url_encode(L"n&m"), vfs_quillmere::url_encode(L"a b+c\u00e9<"));
    ASSERT_TRUE(w3.Request("/qm_get_path.php", W3Client::reqPostForm));
    EXPECT_NE(read_all(w3).find("<Path>"), std::string::npos);
    EXPECT_EQ(last_body(), "version=1.0&n%26m=a b+c\xC3\xA9%3C") << "connecting drops earlier parameters";

    W3Client empty;
    ASSERT_TRUE(empty.ConnectUrl(service_->base_url()));
    ASSERT_TRUE(empty.Request("/qm_get_path.php", W3Client::reqPostForm));
    EXPECT_NE(read_all(empty).find("Missing parameter"), std::string::npos);
    EXPECT_EQ(last_body(), "");

    W3Client get;
    ASSERT_TRUE(get.ConnectUrl(service_->base_url()));
    ASSERT_TRUE(get.Request("/", W3Client::reqGet));
    EXPECT_FALSE(read_all(get).empty()) << "the banner";

    W3Client multi;
    ASSERT_TRUE(multi.ConnectUrl(service_->base_url()));
    multi.AddParam("version", "1.0");
    ASSERT_TRUE(multi.Request("/qm_get_path.php", W3Client::reqPostMultipart));
    read_all(multi);
    EXPECT_EQ(last_body(), "----MULTI-PARTS-FORM-DATA-BOUNDARY\r\nContent-Disposition: form-data; "
                           "name=\"version\"\r\n\r\n1.0\r\n----MULTI-PARTS-FORM-DATA-BOUNDARY--\r\n");
}

TEST_F(w3client_service, a_cookie_the_service_sets_never_rides_on_a_later_request)
{
    service_->control("fault/body",
                      "action=get_path&set_cookie=qm=1; path=/&body=<Response><Path>/api</Path></Response>");
    for (int i = 0; i < 2; ++i)
        vfs_quillmere::text_request("/qm_get_path.php", {{L"version", L"1.0"}});
    const std::string seen = service_->control("requests?endpoint=get_path");
    EXPECT_NE(seen.find("\"seq\": 2"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("\"cookie\": \"qm=1"), std::string::npos) << seen;
}

TEST_F(w3client_service, text_request_failures_reach_the_caller)
{
    const struct {
        const char* fault; // control path and parameters; empty: the service is unreachable
        std::wstring message, details_part;
    } cases[] = {
        {"", L"Request failed", L"No internet connection available"},
        {"fault/error?action=get_path&name=Service down&description=Back at 5.", L"Service down",
         L"Back at 5."},
        {"fault/malformed?action=get_path", L"Parse error", L"strData='<Response><Result>OK</Result>'"},
    };
    for (const auto& c : cases) {
        const std::string fault = c.fault;
        if (fault.empty()) {
            vfs_quillmere::set_service_url("http://127.0.0.1:1"); // port 1 refuses at once
        }
        else {
            vfs_quillmere::set_service_url(service_->base_url());
            const auto query = fault.find('?');
            service_->control(fault.substr(0, query), fault.substr(query + 1));
        }
        const auto [message, details] = qm_test::failure_of([] {
            vfs_quillmere::text_request("/qm_get_path.php", {{L"version", L"1.0"}});
        });
        EXPECT_EQ(message, c.message) << c.fault;
        EXPECT_NE(details.find(c.details_part), std::wstring::npos) << c.fault;
    }
}

TEST_F(w3client_service, long_bodies_are_read_whole_raw_ones_up_to_their_buffer)
{
    const std::string value(300000, 'v');
    service_->control("fault/body", "action=get_path&body=<Response><Path>" + value + "</Path></Response>");
    EXPECT_EQ(vfs_quillmere::get_variable(
                  vfs_quillmere::text_request("/qm_get_path.php", {{L"version", L"1.0"}}), L"Path"),
              std::wstring(value.begin(), value.end()));

    // A body just small enough: after the last piece at least 512 bytes stay free.
    const std::string fits(262144 - 512, 'x');
    service_->control("fault/body", "action=get_path&content_type=application/octet-stream&body=" + fits);
    const vfs::blob blob = vfs_quillmere::raw_request("/qm_get_path.php", {{L"version", L"1.0"}});
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(blob.data.get()), blob.size), fits);
    service_->control("fault/body", "action=get_path&body=" + std::string(262144 - 511, 'y'));
    const auto [message, details] = qm_test::failure_of([] {
        vfs_quillmere::raw_request("/qm_get_path.php", {{L"version", L"1.0"}});
    });
    EXPECT_EQ(message, L"Request failed");
    EXPECT_EQ(details, L"Out of memory");
}
