#include "backend/transfer_channel.h"

#include "backend/curl_library.h"
#include "backend/exception.h"
#include "backend/known_hosts.h"
#include "com/module_base.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <vector>

#include <process.h>

namespace vfs_quillmere {

static_assert(std::is_same_v<curl_off_t, std::int64_t>, "seek_data must match libcurl's seek callback");

namespace {

// A transfer fails after this long without a byte moving. It is measured by bytes, not by
// buffers: a link too slow to fill one of the large buffers below within it still completes.
constexpr unsigned long idle_timeout_ms = 25000;

// libcurl's defaults (16 KiB received, 64 KiB sent per buffer) cost one thread hand-over per
// small buffer, and libssh2 sizes its SFTP read-ahead to four times the receive buffer and
// waits for the host's acknowledgements once per send buffer, so small buffers leave the link
// idle most of the time. These are libcurl's largest sizes.
constexpr long receive_buffer_size = 512 * 1024;
constexpr long send_buffer_size = 2 * 1024 * 1024;
constexpr std::size_t staging_size = 512 * 1024;
// How far an upload's caller may run ahead of libcurl: a whole send buffer, so the next one is
// ready when libcurl asks and the link never waits for the caller to fill it.
constexpr std::uint64_t upload_window = send_buffer_size;

using section_lock = com::critical_section_lock;

[[noreturn]] void fail(const wchar_t* message, const wchar_t* details)
{
    throw exception(message, details);
}

// The port at one end of a connected socket (getsockname or getpeername); -1 when unknown.
template <typename Query> long port_of(curl_socket_t socket, Query query)
{
    sockaddr_storage address{};
    int length = sizeof address;
    if (query(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return -1;
}

// The sockets of libcurl's connections, each with the channel whose transfer uses it now (none
// while its connection waits in the shared cache). A connection outlives the transfer that made
// it, and libcurl keeps the close-socket callback and its data with the connection, so that
// callback gets this registry, never a channel that may be gone. A transfer that takes over a
// cached connection claims its socket, so that giving the transfer up cuts it like one of its own.
class socket_registry {
public:
    static socket_registry& instance()
    {
        // Never destroyed: connections left in the cache are closed, if ever, at any time.
        static socket_registry* const registry = new socket_registry;
        return *registry;
    }

    void opened(curl_socket_t socket, const void* owner)
    {
        section_lock guard(lock_);
        sockets_.push_back({socket, owner});
    }

    // The socket connected from local_port to remote_port becomes owner's; true when it came
    // from the cache rather than from owner's own transfer.
    bool claim(long local_port, long remote_port, const void* owner)
    {
        section_lock guard(lock_);
        for (entry& e : sockets_) {
            if (port_of(e.socket, getsockname) == local_port &&
                port_of(e.socket, getpeername) == remote_port) {
                const bool taken_over = e.owner != owner;
                e.owner = owner;
                return taken_over;
            }
        }
        return false;
    }

    // The owner's transfer ended: its connections are closed or back in the cache.
    void release(const void* owner)
    {
        section_lock guard(lock_);
        for (entry& e : sockets_) {
            if (e.owner == owner)
                e.owner = nullptr;
        }
    }

    // Makes every wait of libcurl on the owner's sockets return at once with an error.
    void cut(const void* owner)
    {
        section_lock guard(lock_);
        for (const entry& e : sockets_) {
            if (e.owner == owner)
                shutdown(static_cast<SOCKET>(e.socket), SD_BOTH);
        }
    }

    static int closing(void* self, curl_socket_t socket)
    {
        auto* registry = static_cast<socket_registry*>(self);
        {
            section_lock guard(registry->lock_);
            auto& sockets = registry->sockets_;
            sockets.erase(std::remove_if(sockets.begin(), sockets.end(),
                                         [&](const entry& e) { return e.socket == socket; }),
                          sockets.end());
        }
        return closesocket(socket);
    }

private:
    struct entry {
        curl_socket_t socket;
        const void* owner;
    };

    socket_registry() { InitializeCriticalSection(&lock_); }

    CRITICAL_SECTION lock_;
    std::vector<entry> sockets_;
};

} // namespace

transfer_channel::transfer_channel(std::string host_url, std::string path, std::string user,
                                   std::string password)
    : host_url_(std::move(host_url)), path_(std::move(path)), user_(std::move(user)),
      password_(std::move(password)), idle_timeout_ms_(idle_timeout_ms)
{
    // The two events are made by open, which can report their failure.
    InitializeCriticalSection(&lock_);
}

bool transfer_channel::make_events()
{
    if (!data_ready_)
        data_ready_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!consumed_)
        consumed_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return data_ready_ && consumed_;
}

transfer_channel::~transfer_channel()
{
    // The worker may still be blocked in a hand-over that points into this object: it is told to
    // abort and waited for before anything is freed. An upload left open is abandoned, not
    // finished, and not resumed.
    if (thread_) {
        abandon();
        CloseHandle(thread_);
    }
    if (data_ready_)
        CloseHandle(data_ready_);
    if (consumed_)
        CloseHandle(consumed_);
    DeleteCriticalSection(&lock_);
}

std::int32_t transfer_channel::current_state()
{
    section_lock guard(lock_);
    return state_;
}

transfer_channel::wait_result transfer_channel::wait_for_worker()
{
    if (!thread_)
        return worker_ended;
    const HANDLE handles[2] = {data_ready_, thread_};
    return WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 ? buffer_waiting
                                                                                : worker_ended;
}

void transfer_channel::abandon()
{
    // The worker may be waiting on a stalled link, where only libcurl's own time-out would end
    // it: shutting its sockets down makes every wait of libcurl's return with an error at once,
    // and the flag stops it at the next hand-over or progress report.
    abort_ = true;
    cut_connection();
    while (hand_back() == buffer_waiting) {
    }
}

void transfer_channel::cut_connection()
{
    socket_registry::instance().cut(this);
    section_lock guard(lock_);
    if (multi_)
        curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

transfer_channel::wait_result transfer_channel::hand_back()
{
    SetEvent(consumed_);
    return wait_for_worker();
}

bool transfer_channel::start(bool restart)
{
    ResetEvent(data_ready_);
    ResetEvent(consumed_);
    if (thread_) {
        // A download can fail while the caller still reads the previous buffer, and be found
        // failed at the next read: the worker has set its state but may not have returned yet.
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    buffer_ = nullptr;
    buffer_size_ = buffer_pos_ = 0;
    abort_ = false;
    finishing_ = false;
    restart_ = restart;
    acked_ = confirmed_ = 0;
    handed_ = wanted_ = 0;
    seek_seen_ = false;
    {
        section_lock guard(lock_);
        state_ = mode_;
        reached_file_ = false;
    }
    if (!ensure_curl_initialised()) {
        section_lock guard(lock_);
        state_ = -1;
        return false;
    }
    const uintptr_t thread = _beginthreadex(nullptr, 0, worker, this, 0, nullptr);
    if (!thread) {
        section_lock guard(lock_);
        state_ = -1;
        return false;
    }
    thread_ = reinterpret_cast<HANDLE>(thread);
    return wait_for_worker() == buffer_waiting || current_state() == 0;
}

unsigned __stdcall transfer_channel::worker(void* self)
{
    static_cast<transfer_channel*>(self)->run_transfer();
    return 0;
}

void transfer_channel::run_transfer()
{
    {
        section_lock guard(lock_);
        state_ = mode_;
    }
    CURLcode result = CURLE_FAILED_INIT;
    curl_off_t reached_file = 0;
    host_key_check key_check(host_url_);
    if (CURL* curl = curl_easy_init()) {
        curl_ = curl;
        const bool upload = mode_ == mode_upload;
        // Both directions get the channel as their data, so no libcurl default (which would take
        // the pointer for a FILE*) is ever called with it: an upload throws away whatever body
        // the host answers with, a download has no request body.
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, upload ? &upload_data : &no_request_body);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, upload ? &discard_response : &download_data);
        curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, &seek_data);
        curl_easy_setopt(curl, CURLOPT_SEEKDATA, this);
        curl_easy_setopt(curl, CURLOPT_UPLOAD, upload ? 1L : 0L);
        curl_easy_setopt(curl, CURLOPT_READDATA, this);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, receive_buffer_size);
        curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, send_buffer_size);
        const std::string credentials = user_ + ":" + password_;
        if (!user_.empty() || !password_.empty())
            curl_easy_setopt(curl, CURLOPT_USERPWD, credentials.c_str());
        // The idle time-out, and the caller's abort, are looked at in every progress report,
        // which libcurl makes at least once a second while a transfer waits.
        curl_xferinfo_callback progress = [](void* self, curl_off_t, curl_off_t received, curl_off_t,
                                             curl_off_t sent) -> int {
            auto* channel = static_cast<transfer_channel*>(self);
            if (channel->abort_)
                return 1;
            const auto moved = static_cast<std::uint64_t>(received + sent);
            const ULONGLONG now = GetTickCount64();
            if (moved != channel->moved_) {
                channel->moved_ = moved;
                channel->moved_at_ = now;
            }
            if (now - channel->moved_at_ < channel->idle_timeout_ms_)
                return 0;
            // libcurl would say goodbye to a host that no longer answers, and wait for it.
            channel->cut_connection();
            return 1;
        };
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
        curl_sockopt_callback opened = [](void* self, curl_socket_t socket, curlsocktype) -> int {
            auto* channel = static_cast<transfer_channel*>(self);
            socket_registry::instance().opened(socket, channel);
            return channel->abort_ ? CURL_SOCKOPT_ERROR : CURL_SOCKOPT_OK;
        };
        // Called once the connection is ready, new or from the cache, before the file is asked for.
        curl_prereq_callback ready = [](void* self, char*, char*, int remote_port, int local_port) -> int {
            auto* channel = static_cast<transfer_channel*>(self);
            channel->took_over_ = socket_registry::instance().claim(local_port, remote_port, channel);
            return channel->abort_ ? CURL_PREREQFUNC_ABORT : CURL_PREREQFUNC_OK;
        };
        curl_easy_setopt(curl, CURLOPT_SOCKOPTFUNCTION, opened);
        curl_easy_setopt(curl, CURLOPT_SOCKOPTDATA, this);
        curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, ready);
        curl_easy_setopt(curl, CURLOPT_PREREQDATA, this);
        curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, &socket_registry::closing);
        curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, &socket_registry::instance());
        // With the share, the easy handle keeps its connections in the share's cache whatever
        // multi handle it runs in, so they outlive perform's own. libcurl returns a connection to
        // the cache only after a transfer that ended well; one that failed or was given up is
        // closed, as its protocol state is unknown.
        if (void* share = shared_connections())
            curl_easy_setopt(curl, CURLOPT_SHARE, share);
        moved_ = 0;
        moved_at_ = GetTickCount64();
        const std::string url = host_url_ + path_;
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        // A resumed upload asks the host how much of the file it holds (-1): bytes that reached
        // the host after the last confirmation would otherwise be appended a second time.
        const curl_off_t resume_from = upload && restart_ ? -1 : resume_offset_;
        curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, resume_from);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        check_host_key(curl, key_check);
        for (std::vector<char>& staging : staging_) {
            staging.clear();
            if (!upload)
                staging.reserve(staging_size);
        }
        staging_current_ = 0;
        staged_out_ = false;
        took_over_ = false;
        result = static_cast<CURLcode>(perform(curl));
        // A cached connection may have died while it waited (the host closed it, or dropped it
        // without a word): a transfer that failed on one before the host opened the file is made
        // once more, on a new connection.
        curl_easy_getinfo(curl, CURLINFO_PRETRANSFER_TIME_T, &reached_file);
        if (result != CURLE_OK && took_over_ && !reached_file && !abort_) {
            curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
            moved_ = 0;
            moved_at_ = GetTickCount64();
            result = static_cast<CURLcode>(perform(curl));
        }
        socket_registry::instance().release(this);
        // The last gathered bytes of a complete download, and the caller's end of the last
        // buffer: the worker outlives every buffer it handed out. A failed download drops what
        // it gathered, and the restart fetches it again from the resume offset.
        if (result == CURLE_OK && !upload) {
            if (!staging_[staging_current_].empty() && !publish(staging_[staging_current_]))
                result = CURLE_WRITE_ERROR;
            else if (staged_out_)
                WaitForSingleObject(consumed_, INFINITE);
        }
        // The host had opened the file when libcurl came to its data phase.
        curl_easy_getinfo(curl, CURLINFO_PRETRANSFER_TIME_T, &reached_file);
        curl_ = nullptr;
        curl_easy_cleanup(curl);
    }
    section_lock guard(lock_);
    reached_file_ = reached_file > 0;
    state_ = result == CURLE_OK ? 0 : -1;
    host_key_changed_ = key_check.changed;
}

int transfer_channel::perform(void* easy)
{
    // What curl_easy_perform does, with a multi handle of the channel's own, so that abandon can
    // wake libcurl from its wait for the network (up to a second) at once.
    CURLM* multi = curl_multi_init();
    if (!multi || curl_multi_add_handle(multi, easy) != CURLM_OK) {
        curl_multi_cleanup(multi);
        return CURLE_OUT_OF_MEMORY;
    }
    {
        section_lock guard(lock_);
        multi_ = multi;
    }
    CURLcode result = CURLE_FAILED_INIT;
    for (int running = 1; running;) {
        if (curl_multi_perform(multi, &running) != CURLM_OK ||
            (running && curl_multi_poll(multi, nullptr, 0, 1000, nullptr) != CURLM_OK))
            break;
    }
    int left = 0;
    while (const CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg == CURLMSG_DONE)
            result = message->data.result;
    }
    {
        section_lock guard(lock_);
        multi_ = nullptr;
    }
    curl_multi_remove_handle(multi, easy);
    curl_multi_cleanup(multi);
    return result;
}

void transfer_channel::caller_returned()
{
    moved_at_ = GetTickCount64();
}

size_t transfer_channel::take_upload(char* ptr, size_t size)
{
    // libcurl asks for more while it still holds unsent bytes (up to a 32nd of its buffer), so a
    // request is no proof that the host has the earlier ones: its count of bytes the host
    // acknowledged is.
    curl_off_t acknowledged = 0;
    curl_easy_getinfo(static_cast<CURL*>(curl_), CURLINFO_SIZE_UPLOAD_T, &acknowledged);
    for (bool waited = false;; waited = true) {
        if (waited)
            WaitForSingleObject(consumed_, INFINITE);
        if (abort_)
            return CURL_READFUNC_ABORT;
        if (waited)
            caller_returned();
        section_lock guard(lock_);
        acked_ = static_cast<std::uint64_t>(acknowledged);
        // A resumed upload whose host did not say where its copy ends, by the first request for
        // data, has started the file anew: the unconfirmed bytes must not land at offset 0.
        if (restart_ && !seek_seen_ && resume_offset_ > 0)
            return CURL_READFUNC_ABORT;
        restart_ = false;
        // Only whole requests are answered until the caller's last bytes: libcurl sends what it
        // is given at once, and small pieces would cost a round of the host's acknowledgements
        // each. After the last bytes, a request that finds nothing left ends the upload.
        const std::uint64_t unsent = unsent_bytes();
        const std::uint64_t whole = std::min<std::uint64_t>(size, upload_window);
        const bool answer = unsent >= whole || finishing_;
        wanted_ = answer ? 0 : whole;
        const std::size_t n =
            answer ? copy_unsent(ptr, static_cast<std::size_t>(std::min<std::uint64_t>(size, unsent))) : 0;
        handed_ += n;
        // Room for a caller waiting to write, and start() learns that the transfer is under way.
        SetEvent(data_ready_);
        if (answer)
            return n;
    }
}

std::size_t transfer_channel::copy_unsent(char* out, std::size_t length) const
{
    std::uint64_t at = pending_skip_ + handed_;
    std::size_t copied = 0;
    for (auto b = pending_.begin(); b != pending_.end() && copied < length; ++b) {
        if (at >= b->size) {
            at -= b->size;
            continue;
        }
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(b->size - at, length - copied));
        std::memcpy(out + copied, b->data.get() + at, piece);
        copied += piece;
        at = 0;
    }
    return copied;
}

bool transfer_channel::publish(std::vector<char>& staging)
{
    if (staged_out_) {
        WaitForSingleObject(consumed_, INFINITE);
        if (abort_)
            return false;
        caller_returned();
    }
    buffer_ = reinterpret_cast<unsigned char*>(staging.data());
    buffer_size_ = static_cast<std::uint32_t>(staging.size());
    buffer_pos_ = 0;
    staged_out_ = true;
    SetEvent(data_ready_);
    return true;
}

size_t transfer_channel::download_data(char* ptr, size_t size, size_t count, void* self)
{
    // libcurl delivers SFTP data in the pieces libssh2 happens to have (often one packet of
    // 30000 bytes or less). A hand-over per piece, with the worker waiting for the caller each
    // time, left libcurl idle for a thread wake-up per packet, which on a busy machine cost
    // more than the transfer. So pieces are gathered into two large buffers in turn: while the
    // caller reads one, libcurl goes on filling the other, and the worker waits only when the
    // caller has not finished the previous buffer.
    auto* channel = static_cast<transfer_channel*>(self);
    const std::size_t n = size * count;
    for (std::size_t taken = 0; taken < n;) {
        std::vector<char>& staging = channel->staging_[channel->staging_current_];
        const std::size_t piece = std::min(n - taken, staging_size - staging.size());
        staging.insert(staging.end(), ptr + taken, ptr + taken + piece);
        taken += piece;
        if (staging.size() == staging_size) {
            if (!channel->publish(staging))
                return 0; // the caller closed the download: abort it
            channel->staging_current_ ^= 1;
            channel->staging_[channel->staging_current_].clear();
        }
    }
    return n;
}

size_t transfer_channel::upload_data(char* ptr, size_t size, size_t count, void* self)
{
    return static_cast<transfer_channel*>(self)->take_upload(ptr, size * count);
}

size_t transfer_channel::discard_response(char*, size_t size, size_t count, void*)
{
    return size * count;
}

size_t transfer_channel::no_request_body(char*, size_t, size_t, void*)
{
    return 0;
}

int transfer_channel::seek_data(void* self, std::int64_t offset, int origin)
{
    auto* channel = static_cast<transfer_channel*>(self);
    if (channel->mode_ != mode_upload)
        return CURL_SEEKFUNC_OK;
    if (origin != SEEK_SET)
        return CURL_SEEKFUNC_CANTSEEK;
    // The host's copy must end between the confirmed bytes and the end of what was written;
    // anything else cannot be continued without corrupting the file. The pending bytes before
    // that point are on the host already and are not sent again.
    section_lock guard(channel->lock_);
    const auto unconfirmed = static_cast<std::int64_t>(channel->pending_bytes_ - channel->pending_skip_);
    if (offset < channel->resume_offset_ || offset > channel->resume_offset_ + unconfirmed)
        return CURL_SEEKFUNC_FAIL;
    channel->seek_seen_ = true;
    channel->drop_confirmed(static_cast<std::uint64_t>(offset - channel->resume_offset_));
    return CURL_SEEKFUNC_OK;
}

void transfer_channel::open(std::int32_t mode)
{
    if (mode != mode_download && mode != mode_upload)
        fail(L"Open failed", L"Invalid open mode");
    if (mode_ != mode_closed)
        fail(L"Open failed", L"File already opened");
    if (!make_events())
        fail(L"Open failed", L"Internet connection failed");
    resume_offset_ = 0;
    mode_ = mode;
    if (!start(false)) {
        // A download cut after the host opened the file is resumed by the first read, as a cut
        // anywhere later is; a host that cannot be reached or refuses the file fails the open.
        bool reached_file = false;
        {
            section_lock guard(lock_);
            reached_file = reached_file_;
        }
        if (mode == mode_download && reached_file)
            return;
        finish_worker();
        fail(L"Open failed",
             host_key_changed_ ? L"The transfer host's key has changed" : L"Internet connection failed");
    }
}

std::int32_t transfer_channel::read(void* buffer, std::int32_t length)
{
    if (!buffer)
        fail(L"Read failed", L"buffer is NULL");
    if (length < 0)
        fail(L"Read failed", L"buffer length is negative");
    if (mode_ == mode_closed)
        fail(L"Read failed", L"File not opened");
    if (mode_ != mode_download)
        fail(L"Read failed", L"Incorrect file mode");
    const std::int32_t state = current_state();
    if (state < 0) {
        if (!start(true))
            fail(L"Read failed", L"Internet connection failed");
    }
    else if (state == 0) {
        return 0;
    }
    auto* out = static_cast<unsigned char*>(buffer);
    std::int32_t copied = 0;
    while (copied < length) {
        const std::uint32_t n =
            std::min<std::uint32_t>(buffer_size_ - buffer_pos_, static_cast<std::uint32_t>(length - copied));
        if (n) {
            std::memcpy(out + copied, buffer_ + buffer_pos_, n);
            buffer_pos_ += n;
            copied += static_cast<std::int32_t>(n);
        }
        // Handing back as soon as a buffer is used up, even when the call is satisfied, lets
        // is_eof answer right after the last byte without another read.
        if (buffer_pos_ == buffer_size_ && hand_back() == worker_ended) {
            if (current_state() == 0)
                break;
            // The bytes of this call are not counted: the restart delivers them again.
            fail(L"Read failed", L"Internet connection failed");
        }
    }
    resume_offset_ += copied;
    return copied;
}

void transfer_channel::confirm_pending()
{
    section_lock guard(lock_);
    const std::uint64_t confirmed = acked_ - confirmed_;
    confirmed_ = acked_;
    drop_confirmed(confirmed);
    handed_ -= confirmed;
}

void transfer_channel::drop_confirmed(std::uint64_t confirmed)
{
    resume_offset_ += static_cast<std::int64_t>(confirmed);
    while (confirmed && !pending_.empty()) {
        const std::uint32_t left = pending_.front().size - pending_skip_;
        if (confirmed >= left) {
            confirmed -= left;
            pending_bytes_ -= pending_.front().size;
            pending_.pop_front();
            pending_skip_ = 0;
        }
        else {
            pending_skip_ += static_cast<std::uint32_t>(confirmed);
            confirmed = 0;
        }
    }
}

std::uint64_t transfer_channel::unsent()
{
    section_lock guard(lock_);
    return unsent_bytes();
}

std::int32_t transfer_channel::write(const void* buffer, std::int32_t length)
{
    if (!buffer)
        fail(L"Write failed", L"buffer is NULL");
    if (length < 0)
        fail(L"Write failed", L"buffer length is negative");
    if (mode_ == mode_closed)
        fail(L"Write failed", L"File not opened");
    if (mode_ != mode_upload)
        fail(L"Write failed", L"Incorrect file mode");
    const auto size = static_cast<std::uint32_t>(length);
    // The bytes join the unconfirmed ones before a restart, so that the host's copy may end
    // inside them: a retried write brings the same bytes as the one that failed.
    if (size) {
        block b{boost::shared_array<unsigned char>(new unsigned char[size]), size};
        std::memcpy(b.data.get(), buffer, size);
        section_lock guard(lock_);
        pending_.push_back(b);
        pending_bytes_ += size;
    }
    const std::size_t own = size ? 1 : 0;
    try {
        // A transfer that failed since the last call starts again where the host's copy ends;
        // the worker sends the rest of the pending bytes by itself.
        if (current_state() <= 0 && !start(true))
            fail(L"Write failed", L"Internet connection failed");
        // The worker may be waiting for these bytes; it is woken only once they make up what it
        // waits for, not at every small write.
        bool enough = false;
        {
            section_lock guard(lock_);
            enough = wanted_ && unsent_bytes() >= wanted_;
        }
        if (enough)
            SetEvent(consumed_);
        while (unsent() > upload_window) {
            if (wait_for_worker() == worker_ended)
                fail(L"Write failed", L"Internet connection failed");
        }
        confirm_pending();
    }
    catch (const exception&) {
        drop_unsent(own);
        throw;
    }
    return length;
}

void transfer_channel::drop_unsent(std::size_t own)
{
    // A failed write takes none of its bytes: the caller writes them again (or gives up). The
    // worker has ended, so nothing reads the list.
    section_lock guard(lock_);
    if (own && !pending_.empty()) {
        if (pending_.size() == 1 && pending_skip_) {
            resume_offset_ -= pending_skip_;
            pending_skip_ = 0;
        }
        pending_bytes_ -= pending_.back().size;
        pending_.pop_back();
    }
}

void transfer_channel::finish_worker()
{
    if (thread_) {
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    pending_.clear();
    pending_bytes_ = 0;
    pending_skip_ = 0;
    resume_offset_ = 0;
    mode_ = mode_closed;
}

bool transfer_channel::finish_upload()
{
    {
        section_lock guard(lock_);
        finishing_ = true;
    }
    SetEvent(consumed_);
    while (wait_for_worker() == buffer_waiting)
        confirm_pending();
    return current_state() == 0;
}

void transfer_channel::close()
{
    if (mode_ == mode_closed)
        fail(L"Close failed", L"File is not opened");
    if (mode_ == mode_download) {
        abandon();
        finish_worker();
        return;
    }
    // The upload's connection may fail on its last bytes, or may have failed after the last
    // write: the bytes write took are then not all on the host, and nobody calls write again to
    // resume. So close resumes for as long as each resumption finds more of the file on the host
    // than the one before. One that finds no more ends it, which bounds close on a dead network
    // to two idle time-outs, while a link that drops now and then still completes.
    bool done = current_state() > 0 && finish_upload();
    for (std::int64_t host_end = -1; !done && start(true) && resume_offset_ > host_end;) {
        host_end = resume_offset_;
        done = finish_upload();
    }
    if (!done && thread_)
        abandon();
    finish_worker();
    if (!done)
        fail(L"Close failed", L"Internet connection failed");
}

bool transfer_channel::is_eof()
{
    return mode_ == mode_download && current_state() == 0 && buffer_pos_ == buffer_size_;
}

} // namespace vfs_quillmere
