// The DLL's module object: lock count, the clipboard formats the data transfer code uses, the
// class table of the classes others may create, and registration.
#pragma once

#include "com/class_factory.h"
#include "module/registry.h"

#include <oaidl.h>
#include <objidl.h>
#include <windows.h>

#include <array>

// Clipboard formats, registered in this order at load.
enum clipboard_format_index {
    cfFileGroupDescriptorW,
    cfFileContents,
    cfPasteSucceeded,
    cfLogicalPerformedDropEffect,
    cfPerformedDropEffect,
    cfPreferredDropEffect,
    cfShellIDListArray,
    cfOleClipboardPersistOnFlush,
    cfTargetCLSID,
    clipboard_format_count
};

extern const wchar_t* const clipboard_format_names[clipboard_format_count];

class CQuillmereModule : public com::module_base {
public:
    CQuillmereModule();
    ~CQuillmereModule();

    CLIPFORMAT clipboard_format(clipboard_format_index i) const { return formats_[i]; }

    // The standard global interface table, created on first use.
    HRESULT get_git(IGlobalInterfaceTable** git);

    HRESULT get_class_object(REFCLSID clsid, REFIID riid, void** ppv);
    HRESULT register_server();
    HRESULT unregister_server();

    // The module whose resources, path and type library are used: the DLL, or a test program
    // that links the same resources.
    static HINSTANCE instance();
    static void set_instance(HINSTANCE instance);

    // The activation context of the module's manifest (resource 2, common controls 6) that
    // the dialogs run in, created on first use; INVALID_HANDLE_VALUE when it cannot be made.
    HANDLE activation_context();

private:
    HANDLE actctx_ = INVALID_HANDLE_VALUE;
    bool actctx_tried_ = false;
    std::array<CLIPFORMAT, clipboard_format_count> formats_{};
    IGlobalInterfaceTable* git_ = nullptr;
    com::class_table classes_;
};

extern CQuillmereModule _Module;

// Activates the module's activation context on this thread for its lifetime (nothing when the
// context could not be made).
class activation_scope {
public:
    activation_scope();
    ~activation_scope();
    activation_scope(const activation_scope&) = delete;
    activation_scope& operator=(const activation_scope&) = delete;
    bool active() const { return active_; }

private:
    ULONG_PTR cookie_ = 0;
    bool active_ = false;
};

// The full path of the module file (instance()).
std::wstring module_path();

// Replacements every registration script may use.
registry::replacements module_replacements();

// What registration writes besides the module's own path: the application id and every class's
// script, and the type library "lib" of the module file "path". An installer's entries are made
// from the same two.
HRESULT register_scripts(const registry::replacements& with);
HRESULT register_type_library(ITypeLib* lib, const std::wstring& path);
