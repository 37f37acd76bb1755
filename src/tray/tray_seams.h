// The tray's calls into the shell and the modal parts of the UI go through
// these wrappers, so tests can record them instead of talking to a shell that
// Wine cannot show or blocking in a modal loop. Every member of gTraySeams is
// null in the shipped program, which then makes the real call.
#pragma once

#include <windows.h>
// The shell headers need windows.h first.
#include <shellapi.h>

#include <string>

struct TraySeams {
    BOOL (*shellNotifyIcon)(DWORD message, NOTIFYICONDATAW* data) = nullptr;
    int (*messageBox)(HWND owner, const wchar_t* text, const wchar_t* caption, UINT flags) = nullptr;
    HINSTANCE(*shellExecute)
    (HWND owner, const wchar_t* verb, const wchar_t* file, const wchar_t* parameters,
     const wchar_t* directory, int show) = nullptr;
    // Stands in for the popup menu's modal loop; the menu is alive during the call.
    BOOL (*trackPopupMenu)(HMENU menu, UINT flags, int x, int y, HWND owner) = nullptr;
};

extern TraySeams gTraySeams;

BOOL TrayNotifyIcon(DWORD message, NOTIFYICONDATAW* data);
// A box with the caption "Vellumgard".
int TrayMessageBox(HWND owner, const std::wstring& text, UINT flags);
HINSTANCE TrayShellExecute(HWND owner, const wchar_t* verb, const wchar_t* file, const wchar_t* parameters,
                           const wchar_t* directory, int show);
BOOL TrayTrackPopupMenu(HMENU menu, UINT flags, int x, int y, HWND owner);
