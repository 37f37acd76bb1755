// The hidden tool window that owns the notification-area icon: it adds the
// icon, keeps the tooltip current, polls for alerts every three seconds,
// shows the context menu and carries out its seven commands.
#pragma once

#include <windows.h>
// The shell headers need windows.h first.
#include <shellapi.h>

constexpr UINT kTrayIconId = 1;
constexpr UINT kTrayCallbackMessage = WM_APP + 1;
constexpr UINT_PTR kPollTimerId = 1;
constexpr UINT kPollTimerMs = 3000;
constexpr int kTrayIconResource = 107;

// The one icon record; its hWnd doubles as the icon-present mark, set from
// the add attempt until the icon is removed.
extern NOTIFYICONDATAW gTrayIcon;

inline bool TrayIconPresent() {
    return gTrayIcon.hWnd != nullptr;
}

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Fills the record, loads the icon, sets the added-state tooltip and adds the
// icon; true when the shell accepted it.
bool AddTrayIcon(HWND window);
// Writes the normal-state tooltip while the icon is present.
void ResetTrayTip();
// The context menu at the mouse position; the choice arrives as WM_COMMAND.
void ShowTrayMenu(HWND window);
