#include "test_transfer_support.h"

#include "backend/curl_library.h"
#include "support/dev_service.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <tuple>


namespace qm_test {

namespace {

struct memory_source {
    const bytes* data;
    std::size_t pos;
};

size_t read_source(char* buffer, size_t size, size_t count, void* user)
{
    auto* source = static_cast<memory_source*>(user);
    const std::size_t n = std::min(size * count, source->data->size() - source->pos);
    std::memcpy(buffer, source->data->data() + source->pos, n);
    source->pos += n;
    return n;
}

size_t write_sink(char* buffer, size_t size, size_t count, void* user)
{
    auto* sink = static_cast<bytes*>(user);
    sink->insert(sink->end(), buffer, buffer + size * count);
    return size * count;
}

// The number after "key": in a JSON text from pos; -1 when absent.
long long json_number(const std::string& text, const std::string& key, std::size_t from, std::size_t to)
{
    const std::size_t at = text.find("\"" + key + "\": ", from);
    if (at == std::string::npos || at >= to)
        return -1;
    return std::atoll(text.c_str() + at + key.size() + 4);
}

std::string json_string(const std::string& text, const std::string& key, std::size_t from, std::size_t to)
{
    const std::size_t at = text.find("\"" + key + "\": \"", from);
    if (at == std::string::npos || at >= to)
        return {};
    const std::size_t start = at + key.size() + 5;
    return text.substr(start, text.find('"', start) - start);
}

} // namespace

std::string xml_value(const std::string& document, const std::string& name)
{
    const std::string open = "<" + name + ">";
    const std::size_t start = document.find(open);
    if (start == std::string::npos)
        return {};
    const std::size_t end = document.find("</" + name + ">", start);
    return document.substr(start + open.size(), end - start - open.size());
}

transfer_account::transfer_account(const std::string& prefix)
{
    const dev_service& service = dev_service::get();
    std::tie(name_, password_) = service.new_user(prefix);
    path_ = xml_value(service.request("POST", "/qm_get_path.php", "version=1.0").second, "Path");
    const std::string login = service
                                  .request("POST", path_ + "/qm_operations.php",
                                           "action=login&user=" + name_ + "&pass=" + password_ + "&user_id=")
                                  .second;
    user_id_ = xml_value(login, "UserID");
    host_ = xml_value(login, "SFTP_Host");
    sftp_user_ = xml_value(login, "SFTP_User");
    sftp_password_ = xml_value(login, "SFTP_Pass");
    if (user_id_.empty() || host_.empty())
        throw std::runtime_error("login failed: " + login);
}

std::string transfer_account::operations(const std::string& body) const
{
    return dev_service::get()
        .request("POST", path_ + "/qm_operations.php", body + "&user_id=" + user_id_)
        .second;
}

remote_file transfer_account::create_file(const std::string& name, std::uint64_t size) const
{
    const std::string answer =
        operations("action=create_file&dir_id=0&name=" + name + "&size=" + std::to_string(size));
    remote_file file{xml_value(answer, "ID"), xml_value(answer, "Location")};
    if (file.id.empty() || file.location.empty())
        throw std::runtime_error("create_file failed: " + answer);
    return file;
}

void transfer_account::put(const std::string& location, const bytes& data) const
{
    vfs_quillmere::ensure_curl_initialised();
    CURL* curl = curl_easy_init();
    memory_source source{&data, 0};
    const std::string url = host_ + location;
    const std::string credentials = sftp_user_ + ":" + sftp_password_;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_USERPWD, credentials.c_str());
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, read_source);
    curl_easy_setopt(curl, CURLOPT_READDATA, &source);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(data.size()));
    curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, 2L * 1024 * 1024);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 100L);
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK)
        throw std::runtime_error(std::string("upload failed: ") + curl_easy_strerror(rc));
}

bytes transfer_account::get(const std::string& location) const
{
    vfs_quillmere::ensure_curl_initialised();
    CURL* curl = curl_easy_init();
    bytes data;
    const std::string url = host_ + location;
    const std::string credentials = sftp_user_ + ":" + sftp_password_;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_USERPWD, credentials.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_sink);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &data);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 512L * 1024);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 100L);
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK)
        throw std::runtime_error(std::string("download failed: ") + curl_easy_strerror(rc));
    return data;
}

void transfer_account::drop_after(long long after, int count, const std::string& direction) const
{
    dev_service::get().control("fault/sftp_drop", "user=" + name_ + "&after=" + std::to_string(after) +
                                                      "&count=" + std::to_string(count) +
                                                      "&direction=" + direction);
}

void transfer_account::throttle(const std::string& direction, long long rate, long long after) const
{
    dev_service::get().control("throttle", "user=" + name_ + "&direction=" + direction +
                                               "&after=" + std::to_string(after) +
                                               (rate < 0 ? std::string() : "&rate=" + std::to_string(rate)));
}

void transfer_account::disconnect(const std::string& when) const
{
    dev_service::get().control("sftp_disconnect", "user=" + name_ + "&when=" + when);
}

long long transfer_account::logins() const
{
    const std::string answer = dev_service::get().control("sessions");
    return std::max(0LL, json_number(answer, name_, 0, answer.size()));
}

std::vector<transfer_record> transfer_account::transfers(std::size_t at_least) const
{
    std::vector<transfer_record> found;
    // A transfer is recorded when the host closes its file, which for a dropped connection
    // happens a moment after the client gave up.
    for (int attempt = 0; attempt < 50; ++attempt) {
        const std::string answer = dev_service::get().control("transfers", "user=" + name_);
        found.clear();
        std::size_t pos = answer.find("\"transfers\": [");
        while (pos != std::string::npos) {
            const std::size_t start = answer.find('{', pos);
            if (start == std::string::npos)
                break;
            const std::size_t end = answer.find('}', start);
            transfer_record r;
            const long long file_id = json_number(answer, "file_id", start, end);
            r.file_id = file_id < 0 ? std::string() : std::to_string(file_id);
            r.mode = json_string(answer, "mode", start, end);
            r.first_offset = json_number(answer, "first_offset", start, end);
            r.bytes = json_number(answer, "bytes", start, end);
            r.size_after = json_number(answer, "size_after", start, end);
            r.result = json_string(answer, "result", start, end);
            found.push_back(r);
            pos = end;
        }
        if (found.size() >= at_least)
            break;
        Sleep(100);
    }
    return found;
}

std::vector<transfer_record> transfer_account::completed_transfers(const std::string& file_id,
                                                                   const std::string& modes) const
{
    std::vector<transfer_record> found;
    for (int attempt = 0; attempt < 50; ++attempt) {
        found.clear();
        bool completed = false;
        for (const transfer_record& r : transfers()) {
            if (r.file_id != file_id || ("," + modes + ",").find("," + r.mode + ",") == std::string::npos)
                continue;
            found.push_back(r);
            completed = completed || r.result == "ok";
        }
        if (completed)
            break;
        Sleep(100);
    }
    return found;
}

int transfer_account::pending_drops() const
{
    const std::string state = dev_service::get().control("state");
    int count = 0;
    for (std::size_t pos = state.find("\"user\": \"" + name_ + "\""); pos != std::string::npos;
         pos = state.find("\"user\": \"" + name_ + "\"", pos + 1))
        ++count;
    return count;
}

long long transfer_account::sequence() const
{
    const std::string answer = dev_service::get().control("transfers", "user=" + name_);
    return json_number(answer, "last_seq", 0, answer.size());
}

std::vector<std::string> transfer_account::update_file_info_requests(long long since) const
{
    const std::string answer = dev_service::get().control(
        "requests", "action=update_file_info&user=" + name_ + "&since=" + std::to_string(since));
    std::vector<std::string> ids;
    for (std::size_t pos = answer.find("\"file_id\": \""); pos != std::string::npos;
         pos = answer.find("\"file_id\": \"", pos + 1))
        ids.push_back(json_string(answer, "file_id", pos, answer.size()));
    return ids;
}

} // namespace qm_test
