#include "module/module.h"

#include "module/classes.h"
#include "module/ids.h"

#include <oleauto.h>

const wchar_t* const clipboard_format_names[clipboard_format_count] = {
    L"FileGroupDescriptorW", L"FileContents",         L"Paste Succeeded",    L"Logical Performed DropEffect",
    L"Performed DropEffect", L"Preferred DropEffect", L"Shell IDList Array", L"OleClipboardPersistOnFlush",
    L"TargetCLSID",
};

namespace {

HINSTANCE g_instance = nullptr;

// Script of the application id, shared by all classes of the module.
const registry::script& appid_script()
{
    using registry::key;
    using registry::removal;
    static const registry::script s = {
        {HKEY_CLASSES_ROOT,
         {key{L"AppID",
              removal::no_remove,
              std::nullopt,
              {},
              {key{L"%APPID%", removal::normal, std::wstring(L"Quillmere"), {}, {}},
               key{L"Quillmere.DLL",
                   removal::normal,
                   std::nullopt,
                   {registry::value::str(L"AppID", L"%APPID%")},
                   {}}}}}},
    };
    return s;
}

std::wstring guid_text(const GUID& g)
{
    wchar_t text[40] = {};
    StringFromGUID2(g, text, 40);
    return text;
}

// Registration looks script resources up in the thread's locale, so it runs in the system
// default locale and puts the caller's back whatever happens.
class system_locale_scope {
public:
    system_locale_scope() : saved_(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~system_locale_scope() { SetThreadLocale(saved_); }
    system_locale_scope(const system_locale_scope&) = delete;
    system_locale_scope& operator=(const system_locale_scope&) = delete;

private:
    LCID saved_;
};

HRESULT register_type_library()
{
    const std::wstring path = module_path();
    ITypeLib* lib = nullptr;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib);
    if (FAILED(hr))
        return hr;
    hr = register_type_library(lib, path);
    lib->Release();
    return hr;
}

HRESULT unregister_type_library()
{
    ITypeLib* lib = nullptr;
    HRESULT hr = LoadTypeLibEx(module_path().c_str(), REGKIND_NONE, &lib);
    if (FAILED(hr))
        return hr;
    TLIBATTR* attr = nullptr;
    hr = lib->GetLibAttr(&attr);
    if (SUCCEEDED(hr)) {
        // Unregistering what is not registered is not a failure of unregistration (the
        // system answers it with a mere E_INVALIDARG, so look first).
        ITypeLib* registered = nullptr;
        if (SUCCEEDED(LoadRegTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid,
                                     &registered))) {
            registered->Release();
            hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid,
                                   attr->syskind);
        }
        lib->ReleaseTLibAttr(attr);
    }
    lib->Release();
    return hr;
}

} // namespace

CQuillmereModule::CQuillmereModule() : classes_(module_classes())
{
    for (int i = 0; i < clipboard_format_count; ++i)
        formats_[i] = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(clipboard_format_names[i]));
}

CQuillmereModule::~CQuillmereModule()
{
    // The GIT is not released here: at process detach COM may already be gone.
    if (actctx_ != INVALID_HANDLE_VALUE)
        ReleaseActCtx(actctx_);
}

HANDLE CQuillmereModule::activation_context()
{
    com::critical_section_lock guard(critical_section());
    if (!actctx_tried_) {
        actctx_tried_ = true;
        const std::wstring path = module_path();
        ACTCTXW ctx{};
        ctx.cbSize = sizeof ctx;
        ctx.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
        ctx.lpSource = path.c_str();
        ctx.hModule = instance();
        ctx.lpResourceName = MAKEINTRESOURCEW(2);
        actctx_ = CreateActCtxW(&ctx);
    }
    return actctx_;
}

activation_scope::activation_scope()
{
    const HANDLE ctx = _Module.activation_context();
    if (ctx != INVALID_HANDLE_VALUE)
        active_ = ActivateActCtx(ctx, &cookie_) != FALSE;
}

activation_scope::~activation_scope()
{
    if (active_)
        DeactivateActCtx(0, cookie_);
}

HRESULT CQuillmereModule::get_git(IGlobalInterfaceTable** git)
{
    if (!git)
        return E_POINTER;
    *git = nullptr;
    com::critical_section_lock guard(critical_section());
    if (!git_) {
        const HRESULT hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&git_));
        if (FAILED(hr))
            return hr;
    }
    git_->AddRef();
    *git = git_;
    return S_OK;
}

HRESULT CQuillmereModule::get_class_object(REFCLSID clsid, REFIID riid, void** ppv)
{
    return classes_.get_class_object(clsid, riid, ppv);
}

HRESULT CQuillmereModule::register_server()
{
    system_locale_scope locale;
    const HRESULT hr = register_scripts(module_replacements());
    return FAILED(hr) ? hr : register_type_library();
}

HRESULT CQuillmereModule::unregister_server()
{
    system_locale_scope locale;
    const registry::replacements with = module_replacements();
    for (const module_class& c : module_class_registrations()) {
        registry::replacements class_with = with;
        class_with[L"CLSID"] = guid_text(*c.clsid);
        const HRESULT hr = registry::unregister_script(c.script(), class_with);
        if (FAILED(hr))
            return hr;
    }
    HRESULT hr = unregister_type_library();
    if (FAILED(hr))
        return hr;
    return registry::unregister_script(appid_script(), with);
}

HINSTANCE CQuillmereModule::instance()
{
    if (!g_instance)
        g_instance = GetModuleHandleW(nullptr);
    return g_instance;
}

void CQuillmereModule::set_instance(HINSTANCE instance)
{
    g_instance = instance;
}

std::wstring module_path()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            GetModuleFileNameW(CQuillmereModule::instance(), path.data(), static_cast<DWORD>(path.size()));
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

registry::replacements module_replacements()
{
    return {
        {L"APPID", guid_text(APPID_Quillmere)},
        {L"MODULE", module_path()},
        {L"APP_NAME", L"Quillmere"},
        {L"DRIVECLSID", guid_text(CLSID_ShellFolderImpl)},
    };
}

HRESULT register_scripts(const registry::replacements& with)
{
    HRESULT hr = registry::register_script(appid_script(), with);
    if (FAILED(hr))
        return hr;
    for (const module_class& c : module_class_registrations()) {
        registry::replacements class_with = with;
        class_with[L"CLSID"] = guid_text(*c.clsid);
        hr = registry::register_script(c.script(), class_with);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT register_type_library(ITypeLib* lib, const std::wstring& path)
{
    // The library has no help file, so it names no help folder. Left to the system the folder
    // would be the module's, and the 32-bit and 64-bit DLLs share the library's key: whichever
    // registered last would name its own folder for both.
    wchar_t no_help_dir[] = L"";
    return RegisterTypeLib(lib, std::wstring(path).data(), no_help_dir); // mingw: non-const paths
}

CQuillmereModule _Module;
