// Moves one remote file's contents through libcurl. libcurl drives a transfer by calling back,
// while callers of vfs::file read and write with buffers of their own; so every transfer runs
// curl_easy_perform on a worker thread, and each libcurl buffer is handed to the calling thread
// and back through two auto-reset events. A transfer that fails is started again at the byte
// where it stopped; an upload keeps the blocks the host has not yet confirmed, to send them again.
#pragma once

#include <boost/shared_array.hpp>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <windows.h>

namespace vfs_quillmere {

class transfer_channel {
public:
    enum { mode_closed = 0, mode_download = 1, mode_upload = 2 };

    // host_url is the front of the transfer URL (scheme, host, port), path the file's Location.
    transfer_channel(std::string host_url, std::string path, std::string user, std::string password);
    ~transfer_channel();
    transfer_channel(const transfer_channel&) = delete;
    transfer_channel& operator=(const transfer_channel&) = delete;

    // Starts a transfer at offset 0: mode_download or mode_upload.
    void open(std::int32_t mode);
    // Download: up to length bytes; 0 at the end of the file.
    std::int32_t read(void* buffer, std::int32_t length);
    // Upload: takes all length bytes. replay is true only for the channel's own resending.
    std::int32_t write(const void* buffer, std::int32_t length, bool replay);
    // Ends the transfer. A download is cut short; an upload is finished, and one whose
    // connection failed on its last bytes is resumed and finished, or reported.
    void close();
    bool is_eof();
    std::int32_t get_mode() const { return mode_; }

    // The file offset at which the next (re)start begins.
    std::int64_t resume_offset() const { return resume_offset_; }

private:
    struct block {
        boost::shared_array<unsigned char> data;
        std::uint32_t size;
    };
    enum wait_result { buffer_waiting, worker_ended };

    // restart: a resumed transfer (an upload then asks the host where its copy ends).
    bool start(bool restart);
    bool make_events();
    wait_result hand_back();
    wait_result wait_for_worker();
    std::int32_t current_state();
    void finish_worker();
    // Hands bytes to libcurl's waiting buffer; throws "Write failed" when the worker ends.
    void feed(const unsigned char* data, std::uint32_t length, bool replay);
    void resend_pending();
    void confirm_pending();
    void drop_unsent(std::size_t own);

    static unsigned __stdcall worker(void* self);
    static size_t download_data(char* ptr, size_t size, size_t count, void* self);
    static size_t upload_data(char* ptr, size_t size, size_t count, void* self);
    static size_t discard_response(char* ptr, size_t size, size_t count, void* self);
    static size_t no_request_body(char* ptr, size_t size, size_t count, void* self);
    static int seek_data(void* self, std::int64_t offset, int origin);
    size_t exchange(char* ptr, size_t size);
    bool publish(std::vector<char>& staging);
    void run_transfer();

    std::string host_url_;
    std::string path_;
    std::string user_;
    std::string password_;
    std::int64_t resume_offset_ = 0;
    std::int32_t mode_ = mode_closed;
    std::int32_t state_ = 0;
    HANDLE data_ready_ = nullptr;
    HANDLE consumed_ = nullptr;
    HANDLE thread_ = nullptr;
    void* curl_ = nullptr;
    std::int64_t start_time_ = 0;
    unsigned char* buffer_ = nullptr;
    std::uint32_t buffer_size_ = 0;
    std::uint32_t buffer_pos_ = 0;
    std::deque<block> pending_;
    // Worker side of a download: libcurl's pieces gathered in two buffers taken in turn; one
    // may be out with the caller (staged_out_) while the other fills.
    std::vector<char> staging_[2];
    int staging_current_ = 0;
    bool staged_out_ = false;
    CRITICAL_SECTION lock_;

    // Set by the caller while the worker waits: the next hand-back aborts the transfer.
    bool abort_ = false;
    bool restart_ = false;
    // The last transfer was refused because the host showed another key than it used to.
    bool host_key_changed_ = false;
    // A resumed upload learns from libcurl where the host's copy really ends; the bytes of the
    // pending blocks before that point are on the host already and are not sent again.
    bool seek_seen_ = false;
    std::int64_t host_offset_ = 0;
    // Bytes at the front of the first pending block that are on the host already.
    std::uint32_t pending_skip_ = 0;
    // Bytes of the pending blocks handed to libcurl since the last confirmation.
    std::uint64_t handed_ = 0;
};

} // namespace vfs_quillmere
