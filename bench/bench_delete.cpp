// Deleting a folder of many files, as the item menu's Delete does once confirmed: DeleteItems
// over the dev service, which the protocol makes list the folder again after every removal. For
// each size (250, 500 and 1000 files by default) prints the time, the requests of each kind the
// service saw, and how time and requests grow against the first size: one removal and one
// listing per file, and the listings shrink as the folder empties.
//
// Run it (builds, starts a dev service in test mode, runs this under Wine, stops the service):
//     bash bench/run-delete.sh [BUILD_DIR] [COUNTS...]
// or by hand: wine BUILD_DIR/bin/bench_delete.exe SERVICE_URL USER PASSWORD [COUNTS...]
#include "backend/client.h"
#include "backend/curl_library.h"
#include "backend/protocol.h"
#include "bench_support.h"
#include "module/module.h"
#include "transfer/selection.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using bench::clock_type;
using bench::post;
using bench::seconds_since;

namespace {

const char* const actions[] = {"remove_file", "list_dir", "remove_dir"};

// Requests of user with action that the service recorded so far.
std::size_t requests(const std::string& service, const std::string& user, const std::string& action)
{
    const std::string seen = post(service + "/_control/requests", "user=" + user + "&action=" + action);
    std::size_t n = 0;
    for (auto at = seen.find("\"seq\""); at != std::string::npos; at = seen.find("\"seq\"", at + 1))
        ++n;
    return n;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_delete SERVICE_URL USER PASSWORD [COUNTS...]\n");
        return 2;
    }
    const std::string service = argv[1], user = argv[2];
    std::vector<int> counts;
    for (int i = 4; i < argc; ++i)
        counts.push_back(std::max(1, std::atoi(argv[i])));
    if (counts.empty())
        counts = {250, 500, 1000};
    CQuillmereModule::set_instance(GetModuleHandleW(nullptr));
    if (FAILED(CoInitialize(nullptr)))
        return 3;
    vfs_quillmere::ensure_curl_initialised();
    try {
        vfs_quillmere::client account = bench::new_account(argv[1], argv[2], argv[3]);
        item_selection selection;
        selection.folder = account.get_root();
        LPITEMIDLIST windows = nullptr;
        SHGetFolderLocation(nullptr, CSIDL_WINDOWS, nullptr, 0, &windows); // any root for the notifications
        selection.root = CPIDLList(windows, true);
        CoTaskMemFree(windows);
        std::printf("%6s %9s %10s %12s %9s %10s %9s\n", "files", "seconds", "ms / file", "remove_file",
                    "list_dir", "remove_dir", "growth");
        double first_time = 0;
        for (const int n : counts) {
            const std::wstring name = L"del-" + std::to_wstring(n);
            const std::wstring id = selection.folder->create_directory(name)->get_id();
            post(service + "/_control/populate",
                 "user=" + user + "&dir=" + std::string(id.begin() + 4, id.end()) + // after "dir_"
                     "&count=" + std::to_string(n) + "&folders_every=0");
            selection.items = {BuildPIDLDATA(selection.folder->get_item(name))};
            std::size_t before[3];
            for (int a = 0; a < 3; ++a)
                before[a] = requests(service, user, actions[a]);
            const auto start = clock_type::now();
            const HRESULT hr = DeleteItems(selection, nullptr, true);
            const double seconds = seconds_since(start);
            if (hr != S_OK) {
                std::fprintf(stderr, "deleting %d files failed: 0x%08lx\n", n,
                             static_cast<unsigned long>(hr));
                return 1;
            }
            std::size_t made[3];
            for (int a = 0; a < 3; ++a)
                made[a] = requests(service, user, actions[a]) - before[a];
            if (!first_time)
                first_time = seconds;
            std::printf("%6d %9.2f %10.2f %12zu %9zu %10zu %8.2fx (files %.2fx)\n", n, seconds,
                        1000 * seconds / n, made[0], made[1], made[2], seconds / first_time,
                        double(n) / counts.front());
            std::fflush(stdout);
        }
    }
    catch (const vfs::exception& e) {
        std::fwprintf(stderr, L"%ls: %ls\n", e.get_message().c_str(), e.get_details().c_str());
        return 1;
    }
    CoUninitialize();
    return 0;
}
