#include "backend/file.h"

#include "backend/exception.h"

namespace vfs_quillmere {

namespace {

[[noreturn]] void not_implemented(const wchar_t* operation)
{
    throw exception(L"Internal error", std::wstring(L"file::") + operation + L"(): Operation not implemented");
}

} // namespace

file::file(const client& connection, std::wstring id, std::wstring name, std::wstring link, std::wstring location,
           std::wstring description, std::int64_t size, std::int64_t date_accessed, std::int64_t date_modified)
    : client_(connection), id_(std::move(id)), name_(std::move(name)), link_(std::move(link)),
      location_(std::move(location)), description_(std::move(description)), size_(size),
      date_accessed_(date_accessed), date_modified_(date_modified)
{
}

void file::set_description(std::wstring)
{
    not_implemented(L"set_description");
}

bool file::is_bof()
{
    not_implemented(L"is_bof");
}

// Contents move through the transfer channel; until it is wired in these are not available.
vfs::blob file::get_thumbnail()
{
    not_implemented(L"get_thumbnail");
}
void file::open(std::int32_t)
{
    not_implemented(L"open");
}
void file::close()
{
    not_implemented(L"close");
}
bool file::is_eof()
{
    not_implemented(L"is_eof");
}
void file::seek(std::int64_t, std::int32_t)
{
    not_implemented(L"seek");
}
std::int32_t file::read(void*, std::int32_t)
{
    not_implemented(L"read");
}
std::int32_t file::write(const void*, std::int32_t)
{
    not_implemented(L"write");
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
