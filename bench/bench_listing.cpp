// Listing speed: a folder of 10 000 and one of 100 000 children, listed from the dev service.
//
// Prints, per folder, the time of the HTTP exchange (W3Client, as the drive does it) next to a
// baseline from the same run (the same POST made by raw libcurl), then the time to parse the
// UTF-8 body and build the child objects (values are decoded as they are read), and the peak
// memory.
// Parsing and building must grow linearly (100 000 costs at most 11 times 10 000) and
// cost less than the HTTP exchange, and the peak memory must stay under 1.5 KiB per child of the
// larger folder; the last lines print those figures. The 10 000 steps are timed
// as a batch of ten (so they run as long, on as much memory, as one 100 000 step: a loaded shared
// machine would otherwise favour the short run), and CPU time is printed beside wall time.
//
// Run it (builds, fills a fresh dev service, runs this program under Wine, stops the service):
//     bash bench/run-listing.sh [BUILD_DIR]        # BUILD_DIR defaults to build/x86_64
// or by hand against a service that has such folders for user NAME:
//     wine BUILD_DIR/bin/bench_listing.exe http://127.0.0.1:PORT NAME PASSWORD [REPEATS]
// The user's root must hold folders named "10000" and "100000" (bench/populate-listing.py).
#include "backend/client.h"
#include "backend/curl_library.h"
#include "backend/directory.h"
#include "backend/exception.h"
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

using namespace vfs_quillmere;

namespace {

typedef std::chrono::steady_clock clock_type;

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

double peak_mib()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

double current_mib()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return static_cast<double>(counters.WorkingSetSize) / (1024.0 * 1024.0);
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user)
{
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// The baseline: the same POST with raw libcurl.
double curl_exchange(const std::string& url, const std::string& body, std::size_t& bytes)
{
    CURL* curl = curl_easy_init();
    std::string answer;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    const auto start = clock_type::now();
    const CURLcode rc = curl_easy_perform(curl);
    const double t = seconds_since(start);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK) {
        std::fprintf(stderr, "libcurl: %s\n", curl_easy_strerror(rc));
        std::exit(1);
    }
    bytes = answer.size();
    return t;
}

struct figures {
    double curl = 1e9;    // raw libcurl exchange
    double http = 1e9;    // W3Client exchange
    double parse = 1e9;   // tagged UTF-8 document to nodes
    double build = 1e9;   // error check and child objects
    double cpu = 1e9;     // CPU time of parse + build (thread times)
    double listing = 1e9; // directory::get_items end to end
    std::size_t bytes = 0;
    std::size_t children = 0;
    double processing() const { return parse + build; }
};

// CPU time of this thread: not inflated by other processes on a loaded machine.
double thread_cpu_seconds()
{
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    const auto value = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) /
               1e7;
    };
    return value(kernel) + value(user);
}

// Times each step `batch` times over the same body and answers the time of one. The results of
// a batch stay alive until the step ends, so a batch of ten small listings works on as much
// memory, and runs as long on a shared machine, as one listing ten times larger.
figures measure(client& connection, const std::string& url, const std::wstring& dir_id, int repeats,
                int batch)
{
    figures f;
    const request_params params = {
        {L"action", L"list_dir"}, {L"dir_id", dir_id}, {L"user_id", connection.user_id()}};
    const std::string path = connection.path() + "/qm_operations.php";
    const auto b = static_cast<std::size_t>(batch);
    for (int round = 0; round < repeats; ++round) {
        std::size_t curl_bytes = 0;
        f.curl = std::min(f.curl, curl_exchange(url + path, form_body(params), curl_bytes));

        auto start = clock_type::now();
        std::string body = post_request(path, params);
        f.http = std::min(f.http, seconds_since(start));
        f.bytes = body.size();
        if (curl_bytes != body.size())
            std::fprintf(stderr, "warning: libcurl read %zu bytes, W3Client %zu\n", curl_bytes, body.size());

        // The parser keeps the body it parses: each of a batch gets its own copy, made untimed.
        std::vector<std::string> bodies(b - 1, body);
        bodies.push_back(std::move(body));
        std::string().swap(body);

        const double cpu_start = thread_cpu_seconds();
        std::vector<response> roots(b);
        double t = 0;
        for (std::size_t i = 0; i < b; ++i) {
            start = clock_type::now();
            roots[i] = response(std::move(bodies[i]));
            t += seconds_since(start);
        }
        f.parse = std::min(f.parse, t / batch);
        bodies.clear();

        std::vector<vfs::item_list> lists(b);
        t = 0;
        for (std::size_t i = 0; i < b; ++i) {
            start = clock_type::now();
            check_error(roots[i]);
            lists[i] = directory::build_children(connection, roots[i]);
            t += seconds_since(start);
        }
        f.build = std::min(f.build, t / batch);
        f.children = lists.front().size();
        f.cpu = std::min(f.cpu, (thread_cpu_seconds() - cpu_start) / batch);
        lists.clear();

        roots.clear();
    }
    // The real thing, with nothing else alive: one get_items of a fresh directory object.
    for (int round = 0; round < repeats; ++round) {
        directory folder(connection, dir_id, L"bench", L"", 0, 0, false, false, false, false, false, false);
        const auto start = clock_type::now();
        const std::size_t n = folder.get_items().size();
        f.listing = std::min(f.listing, seconds_since(start));
        if (n != f.children)
            std::fprintf(stderr, "warning: get_items gave %zu children, the steps %zu\n", n, f.children);
    }
    return f;
}

std::wstring find_folder(client& connection, const std::wstring& name)
{
    for (const auto& item : connection.get_root()->get_items()) {
        if (item->get_name() == name)
            return dynamic_cast<vfs_quillmere::item&>(*item).get_raw_id();
    }
    std::fprintf(stderr, "the root has no folder '%ls' (run bench/populate-listing.py)\n", name.c_str());
    std::exit(1);
}

void print(const char* label, const figures& f)
{
    std::printf(
        "%-7s %6zu children %5.1f MB | HTTP: libcurl %6.3f s, W3Client %6.3f s | parse %6.3f s, build "
        "%6.3f s, sum %6.3f s (CPU %6.3f s) | get_items %6.3f s\n",
        label, f.children, static_cast<double>(f.bytes) / 1e6, f.curl, f.http, f.parse, f.build,
        f.processing(), f.cpu, f.listing);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_listing URL USER PASSWORD [REPEATS]\n");
        return 2;
    }
    const std::string url = argv[1];
    const std::string user = argv[2];
    const std::string password = argv[3];
    const int repeats = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
    ensure_curl_initialised();
    set_service_url(url);
    try {
        client connection(std::wstring(user.begin(), user.end()),
                          std::wstring(password.begin(), password.end()));
        const std::wstring small_id = find_folder(connection, L"10000");
        const std::wstring large_id = find_folder(connection, L"100000");
        std::printf("listing benchmark, best of %d rounds, memory at start %.1f MiB\n", repeats,
                    current_mib());
        const figures small = measure(connection, url, small_id, repeats, 10);
        print("10000", small);
        const double small_peak = peak_mib();
        const figures large = measure(connection, url, large_id, repeats, 1);
        print("100000", large);
        const double large_peak = peak_mib();
        std::printf(
            "peak memory: %.1f MiB after the 10000 runs (ten listings alive at once), %.1f MiB after the "
            "100000 runs\n",
            small_peak, large_peak);

        const double growth = large.processing() / small.processing();
        std::printf("growth of parse+build, 100000 / 10000: %.2f (linear is 10, limit 11): %s\n", growth,
                    growth <= 11.0 ? "ok" : "TOO HIGH");
        std::printf("  parse %.2f, build %.2f; in CPU time %.2f\n", large.parse / small.parse,
                    large.build / small.build, large.cpu / small.cpu);
        std::printf("parse+build / W3Client exchange: 10000 %.2f, 100000 %.2f (must be below 1): %s\n",
                    small.processing() / small.http, large.processing() / large.http,
                    (small.processing() < small.http && large.processing() < large.http) ? "ok" : "TOO HIGH");
        std::printf("W3Client exchange / libcurl exchange: 10000 %.2f, 100000 %.2f\n",
                    small.http / small.curl, large.http / large.curl);
        const double per_child = large_peak * 1024.0 * 1024.0 / static_cast<double>(large.children);
        std::printf("peak memory per child (100000): %.0f bytes (limit 1536): %s\n", per_child,
                    per_child <= 1536.0 ? "ok" : "TOO HIGH");
    }
    catch (const vfs::exception& e) {
        std::fprintf(stderr, "%ls: %ls\n", e.get_message().c_str(), e.get_details().c_str());
        return 1;
    }
    return 0;
}
