#include "tray_harness.h"

#include <windows.h>
// The shell headers need windows.h first.
#include <shlobj.h>

#include <ctime>

#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/paths.h"
#include "core/seams.h"
#include "core/text.h"
#include "tray/app_shell.h"
#include "tray/tray_seams.h"

std::vector<NotifyCall> gNotifyCalls;
std::vector<BoxCall> gBoxCalls;
std::vector<ShellCall> gShellCalls;
std::vector<MenuCall> gMenuCalls;
BOOL gNotifyAddResult = TRUE;

namespace {

std::wstring gBase;

BOOL RecordNotify(DWORD message, NOTIFYICONDATAW* data) {
    gNotifyCalls.push_back(NotifyCall{message, *data, gCoreState.stopRequested.load() != 0});
    return message == NIM_ADD ? gNotifyAddResult : TRUE;
}

int RecordBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT flags) {
    gBoxCalls.push_back(BoxCall{owner, text, caption, flags});
    return IDOK;
}

HINSTANCE RecordShell(HWND owner, const wchar_t* verb, const wchar_t* file, const wchar_t* parameters,
                      const wchar_t* directory, int show) {
    gShellCalls.push_back(ShellCall{owner, verb ? verb : L"", file ? file : L"", parameters != nullptr,
                                    directory != nullptr, show});
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(42));
}

// Reads the live menu back, item by item, instead of entering its modal loop.
BOOL RecordMenu(HMENU menu, UINT flags, int, int, HWND owner) {
    MenuCall call{{}, flags, owner};
    const int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        MenuEntry entry{};
        entry.id = GetMenuItemID(menu, i);
        entry.separator = (GetMenuState(menu, i, MF_BYPOSITION) & MF_SEPARATOR) != 0;
        wchar_t text[128] = {};
        GetMenuStringW(menu, i, text, 128, MF_BYPOSITION);
        entry.text = text;
        call.items.push_back(entry);
    }
    gMenuCalls.push_back(call);
    return TRUE;
}

bool FakeShellFolder(int csidl, std::wstring& out) {
    switch (csidl) {
        case CSIDL_LOCAL_APPDATA:
            out = gBase + L"\\appdata";
            return true;
        case CSIDL_DESKTOPDIRECTORY:
            out = gBase + L"\\Desktop";
            return true;
        case CSIDL_PERSONAL:
            out = gBase + L"\\Documents";
            return true;
    }
    return false;
}

bool FakeDownloads(std::wstring& out) {
    out = gBase + L"\\Downloads";
    return true;
}

}  // namespace

void InstallTrayRecorders() {
    gTraySeams.shellNotifyIcon = RecordNotify;
    gTraySeams.messageBox = RecordBox;
    gTraySeams.shellExecute = RecordShell;
    gTraySeams.trackPopupMenu = RecordMenu;
}

void ClearTrayRecords() {
    gNotifyCalls.clear();
    gBoxCalls.clear();
    gShellCalls.clear();
    gMenuCalls.clear();
}

TrayHarness::TrayHarness(bool isAdmin, const std::string& config, bool startCore) {
    gBase = dir.path;
    for (const wchar_t* sub : {L"appdata", L"Desktop", L"Documents", L"Downloads"})
        EnsureDirectoryTree(dir.Sub(sub));
    gSeams.shellFolder = FakeShellFolder;
    gSeams.downloadsFolder = FakeDownloads;
    if (!config.empty()) {
        EnsureDirectoryTree(dir.Sub(L"appdata\\Vellumgard"));
        WriteFileBytes(dir.Sub(L"appdata\\Vellumgard\\Vellumgard.config.json"), config);
    }
    InstallTrayRecorders();
    // As the agent does: the display driver comes up on this thread before the
    // core's workers start, or Wine can deadlock loading it from both at once.
    GetSystemMetrics(SM_CXSCREEN);
    if (startCore) CoreStart(isAdmin);
}

HWND TrayHarness::CreateWindowNow() {
    gInstance = GetModuleHandleW(nullptr);
    RegisterTrayWindowClass(gInstance);
    window = CreateTrayWindow(gInstance);
    return window;
}

TrayHarness::~TrayHarness() {
    if (window && IsWindow(window)) {
        DestroyWindow(window);
    } else if (!window) {
        CoreStop();
    }
    WPARAM ignored;
    TakeQuitMessage(ignored);
    gSeams.shellFolder = nullptr;
    gSeams.downloadsFolder = nullptr;
}

std::string LocalIso(int64_t seconds) {
    const __time64_t t = seconds;
    struct tm parts {};
    _localtime64_s(&parts, &t);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &parts);
    return buf;
}

void WriteIncident(const std::string& name, const std::string& ts, const std::string& reason, int severity,
                   const std::string& folder, const std::string& file) {
    const std::wstring dir = JoinPath(gDataPaths.incidentsDir, Utf8ToWide(name));
    EnsureDirectoryTree(dir);
    std::string json = "{\"ts\":\"" + ts +
                       "\",\"product\":\"Vellumgard\",\"version\":\"Public v1\",\"reason\":\"" + reason +
                       "\",\"severity\":" + std::to_string(severity) + ",\"mode\":\"admin\"";
    if (!folder.empty()) json += ",\"folder\":\"" + JsonEscape(folder) + "\"";
    if (!file.empty()) json += ",\"file\":\"" + JsonEscape(file) + "\"";
    json += "}";
    WriteFileBytes(JoinPath(dir, L"incident.json"), json);
}

bool TakeQuitMessage(WPARAM& code) {
    MSG msg;
    if (!PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) return false;
    code = msg.wParam;
    return true;
}
