// The real Quillmere.dll, loaded the way COM loads it: its exports, its unload rule, its class
// table, registration of the type library and the clipboard formats it registers at load.
#include "module/ids.h"
#include "module/module.h"
#include "support/paths.h"

#include <gtest/gtest.h>
#include <oleauto.h>

#include <string>

namespace {

// {596A3524-749A-4DD0-8827-9D1BEA54BF63}: the type library id in quillmere.idl.
const wchar_t* const typelib_key = L"TypeLib\\{596A3524-749A-4DD0-8827-9D1BEA54BF63}";

class real_dll : public testing::Test {
protected:
    void SetUp() override
    {
        dll_ = LoadLibraryW((qm_test::program_dir() + L"\\Quillmere.dll").c_str());
        ASSERT_NE(dll_, nullptr) << "Quillmere.dll not found beside the test program";
        export_of(can_unload_, "DllCanUnloadNow");
        export_of(get_class_object_, "DllGetClassObject");
        export_of(register_, "DllRegisterServer");
        export_of(unregister_, "DllUnregisterServer");
        ASSERT_TRUE(can_unload_ && get_class_object_ && register_ && unregister_) << "an export is missing";
    }
    void TearDown() override
    {
        if (dll_)
            FreeLibrary(dll_);
    }

    template <class F> void export_of(F& f, const char* name)
    {
        f = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll_, name)));
    }

    static bool key_exists(HKEY root, const std::wstring& path)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }

    HMODULE dll_ = nullptr;
    HRESULT(STDAPICALLTYPE* can_unload_)() = nullptr;
    HRESULT(STDAPICALLTYPE* get_class_object_)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(STDAPICALLTYPE* register_)() = nullptr;
    HRESULT(STDAPICALLTYPE* unregister_)() = nullptr;
};

TEST_F(real_dll, can_unload_at_start_and_answers_unknown_classes)
{
    EXPECT_EQ(can_unload_(), S_OK);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(get_class_object_(CLSID_NULL, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    // Classes that exist only inside the program are not in the table.
    EXPECT_EQ(get_class_object_(CLSID_ExtractIconImpl, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(can_unload_(), S_OK);
}

TEST_F(real_dll, registration_writes_and_removes_the_type_library_and_app_id)
{
    const LCID locale_before = GetThreadLocale();
    ASSERT_EQ(register_(), S_OK);
    EXPECT_EQ(GetThreadLocale(), locale_before) << "the caller's thread locale must be restored";
    EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, typelib_key));
    EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, L"AppID\\Quillmere.DLL"));

    ITypeLib* lib = nullptr;
    ASSERT_EQ(LoadRegTypeLib(LIBID_QuillmereLib, 1, 0, 0, &lib), S_OK);
    BSTR name = nullptr, doc = nullptr;
    ASSERT_EQ(lib->GetDocumentation(-1, &name, &doc, nullptr, nullptr), S_OK);
    EXPECT_STREQ(name, L"QuillmereLib");
    EXPECT_STREQ(doc, L"Quillmere 1.0 Type Library");
    SysFreeString(name);
    SysFreeString(doc);
    lib->Release();

    ASSERT_EQ(unregister_(), S_OK);
    EXPECT_EQ(GetThreadLocale(), locale_before);
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, typelib_key));
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, L"AppID\\Quillmere.DLL"));
    EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, L"AppID")) << "the shared AppID key must stay";
    // Unregistering twice is not an error.
    EXPECT_EQ(unregister_(), S_OK);
}

TEST(module, clipboard_formats_are_registered_in_order_at_load)
{
    for (int i = 0; i < clipboard_format_count; ++i) {
        const CLIPFORMAT format = _Module.clipboard_format(static_cast<clipboard_format_index>(i));
        ASSERT_NE(format, 0);
        wchar_t name[128] = {};
        ASSERT_GT(GetClipboardFormatNameW(format, name, 128), 0);
        EXPECT_STREQ(name, clipboard_format_names[i]);
    }
    EXPECT_STREQ(clipboard_format_names[0], L"FileGroupDescriptorW");
    EXPECT_STREQ(clipboard_format_names[8], L"TargetCLSID");
}

} // namespace
