// Many small files: files of 4 KiB uploaded one after another into an empty folder through the
// back end's vfs calls, as the copy engine makes them for each file (create_file_alloc, which
// lists the folder again, then open, write, close, which sends update_file_info), as the product
// runs (the transfer channels share libcurl's connection cache), next to raw libcurl uploading as
// many files over one connection (one easy handle reused) to the same host, without the service:
// total time, time per file, the service's requests per file and the host's SSH logins per file.
// The same files dropped as local files onto an empty folder (one CF_HDROP given to its drop
// target, which runs the copy engine) give the per-file figures of the whole product.
// Then shorter runs in interleaved rounds, best and median per file, of four ways:
//   - shared:   through the vfs calls, as above;
//   - unshared: the same with sharing turned off: every file makes its own SSH connection;
//   - channel:  the transfer channel alone (shared), without the service's requests;
//   - raw:      raw libcurl as above.
// Last, the time per file as the folder grows from empty to 5 000 items (the service fills it in
// between), split into the create, whose listing grows with the folder, and the transfer; the
// create's growth per 1 000 items should stay the same at every size (a linear listing).
//
// The transfer host is OpenSSH's sshd on loopback, which the dev service names at login; its
// log (sshd -e) counts the logins.
// Run it (builds, starts sshd and the dev service, runs this under Wine, removes both):
//     bash bench/run-upload-many.sh [BUILD_DIR] [FILES] [ROUNDS] [FILES_PER_ROUND]   # 1000 3 100
// or by hand, against a dev service in test mode started with --transfer-host (the account is
// made if missing):
//     wine BUILD_DIR/bin/bench_upload_many.exe SERVICE_URL USER PASSWORD SSHD_LOG [FILES] [ROUNDS]
//          [FILES_PER_ROUND]
#include "backend/client.h"
#include "backend/curl_library.h"
#include "backend/directory.h"
#include "backend/exception.h"
#include "backend/protocol.h"
#include "backend/transfer_channel.h"
#include "bench_drop.h"
#include "bench_support.h"
#include "module/module.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <ole2.h>
#include <windows.h>

using bench::clock_type;
using bench::median;
using bench::post;
using bench::seconds_since;

namespace {

constexpr std::size_t file_size = 4096;

const std::vector<unsigned char>& payload()
{
    static const std::vector<unsigned char> bytes = [] {
        std::vector<unsigned char> b(file_size);
        for (std::size_t i = 0; i < b.size(); ++i)
            b[i] = static_cast<unsigned char>(i * 7 + 3);
        return b;
    }();
    return bytes;
}

struct setting {
    std::string service; // base URL of the dev service
    std::string user;
    std::string host_log; // sshd's log
    vfs_quillmere::client* client;
};

// Requests of the user that the service answered so far, from its control counts:
// {"ok": true, "counts": {"USER": {"action": n, ...}, ...}}.
long long requests(const setting& s)
{
    const std::string answer = post(s.service + "/_control/counts", "");
    const std::string key = "\"" + s.user + "\": {";
    const std::size_t at = answer.find(key);
    if (at == std::string::npos)
        return 0;
    const std::size_t end = answer.find('}', at);
    long long total = 0;
    for (std::size_t pos = answer.find(": ", at + key.size()); pos < end; pos = answer.find(": ", pos + 1))
        total += std::atoll(answer.c_str() + pos + 2);
    return total;
}

long long logins(const setting& s)
{
    std::ifstream log(s.host_log);
    long long n = 0;
    for (std::string line; std::getline(log, line);)
        n += line.find("Accepted password") != std::string::npos;
    return n;
}

struct run {
    double seconds = 0;
    double requests_per_file = 0;
    double logins_per_file = 0;
};

// Uploads files one after another; upload_one(i) moves file i.
template <typename Upload> run measure(const setting& s, int files, Upload upload_one)
{
    const long long requests_before = requests(s), logins_before = logins(s);
    const auto start = clock_type::now();
    for (int i = 0; i < files; ++i)
        upload_one(i);
    run r;
    r.seconds = seconds_since(start);
    r.requests_per_file = static_cast<double>(requests(s) - requests_before) / files;
    r.logins_per_file = static_cast<double>(logins(s) - logins_before) / files;
    return r;
}

void upload_file(vfs::directory& folder, const std::wstring& name)
{
    auto f = folder.create_file_alloc(name, file_size);
    f->open(vfs::modeWrite | vfs::modeCreate);
    f->write(payload().data(), static_cast<std::int32_t>(file_size));
    f->close();
}

run through_vfs(const setting& s, int files, bool sharing, const std::wstring& folder_name)
{
    vfs_quillmere::share_connections(sharing);
    auto folder = s.client->get_root()->create_directory(folder_name);
    const run r =
        measure(s, files, [&](int i) { upload_file(*folder, L"f" + std::to_wstring(i) + L".bin"); });
    vfs_quillmere::share_connections(true);
    return r;
}

struct memory_source {
    std::size_t pos = 0;
};

size_t read_payload(char* buffer, size_t size, size_t count, void* user)
{
    auto* source = static_cast<memory_source*>(user);
    const std::size_t n = std::min(size * count, file_size - source->pos);
    std::memcpy(buffer, payload().data() + source->pos, n);
    source->pos += n;
    return n;
}

run raw_libcurl(const setting& s, int files, const std::string& folder)
{
    CURL* curl = curl_easy_init();
    const std::string credentials = s.client->transfer_user() + ":" + s.client->transfer_password();
    memory_source source;
    curl_easy_setopt(curl, CURLOPT_USERPWD, credentials.c_str());
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, read_payload);
    curl_easy_setopt(curl, CURLOPT_READDATA, &source);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(file_size));
    curl_easy_setopt(curl, CURLOPT_FTP_CREATE_MISSING_DIRS, 1L);
    const run r = measure(s, files, [&](int i) {
        const std::string url = s.client->transfer_host() + "/" + folder + "/f" + std::to_string(i) + ".bin";
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        source.pos = 0;
        const CURLcode rc = curl_easy_perform(curl);
        if (rc != CURLE_OK) {
            std::fprintf(stderr, "raw upload of %s failed: %s\n", url.c_str(), curl_easy_strerror(rc));
            std::exit(1);
        }
    });
    curl_easy_cleanup(curl);
    return r;
}

void print_run(const char* name, int files, const run& r)
{
    std::printf("  %-9s %7.2f s total  %7.2f ms per file  %5.2f requests per file  %6.3f SSH logins per "
                "file\n",
                name, r.seconds, r.seconds * 1000 / files, r.requests_per_file, r.logins_per_file);
    std::fflush(stdout);
}

// The channel alone, with the shared cache, writing new files on the host as raw libcurl does:
// the transfer's cost without the service's requests.
run channel_only(const setting& s, int files, const std::string& folder)
{
    return measure(s, files, [&](int i) {
        vfs_quillmere::transfer_channel channel(s.client->transfer_host(),
                                                "/f/" + folder + "-" + std::to_string(i),
                                                s.client->transfer_user(), s.client->transfer_password());
        channel.open(vfs_quillmere::transfer_channel::mode_upload);
        channel.write(payload().data(), static_cast<std::int32_t>(file_size));
        channel.close();
    });
}

void compare(const setting& s, int files, int rounds)
{
    const char* names[] = {"shared", "unshared", "channel", "raw"};
    constexpr int ways = 4;
    std::vector<double> per_file[ways];
    const std::string tag = std::to_string(GetCurrentProcessId());
    std::printf("with and without reuse: %d files per run into an empty folder, %d round(s)\n", files,
                rounds);
    for (int round = 0; round < rounds; ++round) {
        std::printf("round %d\n", round + 1);
        // Which way goes first turns with each round, so that none always follows another.
        for (int k = 0; k < ways; ++k) {
            const int which = (k + round) % ways;
            const std::string folder = std::string(names[which]) + "-" + tag + "-" + std::to_string(round);
            const run r = which == 3 ? raw_libcurl(s, files, folder)
                          : which == 2
                              ? channel_only(s, files, folder)
                              : through_vfs(s, files, which == 0, std::wstring(folder.begin(), folder.end()));
            print_run(names[which], files, r);
            per_file[which].push_back(r.seconds * 1000 / files);
        }
    }
    for (int which = 0; which < ways; ++which)
        std::printf("%-9s per file: best %.2f ms, median %.2f ms\n", names[which],
                    *std::min_element(per_file[which].begin(), per_file[which].end()),
                    median(per_file[which]));
    std::printf("per file, medians: unshared / shared %.2f, shared / raw %.2f, channel / raw %.2f\n",
                median(per_file[1]) / median(per_file[0]), median(per_file[0]) / median(per_file[3]),
                median(per_file[2]) / median(per_file[3]));
}

// The files as local files, dropped as one CF_HDROP onto an empty folder: the folder's drop
// target, the copy engine with the local-file view and its progress dialog.
run through_engine(const setting& s, int files, const std::wstring& folder_name)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring local = std::wstring(temp) + L"qm-" + folder_name;
    CreateDirectoryW(local.c_str(), nullptr);
    std::vector<std::wstring> paths;
    for (int i = 0; i < files; ++i) {
        paths.push_back(local + L"\\f" + std::to_wstring(i) + L".bin");
        std::ofstream(paths.back().c_str(), std::ios::binary)
            .write(reinterpret_cast<const char*>(payload().data()), static_cast<std::streamsize>(file_size));
    }
    auto folder = s.client->get_root()->create_directory(folder_name);
    const run r = measure(s, 1, [&](int) { bench::drop(folder, paths); });
    for (const auto& path : paths)
        DeleteFileW(path.c_str());
    RemoveDirectoryW(local.c_str());
    // measure() counted one step: per file, then.
    return {r.seconds, r.requests_per_file / files, r.logins_per_file / files};
}

void many(const setting& s, int files)
{
    const std::string folder = "many-" + std::to_string(GetCurrentProcessId());
    std::printf("%d files of %u bytes into one empty folder, transfer host %s\n", files,
                static_cast<unsigned>(file_size), s.client->transfer_host().c_str());
    print_run("shared", files, through_vfs(s, files, true, std::wstring(folder.begin(), folder.end())));
    print_run("engine", files,
              through_engine(s, files, std::wstring(folder.begin(), folder.end()) + L"-drop"));
    print_run("raw", files, raw_libcurl(s, files, folder));
}

void growth(const setting& s, int sample)
{
    const int levels[] = {0, 1000, 2500, 5000};
    const std::wstring name = L"growth-" + std::to_wstring(GetCurrentProcessId());
    auto folder = s.client->get_root()->create_directory(name);
    const std::wstring raw_id = boost::dynamic_pointer_cast<vfs_quillmere::directory>(folder)->get_raw_id();
    int items = 0;
    double create_at_empty = 0;
    std::printf("growth: %d files uploaded at each folder size\n", sample);
    for (const int level : levels) {
        if (level > items) {
            post(s.service + "/_control/populate",
                 "user=" + s.user + "&dir=" + std::string(raw_id.begin(), raw_id.end()) +
                     "&count=" + std::to_string(level - items) + "&prefix=fill" + std::to_string(level) +
                     "-&folders_every=0");
            items = level;
        }
        double create = 0, transfer = 0;
        for (int i = 0; i < sample; ++i) {
            auto start = clock_type::now();
            auto f = folder->create_file_alloc(L"at" + std::to_wstring(level) + L"-" + std::to_wstring(i),
                                               file_size);
            create += seconds_since(start);
            start = clock_type::now();
            f->open(vfs::modeWrite | vfs::modeCreate);
            f->write(payload().data(), static_cast<std::int32_t>(file_size));
            f->close();
            transfer += seconds_since(start);
        }
        items += sample;
        create = create * 1000 / sample;
        transfer = transfer * 1000 / sample;
        if (level == 0)
            create_at_empty = create;
        std::printf("  %5d items: %7.2f ms per file = create %7.2f ms + transfer %6.2f ms", level,
                    create + transfer, create, transfer);
        if (level > 0)
            std::printf("   create grew %.2f ms per 1000 items", (create - create_at_empty) * 1000 / level);
        std::printf("\n");
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: bench_upload_many SERVICE_URL USER PASSWORD SSHD_LOG [FILES] [ROUNDS] "
                             "[FILES_PER_ROUND]\n");
        return 2;
    }
    const int files = argc > 5 ? std::atoi(argv[5]) : 1000;
    const int rounds = argc > 6 ? std::atoi(argv[6]) : 3;
    const int files_per_round = argc > 7 ? std::atoi(argv[7]) : 100;
    CQuillmereModule::set_instance(GetModuleHandleW(nullptr));
    if (FAILED(OleInitialize(nullptr)))
        return 3;
    vfs_quillmere::ensure_curl_initialised();
    try {
        post(std::string(argv[1]) + "/_control/add_user",
             std::string("name=") + argv[2] + "&password=" + argv[3]);
        vfs_quillmere::set_service_url(argv[1]);
        vfs_quillmere::client client(std::wstring(argv[2], argv[2] + std::strlen(argv[2])),
                                     std::wstring(argv[3], argv[3] + std::strlen(argv[3])));
        const setting s{argv[1], argv[2], argv[4], &client};
        many(s, files);
        compare(s, files_per_round, rounds);
        growth(s, 50);
    }
    catch (const vfs::exception& e) {
        std::fwprintf(stderr, L"%ls: %ls\n", e.get_message().c_str(), e.get_details().c_str());
        return 1;
    }
    return 0;
}
