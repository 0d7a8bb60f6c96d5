#include "ui/texts.h"

#include "module/module.h"

namespace ui {

std::wstring load_string(UINT id)
{
    const wchar_t* text = nullptr;
    const int length = LoadStringW(CQuillmereModule::instance(), id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 ? std::wstring(text, static_cast<std::size_t>(length)) : std::wstring();
}

std::wstring fill(const std::wstring& text, const std::vector<std::wstring>& values)
{
    std::wstring out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'%' && i + 1 < text.size() && (text[i + 1] == L's' || text[i + 1] == L'd')) {
            if (next < values.size())
                out += values[next];
            ++next;
            ++i;
        }
        else
            out += text[i];
    }
    return out;
}

} // namespace ui
