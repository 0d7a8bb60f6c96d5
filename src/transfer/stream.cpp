#include "transfer/stream.h"

#include "module/resource.h"
#include "shell/boundary.h"
#include "ui/prompts.h"
#include "ui/texts.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

// CopyTo's pass size: a drop target copying a large file never holds more than this.
constexpr ULONG copy_buffer_size = 4096;

void copy_text(const std::wstring& text, LPWSTR buffer, ULONG length)
{
    if (!buffer || !length)
        return;
    const std::size_t n = std::min<std::size_t>(text.size(), length - 1);
    std::memcpy(buffer, text.data(), n * sizeof(wchar_t));
    buffer[n] = L'\0';
}

} // namespace

const QITAB* CStreamImpl::interface_table()
{
    static const QITAB table[] = {
        QITABENT(CStreamImpl, IStreamImpl),
        QITABENT(CStreamImpl, IStream),
        QITABENTMULTI(CStreamImpl, ISequentialStream, IStream),
        {},
    };
    return table;
}

template <class Step> HRESULT CStreamImpl::attempt(UINT text_id, Step step)
{
    for (;;) {
        try {
            step();
            return S_OK;
        }
        catch (const vfs::exception& e) {
            error_message_ = e.get_message();
            error_description_ = e.get_details();
            if (!interactive_)
                return E_FAIL;
            // No owner: the consumer reading the stream may be another process's window.
            const int answer = ui::ask(nullptr, ui::text(text_id, {file_->get_name(), error_description_}),
                                       ui::load_string(IDS_STREAM_ERROR_CAPTION),
                                       MB_RETRYCANCEL | MB_ICONERROR | MB_SYSTEMMODAL);
            if (answer != IDRETRY)
                return E_FAIL;
        }
    }
}

HRESULT CStreamImpl::Init(const boost::shared_ptr<vfs::file>& file)
{
    if (!file)
        return E_INVALIDARG;
    return com_boundary([&] {
        file_ = file;
        const HRESULT hr = attempt(IDS_STREAM_CANT_OPEN, [&] { file_->open(vfs::modeRead); });
        open_ = SUCCEEDED(hr);
        return hr;
    });
}

CStreamImpl::~CStreamImpl()
{
    if (open_)
        com_boundary([&] { return attempt(IDS_STREAM_CANT_CLOSE, [&] { file_->close(); }); });
}

IFACEMETHODIMP CStreamImpl::SetSilent()
{
    interactive_ = false;
    return S_OK;
}

IFACEMETHODIMP CStreamImpl::GetError(LPWSTR message, LPWSTR description, ULONG message_length,
                                     ULONG description_length)
{
    if (error_message_.empty() || error_description_.empty())
        return E_FAIL;
    copy_text(error_message_, message, message_length);
    copy_text(error_description_, description, description_length);
    return S_OK;
}

IFACEMETHODIMP CStreamImpl::Read(void* buffer, ULONG count, ULONG* read)
{
    if (read)
        *read = 0;
    if (!buffer)
        return E_POINTER;
    return com_boundary([&]() -> HRESULT {
        bool end = false;
        std::int32_t got = 0;
        const auto length = static_cast<std::int32_t>(std::min<ULONG>(count, INT_MAX));
        const HRESULT hr = attempt(IDS_STREAM_CANT_READ, [&] {
            end = file_->is_eof();
            if (!end)
                got = file_->read(buffer, length);
        });
        if (FAILED(hr))
            return hr;
        if (end)
            return S_FALSE;
        if (read)
            *read = static_cast<ULONG>(got);
        return S_OK;
    });
}

IFACEMETHODIMP CStreamImpl::Write(const void* buffer, ULONG count, ULONG* written)
{
    if (written)
        *written = 0;
    if (!buffer)
        return E_POINTER;
    return com_boundary([&]() -> HRESULT {
        std::int32_t put = 0;
        const HRESULT hr = attempt(IDS_STREAM_CANT_WRITE, [&] {
            if (!(file_->get_mode() & vfs::modeWrite)) {
                // The stream was opened for reading: reopen for writing where it stood.
                const std::int64_t position = file_->get_pos();
                if (open_) {
                    file_->close();
                    open_ = false;
                }
                file_->open(vfs::modeWrite | vfs::modeCreate);
                open_ = true;
                file_->seek(position, vfs::originBeginning);
            }
            put = file_->write(buffer, static_cast<std::int32_t>(std::min<ULONG>(count, INT_MAX)));
        });
        if (SUCCEEDED(hr) && written)
            *written = static_cast<ULONG>(put);
        return hr;
    });
}

IFACEMETHODIMP CStreamImpl::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position)
{
    if (origin > STREAM_SEEK_END)
        return STG_E_INVALIDFUNCTION;
    return com_boundary([&] {
        std::int64_t now = 0;
        const HRESULT hr = attempt(IDS_STREAM_CANT_SEEK, [&] {
            file_->seek(move.QuadPart, static_cast<std::int32_t>(origin));
            now = file_->get_pos();
        });
        if (SUCCEEDED(hr) && position)
            position->QuadPart = static_cast<ULONGLONG>(now);
        return hr;
    });
}

IFACEMETHODIMP CStreamImpl::Stat(STATSTG* stat, DWORD)
{
    if (!stat)
        return E_POINTER;
    return com_boundary([&] {
        std::int64_t size = 0;
        const HRESULT hr = attempt(IDS_STREAM_CANT_SEEK, [&] { size = file_->get_size(); });
        if (SUCCEEDED(hr))
            stat->cbSize.QuadPart = static_cast<ULONGLONG>(size);
        return hr;
    });
}

IFACEMETHODIMP CStreamImpl::CopyTo(IStream* target, ULARGE_INTEGER count, ULARGE_INTEGER* read,
                                   ULARGE_INTEGER* written)
{
    if (read)
        read->QuadPart = 0;
    if (written)
        written->QuadPart = 0;
    if (!target)
        return E_POINTER;
    BYTE buffer[copy_buffer_size];
    for (ULONGLONG left = count.QuadPart; left;) {
        ULONG got = 0;
        const HRESULT hr =
            Read(buffer, static_cast<ULONG>(std::min<ULONGLONG>(left, copy_buffer_size)), &got);
        // A file that delivers nothing more has ended, whatever its end flag says.
        if (hr == S_FALSE || (hr == S_OK && got == 0))
            return S_OK;
        if (FAILED(hr))
            return hr;
        ULONG put = 0;
        const HRESULT wrote = target->Write(buffer, got, &put);
        if (read)
            read->QuadPart += got;
        if (written)
            written->QuadPart += put;
        if (FAILED(wrote))
            return wrote;
        if (put < got)
            return STG_E_MEDIUMFULL;
        left -= got;
    }
    return S_OK;
}

IFACEMETHODIMP CStreamImpl::SetSize(ULARGE_INTEGER)
{
    return E_NOTIMPL;
}

IFACEMETHODIMP CStreamImpl::Commit(DWORD)
{
    return E_NOTIMPL;
}

IFACEMETHODIMP CStreamImpl::Revert()
{
    return E_NOTIMPL;
}

IFACEMETHODIMP CStreamImpl::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD)
{
    return E_NOTIMPL;
}

IFACEMETHODIMP CStreamImpl::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD)
{
    return E_NOTIMPL;
}

IFACEMETHODIMP CStreamImpl::Clone(IStream** out)
{
    if (out)
        *out = nullptr;
    return E_NOTIMPL;
}

HRESULT create_stream(const boost::shared_ptr<vfs::file>& file, REFIID riid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    return com_boundary([&] {
        auto stream = com::make<CStreamImpl>();
        const HRESULT hr = stream->Init(file);
        if (FAILED(hr))
            return hr;
        return stream->QueryInterface(riid, out);
    });
}

HRESULT create_folder_stream(folder_object_request& request, REFIID riid, void** out)
{
    return create_stream(boost::dynamic_pointer_cast<vfs::file>(request.item), riid, out);
}
