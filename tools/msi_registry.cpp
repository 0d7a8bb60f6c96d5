// Writes the installer's registry entries for one of the drive's DLLs as WiX elements:
//
//   msi_registry.exe DLL PROPERTY OUT.wxi
//
// The entries are what registration itself writes: the registration scripts and the type
// library of DLL are registered into a scratch key standing in for HKCR and HKLM, the result is
// read back and written out with the module's folder replaced by the installer's folder property
// PROPERTY (for example INSTALLDIR64). A change to a script or to the type library changes the
// package with it. The DLL is only read as data, so the 64-bit tool also serves the 32-bit DLL.
#include "com/object.h"
#include "module/module.h"

#include <oleauto.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// Stands in for the module's folder while registering; no real path looks like it.
const std::wstring placeholder_dir = L"Q:\\~quillmere-install-folder~";
// One per process: the build makes the 64-bit and 32-bit entries at once in the same prefix, and
// one run deleting a shared scratch key left the other reading a deleted or emptied key.
const std::wstring scratch =
    L"Software\\Quillmere installer entries " + std::to_wstring(GetCurrentProcessId());

// Points a predefined key at a scratch key until destroyed.
class override_scope {
public:
    override_scope(HKEY predefined, HKEY with) : predefined_(predefined)
    {
        ok_ = RegOverridePredefKey(predefined, with) == ERROR_SUCCESS;
    }
    ~override_scope() { RegOverridePredefKey(predefined_, nullptr); }
    override_scope(const override_scope&) = delete;
    override_scope& operator=(const override_scope&) = delete;
    bool ok() const { return ok_; }

private:
    HKEY predefined_;
    bool ok_ = false;
};

std::wstring replace_all(std::wstring text, const std::wstring& from, const std::wstring& to)
{
    for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// A formatted installer string of literal text: brackets are escaped, and a leading '#' would be
// taken for a number or binary data. Then XML-escaped, and a path in the placeholder folder (which
// holds no special character) goes into the folder property, which ends in a backslash. (The
// folder named on its own cannot be repeated so: it stays, and run() refuses it.)
std::wstring wix_text(const std::wstring& literal, const std::wstring& property, bool is_value)
{
    std::wstring formatted;
    if (is_value && !literal.empty() && literal[0] == L'#')
        formatted = L"#";
    for (const wchar_t c : literal) {
        if (c == L'[' || c == L']')
            formatted += std::wstring(L"[\\") + c + L"]";
        else
            formatted += c;
    }
    std::wstring xml;
    for (const wchar_t c : formatted) {
        xml += c == L'&'   ? L"&amp;"
               : c == L'<' ? L"&lt;"
               : c == L'>' ? L"&gt;"
               : c == L'"' ? L"&quot;"
                           : std::wstring(1, c);
    }
    return replace_all(xml, placeholder_dir + L"\\", L"[" + property + L"]");
}

struct emitter {
    const std::wstring& property;
    std::wstring out;
    std::wstring failure;

    // One element per value; a key without values or subkeys is created by the special "*" name
    // (which also removes it at uninstallation; its empty value is the installer's null, which
    // wixl wants spelt out); keys on the way to something are implied.
    bool key(HKEY k, const wchar_t* root, const std::wstring& path)
    {
        DWORD subkeys = 0, values = 0;
        if (RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                             nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return fail(L"cannot read " + path);
        const std::wstring head = L"<RegistryValue Root=\"" + std::wstring(root) + L"\" Key=\"" +
                                  wix_text(path, property, false) + L"\"";
        if (!subkeys && !values && !path.empty())
            out += head + L" Name=\"*\" Type=\"string\" Value=\"\" />\n";
        for (DWORD i = 0; i < values; ++i) {
            wchar_t name[256];
            DWORD name_size = 256, type = 0, data_size = 0;
            std::vector<BYTE> data(4096);
            data_size = static_cast<DWORD>(data.size());
            if (RegEnumValueW(k, i, name, &name_size, nullptr, &type, data.data(), &data_size) !=
                ERROR_SUCCESS)
                return fail(L"cannot read a value of " + path);
            std::wstring element = head;
            if (name_size)
                element += L" Name=\"" + wix_text(name, property, false) + L"\"";
            if (type == REG_SZ) {
                const std::wstring text(
                    reinterpret_cast<const wchar_t*>(data.data()),
                    wcsnlen(reinterpret_cast<const wchar_t*>(data.data()), data_size / sizeof(wchar_t)));
                element += L" Type=\"string\" Value=\"" + wix_text(text, property, true) + L"\"";
            }
            else if (type == REG_DWORD && data_size == sizeof(DWORD)) {
                DWORD n = 0;
                memcpy(&n, data.data(), sizeof n);
                element += L" Type=\"integer\" Value=\"" + std::to_wstring(n) + L"\"";
            }
            else {
                return fail(L"value type " + std::to_wstring(type) + L" of " + path + L" has no entry");
            }
            out += element + L" />\n";
        }
        for (DWORD i = 0; i < subkeys; ++i) {
            wchar_t name[256];
            DWORD name_size = 256;
            if (RegEnumKeyExW(k, i, name, &name_size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                return fail(L"cannot list " + path);
            registry::hkey sub;
            if (RegOpenKeyExW(k, name, 0, KEY_READ, sub.out()) != ERROR_SUCCESS)
                return fail(L"cannot open " + path + L"\\" + name);
            if (!key(sub.get(), root, path.empty() ? name : path + L"\\" + name))
                return false;
        }
        return true;
    }
    bool fail(const std::wstring& why)
    {
        failure = why;
        return false;
    }
};

// Registers everything with HKCR and HKLM pointed at two scratch keys, which then hold exactly
// what registration wrote.
HRESULT register_into(HKEY classes, HKEY machine, ITypeLib* lib)
{
    const override_scope cr(HKEY_CLASSES_ROOT, classes), lm(HKEY_LOCAL_MACHINE, machine);
    if (!cr.ok() || !lm.ok())
        return E_FAIL;
    registry::replacements with = module_replacements();
    with[L"MODULE"] = placeholder_dir + L"\\Quillmere.dll";
    const HRESULT hr = register_scripts(with);
    return FAILED(hr) ? hr : register_type_library(lib, with[L"MODULE"]);
}

int run(const wchar_t* dll, const std::wstring& property, const wchar_t* out_path)
{
    com::ComPtr<ITypeLib> lib;
    if (FAILED(LoadTypeLibEx(dll, REGKIND_NONE, &lib))) {
        fwprintf(stderr, L"msi_registry: no type library in %ls\n", dll);
        return 1;
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, scratch.c_str());
    registry::hkey classes, machine;
    HRESULT hr = E_FAIL;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, (scratch + L"\\HKCR").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, classes.out(), nullptr) == ERROR_SUCCESS &&
        RegCreateKeyExW(HKEY_CURRENT_USER, (scratch + L"\\HKLM").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, machine.out(), nullptr) == ERROR_SUCCESS)
        hr = register_into(classes.get(), machine.get(), lib.Get());
    emitter e{property, L"<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Include>\n", {}};
    const bool read =
        SUCCEEDED(hr) && e.key(classes.get(), L"HKCR", L"") && e.key(machine.get(), L"HKLM", L"");
    RegDeleteTreeW(HKEY_CURRENT_USER, scratch.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, scratch.c_str());
    if (read && e.out.find(placeholder_dir) != std::wstring::npos)
        e.failure = L"an entry names the module's folder without a file in it";
    if (!e.failure.empty() || !read) {
        fwprintf(stderr, L"msi_registry: registration failed (0x%08lx) %ls\n", static_cast<unsigned long>(hr),
                 e.failure.c_str());
        return 1;
    }
    e.out += L"</Include>\n";
    FILE* f = _wfopen(out_path, L"wb");
    if (!f) {
        fwprintf(stderr, L"msi_registry: cannot write %ls\n", out_path);
        return 1;
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, e.out.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, e.out.c_str(), -1, utf8.data(), size, nullptr, nullptr);
    const bool written = fwrite(utf8.data(), 1, utf8.size() - 1, f) == utf8.size() - 1;
    return fclose(f) == 0 && written ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4) {
        fwprintf(stderr, L"usage: msi_registry DLL PROPERTY OUT.wxi\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const int rc = run(argv[1], argv[2], argv[3]);
    CoUninitialize();
    return rc;
}
