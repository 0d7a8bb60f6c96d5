#include "support/dev_service.h"

#include "backend/curl_library.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include <windows.h>

namespace qm_test {

namespace {

std::string state_file()
{
    // ctest passes the fixture's folder; the default matches tests/CMakeLists.txt.
    if (const char* dir = std::getenv("QM_DEVSERVICE_STATE"))
        return std::string(dir) + "/ports";
    return std::string(QM_BINARY_DIR) + "/devservice/ports";
}

size_t collect(char* data, size_t size, size_t count, void* user)
{
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

} // namespace

const dev_service& dev_service::get()
{
    static const dev_service service = [] {
        dev_service s;
        // The state file holds Unix paths' contents; Wine maps / to Z:.
        std::ifstream in("Z:" + state_file());
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("http=", 0) == 0)
                s.http_port_ = std::atoi(line.c_str() + 5);
            else if (line.rfind("sftp=", 0) == 0)
                s.sftp_port_ = std::atoi(line.c_str() + 5);
        }
        return s;
    }();
    if (service.http_port_ == 0)
        throw std::runtime_error(
            "the dev service is not running (ctest starts it with the devservice fixture; "
            "state file " +
            state_file() + ")");
    return service;
}

std::pair<long, std::string> dev_service::request(const std::string& method, const std::string& path,
                                                  const std::string& body) const
{
    vfs_quillmere::ensure_curl_initialised();
    CURL* curl = curl_easy_init();
    if (!curl)
        throw std::runtime_error("curl_easy_init failed");
    std::string answer;
    const std::string url = base_url() + path;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    if (method == "POST") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
    const CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK)
        throw std::runtime_error(std::string("request to the dev service failed: ") + curl_easy_strerror(rc));
    return {status, answer};
}

std::string dev_service::control(const std::string& name, const std::string& body) const
{
    auto [status, answer] = request("POST", "/_control/" + name, body);
    if (status != 200)
        throw std::runtime_error("control " + name + " answered " + std::to_string(status) + ": " + answer);
    return answer;
}

std::string dev_service::regenerate_host_key() const
{
    const std::string answer = control("regenerate_host_key");
    const auto field = [&](const std::string& name) {
        const std::size_t start = answer.find("\"" + name + "\": \"") + name.size() + 5;
        return answer.substr(start, answer.find('"', start) - start);
    };
    return field("type") + " " + field("key");
}

std::string dev_service::requests(const std::string& user, const std::string& action) const
{
    return control("requests?user=" + user + "&action=" + action);
}

std::size_t dev_service::request_count(const std::string& user, const std::string& action) const
{
    const std::string records = requests(user, action);
    std::size_t n = 0;
    for (auto at = records.find("\"seq\""); at != std::string::npos; at = records.find("\"seq\"", at + 1))
        ++n;
    return n;
}

std::pair<std::string, std::string> dev_service::new_user(const std::string& prefix, long long capacity) const
{
    static std::atomic<int> counter{0};
    // Wine reuses process ids within one run: the start time tells two holders of an id apart.
    static const ULONGLONG started = GetTickCount64();
    const std::string name = prefix + "-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(started) + "-" + std::to_string(++counter);
    const std::string password = "pw-" + name;
    control("add_user", "name=" + name + "&password=" + password + "&capacity=" + std::to_string(capacity));
    return {name, password};
}

} // namespace qm_test
