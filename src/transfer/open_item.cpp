#include "transfer/open_item.h"

#include "com/handle.h"
#include "com/object.h"
#include "module/app_folder.h"
#include "module/resource.h"
#include "transfer/engine.h"
#include "ui/prompts.h"
#include "ui/texts.h"

#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cwctype>
#include <memory>
#include <vector>

namespace {

// Room left for "(n)" and ".PIDL" within MAX_PATH.
constexpr std::size_t intermediate_path_limit = 245;
// Longer "extensions" are no file type the shell knows: part of the name, and cut with it.
constexpr std::size_t extension_limit = 16;
constexpr std::int32_t chunk_size = 16384;

bool forbidden(wchar_t c)
{
    return c < 0x20 || c == 0x7F || std::wcschr(L"<>:\"/\\|?*", c) != nullptr;
}

// CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$: with any extension and trailing blanks,
// Windows opens the device instead of a file.
bool device_name(const std::wstring& name)
{
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ')
        stem.pop_back();
    std::transform(stem.begin(), stem.end(), stem.begin(), [](wchar_t c) { return std::towupper(c); });
    static const std::array<const wchar_t*, 6> fixed = {L"CON", L"PRN",    L"AUX",
                                                        L"NUL", L"CONIN$", L"CONOUT$"};
    if (std::find_if(fixed.begin(), fixed.end(), [&](const wchar_t* d) { return stem == d; }) != fixed.end())
        return true;
    // the digits include the superscripts Windows also reserves
    return stem.size() == 4 && (stem.starts_with(L"COM") || stem.starts_with(L"LPT")) &&
           (std::wcschr(L"123456789\u00B9\u00B2\u00B3", stem[3]) != nullptr);
}

// A step of a download, repeated while the user answers Retry.
template <class Step> void retrying(HWND owner, IProgressDialog* progress, Step step)
{
    for (;;) {
        int answer;
        try {
            step();
            return;
        }
        catch (const vfs::exception& e) {
            answer = ui::ask(prompt_owner(owner, progress), e.get_details(), e.get_message(),
                             MB_RETRYCANCEL | MB_ICONERROR);
        }
        catch (const open_error& e) {
            answer = ui::ask(prompt_owner(owner, progress), e.text, ui::load_string(IDS_OPEN_ERROR_CAPTION),
                             MB_RETRYCANCEL | MB_ICONERROR);
        }
        if (answer != IDRETRY)
            throw open_given_up{};
    }
}

// What a download holds; unless it completes, the remote file is closed and the partial local
// copy removed.
class download {
public:
    ~download()
    {
        if (remote_open_) {
            try {
                remote_->close();
            }
            catch (const vfs::exception&) {
                // given up already; nothing more to tell the user
            }
        }
        if (local_)
            std::fclose(local_);
        if (!done_ && created_)
            DeleteFileW(path_.c_str());
    }

    std::wstring path_;
    boost::shared_ptr<vfs::file> remote_;
    bool remote_open_ = false;
    FILE* local_ = nullptr;
    bool created_ = false;
    bool done_ = false;
};

void internal_error(HWND owner, const std::wstring& text)
{
    ui::ask(owner, text, L"Internal error", MB_ICONERROR);
}

void open_each(const OpenItemsParams& params, IProgressDialog* progress, HANDLE mutex)
{
    std::uint64_t total = 0, completed = 0;
    for (const PIDLDATA& item : params.items)
        if (item.size != pidl_no_size) // folders carry no size
            total += item.size;
    progress->StartProgressDialog(params.owner, nullptr, PROGDLG_AUTOTIME, nullptr);
    progress->SetProgress64(0, total);
    progress->Timer(PDTIMER_RESET, nullptr);
    progress->SetTitle(ui::load_string(IDS_DOWNLOAD_TITLE).c_str());
    const std::wstring from = ui::text(IDS_DOWNLOAD_FROM, {params.folder_list.path()});
    for (const PIDLDATA& item : params.items) {
        progress->SetLine(1, ui::text(IDS_DOWNLOAD_FILE, {pidl_name(item)}).c_str(), TRUE, nullptr);
        progress->SetLine(2, from.c_str(), TRUE, nullptr);
        const com::mutex_hold hold(mutex); // one item at a time, across processes
        try {
            const std::wstring path =
                DownloadToIntermediate(params.owner, progress, total, &completed, params.folder, item);
            ExecuteIntermediate(params.owner, progress, path, params.folder_list, item);
        }
        catch (const open_given_up&) {
            // shown already, or the user's own cancel: on with the next item
        }
    }
}

} // namespace

std::wstring safe_local_name(const std::wstring& remote)
{
    std::wstring name = remote;
    std::replace_if(name.begin(), name.end(), forbidden, L'_');
    while (!name.empty() && (name.back() == L'.' || name.back() == L' '))
        name.pop_back();
    if (name.empty())
        return L"_";
    return device_name(name) ? L"_" + name : name;
}

std::wstring GetIntermediatePath(const std::wstring& remote_name)
{
    std::wstring failure;
    const std::wstring folder = application_folder(L"Intermediate files", failure);
    if (folder.empty())
        throw open_error{failure};
    const std::wstring dir = folder + L"\\";

    const std::wstring name = safe_local_name(remote_name);
    std::wstring ext = PathFindExtensionW(name.c_str());
    if (ext.size() > extension_limit)
        ext.clear();
    std::wstring base = name.substr(0, name.size() - ext.size());
    const std::size_t fixed = dir.size() + ext.size();
    if (fixed + base.size() > intermediate_path_limit)
        base.resize(fixed < intermediate_path_limit ? intermediate_path_limit - fixed : 1);
    // a cut may end the name in a blank or a dot, which Windows would drop
    while (base.size() > 1 && (base.back() == L'.' || base.back() == L' '))
        base.pop_back();

    std::wstring candidate = dir + base + ext;
    for (int n = 0; PathFileExistsW(candidate.c_str()); ++n)
        candidate = dir + base + L"(" + std::to_wstring(n) + L")" + ext;
    return candidate;
}

std::wstring DownloadToIntermediate(HWND owner, IProgressDialog* progress, std::uint64_t total,
                                    std::uint64_t* completed, const boost::shared_ptr<vfs::directory>& folder,
                                    const PIDLDATA& item)
{
    const std::wstring name = pidl_name(item);
    download d;
    retrying(owner, progress, [&] { d.path_ = GetIntermediatePath(name); });
    retrying(owner, progress, [&] {
        const auto found = folder->get_item(name);
        d.remote_ =
            found->get_type() == vfs::typeFile ? boost::dynamic_pointer_cast<vfs::file>(found) : nullptr;
        if (!d.remote_)
            throw open_error{ui::load_string(IDS_OPEN_NOT_FOUND)};
    });
    retrying(owner, progress, [&] {
        d.remote_->open(vfs::modeRead);
        d.remote_open_ = true;
    });
    retrying(owner, progress, [&] {
        d.local_ = _wfopen(d.path_.c_str(), L"wb");
        if (!d.local_)
            throw open_error{ui::load_string(IDS_OPEN_CANT_CREATE)};
        d.created_ = true;
    });
    std::vector<char> buffer(chunk_size);
    for (;;) {
        std::int32_t count = 0;
        retrying(owner, progress, [&] { count = d.remote_->read(buffer.data(), chunk_size); });
        if (count <= 0)
            break;
        retrying(owner, progress, [&] {
            if (std::fwrite(buffer.data(), 1, static_cast<std::size_t>(count), d.local_) !=
                std::size_t(count))
                throw open_error{ui::load_string(IDS_OPEN_CANT_WRITE)};
        });
        *completed += static_cast<std::uint64_t>(count);
        progress->SetProgress64(*completed, total);
        if (progress->HasUserCancelled())
            throw open_given_up{};
    }
    retrying(owner, progress, [&] {
        d.remote_->close();
        d.remote_open_ = false;
    });
    retrying(owner, progress, [&] {
        const bool closed = std::fclose(std::exchange(d.local_, nullptr)) == 0;
        if (!closed)
            throw open_error{ui::load_string(IDS_OPEN_CANT_WRITE)};
    });
    d.done_ = true;
    return d.path_;
}

bool ExecuteIntermediate(HWND owner, IProgressDialog* progress, const std::wstring& path,
                         const CPIDLList& folder, const PIDLDATA& item)
{
    try {
        const pidl_ptr list((folder + CPIDLList(item)).serialize());
        if (!list)
            throw std::bad_alloc();
        const std::size_t size = pidl_list_size(list.get());
        const std::unique_ptr<FILE, int (*)(FILE*)> companion(_wfopen((path + L".PIDL").c_str(), L"wb"),
                                                              std::fclose);
        if (!companion || std::fwrite(list.get(), 1, size, companion.get()) != size) {
            ui::ask(prompt_owner(owner, progress), ui::load_string(IDS_OPEN_CANT_EXECUTE),
                    ui::load_string(IDS_OPEN_ERROR_CAPTION), MB_ICONERROR);
            return false;
        }
    }
    catch (...) {
        internal_error(prompt_owner(owner, progress), L"Unknown error");
        return false;
    }
    ShellExecuteW(owner, nullptr, path.c_str(), nullptr, nullptr, SW_SHOW);
    return true;
}

DWORD WINAPI OpenItemsWorker(void* parameter)
{
    std::unique_ptr<OpenItemsParams> params(static_cast<OpenItemsParams*>(parameter));
    const HRESULT init = CoInitialize(nullptr);
    com::ComPtr<IProgressDialog> progress;
    try {
        if (FAILED(init))
            throw open_error{L"Com initialize failed"};
        if (FAILED(CoCreateInstance(CLSID_ProgressDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IProgressDialog,
                                    reinterpret_cast<void**>(progress.GetAddressOf()))))
            throw open_error{L"ProgressDialog create failed"};
        const com::handle mutex(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, download_mutex_name));
        if (!mutex)
            throw open_error{L"Error opening mutex"};
        open_each(*params, progress.Get(), mutex.get());
    }
    catch (const open_error& e) {
        internal_error(prompt_owner(params->owner, progress.Get()), e.text);
    }
    catch (...) {
        internal_error(prompt_owner(params->owner, progress.Get()), L"Unknown error");
    }
    if (progress)
        progress->StopProgressDialog();
    progress.Reset();
    if (SUCCEEDED(init))
        CoUninitialize();
    return 0; // params go last, and with them the module lock
}

HRESULT OpenItems(const item_selection& selection, HWND window)
{
    if (selection.items.empty() || !selection.folder)
        return E_INVALIDARG;
    try {
        auto params = std::make_unique<OpenItemsParams>();
        params->owner = window;
        params->folder = selection.folder;
        params->folder_list = selection.absolute();
        params->items = selection.items;
        if (!SHCreateThread(OpenItemsWorker, params.get(), CTF_PROCESS_REF, nullptr))
            return E_FAIL;
        params.release(); // the worker's now
        return S_OK;
    }
    catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}
