// Texts of the string table as the prompts show them. Names and error details are inserted as
// they are, so that a "%" in a remote name can never act as a format directive.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace ui {

// The string resource id of the module's resources; empty when it is missing.
std::wstring load_string(UINT id);

// Every "%s" or "%d" of text replaced by the next value, in order.
std::wstring fill(const std::wstring& text, const std::vector<std::wstring>& values);

// load_string(id) filled with values.
inline std::wstring text(UINT id, const std::vector<std::wstring>& values = {})
{
    return fill(load_string(id), values);
}

} // namespace ui
