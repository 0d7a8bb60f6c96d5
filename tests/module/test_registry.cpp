// The registry writer's removal rules, on a scratch key of the current user.
#include "module/registry.h"
#include "registry_keys.h"

#include <gtest/gtest.h>

namespace {

using registry::key;
using registry::removal;
using registry::value;

const std::wstring base = L"Software\\QuillmereTest";

bool exists(const std::wstring& path)
{
    return qm_test::key_exists(HKEY_CURRENT_USER, path);
}

void create(const std::wstring& path)
{
    ASSERT_TRUE(qm_test::create_key(HKEY_CURRENT_USER, path));
}

std::wstring read_string(const std::wstring& path, const wchar_t* name)
{
    return qm_test::read_string(HKEY_CURRENT_USER, path, name);
}

class scratch : public testing::Test {
protected:
    void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, base.c_str()); }
    void TearDown() override
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, base.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, base.c_str());
    }
    // base\<k>, base itself shared with others.
    static registry::script under_base(key k)
    {
        return {{HKEY_CURRENT_USER, {key{base, removal::no_remove, std::nullopt, {}, {std::move(k)}}}}};
    }
};

TEST(registry, expand_replaces_known_names_only)
{
    const registry::replacements with{{L"CLSID", L"{X}"}, {L"MODULE", L"C:\\q.dll"}};
    const struct {
        const wchar_t *text, *expanded;
        bool unresolved;
    } cases[] = {
        {L"%MODULE%,0", L"C:\\q.dll,0", false},
        {L"CLSID\\%CLSID%\\x", L"CLSID\\{X}\\x", false},
        {L"100%% %OTHER% %", L"100% %OTHER% %", true},
        {L"50%%%CLSID%", L"50%{X}", false},
    };
    for (const auto& c : cases) {
        bool unresolved = !c.unresolved;
        EXPECT_EQ(registry::expand(c.text, with, unresolved), c.expanded);
        EXPECT_EQ(unresolved, c.unresolved) << testing::PrintToString(std::wstring(c.text));
    }
}

TEST_F(scratch, force_remove_no_remove_and_plain_keys)
{
    const registry::script s =
        under_base(key{L"Plain",
                       removal::normal,
                       std::nullopt,
                       {value::str(L"%CLSID%", L"Quillmere")},
                       {key{L"%CLSID%",
                            removal::force_remove,
                            std::wstring(L"%APP%"),
                            {value::dword(L"Attributes", 0xA8004143u)},
                            {key{L"InprocServer32", removal::normal, std::wstring(L"%MODULE%"), {}, {}}}}}});
    const registry::replacements with{{L"CLSID", L"{C}"}, {L"APP", L"Quillmere"}, {L"MODULE", L"q.dll"}};
    const std::wstring plain = base + L"\\Plain";

    // A stale subkey under a force_remove key is gone after registration.
    create(plain + L"\\{C}\\Stale");
    ASSERT_EQ(registry::register_script(s, with), S_OK);
    EXPECT_FALSE(exists(plain + L"\\{C}\\Stale"));
    EXPECT_EQ(read_string(plain + L"\\{C}", nullptr), L"Quillmere");
    EXPECT_EQ(read_string(plain + L"\\{C}\\InprocServer32", nullptr), L"q.dll");
    EXPECT_EQ(read_string(plain, L"{C}"), L"Quillmere");
    DWORD attributes = 0, size = sizeof attributes;
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, (plain + L"\\{C}").c_str(), L"Attributes", RRF_RT_REG_DWORD,
                           nullptr, &attributes, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(attributes, 0xA8004143u);

    // Something else under the plain key keeps it (and the value the script wrote goes).
    create(plain + L"\\Foreign");
    ASSERT_EQ(registry::unregister_script(s, with), S_OK);
    EXPECT_FALSE(exists(plain + L"\\{C}"));
    EXPECT_EQ(read_string(plain, L"{C}"), L"<missing>");
    EXPECT_TRUE(exists(plain + L"\\Foreign"));

    // Without it, the next unregistration removes the plain key; its no_remove parent stays.
    RegDeleteKeyW(HKEY_CURRENT_USER, (plain + L"\\Foreign").c_str());
    ASSERT_EQ(registry::unregister_script(s, with), S_OK);
    EXPECT_FALSE(exists(plain)) << "a plain key with nothing left under it is removed";
    EXPECT_TRUE(exists(base));
}

TEST_F(scratch, a_name_that_expands_to_nothing_or_keeps_a_reference_is_refused)
{
    const registry::replacements with{{L"EMPTY", L""}};
    const HRESULT refused = HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
    for (const wchar_t* name : {L"%EMPTY%", L"%MISSING%", L"x%MISSING%"}) {
        for (const removal mode : {removal::force_remove, removal::normal}) {
            SCOPED_TRACE(testing::PrintToString(std::wstring(name)) + " mode " +
                         std::to_string(static_cast<int>(mode)));
            create(base + L"\\Sibling\\Child");
            const registry::script s = under_base(key{name, mode, std::wstring(L"v"), {}, {}});
            // Either would have addressed base itself: its whole subtree deleted.
            EXPECT_EQ(registry::register_script(s, with), refused);
            EXPECT_EQ(registry::unregister_script(s, with), refused);
            EXPECT_TRUE(exists(base + L"\\Sibling\\Child"));
            EXPECT_EQ(read_string(base, nullptr), L"<missing>");
            EXPECT_FALSE(exists(base + L"\\" + name));
        }
    }
}

} // namespace
