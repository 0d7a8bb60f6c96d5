#include "module/classes.h"

#include "module/ids.h"
#include "shell/shell_folder.h"
#include "ui/properties_drive.h"

namespace {

using registry::key;
using registry::removal;
using registry::value;

// A shared key the drive only adds to: never removed.
key shared(std::wstring name, std::vector<key> subkeys, std::vector<value> values = {})
{
    return key{std::move(name), removal::no_remove, std::nullopt, std::move(values), std::move(subkeys)};
}

// The drive: its class, the junction under the computer folder and the approval.
const registry::script& shell_folder_script()
{
    static const registry::script s = [] {
        key clsid{L"%CLSID%",
                  removal::force_remove,
                  std::wstring(L"%APP_NAME%"),
                  {value::str(L"InfoTip", L"Quillmere")},
                  {key{L"InprocServer32",
                       removal::normal,
                       std::wstring(L"%MODULE%"),
                       {value::str(L"ThreadingModel", L"Apartment")},
                       {}},
                   key{L"DefaultIcon", removal::normal, std::wstring(L"%MODULE%,0"), {}, {}},
                   key{L"ShellFolder",
                       removal::normal,
                       std::nullopt,
                       {value::dword(L"Attributes", drive_attributes)},
                       {}}}};
        key junction{L"%CLSID%", removal::force_remove, std::nullopt, {}, {}};
        key explorer = shared(L"Explorer", {shared(L"MyComputer", {shared(L"NameSpace", {junction})})});
        key approved =
            shared(L"Shell Extensions", {shared(L"Approved", {}, {value::str(L"%CLSID%", L"Quillmere")})});
        key current = shared(L"CurrentVersion", {explorer, approved});
        return registry::script{
            {HKEY_CLASSES_ROOT, {shared(L"CLSID", {clsid})}},
            {HKEY_LOCAL_MACHINE,
             {shared(L"Software", {shared(L"Microsoft", {shared(L"Windows", {current})})})}},
        };
    }();
    return s;
}

// The drive's property page: its class, and the handler entries of the drive's class and of the
// "Quillmere" file type.
const registry::script& properties_drive_script()
{
    static const registry::script s = [] {
        key clsid{L"%CLSID%",
                  removal::force_remove,
                  std::wstring(L"%APP_NAME% Property Sheet"),
                  {},
                  {key{L"InprocServer32",
                       removal::normal,
                       std::wstring(L"%MODULE%"),
                       {value::str(L"ThreadingModel", L"Apartment")},
                       {}}}};
        const auto handlers = [] {
            return key{L"ShellEx",
                       removal::normal,
                       std::nullopt,
                       {},
                       {key{L"PropertySheetHandlers",
                            removal::force_remove,
                            std::nullopt,
                            {},
                            {key{L"%CLSID%", removal::normal, std::wstring(), {}, {}}}}}};
        };
        key drive = shared(L"%DRIVECLSID%", {handlers()});
        key file_type{L"Quillmere", removal::normal, std::wstring(), {}, {handlers()}};
        key approved =
            shared(L"Shell Extensions",
                   {shared(L"Approved", {}, {value::str(L"%CLSID%", L"%APP_NAME% Property Sheet")})});
        return registry::script{
            {HKEY_CLASSES_ROOT, {shared(L"CLSID", {clsid, drive}), file_type}},
            {HKEY_LOCAL_MACHINE,
             {shared(L"Software",
                     {shared(L"Microsoft", {shared(L"Windows", {shared(L"CurrentVersion", {approved})})})})}},
        };
    }();
    return s;
}

} // namespace

// Each creatable class adds one entry to both lists.
std::vector<com::class_entry> module_classes()
{
    return {
        {&CLSID_ShellFolderImpl, com::create_aggregatable<CShellFolderImpl>, true},
        {&CLSID_PropertiesDriveDlg, com::create_plain<CPropertiesDriveDlg>, false},
    };
}

const std::vector<module_class>& module_class_registrations()
{
    static const std::vector<module_class> classes = {
        {&CLSID_ShellFolderImpl, shell_folder_script},
        {&CLSID_PropertiesDriveDlg, properties_drive_script},
    };
    return classes;
}
