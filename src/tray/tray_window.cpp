#include "tray/tray_window.h"

#include <string>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/handles.h"
#include "core/paths.h"
#include "incidents/incident_scanner.h"
#include "report/html_report.h"
#include "tray/alerts.h"
#include "tray/app_shell.h"
#include "tray/pause_texts.h"
#include "tray/paused_ui.h"
#include "tray/status_selftest.h"
#include "tray/tray_seams.h"
#include "tray/tray_texts.h"

static_assert(kMenuItemString == (MF_BYPOSITION | MF_STRING), "menu flags");
static_assert(kMenuItemSeparator == (MF_BYPOSITION | MF_SEPARATOR), "menu flags");

NOTIFYICONDATAW gTrayIcon;

namespace {

// Only an icon loaded from our resources is ours to destroy; the fallback
// system icon is shared.
bool gTrayIconOwned = false;

void SetTip(const std::wstring& text) {
    CopyTruncated(gTrayIcon.szTip, ARRAYSIZE(gTrayIcon.szTip), text);
}

// Takes its own copy of the process-wide path.
void OpenWithShell(std::wstring path) {
    if (path.empty()) return;
    TrayShellExecute(nullptr, L"open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void RunReportCommand(HWND window) {
    std::wstring reportPath;
    if (GenerateReport(reportPath)) {
        TrayShellExecute(nullptr, L"open", reportPath.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    } else {
        TrayMessageBox(window, L"Failed to generate report.", MB_OK | MB_ICONERROR);
    }
}

void ReloadConfigCommand(HWND window) {
    std::wstring status;
    const bool ok = LoadConfig(status);
    TrayMessageBox(window, status, MB_OK | (ok ? MB_ICONINFORMATION : MB_ICONERROR));
}

void SelfTestCommand(HWND window) {
    const SelfTestResult result = RunSelfTest();
    TrayMessageBox(window, result.text, MB_OK | (result.passed ? MB_ICONINFORMATION : MB_ICONWARNING));
}

void OnCreate(HWND window) {
    if (!AddTrayIcon(window)) {
        TrayMessageBox(window, L"Failed to add tray icon.", MB_OK | MB_ICONERROR);
        PostQuitMessage(1);
    }
    ResetTrayTip();
    StartPausedUi(window);
    SetTimer(window, kPollTimerId, kPollTimerMs, nullptr);
    PollAlerts(false);
}

void OnDestroy(HWND window) {
    KillTimer(window, kPollTimerId);
    // The message loop must end whatever the stop does.
    try {
        CoreStop();
    } catch (...) {
    }
    StopIncidentIndex();
    if (TrayIconPresent()) {
        TrayNotifyIcon(NIM_DELETE, &gTrayIcon);
        if (gTrayIcon.hIcon) {
            if (gTrayIconOwned) DestroyIcon(gTrayIcon.hIcon);
            gTrayIcon.hIcon = nullptr;
            gTrayIconOwned = false;
        }
        gTrayIcon.hWnd = nullptr;
    }
    PostQuitMessage(0);
}

void OnCommand(HWND window, UINT command) {
    switch (command) {
        case kCmdStatus:
            TrayMessageBox(window, BuildStatusText(), MB_OK | MB_ICONINFORMATION);
            break;
        case kCmdRunReport:
            RunReportCommand(window);
            break;
        case kCmdReloadConfig:
            ReloadConfigCommand(window);
            break;
        case kCmdOpenLog:
            OpenWithShell(gDataPaths.logFile);
            break;
        case kCmdOpenDataFolder:
            OpenWithShell(gDataPaths.dataDir);
            break;
        case kCmdSelfTest:
            SelfTestCommand(window);
            break;
        case kCmdExit:
            DestroyWindow(window);
            break;
        case kCmdPausedPrograms:
            PausedProgramsCommand(window);
            break;
        default:
            break;
    }
}

void OnTimer(WPARAM timerId) {
    if (timerId == kPollTimerId) PollAlerts(true);
}

void OnTrayCallback(HWND window, LPARAM lParam) {
    switch (LOWORD(lParam)) {
        case WM_RBUTTONUP:
        case WM_CONTEXTMENU:
            ShowTrayMenu(window);
            break;
        case WM_LBUTTONDBLCLK:
            ShowStatusBox(window);
            break;
        default:
            break;
    }
}

}  // namespace

bool AddTrayIcon(HWND window) {
    gTrayIcon = NOTIFYICONDATAW{};
    gTrayIcon.cbSize = sizeof(NOTIFYICONDATAW);
    gTrayIcon.hWnd = window;
    gTrayIcon.uID = kTrayIconId;
    gTrayIcon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    gTrayIcon.uCallbackMessage = kTrayCallbackMessage;
    gTrayIcon.hIcon = static_cast<HICON>(
        LoadImageW(gInstance, MAKEINTRESOURCEW(kTrayIconResource), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    gTrayIconOwned = gTrayIcon.hIcon != nullptr;
    if (!gTrayIcon.hIcon) gTrayIcon.hIcon = LoadIconW(nullptr, IDI_SHIELD);
    SetTip(AddedTipText(gCoreState.isAdmin));
    return TrayNotifyIcon(NIM_ADD, &gTrayIcon) != FALSE;
}

void ResetTrayTip() {
    if (!TrayIconPresent()) return;
    SetTip(NormalTipText(gCoreState.isAdmin));
    gTrayIcon.uFlags = NIF_TIP;
    TrayNotifyIcon(NIM_MODIFY, &gTrayIcon);
}

void ShowTrayMenu(HWND window) {
    POINT cursor{};
    GetCursorPos(&cursor);
    UniqueMenu menu(CreatePopupMenu());
    if (!menu.get()) return;
    for (const TrayMenuItem& item : TrayMenuItemsFor(AnyProgramPaused())) {
        InsertMenuW(menu.get(), 0xFFFFFFFF, item.flags, item.id, item.text);
    }
    SetForegroundWindow(window);
    TrayTrackPopupMenu(menu.get(), TPM_BOTTOMALIGN, cursor.x, cursor.y, window);
}

namespace {

LRESULT Dispatch(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            OnCreate(window);
            return 0;
        case WM_DESTROY:
            OnDestroy(window);
            return 0;
        case WM_COMMAND:
            OnCommand(window, LOWORD(wParam));
            return 0;
        case WM_TIMER:
            OnTimer(wParam);
            return 0;
        case kTrayCallbackMessage:
            OnTrayCallback(window, lParam);
            return 0;
        case kProgramPausedMessage:
            ShowPausedBalloons();
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // Nothing may unwind into the system's message dispatch.
    try {
        return Dispatch(window, message, wParam, lParam);
    } catch (...) {
        return 0;
    }
}
