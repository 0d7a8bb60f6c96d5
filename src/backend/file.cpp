#include "backend/file.h"

#include "backend/exception.h"
#include "backend/protocol.h"

namespace vfs_quillmere {

namespace {

[[noreturn]] void not_implemented(const wchar_t* operation)
{
    throw exception(L"Internal error",
                    std::wstring(L"file::") + operation + L"(): Operation not implemented");
}

bool has(std::int32_t mode, std::int32_t bits)
{
    return (mode & bits) == bits;
}

} // namespace

file::file(const client& connection, std::wstring id, std::wstring name, std::wstring link,
           std::wstring location, std::wstring description, std::int64_t size, std::int64_t date_accessed,
           std::int64_t date_modified)
    : client_(connection), id_(std::move(id)), name_(std::move(name)), link_(std::move(link)),
      location_(std::move(location)), description_(std::move(description)), size_(size),
      date_accessed_(date_accessed), date_modified_(date_modified)
{
}

transfer_channel& file::channel()
{
    if (!channel_)
        channel_ = std::make_unique<transfer_channel>(client_.transfer_host(), narrow(location_),
                                                      client_.transfer_user(), client_.transfer_password());
    return *channel_;
}

void file::set_description(std::wstring)
{
    not_implemented(L"set_description");
}

bool file::is_bof()
{
    not_implemented(L"is_bof");
}

vfs::blob file::get_thumbnail()
{
    return raw_request(client_.path() + "/qm_thumbnail.php",
                       {{L"user_id", client_.user_id()}, {L"file_id", id_}});
}

void file::open(std::int32_t mode)
{
    // Readers open with modeRead alone, writers with modeWrite and modeCreate; anything else
    // (read and write at once, say) has no transfer that could serve it.
    std::int32_t channel_mode = transfer_channel::mode_closed;
    if (has(mode, vfs::modeRead) && !(mode & (vfs::modeWrite | vfs::modeCreate)))
        channel_mode = transfer_channel::mode_download;
    else if (has(mode, vfs::modeWrite | vfs::modeCreate) && !(mode & vfs::modeRead))
        channel_mode = transfer_channel::mode_upload;
    channel().open(channel_mode);
    mode_ = mode;
    position_ = 0;
}

void file::close()
{
    if (mode_ == 0)
        throw exception(L"Close failed", L"File is not opened");
    if (channel_ && channel_->get_mode() != transfer_channel::mode_closed) {
        try {
            channel_->close();
        }
        catch (const exception&) {
            // An upload that could not be finished: the pass is over, but the service is not
            // told of contents it does not have, and the size stays as it was.
            mode_ = 0;
            position_ = 0;
            throw;
        }
    }
    client_.operations_request({{L"action", L"update_file_info"}, {L"file_id", id_}});
    if (has(mode_, vfs::modeWrite | vfs::modeCreate))
        size_ = position_;
    mode_ = 0;
    position_ = 0;
}

bool file::is_eof()
{
    return channel_ && channel_->is_eof();
}

void file::seek(std::int64_t offset, std::int32_t origin)
{
    if (origin == vfs::originCurrent && offset == 0)
        return;
    if (origin == vfs::originBeginning && offset == position_)
        return;
    if (origin == vfs::originBeginning && offset == 0) {
        // A transfer only runs forwards: rewinding starts it anew.
        transfer_channel& transfer = channel();
        const std::int32_t mode = transfer.get_mode();
        try {
            transfer.close();
            transfer.open(mode);
        }
        catch (const exception& e) {
            throw exception(L"Seek error", e.get_details());
        }
        position_ = 0;
        return;
    }
    not_implemented(L"seek");
}

std::int32_t file::read(void* pdata, std::int32_t len)
{
    const std::int32_t count = channel().read(pdata, len);
    position_ += count;
    return count;
}

std::int32_t file::write(const void* pdata, std::int32_t len)
{
    const std::int32_t count = channel().write(pdata, len, false);
    position_ += count;
    return count;
}

double file::get_date_accessed()
{
    return ole_date_from_unix(date_accessed_);
}

double file::get_date_modified()
{
    return ole_date_from_unix(date_modified_);
}

double ole_date_from_unix(std::int64_t seconds)
{
    // 25569 days lie between 30 December 1899 and 1 January 1970; no time-zone correction.
    return seconds == 0 ? -1.0 : static_cast<double>(seconds) / 86400.0 + 25569.0;
}

} // namespace vfs_quillmere
