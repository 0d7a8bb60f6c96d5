// Thumbnails and the properties dialog's size worker against the dev service.
//
// Thumbnails: GetLocation and Extract for every file of a folder of 1 000 pictures, first with
// an empty cache (cold), then again with every file unchanged (warm); prints both times and the
// thumbnail requests the service saw for each. Warm must send no request.
// Size worker: the properties dialog of a folder holding 10 000 files in 100 subfolders; prints
// the time until the dialog shows the whole size, the listings the service saw (one per folder),
// and how long the dialog took at most to answer while the worker ran (its size text is read from
// this thread every 20 ms).
//
// Run it (starts a dev service in test mode on free ports, fills it on first use, stops it):
//     bash bench/run-thumbnails.sh [BUILD_DIR] [REPEATS]
#include "backend/client.h"
#include "backend/directory.h"
#include "backend/exception.h"
#include "backend/protocol.h"
#include "bench_support.h"
#include "module/module.h"
#include "shell/connection.h"
#include "shell/extract_image.h"
#include "ui/properties_file.h"

#include <ole2.h>
#include <shlobj.h>

#include <boost/make_shared.hpp>

#include <cstring>
#include <functional>

namespace {

const char* const user = "thumb-bench";
const char* const password = "thumb-bench-pass";

std::string base;

std::string control(const std::string& query)
{
    return bench::post(base + "/_control/" + query, "");
}

std::size_t requests(const char* action)
{
    const std::string seen = control("requests?user=" + std::string(user) + "&action=" + action);
    std::size_t n = 0;
    for (auto at = seen.find("\"seq\""); at != std::string::npos; at = seen.find("\"seq\"", at + 1))
        ++n;
    return n;
}

std::string raw_id(const boost::shared_ptr<vfs::item>& item)
{
    const std::wstring id = dynamic_cast<vfs_quillmere::item&>(*item).get_raw_id();
    return std::string(id.begin(), id.end());
}

boost::shared_ptr<vfs::directory> folder(vfs::directory& root, const std::wstring& name,
                                         const std::function<void(const std::string&)>& fill)
{
    try {
        return boost::dynamic_pointer_cast<vfs::directory>(root.get_item(name));
    }
    catch (const vfs::exception&) {
    }
    std::printf("filling %ls (once)\n", name.c_str());
    auto made = root.create_directory(name);
    fill(raw_id(made));
    return boost::dynamic_pointer_cast<vfs::directory>(made);
}

void thumbnails(vfs::directory& pictures, int repeats)
{
    const vfs::item_list files = pictures.get_items();
    std::vector<double> cold, warm;
    std::size_t cold_requests = 0, warm_requests = 0;
    for (int round = 0; round < repeats; ++round) {
        for (const auto& item : files)
            DeleteFileW(thumbnail_cache_path(item->get_id()).c_str());
        for (std::vector<double>* times : {&cold, &warm}) {
            control("reset");
            const auto start = bench::clock_type::now();
            for (const auto& item : files) {
                auto image = com::make<CExtractImageImpl>(item);
                wchar_t path[MAX_PATH];
                DWORD priority = 0, flags = IEIFLAG_ASYNC;
                image->GetLocation(path, MAX_PATH, &priority, nullptr, 32, &flags);
                HBITMAP bitmap = nullptr;
                if (SUCCEEDED(image->Extract(&bitmap)))
                    DeleteObject(bitmap);
            }
            times->push_back(bench::seconds_since(start));
            (times == &cold ? cold_requests : warm_requests) = requests("thumbnail");
        }
    }
    std::printf("thumbnails of %zu pictures: cold %.3f s (median %.3f), %zu requests | warm %.3f s (median "
                "%.3f), %zu requests | warm / cold %.3f (at most 0.1)\n",
                files.size(), *std::min_element(cold.begin(), cold.end()), bench::median(cold), cold_requests,
                *std::min_element(warm.begin(), warm.end()), bench::median(warm), warm_requests,
                bench::median(warm) / bench::median(cold));
}

void size_worker(const boost::shared_ptr<vfs::directory>& root, const std::wstring& name)
{
    control("reset");
    item_selection selection;
    selection.folder = root;
    LPITEMIDLIST desktop = nullptr;
    SHGetFolderLocation(nullptr, CSIDL_DESKTOP, nullptr, 0, &desktop);
    selection.root = CPIDLList(desktop, true);
    CoTaskMemFree(desktop);
    selection.items.push_back(BuildPIDLDATA(root->get_item(name)));
    const auto start = bench::clock_type::now();
    ShowProperties(nullptr, selection);
    HWND dialog = nullptr;
    const std::wstring title = name + L" Properties";
    while (!(dialog = FindWindowW(nullptr, title.c_str())))
        Sleep(5);
    double slowest = 0;
    std::wstring size, last;
    for (int unchanged = 0; unchanged < 50; Sleep(20)) {
        const auto asked = bench::clock_type::now();
        wchar_t text[128] = {};
        DWORD_PTR copied = 0;
        SendMessageTimeoutW(GetDlgItem(dialog, 361), WM_GETTEXT, 128, reinterpret_cast<LPARAM>(text), 0,
                            10000, &copied);
        slowest = std::max(slowest, bench::seconds_since(asked));
        size = text;
        unchanged = size == last ? unchanged + 1 : 0;
        last = size;
    }
    const double total = bench::seconds_since(start) - 50 * 0.02;
    std::printf("size worker over %ls: %ls after about %.2f s, %zu listings, the dialog answered within "
                "%.1f ms at most\n",
                name.c_str(), size.c_str(), total, requests("list_dir"), slowest * 1000);
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    while (IsWindow(dialog))
        Sleep(10);
}

int run(int repeats)
{
    control(std::string("add_user?name=") + user + "&password=" + password);
    auto client =
        boost::make_shared<vfs_quillmere::client>(std::wstring(user, user + std::strlen(user)),
                                                  std::wstring(password, password + std::strlen(password)));
    auto root = client->get_root();
    const auto pictures = folder(*root, L"pictures", [](const std::string& id) {
        control("populate?user=" + std::string(user) + "&dir=" + id +
                "&count=1000&folders_every=0&pictures=1");
    });
    const auto tree = folder(*root, L"tree", [&](const std::string& id) {
        control("populate?user=" + std::string(user) + "&dir=" + id + "&count=100&folders_every=1");
        auto made = boost::dynamic_pointer_cast<vfs::directory>(root->get_item(L"tree"));
        for (const auto& sub : made->get_items())
            control("populate?user=" + std::string(user) + "&dir=" + raw_id(sub) +
                    "&count=100&folders_every=0");
    });
    root->get_items();
    thumbnails(*pictures, repeats);
    size_worker(root, L"tree");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_thumbnails URL [REPEATS]\n");
        return 2;
    }
    base = argv[1];
    const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    vfs_quillmere::set_service_url(base);
    OleInitialize(nullptr);
    int result = 1;
    try {
        result = run(repeats);
    }
    catch (const vfs::exception& e) {
        std::fprintf(stderr, "%ls: %ls\n", e.get_message().c_str(), e.get_details().c_str());
    }
    OleUninitialize();
    return result;
}
