// One large local file dropped onto a folder of the drive: a CF_HDROP data object given to the
// folder's drop target (IDropTarget::Drop, then the copy engine, the local-file view, vfs::file
// and its transfer channel, with the progress dialog), against raw libcurl uploading the same file
// from disk to the same host in the same run. The host is OpenSSH's sshd on loopback, named by the
// dev service at login, so that neither side waits on the host. Rounds are interleaved (the order
// turns each round); prints MB/s of every run, best and median, the ratio engine / raw of both
// (goal: at least 0.9), and the peak working set before and after the drops (goal: flat, not
// growing with the file). The last engine upload is compared byte for byte with the source.
//
// Run it (builds, starts sshd and the dev service, makes the source file, runs this under Wine
// with a display for the progress dialog, removes everything):
//     bash bench/run-upload-drop.sh [BUILD_DIR] [MIB] [ROUNDS]          # 256 5
// or by hand, against a dev service in test mode started with --transfer-host:
//     wine BUILD_DIR/bin/bench_upload_drop.exe SERVICE_URL USER PASSWORD SOURCE_FILE STORE_DIR [ROUNDS]
// STORE_DIR is the service's folder of file contents, as a Windows path.
#include "backend/client.h"
#include "backend/curl_library.h"
#include "backend/directory.h"
#include "backend/exception.h"
#include "backend/protocol.h"
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
using bench::seconds_since;

namespace {

size_t read_file(char* buffer, size_t size, size_t count, void* user)
{
    return std::fread(buffer, size, count, static_cast<std::FILE*>(user));
}

// One upload of path by libcurl, reading the file as the engine does; answers seconds. The easy
// handle is kept between calls, as the engine's channels keep their connection in the shared cache.
double raw_upload(vfs_quillmere::client& account, const std::string& path, std::uint64_t size,
                  const std::string& remote)
{
    static CURL* const curl = curl_easy_init();
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        std::exit(1);
    }
    const std::string url = account.transfer_host() + "/" + remote;
    const std::string credentials = account.transfer_user() + ":" + account.transfer_password();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_USERPWD, credentials.c_str());
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, read_file);
    curl_easy_setopt(curl, CURLOPT_READDATA, file);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    const auto start = clock_type::now();
    const CURLcode rc = curl_easy_perform(curl);
    const double seconds = seconds_since(start);
    std::fclose(file);
    if (rc != CURLE_OK) {
        std::fprintf(stderr, "raw upload failed: %s\n", curl_easy_strerror(rc));
        std::exit(1);
    }
    return seconds;
}

// One drop of path onto folder, which must be empty; answers seconds. The stored file is left in
// the folder.
double engine_upload(const boost::shared_ptr<vfs::directory>& folder, const std::wstring& path)
{
    const auto start = clock_type::now();
    bench::drop(folder, {path});
    return seconds_since(start);
}

bool same_bytes(const std::string& a, const std::string& b)
{
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    std::vector<char> p(1 << 20), q(1 << 20);
    while (x && y) {
        x.read(p.data(), static_cast<std::streamsize>(p.size()));
        y.read(q.data(), static_cast<std::streamsize>(q.size()));
        if (x.gcount() != y.gcount() || std::memcmp(p.data(), q.data(), static_cast<std::size_t>(x.gcount())))
            return false;
    }
    return !x && !y;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 6) {
        std::fprintf(stderr,
                     "usage: bench_upload_drop SERVICE_URL USER PASSWORD SOURCE_FILE STORE_DIR [ROUNDS]\n");
        return 2;
    }
    const std::string source = argv[4];
    const std::string store = argv[5];
    const int rounds = argc > 6 ? std::max(1, std::atoi(argv[6])) : 5;
    CQuillmereModule::set_instance(GetModuleHandleW(nullptr));
    if (FAILED(OleInitialize(nullptr)))
        return 3;
    vfs_quillmere::ensure_curl_initialised();
    try {
        vfs_quillmere::client account = bench::new_account(argv[1], argv[2], argv[3]);
        WIN32_FILE_ATTRIBUTE_DATA attributes = {};
        if (!GetFileAttributesExA(source.c_str(), GetFileExInfoStandard, &attributes)) {
            std::fprintf(stderr, "no source file %s\n", source.c_str());
            return 1;
        }
        const std::uint64_t size =
            (static_cast<std::uint64_t>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;
        const double mb = static_cast<double>(size) / 1e6;
        const std::string tag = std::to_string(GetCurrentProcessId());
        std::printf("one file of %.0f MiB dropped onto an empty folder, transfer host %s, %d rounds\n",
                    static_cast<double>(size) / (1 << 20), account.transfer_host().c_str(), rounds);
        const double peak_before = bench::peak_mib();
        double peak_after_first = 0;
        std::vector<double> engine, raw;
        const std::wstring wide_source(source.begin(), source.end());
        const std::wstring file_name = wide_source.substr(wide_source.find_last_of(L"\\/") + 1);
        boost::shared_ptr<vfs::directory> folder;
        for (int round = 0; round < rounds; ++round) {
            for (int k = 0; k < 2; ++k) {
                if ((k + round) % 2 == 0) {
                    // Only the last copy is kept: the host's disk need not hold one per round.
                    if (folder)
                        folder->delete_item(file_name);
                    folder = account.get_root()->create_directory(
                        L"drop-" + std::wstring(tag.begin(), tag.end()) + L"-" + std::to_wstring(round));
                    engine.push_back(mb / engine_upload(folder, wide_source));
                    if (round == 0)
                        peak_after_first = bench::peak_mib();
                }
                else {
                    raw.push_back(mb / raw_upload(account, source, size, "raw-" + tag + ".bin"));
                }
            }
            std::printf("round %d: engine %7.1f MB/s, raw libcurl %7.1f MB/s\n", round + 1, engine.back(),
                        raw.back());
            std::fflush(stdout);
        }
        const double best_engine = *std::max_element(engine.begin(), engine.end());
        const double best_raw = *std::max_element(raw.begin(), raw.end());
        std::printf("engine      best %7.1f MB/s, median %7.1f MB/s\n", best_engine, median(engine));
        std::printf("raw libcurl best %7.1f MB/s, median %7.1f MB/s\n", best_raw, median(raw));
        std::printf("engine / raw: best %.2f, median %.2f (goal: at least 0.9)\n", best_engine / best_raw,
                    median(engine) / median(raw));
        std::printf("peak working set: %.1f MiB before any transfer, %.1f MiB after the first drop, %.1f MiB "
                    "after all\n",
                    peak_before, peak_after_first, bench::peak_mib());
        const bool same = same_bytes(
            source, store + "\\" + [&] {
                const std::wstring id = folder->get_item(file_name)->get_id();
                return std::string(id.begin(), id.end());
            }());
        std::printf("the last drop's stored copy %s the source\n", same ? "equals" : "DIFFERS FROM");
        OleUninitialize();
        return same ? 0 : 1;
    }
    catch (const vfs::exception& e) {
        std::fwprintf(stderr, L"%ls: %ls\n", e.get_message().c_str(), e.get_details().c_str());
        return 1;
    }
}
