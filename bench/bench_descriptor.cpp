// Building the "FileGroupDescriptorW" records for one selected folder that holds 10 000 files in
// 100 subfolders, against the listings the build needs, timed in the same run.
//
// Each round takes a fresh root (nothing cached), then:
//   listings: the root, the folder and each subfolder listed with get_items, nothing else;
//   records:  build_descriptors over a fresh root for the folder's record, as the data object does.
// Prints best and median of both, what the records add beyond their listings against the
// listings (it must not cost more than they do), and the list_dir requests the service recorded
// (one per folder: the folder and its 100 subfolders; the root's listing stays cached).
//
// Run it (builds, fills a dev service in test mode, runs this program under Wine, stops it):
//     bash bench/run-descriptor.sh [BUILD_DIR] [ROUNDS]     # BUILD_DIR defaults to build/x86_64
#include "backend/client.h"
#include "backend/curl_library.h"
#include "bench_support.h"
#include "shell/pidl.h"
#include "transfer/descriptor.h"

#include <cstring>

using namespace bench;

namespace {

std::string base_url;

std::size_t list_requests_since(long long& seq)
{
    const std::string seen =
        post(base_url + "/_control/requests?user=bench&action=list_dir&since=" + std::to_string(seq), "");
    std::size_t count = 0;
    // one "seq" per recorded request
    for (auto at = seen.find("\"seq\":"); at != std::string::npos; at = seen.find("\"seq\":", at + 1))
        ++count;
    const auto last = seen.find("\"last_seq\":");
    if (last != std::string::npos)
        seq = std::atoll(seen.c_str() + last + 11);
    return count;
}

boost::shared_ptr<vfs::directory> folder_in(vfs::directory& root, const wchar_t* name)
{
    return boost::dynamic_pointer_cast<vfs::directory>(root.get_item(name));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_descriptor URL [ROUNDS]\n");
        return 2;
    }
    base_url = argv[1];
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    vfs_quillmere::ensure_curl_initialised();
    vfs_quillmere::set_service_url(base_url);
    try {
        vfs_quillmere::client connection(L"bench", L"bench-pass");
        PIDLDATA selected;
        std::memset(&selected, 0, sizeof selected);
        selected.cb = pidl_record_size;
        selected.kind = vfs::typeDirectory;
        wcscpy(selected.name, L"tree");

        std::vector<double> listing_times, build_times;
        std::size_t records = 0, requests = 0, baseline_requests = 0, listed = 0;
        long long seq = 0;
        list_requests_since(seq);
        for (int round = 0; round < rounds; ++round) {
            auto start = clock_type::now();
            auto root = connection.get_root();
            auto tree = folder_in(*root, L"tree");
            listed = 0;
            for (const auto& sub : tree->get_items())
                if (auto folder = boost::dynamic_pointer_cast<vfs::directory>(sub))
                    listed += folder->get_items().size();
            listing_times.push_back(seconds_since(start));
            baseline_requests = list_requests_since(seq);

            start = clock_type::now();
            root = connection.get_root();
            const descriptor_list list = build_descriptors(*root, {selected});
            build_times.push_back(seconds_since(start));
            records = list.records.size();
            requests = list_requests_since(seq);
        }
        const double best_list = *std::min_element(listing_times.begin(), listing_times.end());
        const double best_build = *std::min_element(build_times.begin(), build_times.end());
        std::printf("descriptor benchmark, %d rounds: %zu records (%zu files listed below the subfolders)\n",
                    rounds, records, listed);
        std::printf("listings alone: best %.3f s, median %.3f s\n", best_list, median(listing_times));
        std::printf("records:        best %.3f s, median %.3f s\n", best_build, median(build_times));
        // The build includes its listings: what it adds must not cost more than they do.
        std::printf("records beyond the listings / listings: best %.2f, median %.2f (at most 1 wanted)\n",
                    best_build / best_list - 1, median(build_times) / median(listing_times) - 1);
        std::printf("list_dir requests: %zu per build, %zu for the listings alone (one per folder: 101)\n",
                    requests, baseline_requests);
        std::printf("peak memory: %.1f MiB\n", peak_mib());
    }
    catch (const vfs::exception& e) {
        std::fprintf(stderr, "%ls: %ls\n", e.get_message().c_str(), e.get_details().c_str());
        return 1;
    }
    return 0;
}
