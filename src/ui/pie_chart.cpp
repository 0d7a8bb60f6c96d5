#include "ui/pie_chart.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

const COLORREF used_top = RGB(0, 0, 255), free_top = RGB(255, 0, 255);
const COLORREF used_side = RGB(0, 0, 128), free_side = RGB(128, 0, 128);
constexpr int depth = 9;

// The largest r with r * r <= n.
std::uint64_t isqrt(std::uint64_t n)
{
    std::uint64_t r = 0;
    for (std::uint64_t bit = std::uint64_t(1) << 31; bit; bit >>= 1) {
        const std::uint64_t candidate = r | bit;
        if (candidate * candidate <= n)
            r = candidate;
    }
    return r;
}

struct gdi_object {
    explicit gdi_object(HGDIOBJ o) : object(o) {}
    ~gdi_object() { DeleteObject(object); }
    gdi_object(const gdi_object&) = delete;
    gdi_object& operator=(const gdi_object&) = delete;
    HGDIOBJ object;
};

void fill(HDC dc, HRGN region, COLORREF colour)
{
    const gdi_object brush(CreateSolidBrush(colour));
    FillRgn(dc, region, static_cast<HBRUSH>(brush.object));
}

} // namespace

void draw_pie_chart(HDC dc, const RECT& area, unsigned value)
{
    const int left = area.left, top = area.top;
    const int rx = (area.right - area.left) / 2, ry = (area.bottom - area.top - depth) / 2;
    if (rx <= 10 || ry <= 10)
        return;
    const int cx = left + rx - 1, cy = top + ry - 1;
    const RECT e = {left, top, left + 2 * rx, top + 2 * ry};

    // Where the boundary between the shares meets the top face's rim. 64-bit arithmetic: a big
    // chart overflows 32 bits (rx and ry squared times 250 squared).
    const unsigned v = std::min(value, 1000u);
    const std::uint64_t q = static_cast<std::uint64_t>(std::abs(static_cast<int>(v % 500) - 250));
    const std::uint64_t p = 250 - q, rx2 = std::uint64_t(rx) * rx, ry2 = std::uint64_t(ry) * ry;
    std::int64_t x, y;
    if (q < 120) {
        const std::uint64_t ux = isqrt(q * q * rx2 / (q * q + p * p));
        x = static_cast<std::int64_t>(ux);
        y = static_cast<std::int64_t>(isqrt((rx2 - ux * ux) * ry2 / rx2));
    }
    else {
        const std::uint64_t uy = isqrt(p * p * ry2 / (q * q + p * p));
        y = static_cast<std::int64_t>(uy);
        x = static_cast<std::int64_t>(isqrt((ry2 - uy * uy) * rx2 / ry2));
    }
    switch (v / 250) {
    case 1:
        y = -y;
        break;
    case 2:
        break;
    case 3:
        x = -x;
        break;
    default:
        x = -x;
        y = -y;
    }
    x = std::max<std::int64_t>(x + cx, 0);
    y += cy;
    const int px = static_cast<int>(x), py = static_cast<int>(y);

    // The wall: the face moved down, joined to the band between, minus the face itself.
    {
        const gdi_object below(CreateEllipticRgn(e.left, e.top + depth + 1, e.right, e.bottom + depth + 1));
        const gdi_object band(CreateRectRgn(left, cy, e.right, cy + depth));
        const gdi_object face(CreateEllipticRgn(e.left, e.top + 1, e.right, e.bottom + 1));
        const gdi_object wall(CreateRectRgn(0, 0, 0, 0));
        CombineRgn(static_cast<HRGN>(wall.object), static_cast<HRGN>(below.object),
                   static_cast<HRGN>(band.object), RGN_OR);
        CombineRgn(static_cast<HRGN>(wall.object), static_cast<HRGN>(wall.object),
                   static_cast<HRGN>(face.object), RGN_DIFF);
        fill(dc, static_cast<HRGN>(wall.object), free_side);
        if (v > 500) {
            const gdi_object right(CreateRectRgn(px, cy, e.right, area.bottom));
            CombineRgn(static_cast<HRGN>(right.object), static_cast<HRGN>(right.object),
                       static_cast<HRGN>(wall.object), RGN_AND);
            fill(dc, static_cast<HRGN>(right.object), used_side);
        }
    }

    const gdi_object pen(CreatePen(PS_SOLID, 1, RGB(0, 0, 0)));
    const gdi_object used_brush(CreateSolidBrush(used_top)), free_brush(CreateSolidBrush(free_top));
    const HGDIOBJ old_pen = SelectObject(dc, pen.object);
    const HGDIOBJ old_brush = SelectObject(dc, free_brush.object);
    if (v < 100 && py == cy) {
        if (v == 0)
            Ellipse(dc, e.left, e.top, e.right, e.bottom);
        else
            Pie(dc, e.left, e.top, e.right, e.bottom, left, cy, px, py);
    }
    else if (v > 900 && py == cy) {
        SelectObject(dc, used_brush.object);
        if (v >= 1000)
            Ellipse(dc, e.left, e.top, e.right, e.bottom);
        else
            Pie(dc, e.left, e.top, e.right, e.bottom, left, cy, px, py);
    }
    else {
        SelectObject(dc, used_brush.object);
        Ellipse(dc, e.left, e.top, e.right, e.bottom);
        SelectObject(dc, free_brush.object);
        Pie(dc, e.left, e.top, e.right, e.bottom, left, cy, px, py);
    }
    if (v > 0 && v < 1000) {
        Arc(dc, e.left, e.top + depth, e.right, e.bottom + depth, left, cy + depth, e.right, cy + depth - 1);
        MoveToEx(dc, left, cy, nullptr);
        LineTo(dc, left, cy + depth);
        MoveToEx(dc, e.right - 1, cy, nullptr);
        LineTo(dc, e.right - 1, cy + depth);
        if (v > 500) {
            MoveToEx(dc, px, py, nullptr);
            LineTo(dc, px, py + depth);
        }
    }
    SelectObject(dc, old_brush);
    SelectObject(dc, old_pen);
}

void CPieChart::SubclassWindow(HWND window)
{
    SetWindowSubclass(window, proc, 1, reinterpret_cast<DWORD_PTR>(this));
}

LRESULT CALLBACK CPieChart::proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                                 DWORD_PTR self)
{
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT area;
        GetClientRect(window, &area);
        draw_pie_chart(dc, area, reinterpret_cast<CPieChart*>(self)->value_);
        EndPaint(window, &paint);
        return 0;
    }
    if (message == WM_NCDESTROY)
        RemoveWindowSubclass(window, proc, 1);
    return DefSubclassProc(window, message, wparam, lparam);
}
