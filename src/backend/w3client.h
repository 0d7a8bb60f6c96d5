// The small HTTP client the back end reaches the storage service with: WinINet underneath, one
// root handle, one connection and at most one request per object, plus an ordered list of form
// parameters. The back end makes a fresh object for every service request, so no connection,
// cookie or parameter outlives one request. Failures never leave the class as exceptions: every
// operation answers a bool or a byte count, and the caller turns a failure into its own error.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <utility>

namespace vfs_quillmere {

class W3Client {
public:
    enum service_type : std::int32_t { serviceFtp = 0, serviceHttp = 1, serviceHttps = 2 };
    enum request_method : std::int32_t { reqGet = 0, reqPostForm = 1, reqPostMultipart = 2 };

    // One form parameter. With is_file set, value names a local file whose bytes are sent
    // (multipart only). The back end adds only plain, already encoded parameters.
    struct param {
        std::string name;
        std::string value;
        std::uint8_t is_file = 0;
    };

    W3Client() = default;
    W3Client(const W3Client&) = delete;
    W3Client& operator=(const W3Client&) = delete;
    virtual ~W3Client();

    // Splits url, picks the service from its scheme and connects. user and password win when
    // given; otherwise the URL's own are used.
    bool ConnectUrl(const std::string& url, const char* user = nullptr, const char* password = nullptr,
                    const char* agent = nullptr);
    virtual bool Connect(const std::string& host, std::int32_t port, const char* user, const char* password,
                         std::int32_t service, const char* agent);

    void AddParam(const std::string& name, const std::string& value, bool is_file = false);
    void ClearParams();

    // method: reqGet, reqPostForm or reqPostMultipart. On failure the request handle is closed.
    bool Request(const std::string& path, std::int32_t method = reqGet, const char* referrer = nullptr);

    // One InternetReadFile of at most size bytes; 0 when the body has ended or reading failed.
    std::uint32_t Read(void* buffer, std::uint32_t size);
    // The body length the response announces; 0 when it announces none.
    std::uint64_t content_length();

    // What the connection was made with (for tests and diagnostics).
    const std::string& host() const { return host_; }
    std::int32_t port() const { return port_; }
    std::int32_t service() const { return service_; }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    const std::string& last_request_path() const { return last_path_; }

    // The pieces of ConnectUrl, exposed so that the rules can be tested without a network.
    struct url_parts {
        std::string scheme;
        std::string user;
        std::string password;
        std::string host;
        std::int32_t port = 0;
        std::string path;
    };
    static url_parts split_url(const std::string& url);
    // -1 for a scheme that names no service.
    static std::int32_t service_of_scheme(const std::string& scheme);
    static std::int32_t default_port(std::int32_t service);
    // HttpOpenRequestA flags of a form (and multipart) POST, and of a GET, for a service.
    static DWORD form_request_flags(std::int32_t service);
    static DWORD get_request_flags(std::int32_t service);
    // The form body of the parameter list: name=value joined by "&", nothing further encoded.
    static std::string form_body(const std::list<std::unique_ptr<param>>& params);
    // Whether HttpSendRequest's outcome counts as sent: error 12168 (a redirect that wants
    // confirmation) counts as success.
    static bool send_succeeded(BOOL result, DWORD last_error);

protected:
    virtual bool PostMultipart(const std::string& path, const char* referrer);
    virtual bool PostForm(const std::string& path, const char* referrer);
    virtual bool Get(const std::string& path, const char* referrer);

private:
    bool open_request(const char* verb, const std::string& path, const char* referrer, DWORD flags);
    void close_request();
    void close_connection();

    HINTERNET internet_ = nullptr;
    HINTERNET connection_ = nullptr;
    HINTERNET request_ = nullptr;
    std::string host_;
    std::string user_;
    std::string password_;
    std::string last_path_;
    std::int32_t port_ = 0;
    std::int32_t service_ = serviceHttp;
    std::list<std::unique_ptr<param>> params_;
    std::list<std::pair<std::string, std::string>> cookies_;
};

} // namespace vfs_quillmere
