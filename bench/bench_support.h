// What the benchmark programs share: timing, medians and plain requests to the dev service.
#pragma once

#include "backend/client.h"
#include "backend/protocol.h"

#include <curl/curl.h>

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace bench {

typedef std::chrono::steady_clock clock_type;

inline double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The process's peak working set so far, in MiB.
inline double peak_mib()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

inline size_t collect(char* data, size_t size, size_t count, void* user)
{
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// POSTs body to url and answers the response body; ends the program when the request fails.
inline std::string post(const std::string& url, const std::string& body)
{
    CURL* curl = curl_easy_init();
    std::string answer;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 600L);
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK) {
        std::fprintf(stderr, "request to %s failed: %s\n", url.c_str(), curl_easy_strerror(rc));
        std::exit(1);
    }
    return answer;
}

// A new account on a dev service in test mode, logged in.
inline vfs_quillmere::client new_account(const std::string& service, const std::string& user,
                                         const std::string& password)
{
    post(service + "/_control/add_user", "name=" + user + "&password=" + password);
    vfs_quillmere::set_service_url(service);
    return vfs_quillmere::client(std::wstring(user.begin(), user.end()),
                                 std::wstring(password.begin(), password.end()));
}

} // namespace bench
