#include "screen_png.h"

#include <objidl.h>
#include <gdiplus.h>

#include <cwchar>
#include <vector>

namespace qm_tools {

namespace {

bool encoder(const wchar_t* mime, CLSID* clsid)
{
    UINT count = 0, size = 0;
    Gdiplus::GetImageEncodersSize(&count, &size);
    if (size == 0)
        return false;
    std::vector<BYTE> buffer(size);
    auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    Gdiplus::GetImageEncoders(count, size, codecs);
    for (UINT i = 0; i < count; ++i) {
        if (std::wcscmp(codecs[i].MimeType, mime) == 0) {
            *clsid = codecs[i].Clsid;
            return true;
        }
    }
    return false;
}

// GDI+ for the length of one call.
struct gdiplus_session {
    gdiplus_session()
    {
        Gdiplus::GdiplusStartupInput input;
        ok = Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok;
    }
    ~gdiplus_session()
    {
        if (ok)
            Gdiplus::GdiplusShutdown(token);
    }
    ULONG_PTR token = 0;
    bool ok = false;
};

bool save_with(HBITMAP bitmap, const std::wstring& path, const wchar_t* mime)
{
    CLSID clsid;
    if (!encoder(mime, &clsid))
        return false;
    Gdiplus::Bitmap image(bitmap, nullptr);
    return image.Save(path.c_str(), &clsid, nullptr) == Gdiplus::Ok;
}

} // namespace

bool save_bitmap(HBITMAP bitmap, const std::wstring& path, const wchar_t* mime)
{
    gdiplus_session gdiplus;
    return gdiplus.ok && save_with(bitmap, path, mime);
}

bool save_screen_png(const RECT& area, const std::wstring& path, HWND window)
{
    const int width = area.right - area.left, height = area.bottom - area.top;
    if (width <= 0 || height <= 0)
        return false;
    gdiplus_session gdiplus;
    if (!gdiplus.ok)
        return false;
    bool saved = false;
    {
        HDC screen = GetDC(nullptr);
        HDC memory = CreateCompatibleDC(screen);
        HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
        HGDIOBJ old = SelectObject(memory, bitmap);
        if (!BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY) && window)
            PrintWindow(window, memory, 0);
        SelectObject(memory, old);
        saved = save_with(bitmap, path, L"image/png");
        DeleteObject(bitmap);
        DeleteDC(memory);
        ReleaseDC(nullptr, screen);
    }
    return saved;
}

} // namespace qm_tools
