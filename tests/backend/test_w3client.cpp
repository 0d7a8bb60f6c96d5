// W3Client: URL splitting and request flags without a network, and the bytes that
// reach the dev service.
#include "backend/exception.h"
#include "backend/protocol.h"
#include "backend/w3client.h"
#include "support/dev_service.h"

#include <gtest/gtest.h>

#include <string>

using vfs_quillmere::W3Client;

namespace {

// A port on 127.0.0.1 that nobody listens on: bound, then closed again.
int closed_port()
{
    // Port 1 (tcpmux) is never served on these machines and refuses at once.
    return 1;
}

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
    const qm_test::dev_service* service_ = nullptr;
};

} // namespace

TEST(w3client_url, full_url_with_credentials_port_and_path)
{
    const auto p = W3Client::split_url("https://ann:se:cret@example.org:8443/a/b?c=d");
    EXPECT_EQ(p.scheme, "https");
    EXPECT_EQ(p.user, "ann");
    EXPECT_EQ(p.password, "se:cret");
    EXPECT_EQ(p.host, "example.org");
    EXPECT_EQ(p.port, 8443);
    EXPECT_EQ(p.path, "/a/b?c=d");
}

TEST(w3client_url, default_ports_by_scheme)
{
    EXPECT_EQ(W3Client::split_url("https://h").port, 443);
    EXPECT_EQ(W3Client::split_url("ftp://h/x").port, 21);
    EXPECT_EQ(W3Client::split_url("http://h/x").port, 80);
    EXPECT_EQ(W3Client::split_url("gopher://h/x").port, 80);
    EXPECT_EQ(W3Client::split_url("http://h").path, "/");
}

TEST(w3client_url, without_scheme_http_and_an_explicit_port)
{
    const auto p = W3Client::split_url("example.org:8080/x");
    EXPECT_EQ(p.scheme, "http");
    EXPECT_EQ(p.host, "example.org");
    EXPECT_EQ(p.port, 8080);
    EXPECT_EQ(p.path, "/x");
    EXPECT_EQ(W3Client::service_of_scheme(p.scheme), W3Client::serviceHttp);
}

TEST(w3client_url, an_at_sign_in_the_path_is_not_a_credential)
{
    const auto p = W3Client::split_url("http://h:81/a@b");
    EXPECT_EQ(p.user, "");
    EXPECT_EQ(p.host, "h");
    EXPECT_EQ(p.port, 81);
    EXPECT_EQ(p.path, "/a@b");
}

TEST(w3client_url, services_of_schemes)
{
    EXPECT_EQ(W3Client::service_of_scheme("https"), 2);
    EXPECT_EQ(W3Client::service_of_scheme("http"), 1);
    EXPECT_EQ(W3Client::service_of_scheme("ftp"), 0);
    EXPECT_EQ(W3Client::service_of_scheme("gopher"), -1);
    W3Client w3;
    EXPECT_FALSE(w3.ConnectUrl("gopher://h/")) << "no service for other schemes";
}

TEST(w3client_flags, form_requests_and_the_secure_flag)
{
    EXPECT_EQ(W3Client::form_request_flags(W3Client::serviceHttp), 0x04400040u);
    EXPECT_EQ(W3Client::form_request_flags(W3Client::serviceHttps), 0x04C00040u);
    EXPECT_EQ(W3Client::get_request_flags(W3Client::serviceHttp), 0x04000000u);
    EXPECT_EQ(W3Client::get_request_flags(W3Client::serviceHttps), 0x04800000u);
}

TEST(w3client_flags, a_redirect_needing_confirmation_counts_as_sent)
{
    EXPECT_TRUE(W3Client::send_succeeded(FALSE, 12168));
    EXPECT_TRUE(W3Client::send_succeeded(TRUE, 0));
    EXPECT_FALSE(W3Client::send_succeeded(FALSE, ERROR_INTERNET_CANNOT_CONNECT));
}

TEST(w3client_connect, https_url_without_port_gives_service_2_and_port_443)
{
    // WinINet connects lazily, so Connect succeeds without anybody at the other end.
    W3Client w3;
    ASSERT_TRUE(w3.ConnectUrl("https://127.0.0.1/", nullptr, nullptr, "Mozilla/4.0 (compatible; )"));
    EXPECT_EQ(w3.service(), W3Client::serviceHttps);
    EXPECT_EQ(w3.port(), 443);
    EXPECT_EQ(w3.host(), "127.0.0.1");
}

TEST(w3client_connect, explicit_port_and_credentials)
{
    W3Client w3;
    ASSERT_TRUE(w3.ConnectUrl("http://u:p@127.0.0.1:8081/base"));
    EXPECT_EQ(w3.service(), W3Client::serviceHttp);
    EXPECT_EQ(w3.port(), 8081);
    EXPECT_EQ(w3.user(), "u");
    EXPECT_EQ(w3.password(), "p");
    W3Client other;
    ASSERT_TRUE(other.ConnectUrl("http://u:p@127.0.0.1:8081/base", "me", "mine"));
    EXPECT_EQ(other.user(), "me") << "given credentials win over the URL's";
    EXPECT_EQ(other.password(), "mine");
}

TEST(w3client_connect, port_0_means_the_service_default)
{
    W3Client w3;
    ASSERT_TRUE(w3.Connect("127.0.0.1", 0, nullptr, nullptr, W3Client::serviceHttps, "a"));
    EXPECT_EQ(w3.port(), 443);
    W3Client plain;
    ASSERT_TRUE(plain.Connect("127.0.0.1", 0, nullptr, nullptr, W3Client::serviceHttp, "a"));
    EXPECT_EQ(plain.port(), 80);
}

TEST(w3client_connect, read_without_a_request_answers_0)
{
    W3Client w3;
    char buffer[16];
    EXPECT_EQ(w3.Read(buffer, sizeof(buffer)), 0u);
    EXPECT_FALSE(w3.Request("/x", W3Client::reqPostForm)) << "no connection handle";
}

TEST_F(w3client_service, form_body_bytes_arrive_as_sent)
{
    W3Client w3;
    ASSERT_TRUE(w3.ConnectUrl(service_->base_url(), nullptr, nullptr, "Mozilla/4.0 (compatible; )"));
    w3.ClearParams();
    w3.AddParam("version", "1.0");
    w3.AddParam(vfs_quillmere::url_encode(L"n&m"), vfs_quillmere::url_encode(L"a b+c\u00e9<"));
    ASSERT_TRUE(w3.Request("/qm_get_path.php", W3Client::reqPostForm));
    EXPECT_EQ(w3.last_request_path(), "/qm_get_path.php");
    const std::string body = read_all(w3);
    EXPECT_NE(body.find("<Path>"), std::string::npos) << body;
    EXPECT_EQ(service_->control("last_body?endpoint=get_path"), "version=1.0&n%26m=a b+c\xC3\xA9%3C");
}

TEST_F(w3client_service, a_form_request_without_parameters_sends_an_empty_body)
{
    W3Client w3;
    ASSERT_TRUE(w3.ConnectUrl(service_->base_url()));
    ASSERT_TRUE(w3.Request("/qm_get_path.php", W3Client::reqPostForm));
    const std::string body = read_all(w3);
    EXPECT_NE(body.find("Missing parameter"), std::string::npos) << body;
    EXPECT_EQ(service_->control("last_body?endpoint=get_path"), "");
}

TEST_F(w3client_service, connect_clears_earlier_parameters)
{
    W3Client w3;
    w3.AddParam("stale", "1");
    ASSERT_TRUE(w3.ConnectUrl(service_->base_url()));
    w3.AddParam("version", "1.0");
    ASSERT_TRUE(w3.Request("/qm_get_path.php", W3Client::reqPostForm));
    read_all(w3);
    EXPECT_EQ(service_->control("last_body?endpoint=get_path"), "version=1.0");
}

TEST_F(w3client_service, get_and_multipart_requests_reach_the_service)
{
    W3Client w3;
    ASSERT_TRUE(w3.ConnectUrl(service_->base_url()));
    ASSERT_TRUE(w3.Request("/", W3Client::reqGet));
    EXPECT_FALSE(read_all(w3).empty()) << "the banner";

    W3Client multi;
    ASSERT_TRUE(multi.ConnectUrl(service_->base_url()));
    multi.AddParam("version", "1.0");
    ASSERT_TRUE(multi.Request("/qm_get_path.php", W3Client::reqPostMultipart));
    read_all(multi);
    EXPECT_EQ(service_->control("last_body?endpoint=get_path"),
              "----MULTI-PARTS-FORM-DATA-BOUNDARY\r\nContent-Disposition: form-data; "
              "name=\"version\"\r\n\r\n1.0\r\n"
              "----MULTI-PARTS-FORM-DATA-BOUNDARY--\r\n");
}

TEST_F(w3client_service, text_request_sends_names_and_values_encoded)
{
    const auto root = vfs_quillmere::text_request(
        "/qm_get_path.php", {{L"version", L"1.0"}, {L"name", L"a b&c"}, {L"e", L"\u00e9+"}});
    EXPECT_EQ(vfs_quillmere::get_variable(root, L"Path"), L"/api");
    EXPECT_EQ(service_->control("last_body?endpoint=get_path"), "version=1.0&name=a b%26c&e=\xC3\xA9+");
}

TEST_F(w3client_service, an_unreachable_service_fails_as_no_internet_connection)
{
    vfs_quillmere::set_service_url("http://127.0.0.1:" + std::to_string(closed_port()));
    try {
        vfs_quillmere::text_request("/qm_get_path.php", {{L"version", L"1.0"}});
        ADD_FAILURE() << "no exception";
    }
    catch (const vfs::exception& e) {
        EXPECT_EQ(e.get_message(), L"Request failed");
        EXPECT_EQ(e.get_details(), L"No internet connection available");
    }
}

TEST_F(w3client_service, a_service_error_record_becomes_the_exception)
{
    service_->control("fault/error", "action=get_path&name=Service down&description=Back at 5 o'clock.");
    try {
        vfs_quillmere::text_request("/qm_get_path.php", {{L"version", L"1.0"}});
        ADD_FAILURE() << "no exception";
    }
    catch (const vfs::exception& e) {
        EXPECT_EQ(e.get_message(), L"Service down");
        EXPECT_EQ(e.get_details(), L"Back at 5 o'clock.");
    }
}

TEST_F(w3client_service, a_malformed_body_is_a_parse_error)
{
    service_->control("fault/malformed", "action=get_path");
    try {
        vfs_quillmere::text_request("/qm_get_path.php", {{L"version", L"1.0"}});
        ADD_FAILURE() << "no exception";
    }
    catch (const vfs::exception& e) {
        EXPECT_EQ(e.get_message(), L"Parse error");
        EXPECT_NE(e.get_details().find(L"strData='<Response><Result>OK</Result>'"), std::wstring::npos)
            << std::string(e.get_details().begin(), e.get_details().end());
    }
}

TEST_F(w3client_service, raw_request_answers_the_bytes_and_fails_beyond_its_buffer)
{
    // A body just small enough: after the last piece at least 512 bytes stay free.
    const std::string fits(262144 - 512, 'x');
    service_->control("fault/body", "action=get_path&content_type=application/octet-stream&body=" + fits);
    const vfs::blob blob = vfs_quillmere::raw_request("/qm_get_path.php", {{L"version", L"1.0"}});
    ASSERT_EQ(blob.size, fits.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(blob.data.get()), blob.size), fits);

    service_->control("fault/body", "action=get_path&body=" + std::string(262144 - 511, 'y'));
    try {
        vfs_quillmere::raw_request("/qm_get_path.php", {{L"version", L"1.0"}});
        ADD_FAILURE() << "no exception";
    }
    catch (const vfs::exception& e) {
        EXPECT_EQ(e.get_message(), L"Request failed");
        EXPECT_EQ(e.get_details(), L"Out of memory");
    }
}

TEST_F(w3client_service, a_long_text_response_is_read_whole)
{
    std::string value(300000, 'v');
    service_->control("fault/body", "action=get_path&body=<Response><Path>" + value + "</Path></Response>");
    const auto root = vfs_quillmere::text_request("/qm_get_path.php", {{L"version", L"1.0"}});
    EXPECT_EQ(vfs_quillmere::get_variable(root, L"Path").size(), value.size());
}
