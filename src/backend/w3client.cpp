#include "backend/w3client.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace vfs_quillmere {

namespace {

// WinINet's code for a redirect that wants the user's confirmation; the request itself went out.
constexpr DWORD error_redirect_needs_confirmation = 12168;

const char multipart_boundary[] = "--MULTI-PARTS-FORM-DATA-BOUNDARY";

bool is_given(const char* text)
{
    return text != nullptr && *text != '\0';
}

} // namespace

W3Client::~W3Client()
{
    close_request();
    close_connection();
    params_.clear();
    cookies_.clear();
}

// -- URL splitting ---------------------------------------------------------------------------

W3Client::url_parts W3Client::split_url(const std::string& url)
{
    url_parts parts;
    std::size_t pos = 0;

    // A scheme is what stands before the first ":" when a "/" follows it.
    const std::size_t colon = url.find(':');
    if (colon != std::string::npos && colon + 1 < url.size() && url[colon + 1] == '/') {
        parts.scheme = url.substr(0, colon);
        pos = colon + 1;
        // "://" as usual; a single slash is tolerated.
        for (int i = 0; i < 2 && pos < url.size() && url[pos] == '/'; ++i)
            ++pos;
    }
    else {
        parts.scheme = "http";
    }

    // The authority runs to the next "/" or the end.
    std::size_t authority_end = url.find('/', pos);
    if (authority_end == std::string::npos)
        authority_end = url.size();

    // user[:password]@ inside the authority. The last "@" separates it from the host, so a
    // password may hold an "@".
    const std::size_t at = url.rfind('@', authority_end == 0 ? 0 : authority_end - 1);
    if (at != std::string::npos && at >= pos && at < authority_end) {
        const std::string credentials = url.substr(pos, at - pos);
        const std::size_t separator = credentials.find(':');
        parts.user = credentials.substr(0, separator);
        if (separator != std::string::npos)
            parts.password = credentials.substr(separator + 1);
        pos = at + 1;
    }

    const std::string host_part = url.substr(pos, authority_end - pos);
    const std::size_t port_colon = host_part.find(':');
    parts.host = host_part.substr(0, port_colon);
    if (port_colon != std::string::npos) {
        parts.port = static_cast<std::int32_t>(std::strtol(host_part.c_str() + port_colon + 1, nullptr, 10));
    }
    else if (parts.scheme == "https") {
        parts.port = 443;
    }
    else if (parts.scheme == "ftp") {
        parts.port = 21;
    }
    else {
        parts.port = 80;
    }

    parts.path = authority_end < url.size() ? url.substr(authority_end) : std::string("/");
    return parts;
}

std::int32_t W3Client::service_of_scheme(const std::string& scheme)
{
    if (scheme == "https")
        return serviceHttps;
    if (scheme == "http")
        return serviceHttp;
    if (scheme == "ftp")
        return serviceFtp;
    return -1;
}

std::int32_t W3Client::default_port(std::int32_t service)
{
    switch (service) {
    case serviceFtp:
        return INTERNET_DEFAULT_FTP_PORT;
    case serviceHttps:
        return INTERNET_DEFAULT_HTTPS_PORT;
    default:
        return INTERNET_DEFAULT_HTTP_PORT;
    }
}

// Every request leaves WinINet's cookie store alone. Otherwise a cookie of one answer rides on
// every later request of the process (and a persistent one lands in the user's store), although no
// request is to share anything with another; and each request looks the store up, four locked
// reads of its index, several times the cost of a whole exchange on loopback.
constexpr DWORD no_cookies = INTERNET_FLAG_NO_COOKIES;

DWORD W3Client::form_request_flags(std::int32_t service)
{
    DWORD flags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_FORMS_SUBMIT |
                  no_cookies;
    if (service == serviceHttps)
        flags |= INTERNET_FLAG_SECURE;
    return flags;
}

DWORD W3Client::get_request_flags(std::int32_t service)
{
    DWORD flags = INTERNET_FLAG_NO_CACHE_WRITE | no_cookies;
    if (service == serviceHttps)
        flags |= INTERNET_FLAG_SECURE;
    return flags;
}

std::string W3Client::form_body(const std::list<std::unique_ptr<param>>& params)
{
    std::size_t length = 0;
    for (const auto& p : params)
        length += p->name.size() + p->value.size() + 2;
    std::string body;
    body.reserve(length);
    bool first = true;
    for (const auto& p : params) {
        if (!first)
            body += '&';
        first = false;
        body += p->name;
        body += '=';
        body += p->value;
    }
    return body;
}

bool W3Client::send_succeeded(BOOL result, DWORD last_error)
{
    return result || last_error == error_redirect_needs_confirmation;
}

// -- connecting ------------------------------------------------------------------------------

bool W3Client::ConnectUrl(const std::string& url, const char* user, const char* password, const char* agent)
{
    const url_parts parts = split_url(url);
    const std::int32_t service = service_of_scheme(parts.scheme);
    if (service < 0)
        return false; // no service for this scheme
    const char* use_user = is_given(user) ? user : (parts.user.empty() ? nullptr : parts.user.c_str());
    const char* use_password =
        is_given(password) ? password : (parts.password.empty() ? nullptr : parts.password.c_str());
    return Connect(parts.host, parts.port, use_user, use_password, service, agent);
}

bool W3Client::Connect(const std::string& host, std::int32_t port, const char* user, const char* password,
                       std::int32_t service, const char* agent)
{
    close_request();
    close_connection();

    internet_ = InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!internet_)
        return false; // "open internet failed..."

    if (port == 0)
        port = default_port(service);
    if (service == serviceFtp)
        connection_ = InternetConnectA(internet_, host.c_str(), static_cast<INTERNET_PORT>(port), user,
                                       password, INTERNET_SERVICE_FTP, INTERNET_FLAG_PASSIVE, 0);
    else
        connection_ = InternetConnectA(internet_, host.c_str(), static_cast<INTERNET_PORT>(port), user,
                                       password, INTERNET_SERVICE_HTTP, 0, 0);

    // Takes WinINet out of offline mode for the whole process; the outcome does not matter.
    DWORD state = INTERNET_STATE_CONNECTED;
    InternetSetOptionA(nullptr, INTERNET_OPTION_CONNECTED_STATE, &state, sizeof(state));

    if (!connection_ || InternetAttemptConnect(0) != ERROR_SUCCESS) {
        close_connection(); // "connect failed..."
        return false;
    }

    host_ = host;
    port_ = port;
    service_ = service;
    if (user)
        user_ = user;
    if (password)
        password_ = password;
    cookies_.clear();
    params_.clear();
    return true;
}

void W3Client::close_request()
{
    if (request_) {
        InternetCloseHandle(request_);
        request_ = nullptr;
    }
}

void W3Client::close_connection()
{
    if (connection_) {
        InternetCloseHandle(connection_);
        connection_ = nullptr;
    }
    if (internet_) {
        InternetCloseHandle(internet_);
        internet_ = nullptr;
    }
}

// -- parameters ------------------------------------------------------------------------------

void W3Client::AddParam(const std::string& name, const std::string& value, bool is_file)
{
    auto p = std::make_unique<param>();
    p->name = name;
    p->value = value;
    p->is_file = is_file ? 1 : 0;
    params_.push_back(std::move(p));
}

void W3Client::ClearParams()
{
    params_.clear();
}

// -- requests --------------------------------------------------------------------------------

bool W3Client::Request(const std::string& path, std::int32_t method, const char* referrer)
{
    close_request();
    bool sent = false;
    switch (method) {
    case reqGet:
        sent = Get(path, referrer);
        break;
    case reqPostForm:
        sent = PostForm(path, referrer);
        break;
    case reqPostMultipart:
        sent = PostMultipart(path, referrer);
        break;
    default:
        sent = false;
        break;
    }
    if (!sent) {
        close_request();
        return false;
    }
    last_path_ = path;
    return true;
}

bool W3Client::open_request(const char* verb, const std::string& path, const char* referrer, DWORD flags)
{
    if (!connection_)
        return false; // "handle not opened..."
    LPCSTR accept[] = {"*/*", nullptr};
    request_ = HttpOpenRequestA(connection_, verb, path.c_str(), "HTTP/1.0", referrer, accept, flags, 0);
    if (!request_)
        return false; // "request failed..."
    static const char accept_header[] = "Accept: */*\r\n";
    if (!HttpAddRequestHeadersA(request_, accept_header, static_cast<DWORD>(sizeof(accept_header) - 1),
                                HTTP_ADDREQ_FLAG_REPLACE))
        return false; // "additional header failed..."
    return true;
}

bool W3Client::PostForm(const std::string& path, const char* referrer)
{
    if (!open_request("POST", path, referrer, form_request_flags(service_)))
        return false;
    // One block with a terminating zero after the body, as WinINet sees it.
    std::string body = form_body(params_);
    static const char content_type[] = "Content-Type: application/x-www-form-urlencoded\r\n";
    const BOOL result = HttpSendRequestA(request_, content_type, static_cast<DWORD>(sizeof(content_type) - 1),
                                         body.data(), static_cast<DWORD>(body.size()));
    const DWORD error = result ? 0 : GetLastError();
    return send_succeeded(result, error); // otherwise "request failed..."
}

bool W3Client::Get(const std::string& path, const char* referrer)
{
    if (!open_request("GET", path, referrer, get_request_flags(service_)))
        return false;
    const BOOL result = HttpSendRequestW(request_, nullptr, 0, nullptr, 0);
    return result != FALSE; // otherwise "request failed..."
}

bool W3Client::PostMultipart(const std::string& path, const char* referrer)
{
    if (!open_request("POST", path, referrer, form_request_flags(service_)))
        return false;
    static const char content_type[] =
        "Content-Type: multipart/form-data; boundary=--MULTI-PARTS-FORM-DATA-BOUNDARY\r\n";
    if (!HttpAddRequestHeadersA(request_, content_type, static_cast<DWORD>(sizeof(content_type) - 1),
                                HTTP_ADDREQ_FLAG_ADD_IF_NEW))
        return false; // "additional header failed..."

    std::string body;
    for (const auto& p : params_) {
        body += "--";
        body += multipart_boundary;
        body += "\r\nContent-Disposition: form-data; name=\"";
        body += p->name;
        if (!p->is_file) {
            body += "\"\r\n\r\n";
            body += p->value;
            body += "\r\n";
            continue;
        }
        body += "\"; filename=\"";
        body += p->value;
        body += "\"\r\n\r\n";
        const HANDLE file = CreateFileA(p->value.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            char piece[1024];
            DWORD got = 0;
            while (ReadFile(file, piece, sizeof(piece), &got, nullptr) && got > 0)
                body.append(piece, got);
            CloseHandle(file);
        }
        body += "\r\n";
    }
    body += "--";
    body += multipart_boundary;
    body += "--\r\n";

    char length_header[64];
    std::snprintf(length_header, sizeof(length_header), "Content-Length: %d\r\n",
                  static_cast<int>(body.size()));
    if (!HttpAddRequestHeadersA(request_, length_header, static_cast<DWORD>(-1), HTTP_ADDREQ_FLAG_ADD_IF_NEW))
        return false; // "additional header failed..."

    INTERNET_BUFFERSW buffers = {};
    buffers.dwStructSize = sizeof(buffers);
    if (!HttpSendRequestExW(request_, &buffers, nullptr, HSR_INITIATE, 0))
        return false; // "request failed"
    DWORD written = 0;
    if (!InternetWriteFile(request_, body.data(), static_cast<DWORD>(body.size()), &written))
        return false;
    if (!HttpEndRequestW(request_, nullptr, HSR_INITIATE, 0))
        return false;
    return true;
}

std::uint32_t W3Client::Read(void* buffer, std::uint32_t size)
{
    if (!request_)
        return 0; // "connection failed..."
    DWORD got = 0;
    if (!InternetReadFile(request_, buffer, size, &got)) {
        close_request(); // "response failed..."
        return 0;
    }
    return got;
}

std::uint64_t W3Client::content_length()
{
    if (!request_)
        return 0;
    // Asked as text: the numeric form is 32 bits wide.
    char text[32] = {};
    DWORD size = sizeof(text) - 1;
    if (!HttpQueryInfoA(request_, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr))
        return 0;
    return std::strtoull(text, nullptr, 10);
}

} // namespace vfs_quillmere
