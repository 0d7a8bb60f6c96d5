// Saves what the screen shows of a rectangle as a PNG file, for the screenshots the tests and
// the demo driver leave behind for people to look at.
#pragma once

#include <windows.h>

#include <string>

namespace qm_tools {

// Copies the screen's pixels of area. When the screen cannot be read and window is given, the
// window paints itself instead (Wine's PrintWindow draws neither the frame nor child controls,
// so it is only the fallback).
bool save_screen_png(const RECT& area, const std::wstring& path, HWND window = nullptr);
// A bitmap saved in the format of mime ("image/png", "image/jpeg").
bool save_bitmap(HBITMAP bitmap, const std::wstring& path, const wchar_t* mime = L"image/png");

} // namespace qm_tools
