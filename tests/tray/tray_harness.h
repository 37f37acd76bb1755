// A tray window driven in-process: the core started in a sandbox data folder,
// the shell's notification area, message boxes, shell actions and the popup
// menu's modal loop replaced by recorders.
#pragma once

#include <windows.h>
// The shell headers need windows.h first.
#include <shellapi.h>

#include <string>
#include <vector>

#include "support/test_support.h"

struct NotifyCall {
    DWORD message;
    NOTIFYICONDATAW data;
    bool coreStopped;  // whether the core had been told to stop by then
};
struct BoxCall {
    HWND owner;
    std::wstring text;
    std::wstring caption;
    UINT flags;
};
struct ShellCall {
    HWND owner;
    std::wstring verb;
    std::wstring file;
    bool hadParameters;
    bool hadDirectory;
    int show;
};
struct MenuEntry {
    UINT id;
    bool separator;
    std::wstring text;
};
struct MenuCall {
    std::vector<MenuEntry> items;
    UINT flags;
    HWND owner;
};

// What the recorders saw, in order.
extern std::vector<NotifyCall> gNotifyCalls;
extern std::vector<BoxCall> gBoxCalls;
extern std::vector<ShellCall> gShellCalls;
extern std::vector<MenuCall> gMenuCalls;
// What the recorded Shell_NotifyIconW(NIM_ADD) answers.
extern BOOL gNotifyAddResult;

void InstallTrayRecorders();
void ClearTrayRecords();

// Below the sandbox folder: appdata (the data folder's parent), Desktop,
// Documents and Downloads, handed to the core through its shell seams.
struct TrayHarness {
    // startCore false leaves the start to the code under test.
    explicit TrayHarness(bool isAdmin = true, const std::string& config = std::string(),
                         bool startCore = true);
    ~TrayHarness();
    TrayHarness(const TrayHarness&) = delete;
    TrayHarness& operator=(const TrayHarness&) = delete;

    // Registers the class and creates the window (WM_CREATE runs inside).
    HWND CreateWindowNow();
    LRESULT Command(UINT id) { return SendMessageW(window, WM_COMMAND, MAKEWPARAM(id, 0), 0); }
    LRESULT TrayCallback(UINT code) { return SendMessageW(window, WM_APP + 1, 1, MAKELPARAM(code, 0)); }
    LRESULT Tick(WPARAM timerId = 1) { return SendMessageW(window, WM_TIMER, timerId, 0); }

    TempDir dir;
    HWND window = nullptr;
};

// Local time stamp (YYYY-MM-DDTHH:MM:SS) of the given seconds since 1970.
std::string LocalIso(int64_t seconds);
// Writes Incidents\<name>\incident.json as the store would.
void WriteIncident(const std::string& name, const std::string& ts, const std::string& reason, int severity,
                   const std::string& folder, const std::string& file);

// The WM_QUIT waiting in this thread's queue: true and its code, or false.
bool TakeQuitMessage(WPARAM& code);
