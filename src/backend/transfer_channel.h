// Moves one remote file's contents through libcurl. libcurl drives a transfer by calling back,
// while callers of vfs::file read and write with buffers of their own; so every transfer runs
// libcurl on a worker thread. A download hands each buffer libcurl filled to the calling thread
// and back through two auto-reset events; an upload keeps the blocks written in a list that the
// worker copies libcurl's buffers from, so the caller writes the next buffer while libcurl sends
// the last. A transfer that fails is started again at the byte where it stopped; an upload keeps
// the blocks the host has not yet confirmed, to send them again.
// A transfer fails when no byte has moved for the idle time-out (time spent waiting for the
// caller does not count), and one given up by the caller is cut at once, whatever the link does.
// Transfers share libcurl's connection cache: a file moved after another to the same host with
// the same credentials goes over the connection the first one left, without a new handshake.
#pragma once

#include <boost/shared_array.hpp>

#include <atomic>
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

    // How long a transfer may go without moving a byte; applies from the next (re)start.
    void set_idle_timeout(unsigned long milliseconds) { idle_timeout_ms_ = milliseconds; }

    // Starts a transfer at offset 0: mode_download or mode_upload. A download whose connection
    // fails after the host opened the file opens all the same: the first read resumes it.
    void open(std::int32_t mode);
    // Download: up to length bytes; 0 at the end of the file.
    std::int32_t read(void* buffer, std::int32_t length);
    // Upload: takes all length bytes.
    std::int32_t write(const void* buffer, std::int32_t length);
    // Ends the transfer. A download is cut short; an upload either gets every byte that write
    // took onto the host, resuming once when its connection failed, or fails.
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
    // Tells the worker to give up and cuts its connection, so that it ends at once.
    void abandon();
    void cut_connection();
    void finish_worker();
    // Takes the bytes the host acknowledged since the last confirmation off the pending blocks.
    void confirm_pending();
    // Under lock_ (or with no worker running).
    void drop_confirmed(std::uint64_t confirmed);
    void drop_unsent(std::size_t own);
    // Pending bytes libcurl has not been given yet; unsent_bytes under lock_.
    std::uint64_t unsent();
    std::uint64_t unsent_bytes() const { return pending_bytes_ - pending_skip_ - handed_; }
    // Lets the worker send the last bytes and end the upload; true when the host confirmed
    // everything.
    bool finish_upload();

    static unsigned __stdcall worker(void* self);
    static size_t download_data(char* ptr, size_t size, size_t count, void* self);
    static size_t upload_data(char* ptr, size_t size, size_t count, void* self);
    static size_t discard_response(char* ptr, size_t size, size_t count, void* self);
    static size_t no_request_body(char* ptr, size_t size, size_t count, void* self);
    static int seek_data(void* self, std::int64_t offset, int origin);
    // The worker was back from waiting for the caller: that time was nobody's idle time.
    void caller_returned();
    int perform(void* easy);
    // Worker side of an upload: fills libcurl's buffer from the pending bytes not yet sent,
    // waiting for the caller when it has not written enough yet.
    size_t take_upload(char* ptr, size_t size);
    // Under lock_: copies up to length unsent bytes; answers how many.
    std::size_t copy_unsent(char* out, std::size_t length) const;
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
    // The multi handle the worker's transfer runs in, under lock_ (cut_connection wakes it).
    void* multi_ = nullptr;
    unsigned long idle_timeout_ms_;
    // Worker side: bytes moved as libcurl last reported them, and when that count last changed.
    std::uint64_t moved_ = 0;
    std::uint64_t moved_at_ = 0;
    // The worker's last transfer got as far as the host's opened file (set with state_).
    bool reached_file_ = false;
    // Worker side: the running transfer took its connection over from the shared cache.
    bool took_over_ = false;
    // The download buffer out with the caller.
    unsigned char* buffer_ = nullptr;
    std::uint32_t buffer_size_ = 0;
    std::uint32_t buffer_pos_ = 0;
    // Upload, under lock_: the blocks written and not yet confirmed by the host, their bytes, and
    // how many of those (after pending_skip_) the running transfer has given libcurl.
    std::deque<block> pending_;
    std::uint64_t pending_bytes_ = 0;
    std::uint64_t handed_ = 0;
    // What the worker waits for before it answers libcurl; 0 while it does not wait.
    std::uint64_t wanted_ = 0;
    // Worker side of a download: libcurl's pieces gathered in two buffers taken in turn; one
    // may be out with the caller (staged_out_) while the other fills.
    std::vector<char> staging_[2];
    int staging_current_ = 0;
    bool staged_out_ = false;
    CRITICAL_SECTION lock_;

    // Set by the caller: the worker aborts at its next hand-over or progress report.
    std::atomic<bool> abort_{false};
    // The running transfer resumes a failed one; cleared by the worker at its first request for data.
    bool restart_ = false;
    // The last transfer was refused because the host showed another key than it used to.
    bool host_key_changed_ = false;
    // A resumed upload learns from libcurl where the host's copy really ends; the bytes of the
    // pending blocks before that point are on the host already and are not sent again.
    bool seek_seen_ = false;
    // Bytes at the front of the first pending block that are on the host already.
    std::uint32_t pending_skip_ = 0;
    // Bytes of this transfer the host acknowledged, as libcurl counted them at its last request
    // for data, and how many of them confirm_pending has taken off the pending blocks.
    std::uint64_t acked_ = 0;
    std::uint64_t confirmed_ = 0;
    // The caller wrote its last bytes: libcurl gets what is left, then the end of the upload.
    bool finishing_ = false;
};

} // namespace vfs_quillmere
