#include "tray/tray_seams.h"

TraySeams gTraySeams;

BOOL TrayNotifyIcon(DWORD message, NOTIFYICONDATAW* data) {
    if (gTraySeams.shellNotifyIcon) return gTraySeams.shellNotifyIcon(message, data);
    return Shell_NotifyIconW(message, data);
}

int TrayMessageBox(HWND owner, const std::wstring& text, UINT flags) {
    if (gTraySeams.messageBox) return gTraySeams.messageBox(owner, text.c_str(), L"Vellumgard", flags);
    return MessageBoxW(owner, text.c_str(), L"Vellumgard", flags);
}

HINSTANCE TrayShellExecute(HWND owner, const wchar_t* verb, const wchar_t* file, const wchar_t* parameters,
                           const wchar_t* directory, int show) {
    if (gTraySeams.shellExecute)
        return gTraySeams.shellExecute(owner, verb, file, parameters, directory, show);
    return ShellExecuteW(owner, verb, file, parameters, directory, show);
}

BOOL TrayTrackPopupMenu(HMENU menu, UINT flags, int x, int y, HWND owner) {
    if (gTraySeams.trackPopupMenu) return gTraySeams.trackPopupMenu(menu, flags, x, y, owner);
    return TrackPopupMenu(menu, flags, x, y, 0, owner, nullptr);
}
