// The real Quillmere.dll as COM reaches it: its class table and unload rule, the folder's class
// object plain and aggregated, and registration read back from the registry and removed again.
// (Explorer finding the registered drive and browsing it is the end-to-end demo check.)
#include "com/object.h"
#include "module/ids.h"
#include "module/module.h"
#include "registry_keys.h"
#include "support/paths.h"

#include <gtest/gtest.h>
#include <oleauto.h>
#include <shlobj.h>

#include <string>

namespace {

using namespace qm_test;

std::wstring guid_text(const GUID& g)
{
    wchar_t text[40] = {};
    StringFromGUID2(g, text, 40);
    return text;
}

bool same_path(const std::wstring& a, const std::wstring& b)
{
    return lstrcmpiW(a.c_str(), b.c_str()) == 0;
}

const std::wstring current_version = L"Software\\Microsoft\\Windows\\CurrentVersion";
const std::wstring approved = current_version + L"\\Shell Extensions\\Approved";
const std::wstring name_space = current_version + L"\\Explorer\\MyComputer\\NameSpace";
const wchar_t* const typelib_key = L"TypeLib\\{596A3524-749A-4DD0-8827-9D1BEA54BF63}";

class real_dll : public testing::Test {
protected:
    void SetUp() override
    {
        path = program_dir() + L"\\Quillmere.dll";
        dll = LoadLibraryW(path.c_str());
        ASSERT_NE(dll, nullptr) << "Quillmere.dll not found beside the test program";
        get(can_unload, "DllCanUnloadNow");
        get(get_class_object, "DllGetClassObject");
        get(register_server, "DllRegisterServer");
        get(unregister_server, "DllUnregisterServer");
        clsid = guid_text(CLSID_ShellFolderImpl);
    }
    void TearDown() override
    {
        if (unregister_server)
            unregister_server();
        if (dll)
            FreeLibrary(dll);
    }
    template <class F> void get(F& f, const char* name)
    {
        f = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
        ASSERT_NE(f, nullptr) << name;
    }

    std::wstring path, clsid;
    HMODULE dll = nullptr;
    HRESULT(STDAPICALLTYPE* can_unload)() = nullptr;
    HRESULT(STDAPICALLTYPE* get_class_object)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(STDAPICALLTYPE* register_server)() = nullptr;
    HRESULT(STDAPICALLTYPE* unregister_server)() = nullptr;
};

TEST_F(real_dll, class_objects_plain_and_aggregated_and_the_unload_rule)
{
    EXPECT_EQ(can_unload(), S_OK);
    // Classes that exist only inside the program are not in the table.
    for (const CLSID* unknown : {&CLSID_NULL, &CLSID_ExtractIconImpl}) {
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(get_class_object(*unknown, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
        EXPECT_EQ(out, nullptr);
    }
    com::ComPtr<IClassFactory> factory;
    ASSERT_EQ(get_class_object(CLSID_ShellFolderImpl, IID_PPV_ARGS(&factory)), S_OK);
    EXPECT_EQ(can_unload(), S_FALSE) << "a factory the caller holds keeps the DLL";

    com::ComPtr<IShellFolder2> folder;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&folder)), S_OK);
    factory.Reset();
    EXPECT_EQ(can_unload(), S_FALSE) << "a live folder keeps the DLL";
    com::ComPtr<IPersist> persist;
    ASSERT_EQ(folder.As(&persist), S_OK);
    CLSID id = {};
    EXPECT_EQ(persist->GetClassID(&id), S_OK);
    EXPECT_EQ(id, CLSID_ShellFolderImpl);
    persist.Reset();
    folder.Reset();
    EXPECT_EQ(can_unload(), S_OK);

    // Aggregated: the inner unknown answers the folder's interfaces, which delegate back.
    struct outer_unknown : IUnknown {
        LONG refs = 1;
        IUnknown* inner = nullptr;
        IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override
        {
            if (IsEqualIID(riid, IID_IUnknown)) {
                *ppv = this;
                AddRef();
                return S_OK;
            }
            return inner->QueryInterface(riid, ppv);
        }
        IFACEMETHODIMP_(ULONG) AddRef() override { return ++refs; }
        IFACEMETHODIMP_(ULONG) Release() override { return --refs; }
    } outer;
    ASSERT_EQ(get_class_object(CLSID_ShellFolderImpl, IID_PPV_ARGS(&factory)), S_OK);
    void* out = nullptr;
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IShellFolder, &out), CLASS_E_NOAGGREGATION);
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
    factory.Reset();
    IShellFolder* through_outer = nullptr;
    ASSERT_EQ(outer.QueryInterface(IID_IShellFolder, reinterpret_cast<void**>(&through_outer)), S_OK);
    const LONG before = outer.refs;
    through_outer->AddRef();
    EXPECT_EQ(outer.refs, before + 1) << "the folder's references go to the outer object";
    through_outer->Release();
    through_outer->Release();
    outer.inner->Release();
    EXPECT_EQ(can_unload(), S_OK);
}

TEST_F(real_dll, registration_writes_the_drive_and_unregistration_removes_it)
{
    const LCID locale_before = GetThreadLocale();
    ASSERT_EQ(register_server(), S_OK);
    EXPECT_EQ(GetThreadLocale(), locale_before) << "the caller's thread locale must be restored";
    // The texts are the scripts' own data; what registration adds is the module's path.
    const std::wstring cls = L"CLSID\\" + clsid;
    EXPECT_TRUE(same_path(read_string(HKEY_CLASSES_ROOT, cls + L"\\InprocServer32", nullptr), path));
    EXPECT_TRUE(same_path(read_string(HKEY_CLASSES_ROOT, cls + L"\\DefaultIcon", nullptr), path + L",0"));
    EXPECT_TRUE(key_exists(HKEY_LOCAL_MACHINE, name_space + L"\\" + clsid));
    EXPECT_EQ(read_string(HKEY_LOCAL_MACHINE, approved, clsid.c_str()), L"Quillmere");
    EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, L"AppID\\Quillmere.DLL"));
    // The drive's property page, and its handler entries under the drive and the file type.
    const std::wstring page = guid_text(CLSID_PropertiesDriveDlg), page_cls = L"CLSID\\" + page;
    EXPECT_TRUE(same_path(read_string(HKEY_CLASSES_ROOT, page_cls + L"\\InprocServer32", nullptr), path));
    for (const std::wstring& owner : {cls, std::wstring(L"Quillmere")})
        EXPECT_EQ(
            read_string(HKEY_CLASSES_ROOT, owner + L"\\ShellEx\\PropertySheetHandlers\\" + page, nullptr),
            L"")
            << owner;
    EXPECT_EQ(read_string(HKEY_LOCAL_MACHINE, approved, page.c_str()), L"Quillmere Property Sheet");
    ITypeLib* lib = nullptr;
    ASSERT_EQ(LoadRegTypeLib(LIBID_QuillmereLib, 1, 0, 0, &lib), S_OK);
    lib->Release();

    // A stale subkey under the class is replaced at the next registration.
    ASSERT_TRUE(create_key(HKEY_CLASSES_ROOT, cls + L"\\Stale"));
    ASSERT_EQ(register_server(), S_OK);
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, cls + L"\\Stale"));

    ASSERT_EQ(unregister_server(), S_OK);
    EXPECT_EQ(GetThreadLocale(), locale_before);
    for (const auto& [root, gone] : {std::pair{HKEY_CLASSES_ROOT, cls},
                                     {HKEY_LOCAL_MACHINE, name_space + L"\\" + clsid},
                                     {HKEY_CLASSES_ROOT, std::wstring(typelib_key)},
                                     {HKEY_CLASSES_ROOT, std::wstring(L"AppID\\Quillmere.DLL")},
                                     {HKEY_CLASSES_ROOT, page_cls},
                                     {HKEY_CLASSES_ROOT, std::wstring(L"Quillmere")}})
        EXPECT_FALSE(key_exists(root, gone)) << testing::PrintToString(gone);
    EXPECT_EQ(read_string(HKEY_LOCAL_MACHINE, approved, clsid.c_str()), L"<missing>");
    EXPECT_EQ(read_string(HKEY_LOCAL_MACHINE, approved, page.c_str()), L"<missing>");
    for (const auto& [root, kept] : {std::pair{HKEY_LOCAL_MACHINE, name_space},
                                     {HKEY_CLASSES_ROOT, std::wstring(L"AppID")},
                                     {HKEY_CLASSES_ROOT, std::wstring(L"CLSID")}})
        EXPECT_TRUE(key_exists(root, kept)) << testing::PrintToString(kept);
    EXPECT_EQ(unregister_server(), S_OK) << "unregistering twice is not an error";
}

TEST(module, clipboard_formats_are_registered_at_load)
{
    for (int i = 0; i < clipboard_format_count; ++i) {
        const CLIPFORMAT format = _Module.clipboard_format(static_cast<clipboard_format_index>(i));
        wchar_t name[128] = {};
        ASSERT_GT(GetClipboardFormatNameW(format, name, 128), 0);
        EXPECT_STREQ(name, clipboard_format_names[i]);
    }
}

} // namespace
