#include "transfer/engine.h"

#include "module/module.h"
#include "module/resource.h"
#include "ui/texts.h"
#include "shell/connection.h"
#include "transfer/views/file_descriptor.h"
#include "transfer/views/hdrop.h"
#include "ui/prompts.h"
#include "ui/texts.h"

#include <wrl/client.h>

#include <exception>
#include <limits>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

constexpr std::uint64_t size_failed = std::numeric_limits<std::uint64_t>::max();
// Memory use does not depend on the file size: every file streams through this one buffer.
constexpr std::int32_t buffer_size = 16384;
constexpr ULONGLONG progress_interval_ms = 100;

using ui::fill;
using ui::load_string;

UINT question_buttons(bool only_files)
{
    return MB_ICONWARNING | (only_files ? MB_YESNO : MB_YESNOCANCEL);
}

UINT error_buttons(bool only_files)
{
    return MB_ICONERROR | (only_files ? MB_RETRYCANCEL : MB_ABORTRETRYIGNORE);
}

void show_exception(HWND owner, const std::wstring& message, const std::wstring& details)
{
    ui::ask(owner, details, message, MB_OK | MB_ICONERROR);
}

enum class outcome { done, skip, abort };

// One step of a copy: repeated while the user answers Retry to its error.
struct item_prompts {
    HWND owner;
    IProgressDialog* progress;
    std::wstring name;
    bool only_files;

    template <typename Step> outcome attempt(UINT caption_id, UINT text_id, Step step) const
    {
        for (;;) {
            try {
                step();
                return outcome::done;
            }
            catch (const vfs::exception& e) {
                const int answer = ShowTransferError(owner, progress, caption_id, text_id, name,
                                                     e.get_details(), error_buttons(only_files));
                if (answer == IDRETRY)
                    continue;
                return answer == IDABORT ? outcome::abort : outcome::skip;
            }
        }
    }
    template <typename Step> outcome attempt(UINT text_id, Step step) const
    {
        return attempt(IDS_ERROR_CAPTION, text_id, step);
    }
};

} // namespace

HWND prompt_owner(HWND owner, IProgressDialog* progress)
{
    ComPtr<IOleWindow> window;
    HWND hwnd = nullptr;
    if (progress && SUCCEEDED(progress->QueryInterface(IID_PPV_ARGS(&window))) &&
        SUCCEEDED(window->GetWindow(&hwnd)) && hwnd)
        return hwnd;
    return owner;
}

int ShowTransferMessage(HWND owner, IProgressDialog* progress, UINT caption_id, UINT text_id,
                        const std::wstring& name, UINT flags)
{
    return ui::ask(prompt_owner(owner, progress), fill(load_string(text_id), {name}), load_string(caption_id),
                   flags);
}

int ShowTransferError(HWND owner, IProgressDialog* progress, UINT caption_id, UINT text_id,
                      const std::wstring& name, const std::wstring& error, UINT flags)
{
    // The error text is the service's: cut like every other box of its texts.
    return ui::ask(prompt_owner(owner, progress),
                   fill(load_string(text_id), {name, box_text(error, box_details_limit)}),
                   load_string(caption_id), flags);
}

std::uint64_t ComputeTransferSize(const boost::shared_ptr<vfs::directory>& source, bool* only_files)
{
    std::uint64_t sum = 0;
    for (const auto& child : source->get_items()) {
        if (child->get_type() == vfs::typeDirectory) {
            *only_files = false;
            const auto folder = boost::dynamic_pointer_cast<vfs::directory>(child);
            if (!folder)
                return size_failed;
            const std::uint64_t size = ComputeTransferSize(folder, only_files);
            if (size == size_failed)
                return size_failed;
            sum += size;
        }
        else {
            const auto file = boost::dynamic_pointer_cast<vfs::file>(child);
            if (!file)
                return size_failed;
            sum += static_cast<std::uint64_t>(file->get_size());
        }
    }
    return sum;
}

HRESULT CopyOneFile(HWND owner, const boost::shared_ptr<vfs::file>& source,
                    const boost::shared_ptr<vfs::directory>& destination, IProgressDialog* progress,
                    std::uint64_t* completed, std::uint64_t total, bool only_files, DWORD effect)
{
    const item_prompts copy{owner, progress, source->get_name(), only_files};
    const std::wstring& name = copy.name;
    progress->SetLine(
        1,
        fill(load_string(effect == DROPEFFECT_COPY ? IDS_TRANSFER_COPYING_FILE : IDS_TRANSFER_MOVING_FILE),
             {name})
            .c_str(),
        TRUE, nullptr);

    boost::shared_ptr<vfs::file> target;
    // A file that does not complete leaves nothing behind: neither a half-written new file nor
    // a partly replaced one.
    auto stop = [&](bool abort) {
        try {
            source->close();
        }
        catch (const vfs::exception&) {
        }
        if (target) {
            try {
                target->close();
            }
            catch (const vfs::exception&) {
            }
            try {
                destination->get_item(name);
                destination->delete_item(name);
            }
            catch (const vfs::exception&) {
            }
        }
        return abort ? E_ABORT : E_FAIL;
    };

    boost::shared_ptr<vfs::item> existing;
    try {
        existing = destination->get_item(name);
    }
    catch (const vfs::exception&) {
    }
    if (existing) {
        const auto existing_file = boost::dynamic_pointer_cast<vfs::file>(existing);
        if (existing->get_type() != vfs::typeFile || !existing_file) {
            ShowTransferMessage(owner, progress, IDS_FILE_ERROR_CAPTION, IDS_FILE_ERROR_TEXT, name,
                                MB_ICONERROR);
            return stop(true);
        }
        const int answer = ShowTransferMessage(owner, progress, IDS_REPLACE_CAPTION, IDS_REPLACE_TEXT, name,
                                               question_buttons(only_files));
        if (answer != IDYES)
            return stop(answer == IDCANCEL);
        target = existing_file;
    }

    outcome result = outcome::done;
    if (!target)
        result = copy.attempt(IDS_CANT_CREATE, [&] {
            target = destination->create_file_alloc(name, static_cast<std::uint64_t>(source->get_size()));
        });
    if (result == outcome::done)
        result = copy.attempt(IDS_CANT_READ, [&] { source->open(vfs::modeRead); });
    if (result == outcome::done)
        result = copy.attempt(IDS_CANT_WRITE, [&] { target->open(vfs::modeWrite | vfs::modeCreate); });

    std::vector<char> buffer(buffer_size);
    // Each progress update is a message to the dialog's thread, which costs about a millisecond
    // under Wine: once per buffer it took more time than the upload itself. Asking for a cancel
    // is cheap and stays per buffer.
    ULONGLONG shown_at = 0;
    const auto show_progress = [&](bool now) {
        const ULONGLONG tick = GetTickCount64();
        if (now || tick - shown_at >= progress_interval_ms) {
            progress->SetProgress64(*completed, total);
            shown_at = tick;
        }
    };
    while (result == outcome::done) {
        std::int32_t count = 0;
        result = copy.attempt(IDS_CANT_READ, [&] { count = source->read(buffer.data(), buffer_size); });
        if (result != outcome::done || count == 0)
            break;
        std::int32_t written = 0;
        result = copy.attempt(IDS_CANT_WRITE, [&] { written = target->write(buffer.data(), count); });
        if (result != outcome::done)
            break;
        *completed += static_cast<std::uint64_t>(written);
        show_progress(false);
        if (progress->HasUserCancelled())
            result = outcome::abort;
    }
    show_progress(true);
    if (result == outcome::done)
        result = copy.attempt(IDS_CANT_CLOSE, [&] { source->close(); });
    if (result == outcome::done)
        result = copy.attempt(IDS_CANT_CLOSE, [&] { target->close(); });
    return result == outcome::done ? S_OK : stop(result == outcome::abort);
}

// The destination folder of a source folder: created, or an existing one merged with the user's
// consent. S_OK with target set; E_FAIL (skipped) or E_ABORT without.
static HRESULT place_folder(HWND owner, const std::wstring& name,
                            const boost::shared_ptr<vfs::directory>& destination, IProgressDialog* progress,
                            bool only_files, boost::shared_ptr<vfs::directory>& target)
{
    boost::shared_ptr<vfs::item> existing;
    try {
        existing = destination->get_item(name);
    }
    catch (const vfs::exception&) {
    }
    if (!existing) {
        const item_prompts prompts{owner, progress, name, only_files};
        const outcome created = prompts.attempt(IDS_FOLDER_ERROR_CAPTION, IDS_FOLDER_ERROR_TEXT,
                                                [&] { target = destination->create_directory(name); });
        return created == outcome::done ? S_OK : created == outcome::abort ? E_ABORT : E_FAIL;
    }
    if (existing->get_type() != vfs::typeDirectory ||
        !boost::dynamic_pointer_cast<vfs::directory>(existing)) {
        ShowTransferMessage(owner, progress, IDS_FOLDER_ERROR_CAPTION, IDS_FOLDER_ERROR_TEXT, name,
                            MB_ICONERROR);
        return E_ABORT;
    }
    const int answer = ShowTransferMessage(owner, progress, IDS_MERGE_CAPTION, IDS_MERGE_TEXT, name,
                                           question_buttons(only_files));
    if (answer == IDYES)
        target = boost::dynamic_pointer_cast<vfs::directory>(existing);
    return answer == IDYES ? S_OK : answer == IDCANCEL ? E_ABORT : E_FAIL;
}

HRESULT CopyDirectoryItems(HWND owner, const boost::shared_ptr<vfs::directory>& source,
                           const boost::shared_ptr<vfs::directory>& destination, IProgressDialog* progress,
                           std::uint64_t* completed, std::uint64_t total, bool only_files, DWORD effect)
{
    bool skipped = false;
    try {
        for (const auto& child : source->get_items()) {
            HRESULT hr = S_OK;
            if (child->get_type() != vfs::typeDirectory) {
                const auto file = boost::dynamic_pointer_cast<vfs::file>(child);
                if (!file)
                    return E_ABORT;
                hr = CopyOneFile(owner, file, destination, progress, completed, total, only_files, effect);
            }
            else {
                const auto folder = boost::dynamic_pointer_cast<vfs::directory>(child);
                if (!folder)
                    return E_ABORT;
                boost::shared_ptr<vfs::directory> target;
                hr = place_folder(owner, folder->get_name(), destination, progress, only_files, target);
                if (target)
                    hr = CopyDirectoryItems(owner, folder, target, progress, completed, total, only_files,
                                            effect);
            }
            if (hr == E_ABORT)
                return E_ABORT;
            skipped |= hr == E_FAIL;
        }
    }
    catch (const vfs::exception& e) {
        show_exception(prompt_owner(owner, progress), e.get_message(), e.get_details());
        return E_ABORT;
    }
    return skipped ? E_FAIL : S_OK;
}

HRESULT RunTransfer(HWND owner, const boost::shared_ptr<CClipboardWrapper>& source,
                    const boost::shared_ptr<vfs::directory>& destination, const CPIDLList& location,
                    DWORD effect)
{
    boost::shared_ptr<CClipboardWrapper> root = source;
    bool only_files = true;
    std::uint64_t total = 0;
    try {
        total = ComputeTransferSize(root, &only_files);
    }
    catch (const vfs::exception& e) {
        // A dropped file that vanished or cannot be sized: said before any dialog comes up.
        show_exception(owner, e.get_message(), e.get_details());
        return E_FAIL;
    }
    if (total == size_failed)
        return E_FAIL;

    ComPtr<IProgressDialog> progress;
    const HRESULT created =
        CoCreateInstance(CLSID_ProgressDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IProgressDialog,
                         reinterpret_cast<void**>(progress.GetAddressOf()));
    if (FAILED(created))
        return created;
    progress->StartProgressDialog(owner, nullptr, PROGDLG_AUTOTIME, nullptr);
    struct stopper {
        IProgressDialog* dialog;
        ~stopper() { dialog->StopProgressDialog(); }
    } const stop{progress.Get()};
    progress->SetProgress64(0, total);
    progress->Timer(PDTIMER_RESET, nullptr);
    progress->SetTitle(
        load_string(effect == DROPEFFECT_COPY ? IDS_TRANSFER_COPYING_TITLE : IDS_TRANSFER_MOVING_TITLE)
            .c_str());
    progress->SetLine(2, fill(load_string(IDS_TRANSFER_TO), {location.path()}).c_str(), TRUE, nullptr);

    std::uint64_t completed = 0;
    const HRESULT hr =
        CopyDirectoryItems(owner, root, destination, progress.Get(), &completed, total, only_files, effect);
    root.reset();
    return hr;
}

HRESULT TransferFromDataObject(HWND owner, IDataObject* data,
                               const boost::shared_ptr<vfs::directory>& destination,
                               const CPIDLList& location, DWORD effect)
{
    if (!data)
        return E_INVALIDARG;
    // The medium outlives the view, which reads it until it is released.
    struct medium_holder {
        STGMEDIUM medium = {};
        ~medium_holder() { ReleaseStgMedium(&medium); }
    } held;
    // Building the view may throw: the COM method that started the transfer contains it, since
    // only it knows whether a drop fails or a worker reports it.
    boost::shared_ptr<CClipboardWrapper> view;
    FORMATETC format = {_Module.clipboard_format(cfFileGroupDescriptorW), nullptr, DVASPECT_CONTENT, -1,
                        TYMED_HGLOBAL};
    if (SUCCEEDED(data->GetData(&format, &held.medium)) && held.medium.tymed == TYMED_HGLOBAL)
        view.reset(new CFILEDESCRIPTORWrapper(data, held.medium.hGlobal));
    else {
        ReleaseStgMedium(&held.medium);
        held.medium = STGMEDIUM{};
        format.cfFormat = CF_HDROP;
        if (FAILED(data->GetData(&format, &held.medium)) || held.medium.tymed != TYMED_HGLOBAL)
            return E_INVALIDARG;
        view.reset(new CHDROPWrapper(held.medium.hGlobal));
    }
    try {
        return RunTransfer(owner, view, destination, location, effect);
    }
    catch (const std::exception& e) {
        const std::string what = e.what();
        show_exception(owner, L"Internal error", std::wstring(what.begin(), what.end()));
    }
    catch (...) {
        show_exception(owner, L"Internal error", L"Unknown error");
    }
    return E_FAIL;
}
