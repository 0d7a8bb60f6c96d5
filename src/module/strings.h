// The module's string resources, and filling their "%s" and "%d" with values.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// String resource id of the module; empty when there is none.
std::wstring load_string(UINT id);

// Each "%s" or "%d" of text replaced by the next value, in order. Values are inserted as they
// are, so a "%" in a name cannot act as a format directive.
std::wstring fill(const std::wstring& text, const std::vector<std::wstring>& values);
