// The registry writer's removal rules, on a scratch key of the current user.
#include "module/registry.h"

#include <gtest/gtest.h>

namespace {

using registry::key;
using registry::removal;
using registry::value;

const wchar_t* const scratch = L"Software\\QuillmereTest";

bool exists(const std::wstring& path)
{
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

std::wstring read_string(const std::wstring& path, const wchar_t* name)
{
    wchar_t buffer[256] = {};
    DWORD size = sizeof buffer;
    if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
        ERROR_SUCCESS)
        return L"<missing>";
    return buffer;
}

TEST(registry, expand_replaces_known_names_only)
{
    const registry::replacements with{{L"CLSID", L"{X}"}, {L"MODULE", L"C:\\q.dll"}};
    EXPECT_EQ(registry::expand(L"%MODULE%,0", with), L"C:\\q.dll,0");
    EXPECT_EQ(registry::expand(L"CLSID\\%CLSID%\\x", with), L"CLSID\\{X}\\x");
    EXPECT_EQ(registry::expand(L"100%% %OTHER% %", with), L"100% %OTHER% %");
    EXPECT_EQ(registry::expand(L"50%%%CLSID%", with), L"50%{X}");
}

TEST(registry, force_remove_no_remove_and_plain_keys)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, scratch);
    const registry::script s = {
        {HKEY_CURRENT_USER,
         {key{L"Software",
              removal::no_remove,
              std::nullopt,
              {},
              {key{L"QuillmereTest",
                   removal::no_remove,
                   std::nullopt,
                   {value::str(L"%CLSID%", L"Quillmere")},
                   {key{L"%CLSID%",
                        removal::force_remove,
                        std::wstring(L"%APP%"),
                        {value::dword(L"Attributes", 0xA8004143u)},
                        {key{L"InprocServer32",
                             removal::normal,
                             std::wstring(L"%MODULE%"),
                             {value::str(L"ThreadingModel", L"Apartment")},
                             {}}}},
                    key{L"Plain", removal::normal, std::wstring(L"p"), {}, {}}}}}}}},
    };
    const registry::replacements with{{L"CLSID", L"{C}"}, {L"APP", L"Quillmere"}, {L"MODULE", L"q.dll"}};
    const std::wstring base = scratch;

    // A stale subkey under a force_remove key is gone after registration.
    HKEY stale = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (base + L"\\{C}\\Stale").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &stale, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(stale);

    ASSERT_EQ(registry::register_script(s, with), S_OK);
    EXPECT_FALSE(exists(base + L"\\{C}\\Stale"));
    EXPECT_EQ(read_string(base + L"\\{C}", nullptr), L"Quillmere");
    EXPECT_EQ(read_string(base + L"\\{C}\\InprocServer32", nullptr), L"q.dll");
    EXPECT_EQ(read_string(base + L"\\{C}\\InprocServer32", L"ThreadingModel"), L"Apartment");
    EXPECT_EQ(read_string(base, L"{C}"), L"Quillmere");
    DWORD attributes = 0, size = sizeof attributes;
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, (base + L"\\{C}").c_str(), L"Attributes", RRF_RT_REG_DWORD,
                           nullptr, &attributes, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(attributes, 0xA8004143u);

    // A plain key that someone else also put something under survives unregistration.
    HKEY foreign = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (base + L"\\Plain\\Foreign").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &foreign, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(foreign);

    ASSERT_EQ(registry::unregister_script(s, with), S_OK);
    EXPECT_FALSE(exists(base + L"\\{C}"));
    EXPECT_EQ(read_string(base, L"{C}"), L"<missing>") << "a value the script wrote is removed";
    EXPECT_TRUE(exists(base)) << "no_remove keys stay";
    EXPECT_TRUE(exists(base + L"\\Plain\\Foreign"));

    RegDeleteTreeW(HKEY_CURRENT_USER, (base + L"\\Plain").c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, (base + L"\\Plain").c_str());
    ASSERT_EQ(registry::unregister_script(s, with), S_OK);
    EXPECT_FALSE(exists(base + L"\\Plain")) << "a plain key with nothing left under it is removed";
    RegDeleteTreeW(HKEY_CURRENT_USER, scratch);
    RegDeleteKeyW(HKEY_CURRENT_USER, scratch);
}

} // namespace
