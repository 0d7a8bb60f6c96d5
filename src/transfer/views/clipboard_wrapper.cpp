#include "transfer/views/clipboard_wrapper.h"

namespace views {

void fail(std::wstring message, std::wstring details)
{
    throw CWrapperException(std::move(message), std::move(details));
}

void not_implemented(const wchar_t* class_name, const wchar_t* operation)
{
    fail(L"Internal error", std::wstring(class_name) + L"::" + operation + L" is not implemented");
}

boost::shared_ptr<vfs::item> find_child(const vfs::item_list& children, const std::wstring& name,
                                        const std::wstring& place)
{
    for (const auto& child : children)
        if (child->get_name() == name)
            return child;
    fail(L"Internal error", format(L"Error: Item '%1%' not found at '%2%'", name, place));
}

bool any_folder(const vfs::item_list& children)
{
    for (const auto& child : children)
        if (child->get_type() == vfs::typeDirectory)
            return true;
    return false;
}

std::wstring origin_name(std::int32_t origin)
{
    static const wchar_t* const names[] = {L"beginning", L"current", L"ending"};
    return origin >= 0 && origin < 3 ? names[origin] : std::to_wstring(origin);
}

} // namespace views
