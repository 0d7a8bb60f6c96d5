// Enumeration speed: EnumObjects plus Next over every child of folders of 1 000, 10 000 and
// 100 000 children, through the folder's COM interfaces against the dev service.
//
// Prints, per folder, the time of the listing alone (the directory's get_items: the HTTP
// exchange, parsing and the child objects) and of the whole enumeration (listing, one record per
// child with its type text, handing the records out one Next at a time); the difference is the
// cost of the records, which must not exceed the listing. For comparison it also prints what the
// records would cost with one type-name query per item instead of one per distinct extension.
//
// Run it (starts a dev service in test mode on free ports, fills it on first use, stops it):
//     bash bench/run-enum.sh [BUILD_DIR] [REPEATS]         # BUILD_DIR defaults to build/x86_64
// or by hand against a dev service in test mode:
//     wine BUILD_DIR/bin/bench_enum.exe http://127.0.0.1:PORT [REPEATS]
#include "backend/client.h"
#include "backend/curl_library.h"
#include "backend/directory.h"
#include "backend/exception.h"
#include "backend/protocol.h"
#include "module/module.h"
#include "shell/connection.h"
#include "shell/shell_folder.h"

#include <curl/curl.h>

#include <windows.h>
#include <ole2.h>
#include <shellapi.h>
#include <shlobj.h>

#include <boost/make_shared.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

typedef std::chrono::steady_clock clock_type;

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

const char* const user = "enum-bench";
const char* const password = "enum-bench-pass";
const int sizes[] = {1000, 10000, 100000};

// The bench's own session: logged in with a client of its own, no session manager.
class bench_session final : public session_access {
public:
    explicit bench_session(boost::shared_ptr<vfs::client> client) : client_(std::move(client)) {}
    bool is_logged_in() override { return true; }
    bool ask_login(HWND, std::wstring&, std::wstring&) override { return false; }
    void login(const std::wstring&, const std::wstring&) override {}
    boost::shared_ptr<vfs::client> get_connection() override { return client_; }

private:
    boost::shared_ptr<vfs::client> client_;
};

size_t discard(char*, size_t size, size_t count, void*)
{
    return size * count;
}

// A control request of the dev service (test mode); false on any failure.
bool control(const std::string& base, const std::string& query)
{
    if (!vfs_quillmere::ensure_curl_initialised())
        return false;
    CURL* curl = curl_easy_init();
    if (!curl)
        return false;
    const std::string url = base + "/_control/" + query;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 600L);
    long status = 0;
    const bool ok = curl_easy_perform(curl) == CURLE_OK &&
                    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
    curl_easy_cleanup(curl);
    return ok;
}

std::wstring wide(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

// Makes the account and its three folders once; later runs find them.
boost::shared_ptr<vfs::client> prepare(const std::string& base)
{
    control(base, std::string("add_user?name=") + user + "&password=" + password);
    auto client = boost::make_shared<vfs_quillmere::client>(wide(user), wide(password));
    auto root = client->get_root();
    for (const int n : sizes) {
        const std::wstring name = std::to_wstring(n);
        try {
            root->get_item(name);
            continue;
        }
        catch (const vfs::exception&) {
        }
        std::printf("filling folder %d (once)\n", n);
        auto folder = boost::dynamic_pointer_cast<vfs_quillmere::directory>(root->create_directory(name));
        const std::wstring raw_id = folder->get_raw_id();
        const std::string id(raw_id.begin(), raw_id.end());
        if (!control(base,
                     "populate?user=" + std::string(user) + "&dir=" + id + "&count=" + std::to_string(n)))
            throw vfs_quillmere::exception(L"Bench", L"populate failed");
    }
    return client;
}

// The records of a listing as EnumObjects builds them (one type-name cache per enumeration),
// or, as a reference for what the cache saves, with one type-name query per item.
double build_records(const vfs::item_list& items, bool cached)
{
    const auto start = clock_type::now();
    pidl_snapshot records;
    records.reserve(items.size());
    type_name_cache shared;
    for (const auto& item : items) {
        type_name_cache fresh;
        records.push_back(BuildPIDLDATA(item, cached ? shared : fresh));
    }
    return seconds_since(start);
}

int run(const std::string& base, int repeats)
{
    auto client = prepare(base);
    bench_session session(client);
    set_current_session(&session);

    LPITEMIDLIST desktop = nullptr;
    SHGetFolderLocation(nullptr, CSIDL_DESKTOP, nullptr, 0, &desktop);
    com::ComPtr<IShellFolder> folder;
    com::create_instance<CShellFolderImpl>(IID_IShellFolder, &folder);
    com::ComPtr<IPersistFolder> persist;
    folder.As(&persist);
    persist->Initialize(desktop);
    CoTaskMemFree(desktop);

    std::printf("%8s %10s %10s %10s %9s %15s\n", "children", "listing s", "records s", "enum s", "rec/list",
                "uncached rec s");
    for (const int n : sizes) {
        std::wstring name = std::to_wstring(n);
        LPITEMIDLIST child = nullptr;
        if (FAILED(folder->ParseDisplayName(nullptr, nullptr, name.data(), nullptr, &child, nullptr))) {
            std::printf("folder %d not found\n", n);
            return 1;
        }
        com::ComPtr<IShellFolder> sub;
        const HRESULT bound = folder->BindToObject(child, nullptr, IID_PPV_ARGS(&sub));
        CoTaskMemFree(child);
        if (FAILED(bound)) {
            std::printf("folder %d cannot be bound\n", n);
            return 1;
        }
        auto directory = boost::dynamic_pointer_cast<vfs::directory>(client->get_root()->get_item(name));

        double listing = 1e9, whole = 1e9, records = 1e9, uncached = 1e9;
        std::size_t count = 0;
        vfs::item_list items;
        for (int r = 0; r < repeats; ++r) {
            items.clear(); // the previous listing is freed outside the timed part
            auto start = clock_type::now();
            items = directory->get_items();
            listing = std::min(listing, seconds_since(start));
            records = std::min(records, build_records(items, true));
            uncached = std::min(uncached, build_records(items, false));

            start = clock_type::now();
            com::ComPtr<IEnumIDList> e;
            if (sub->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, &e) != S_OK) {
                std::printf("folder %d does not enumerate\n", n);
                return 1;
            }
            count = 0;
            LPITEMIDLIST pidl = nullptr;
            while (e->Next(1, &pidl, nullptr) == S_OK) {
                CoTaskMemFree(pidl);
                ++count;
            }
            whole = std::min(whole, seconds_since(start));
        }
        if (count != static_cast<std::size_t>(n)) {
            std::printf("folder %d enumerated %u items\n", n, static_cast<unsigned>(count));
            return 1;
        }
        std::printf("%8d %10.3f %10.3f %10.3f %9.3f %15.3f\n", n, listing, records, whole, records / listing,
                    uncached);
    }
    set_current_session(nullptr);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_enum URL [REPEATS]\n");
        return 2;
    }
    const std::string base = argv[1];
    const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    vfs_quillmere::set_service_url(base);
    OleInitialize(nullptr);
    int result = 1;
    try {
        result = run(base, repeats);
    }
    catch (const vfs::exception& e) {
        std::fprintf(stderr, "%ls: %ls\n", e.get_message().c_str(), e.get_details().c_str());
    }
    OleUninitialize();
    return result;
}
