#include "tray/app_shell.h"

#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "tray/installer.h"
#include "tray/tray_seams.h"
#include "tray/tray_window.h"

HINSTANCE gInstance = nullptr;
HWND gMainWindow = nullptr;

namespace {

int FailStart(const wchar_t* text) {
    TrayMessageBox(nullptr, text, MB_OK | MB_ICONERROR);
    return 1;
}

}  // namespace

bool IsUserAdmin() {
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                  0, 0, 0, 0, &administrators)) {
        return false;
    }
    BOOL member = FALSE;
    // A null token means the thread's effective token, so a filtered admin token counts as not admin.
    if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
    FreeSid(administrators);
    return member == 1;
}

bool RegisterTrayWindowClass(HINSTANCE instance) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = TrayWindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kTrayClassName;
    return RegisterClassExW(&wc) != 0;
}

HWND CreateTrayWindow(HINSTANCE instance) {
    return CreateWindowExW(WS_EX_TOOLWINDOW, kTrayClassName, L"Vellumgard", WS_OVERLAPPEDWINDOW,
                           CW_USEDEFAULT, CW_USEDEFAULT, 200, 200, nullptr, nullptr, instance, nullptr);
}

int RunTrayAgent(HINSTANCE instance) {
    gInstance = instance;
    // Bring up the display driver on this thread before any worker starts. Under
    // Wine it loads lazily with the first window call, under the loader lock, and
    // the process monitor's COM start-up needs it from inside a DLL's start-up:
    // loaded from both threads at once, the agent hung before its window existed.
    GetSystemMetrics(SM_CXSCREEN);
    HoldAgentMutexes();  // before the core: the verbs see this agent from now on
    if (!CoreStart(IsUserAdmin())) return FailStart(L"Vellumgard core init failed.");
    if (!RegisterTrayWindowClass(instance)) return FailStart(L"Failed to register window class.");
    HWND window = CreateTrayWindow(instance);
    if (!window) return FailStart(L"Failed to create main window.");
    gMainWindow = window;
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
    RemoveLeftoverHelpersIfInstalled();

    MSG msg{};
    for (;;) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) break;  // WM_QUIT; wParam is the exit code
        // -1 is an error, not a message: leave instead of spinning on it.
        if (got == -1) {
            msg.wParam = 1;
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    LogMessage("shutdown", "Vellumgard tray exiting");
    return static_cast<int>(msg.wParam);
}
