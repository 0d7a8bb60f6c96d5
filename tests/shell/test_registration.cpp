// The real Quillmere.dll as COM and Explorer reach it: registration of the drive read back from
// the registry, its class object (aggregatable), the unload rule, and the computer folder
// finding the junction and binding to the folder through the registered DLL.
#include "module/ids.h"
#include "shell_test_support.h"
#include "support/paths.h"

#include <gtest/gtest.h>

namespace {

using namespace qm_test;

std::wstring guid_text(const GUID& g)
{
    wchar_t text[40] = {};
    StringFromGUID2(g, text, 40);
    return text;
}

bool key_exists(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::wstring read_string(HKEY root, const std::wstring& path, const wchar_t* name)
{
    wchar_t buffer[1024] = {};
    DWORD size = sizeof buffer;
    if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return L"<missing>";
    return buffer;
}

const std::wstring computer = L"::{20D04FE0-3AEA-1069-A2D8-08002B30309D}";
const std::wstring current_version = L"Software\\Microsoft\\Windows\\CurrentVersion";

class registered_dll : public testing::Test {
protected:
    void SetUp() override
    {
        path = program_dir() + L"\\Quillmere.dll";
        dll = LoadLibraryW(path.c_str());
        ASSERT_NE(dll, nullptr);
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

TEST_F(registered_dll, registration_writes_the_drive_and_unregistration_removes_it)
{
    ASSERT_EQ(register_server(), S_OK);
    const std::wstring cls = L"CLSID\\" + clsid;
    EXPECT_EQ(read_string(HKEY_CLASSES_ROOT, cls, nullptr), L"Quillmere");
    EXPECT_EQ(read_string(HKEY_CLASSES_ROOT, cls, L"InfoTip"), L"Quillmere");
    EXPECT_EQ(
        lstrcmpiW(read_string(HKEY_CLASSES_ROOT, cls + L"\\InprocServer32", nullptr).c_str(), path.c_str()),
        0);
    EXPECT_EQ(read_string(HKEY_CLASSES_ROOT, cls + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
    EXPECT_EQ(lstrcmpiW(read_string(HKEY_CLASSES_ROOT, cls + L"\\DefaultIcon", nullptr).c_str(),
                        (path + L",0").c_str()),
              0);
    DWORD attributes = 0, size = sizeof attributes;
    ASSERT_EQ(RegGetValueW(HKEY_CLASSES_ROOT, (cls + L"\\ShellFolder").c_str(), L"Attributes",
                           RRF_RT_REG_DWORD, nullptr, &attributes, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(attributes, 0xA8004143u);
    const std::wstring junction = current_version + L"\\Explorer\\MyComputer\\NameSpace\\" + clsid;
    EXPECT_TRUE(key_exists(HKEY_LOCAL_MACHINE, junction));
    const std::wstring approved = current_version + L"\\Shell Extensions\\Approved";
    EXPECT_EQ(read_string(HKEY_LOCAL_MACHINE, approved, clsid.c_str()), L"Quillmere");

    // A stale subkey under the class is replaced at the next registration.
    HKEY stale = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, (cls + L"\\Stale").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &stale, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(stale);
    ASSERT_EQ(register_server(), S_OK);
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, cls + L"\\Stale"));

    ASSERT_EQ(unregister_server(), S_OK);
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, cls));
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, junction));
    EXPECT_EQ(read_string(HKEY_LOCAL_MACHINE, approved, clsid.c_str()), L"<missing>");
    EXPECT_TRUE(key_exists(HKEY_LOCAL_MACHINE, current_version + L"\\Explorer\\MyComputer\\NameSpace"));
    EXPECT_TRUE(key_exists(HKEY_LOCAL_MACHINE, approved));
    EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, L"AppID"));
    EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, L"CLSID"));
}

TEST_F(registered_dll, class_object_plain_and_aggregated_and_the_unload_rule)
{
    void* out = nullptr;
    EXPECT_EQ(get_class_object(CLSID_ExtractIconImpl, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
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

TEST_F(registered_dll, the_computer_folder_shows_the_drive_and_binds_to_it)
{
    ASSERT_EQ(register_server(), S_OK);
    com::ComPtr<IShellFolder> desktop;
    ASSERT_EQ(SHGetDesktopFolder(&desktop), S_OK);

    // The junction is listed under the computer folder with the drive's name.
    LPITEMIDLIST computer_pidl = nullptr;
    ASSERT_EQ(SHParseDisplayName(computer.c_str(), nullptr, &computer_pidl, 0, nullptr), S_OK);
    unique_pidl owned_computer(computer_pidl);
    com::ComPtr<IShellFolder> computer_folder;
    ASSERT_EQ(desktop->BindToObject(computer_pidl, nullptr, IID_PPV_ARGS(&computer_folder)), S_OK);
    com::ComPtr<IEnumIDList> items;
    ASSERT_EQ(computer_folder->EnumObjects(nullptr, SHCONTF_FOLDERS, &items), S_OK);
    bool found = false;
    LPITEMIDLIST item = nullptr;
    while (!found && items->Next(1, &item, nullptr) == S_OK) {
        unique_pidl owned(item);
        found = display_name(computer_folder.Get(), item, SHGDN_NORMAL) == L"Quillmere";
    }
    EXPECT_TRUE(found) << "the drive is not listed under the computer folder";

    // Explorer's road in: parse the junction, bind through the registered DLL, initialise.
    const std::wstring drive = computer + L"\\::" + clsid;
    LPITEMIDLIST drive_pidl = nullptr;
    ASSERT_EQ(SHParseDisplayName(drive.c_str(), nullptr, &drive_pidl, 0, nullptr), S_OK);
    unique_pidl owned_drive(drive_pidl);
    com::ComPtr<IShellFolder2> folder;
    ASSERT_EQ(desktop->BindToObject(drive_pidl, nullptr, IID_PPV_ARGS(&folder)), S_OK);
    com::ComPtr<IPersistFolder2> persist;
    ASSERT_EQ(folder.As(&persist), S_OK);
    LPITEMIDLIST current = nullptr;
    ASSERT_EQ(persist->GetCurFolder(&current), S_OK);
    unique_pidl owned_current(current);
    EXPECT_TRUE(ILIsEqual(current, drive_pidl));
    // Wine asks for the folder's own attributes with its absolute list.
    SFGAOF mask = SFGAO_FOLDER | SFGAO_HASSUBFOLDER;
    LPCITEMIDLIST self[] = {current};
    EXPECT_EQ(folder->GetAttributesOf(1, self, &mask), S_OK);
    EXPECT_EQ(mask, SFGAO_FOLDER | SFGAO_HASSUBFOLDER);
    SHELLDETAILS details = {};
    ASSERT_EQ(folder->GetDetailsOf(nullptr, 0, &details), S_OK);
    EXPECT_EQ(strret_text(details.str), L"Name");
    persist.Reset();
    folder.Reset();
}

} // namespace
