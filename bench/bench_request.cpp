// Latency of one small service request: the "list_dir" of a folder of three items, as the drive
// makes it (W3Client over WinINet, a fresh object per request), next to the same POST made by raw
// libcurl in the same process, once with a fresh easy handle per request (a new connection each
// time) and once with one handle kept (its connection reused, as WinINet reuses its own).
// Interleaved rounds; per request, best and median of the rounds, and the ratios of the medians.
//
// Run it (builds, starts a dev service in test mode, runs this under Wine, stops the service):
//     bash bench/run-request.sh [BUILD_DIR] [REQUESTS_PER_ROUND] [ROUNDS]     # 200 5
// or by hand against a dev service in test mode:
//     wine BUILD_DIR/bin/bench_request.exe SERVICE_URL [REQUESTS_PER_ROUND] [ROUNDS]
#include "backend/client.h"
#include "backend/curl_library.h"
#include "backend/directory.h"
#include "backend/exception.h"
#include "backend/item.h"
#include "backend/protocol.h"
#include "bench_support.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <windows.h>

using bench::clock_type;
using bench::median;
using bench::seconds_since;

namespace {

// Times `requests` calls of one(); answers milliseconds per call.
template <typename One> double per_request(int requests, One one)
{
    const auto start = clock_type::now();
    for (int i = 0; i < requests; ++i)
        one();
    return seconds_since(start) * 1000 / requests;
}

void perform(CURL* curl, std::string& answer)
{
    answer.clear();
    const CURLcode rc = curl_easy_perform(curl);
    if (rc != CURLE_OK) {
        std::fprintf(stderr, "libcurl: %s\n", curl_easy_strerror(rc));
        std::exit(1);
    }
}

CURL* easy_post(const std::string& url, const std::string& body, std::string& answer)
{
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, bench::collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    return curl;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_request SERVICE_URL [REQUESTS_PER_ROUND] [ROUNDS]\n");
        return 2;
    }
    const std::string service = argv[1];
    const int requests = argc > 2 ? std::max(1, std::atoi(argv[2])) : 200;
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    vfs_quillmere::ensure_curl_initialised();
    try {
        bench::post(service + "/_control/add_user", "name=bench&password=bench-pass");
        vfs_quillmere::set_service_url(service);
        vfs_quillmere::client connection(L"bench", L"bench-pass");
        // A small folder, so that the request's cost is all there is to measure.
        auto folder =
            connection.get_root()->create_directory(L"request-" + std::to_wstring(GetCurrentProcessId()));
        for (int i = 0; i < 3; ++i)
            folder->create_directory(L"d" + std::to_wstring(i));
        const std::wstring dir_id = dynamic_cast<vfs_quillmere::item&>(*folder).get_raw_id();
        const vfs_quillmere::request_params params = {
            {L"action", L"list_dir"}, {L"dir_id", dir_id}, {L"user_id", connection.user_id()}};
        const std::string path = connection.path() + "/qm_operations.php";
        const std::string url = service + path;
        const std::string body = vfs_quillmere::form_body(params);

        const std::size_t expected = vfs_quillmere::post_request(path, params).size();
        std::string answer;
        CURL* kept = easy_post(url, body, answer);
        perform(kept, answer); // connects once, outside the timing
        if (answer.size() != expected)
            std::fprintf(stderr, "warning: libcurl read %zu bytes, W3Client %zu\n", answer.size(), expected);

        const char* names[] = {"W3Client", "libcurl fresh", "libcurl kept"};
        constexpr int ways = 3;
        std::vector<double> ms[ways];
        std::printf("small list_dir (%zu bytes of answer): %d requests per round, %d rounds\n", expected,
                    requests, rounds);
        for (int round = 0; round < rounds; ++round) {
            for (int k = 0; k < ways; ++k) {
                const int which = (k + round) % ways;
                double t = 0;
                if (which == 0) {
                    t = per_request(requests, [&] { vfs_quillmere::post_request(path, params); });
                }
                else if (which == 1) {
                    t = per_request(requests, [&] {
                        CURL* fresh = easy_post(url, body, answer);
                        perform(fresh, answer);
                        curl_easy_cleanup(fresh);
                    });
                }
                else {
                    t = per_request(requests, [&] { perform(kept, answer); });
                }
                ms[which].push_back(t);
            }
            std::printf("round %d: W3Client %7.2f ms, libcurl fresh %7.2f ms, libcurl kept %7.2f ms\n",
                        round + 1, ms[0].back(), ms[1].back(), ms[2].back());
            std::fflush(stdout);
        }
        curl_easy_cleanup(kept);
        for (int which = 0; which < ways; ++which)
            std::printf("%-14s per request: best %7.2f ms, median %7.2f ms\n", names[which],
                        *std::min_element(ms[which].begin(), ms[which].end()), median(ms[which]));
        std::printf("per request, medians: W3Client / libcurl fresh %.2f, W3Client / libcurl kept %.2f\n",
                    median(ms[0]) / median(ms[1]), median(ms[0]) / median(ms[2]));
    }
    catch (const vfs::exception& e) {
        std::fwprintf(stderr, L"%ls: %ls\n", e.get_message().c_str(), e.get_details().c_str());
        return 1;
    }
    return 0;
}
