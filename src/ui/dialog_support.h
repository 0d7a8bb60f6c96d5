// Small pieces the drive's dialogs share.
#pragma once

#include <windows.h>

#include <string>

// The whole text of a dialog's control.
std::wstring dialog_item_text(HWND dialog, int id);

// Centres the dialog over its owner when the owner is visible and not minimised, otherwise
// over the work area of the monitor nearest to it, and keeps it inside that work area.
void centre_dialog(HWND dialog);
