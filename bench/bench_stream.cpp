// Reading a large remote file through the stream a drop target gets from "FileContents"
// (CStreamImpl over vfs::file and its transfer channel, 16384-byte Read calls as the copy engine
// makes them), against raw libcurl downloading the same file from the same host in the same run
// (one curl_easy_perform into a discarding callback, with libcurl's default buffers and with the
// channel's, the faster counted). The host is OpenSSH's sshd on loopback, named by the dev service
// at login, so neither side waits on the host. Rounds are interleaved (the order turns each round);
// prints MB/s of every run, best and median, the ratio stream / raw (goal: at least 0.9), and the
// peak working set before and after (goal: flat, not growing with the file).
//
// Run it (builds, starts sshd and the dev service, runs this under Wine, removes everything):
//     bash bench/run-stream.sh [BUILD_DIR] [MIB] [ROUNDS]          # 256 5
// or by hand, against a dev service in test mode started with --transfer-host:
//     wine BUILD_DIR/bin/bench_stream.exe SERVICE_URL USER PASSWORD [MIB] [ROUNDS]
#include "backend/client.h"
#include "backend/curl_library.h"
#include "backend/file.h"
#include "backend/protocol.h"
#include "bench_support.h"
#include "module/module.h"
#include "transfer/stream.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using bench::clock_type;
using bench::median;
using bench::seconds_since;

namespace {

constexpr std::int32_t call_size = 16384;

size_t discard(char*, size_t size, size_t count, void* moved)
{
    *static_cast<std::uint64_t*>(moved) += size * count;
    return size * count;
}

// One download of the file by libcurl; answers MB/s. Each buffer setting keeps its handle, and so
// its connection, as the channel keeps its own.
double raw_download(vfs_quillmere::client& account, const std::string& location, std::uint64_t size,
                    bool tuned)
{
    static CURL* const handles[2] = {curl_easy_init(), curl_easy_init()};
    CURL* curl = handles[tuned];
    std::uint64_t moved = 0;
    const std::string url = account.transfer_host() + location;
    const std::string credentials = account.transfer_user() + ":" + account.transfer_password();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_USERPWD, credentials.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &moved);
    if (tuned)
        curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 512L * 1024);
    const auto start = clock_type::now();
    const CURLcode rc = curl_easy_perform(curl);
    const double seconds = seconds_since(start);
    if (rc != CURLE_OK || moved != size) {
        std::fprintf(stderr, "raw download failed: %s (%llu bytes)\n", curl_easy_strerror(rc),
                     static_cast<unsigned long long>(moved));
        std::exit(1);
    }
    return static_cast<double>(size) / 1e6 / seconds;
}

// One pass through a fresh stream over the file as a fresh listing gives it; answers MB/s.
double stream_download(vfs::directory& folder, const std::wstring& name, std::uint64_t size)
{
    const auto file = boost::dynamic_pointer_cast<vfs::file>(folder.get_item(name));
    std::vector<unsigned char> buffer(call_size);
    std::uint64_t moved = 0;
    const auto start = clock_type::now();
    {
        com::ComPtr<IStream> stream;
        if (FAILED(create_stream(file, IID_PPV_ARGS(&stream)))) {
            std::fprintf(stderr, "no stream\n");
            std::exit(1);
        }
        ULONG got = 0;
        while (stream->Read(buffer.data(), call_size, &got) == S_OK)
            moved += got;
    } // released: the file is closed, as a drop target ends
    const double seconds = seconds_since(start);
    if (moved != size) {
        std::fprintf(stderr, "the stream gave %llu bytes\n", static_cast<unsigned long long>(moved));
        std::exit(1);
    }
    return static_cast<double>(size) / 1e6 / seconds;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_stream SERVICE_URL USER PASSWORD [MIB] [ROUNDS]\n");
        return 2;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(argc > 4 ? std::max(1, std::atoi(argv[4])) : 256)
                               << 20;
    const int rounds = argc > 5 ? std::max(1, std::atoi(argv[5])) : 5;
    CQuillmereModule::set_instance(GetModuleHandleW(nullptr));
    if (FAILED(CoInitialize(nullptr)))
        return 3;
    vfs_quillmere::ensure_curl_initialised();
    try {
        vfs_quillmere::client account = bench::new_account(argv[1], argv[2], argv[3]);
        const auto root = account.get_root();
        const std::wstring name = L"stream-" + std::to_wstring(GetCurrentProcessId()) + L".bin";
        {
            const auto file = root->create_file_alloc(name, size);
            std::vector<unsigned char> block(1 << 20);
            for (std::size_t i = 0; i < block.size(); ++i)
                block[i] = static_cast<unsigned char>(i * 2654435761u >> 24);
            file->open(vfs::modeWrite | vfs::modeCreate);
            for (std::uint64_t written = 0; written < size; written += block.size())
                file->write(block.data(), static_cast<std::int32_t>(block.size()));
            file->close();
        }
        const std::string location = vfs_quillmere::narrow(
            boost::dynamic_pointer_cast<vfs_quillmere::file>(root->get_item(name))->location());
        std::printf("one file of %llu MiB read through the stream, transfer host %s, %d rounds\n",
                    static_cast<unsigned long long>(size >> 20), account.transfer_host().c_str(), rounds);
        const double peak_before = bench::peak_mib();
        double peak_after_first = 0;
        std::vector<double> through_stream, raw;
        for (int round = 0; round < rounds; ++round) {
            for (int k = 0; k < 2; ++k) {
                if ((k + round) % 2 == 0) {
                    through_stream.push_back(stream_download(*root, name, size));
                    if (round == 0)
                        peak_after_first = bench::peak_mib();
                }
                else {
                    raw.push_back(std::max(raw_download(account, location, size, false),
                                           raw_download(account, location, size, true)));
                }
            }
            std::printf("round %d: stream %7.1f MB/s, raw libcurl %7.1f MB/s\n", round + 1,
                        through_stream.back(), raw.back());
            std::fflush(stdout);
        }
        const double best_stream = *std::max_element(through_stream.begin(), through_stream.end());
        const double best_raw = *std::max_element(raw.begin(), raw.end());
        std::printf("stream      best %7.1f MB/s, median %7.1f MB/s\n", best_stream, median(through_stream));
        std::printf("raw libcurl best %7.1f MB/s, median %7.1f MB/s\n", best_raw, median(raw));
        std::printf("stream / raw: best %.2f, median %.2f (goal: at least 0.9)\n", best_stream / best_raw,
                    median(through_stream) / median(raw));
        std::printf(
            "peak working set: %.1f MiB before any read, %.1f MiB after the first, %.1f MiB after all\n",
            peak_before, peak_after_first, bench::peak_mib());
        root->delete_item(name);
    }
    catch (const vfs::exception& e) {
        std::fwprintf(stderr, L"%ls: %ls\n", e.get_message().c_str(), e.get_details().c_str());
        return 1;
    }
    CoUninitialize();
    return 0;
}
