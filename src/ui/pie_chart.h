// The drive's usage chart: a flat cylinder seen from above at an angle, its top face split into
// the used share (blue) and the free share (magenta), with a wall below in darker shades.
#pragma once

#include <windows.h>

// Draws the chart of value (used share in thousandths; more than 1000 counts as 1000) into the
// rectangle. A rectangle too small for a readable chart (half width or half height without the
// wall at most 10 pixels) gets nothing.
void draw_pie_chart(HDC dc, const RECT& area, unsigned value);

// Takes over the painting of an existing child window (the page's chart control) for as long as
// the window lives.
class CPieChart {
public:
    void SubclassWindow(HWND window);
    void set_value(unsigned value) { value_ = value; }
    unsigned value() const { return value_; }

private:
    static LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR id,
                                 DWORD_PTR self);
    unsigned value_ = 0;
};
