// The drive's own folder in the user's local application data, where opened files and the
// thumbnail cache live.
#pragma once

#include <string>

// "<local application data>\Quillmere\<name>", both folders made when missing. Empty when that
// fails, with failure holding why ("Can't retrieve application folder", "Can't create Quillmere
// folder").
std::wstring application_folder(const wchar_t* name, std::wstring& failure);
