// The tray window driven through its window procedure, in-process, with the
// core started in a sandbox and the shell's side recorded.
#include "tray/tray_window.h"

#include <gtest/gtest.h>
#include <windows.h>
// The shell headers need windows.h first.
#include <shellapi.h>

#include <algorithm>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/handles.h"
#include "core/paths.h"
#include "core/text.h"
#include "tray/alerts.h"
#include "tray_harness.h"

namespace {

std::vector<std::string> Split(const std::wstring& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t lf = text.find(L'\n'); lf != std::wstring::npos; lf = text.find(L'\n', start)) {
        lines.push_back(WideToUtf8(text.substr(start, lf - start)));
        start = lf + 1;
    }
    EXPECT_EQ(start, text.size()) << "every line ends with LF";
    return lines;
}

size_t CountType(const std::string& type) {
    const auto types = LogTypes();
    return static_cast<size_t>(std::count(types.begin(), types.end(), type));
}

const wchar_t* Tip(const NotifyCall& call) {
    return call.data.szTip;
}

}  // namespace

TEST(TrayWindow, CreationAddsTheIconThenTheNormalTooltip) {
    struct Case {
        bool isAdmin;
        const wchar_t* added;
        const wchar_t* normal;
    } cases[] = {{true, L"Vellumgard - Admin mode", L"Vellumgard (Elevated)"},
                 {false, L"Vellumgard - Lite mode", L"Vellumgard (Lite)"}};
    for (const Case& c : cases) {
        ClearTrayRecords();
        TrayHarness tray(c.isAdmin);
        HWND window = tray.CreateWindowNow();
        ASSERT_NE(window, nullptr);
        // Add, the tooltip reset, then the first poll, which finds nothing.
        ASSERT_EQ(gNotifyCalls.size(), 3u);
        const NOTIFYICONDATAW& add = gNotifyCalls[0].data;
        EXPECT_EQ(gNotifyCalls[0].message, static_cast<DWORD>(NIM_ADD));
        EXPECT_EQ(add.cbSize, sizeof(NOTIFYICONDATAW));
        EXPECT_EQ(add.hWnd, window);
        EXPECT_EQ(add.uID, 1u);
        EXPECT_EQ(add.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
        EXPECT_EQ(add.uCallbackMessage, static_cast<UINT>(WM_APP + 1));
        EXPECT_NE(add.hIcon, nullptr);
        // This program carries the agent's resources: the icon is ours, not the system's.
        EXPECT_NE(add.hIcon, LoadIconW(nullptr, IDI_SHIELD));
        EXPECT_STREQ(add.szTip, c.added);
        EXPECT_EQ(add.uTimeout, 0u);
        EXPECT_EQ(add.dwState, 0u);
        EXPECT_EQ(add.szInfo[0], L'\0');
        EXPECT_EQ(add.hBalloonIcon, nullptr);
        for (size_t i = 1; i < 3; ++i) {
            EXPECT_EQ(gNotifyCalls[i].message, static_cast<DWORD>(NIM_MODIFY));
            EXPECT_EQ(gNotifyCalls[i].data.uFlags, static_cast<UINT>(NIF_TIP));
            EXPECT_STREQ(Tip(gNotifyCalls[i]), c.normal);
        }
        EXPECT_TRUE(gBoxCalls.empty());
        WPARAM code = 99;
        EXPECT_FALSE(TakeQuitMessage(code));
    }
}

#ifdef _WIN64
TEST(TrayWindow, IconRecordIsTheFullStructure) {
    EXPECT_EQ(sizeof(NOTIFYICONDATAW), 976u);
}
#endif

// The shell refusing the icon: the box, quit code 1, and the window still
// made (creation is never refused); later tooltip calls go out regardless.
TEST(TrayWindow, RefusedIconShowsTheErrorAndPostsQuitOne) {
    gNotifyAddResult = FALSE;
    TrayHarness tray;
    HWND window = tray.CreateWindowNow();
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(gBoxCalls.size(), 1u);
    EXPECT_EQ(gBoxCalls[0].text, L"Failed to add tray icon.");
    EXPECT_EQ(gBoxCalls[0].caption, L"Vellumgard");
    EXPECT_EQ(gBoxCalls[0].owner, window);
    EXPECT_EQ(gBoxCalls[0].flags, static_cast<UINT>(MB_OK | MB_ICONERROR));
    WPARAM code = 0;
    ASSERT_TRUE(TakeQuitMessage(code));
    EXPECT_EQ(code, 1u);
    EXPECT_EQ(gNotifyCalls.size(), 3u);
    EXPECT_TRUE(TrayIconPresent());
    // The core keeps running on this path.
    EXPECT_EQ(LogTypes().back(), "startup");
}

TEST(TrayWindow, TrayCallbackCodes) {
    struct Case {
        UINT code;
        size_t menus, boxes;
    } cases[] = {{WM_RBUTTONUP, 1, 0}, {WM_CONTEXTMENU, 1, 0},      {WM_LBUTTONDBLCLK, 0, 1},
                 {WM_LBUTTONUP, 0, 0}, {WM_LBUTTONDOWN, 0, 0},      {WM_RBUTTONDOWN, 0, 0},
                 {WM_MOUSEMOVE, 0, 0}, {NIN_BALLOONUSERCLICK, 0, 0}};
    TrayHarness tray;
    ASSERT_NE(tray.CreateWindowNow(), nullptr);
    for (const Case& c : cases) {
        ClearTrayRecords();
        EXPECT_EQ(tray.TrayCallback(c.code), 0);
        EXPECT_EQ(gMenuCalls.size(), c.menus) << std::hex << c.code;
        EXPECT_EQ(gBoxCalls.size(), c.boxes) << std::hex << c.code;
        EXPECT_TRUE(gNotifyCalls.empty());
    }
    // Only the low word of lParam counts.
    ClearTrayRecords();
    SendMessageW(tray.window, WM_APP + 1, 1, MAKELPARAM(WM_RBUTTONUP, 0x1234));
    EXPECT_EQ(gMenuCalls.size(), 1u);
}

TEST(TrayWindow, MenuHoldsTheSevenCommandsAndASeparator) {
    TrayHarness tray;
    ASSERT_NE(tray.CreateWindowNow(), nullptr);
    tray.TrayCallback(WM_RBUTTONUP);
    ASSERT_EQ(gMenuCalls.size(), 1u);
    const MenuCall& menu = gMenuCalls[0];
    EXPECT_EQ(menu.owner, tray.window);
    EXPECT_EQ(menu.flags, static_cast<UINT>(TPM_BOTTOMALIGN));
    struct Want {
        UINT id;
        bool separator;
        const wchar_t* text;
    } want[] = {{1001, false, L"Status"},
                {1002, false, L"Run report"},
                {1003, false, L"Reload config"},
                {1004, false, L"Open log file"},
                {1005, false, L"Open data folder"},
                {1006, false, L"Run self-test"},
                {0, true, L""},
                {1007, false, L"Exit"}};
    ASSERT_EQ(menu.items.size(), std::size(want));
    for (size_t i = 0; i < menu.items.size(); ++i) {
        EXPECT_EQ(menu.items[i].id, want[i].id) << i;
        EXPECT_EQ(menu.items[i].separator, want[i].separator) << i;
        EXPECT_EQ(menu.items[i].text, want[i].text) << i;
    }
}

TEST(TrayWindow, StatusBoxesShowTheSameStateAndDifferByOneLine) {
    TrayHarness tray(false);
    ASSERT_NE(tray.CreateWindowNow(), nullptr);
    tray.Command(1001);
    tray.TrayCallback(WM_LBUTTONDBLCLK);
    ASSERT_EQ(gBoxCalls.size(), 2u);
    for (const BoxCall& box : gBoxCalls) {
        EXPECT_EQ(box.owner, tray.window);
        EXPECT_EQ(box.caption, L"Vellumgard");
        EXPECT_EQ(box.flags, static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
    }
    const auto menu = Split(gBoxCalls[0].text);
    const auto dbl = Split(gBoxCalls[1].text);
    ASSERT_EQ(menu.size(), 14u);
    EXPECT_EQ(menu[0], "Vellumgard status");
    EXPECT_EQ(menu[2], "Mode: Lite (non-admin)");
    EXPECT_EQ(menu[5], WideToUtf8(gDataPaths.dataDir));
    EXPECT_EQ(menu[8], WideToUtf8(gDataPaths.logFile));
    EXPECT_EQ(menu[11], WideToUtf8(gDataPaths.configFile));
    EXPECT_EQ(menu[13], WideToUtf8(LastConfigStatus()));
    EXPECT_EQ(menu[13].rfind("Config: loaded (", 0), 0u);
    auto withoutBlank = menu;
    withoutBlank.erase(withoutBlank.begin() + 3);
    EXPECT_EQ(dbl, withoutBlank);
}

TEST(TrayWindow, ReloadShowsTheNewStatusEverywhere) {
    TrayHarness tray;
    ASSERT_NE(tray.CreateWindowNow(), nullptr);
    const std::string config =
        "{\"burstWindowSeconds\": 45, \"burstThreshold\": 7, \"processSuspiciousScoreThreshold\": 61,"
        " \"enableProcessMonitor\": false}";
    ASSERT_TRUE(WriteFileBytes(gDataPaths.configFile, config));
    tray.Command(1003);
    const std::wstring status = L"Config: loaded (" + std::to_wstring(config.size()) +
                                L" bytes, burstWindow=45, burstThreshold=7, procScoreThresh=61)";
    ASSERT_EQ(gBoxCalls.size(), 1u);
    EXPECT_EQ(gBoxCalls[0].text, status);
    EXPECT_EQ(gBoxCalls[0].flags, static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
    EXPECT_EQ(gBoxCalls[0].owner, tray.window);

    tray.Command(1001);
    tray.Command(1006);
    ASSERT_EQ(gBoxCalls.size(), 3u);
    EXPECT_EQ(Split(gBoxCalls[1].text).back(), WideToUtf8(status));
    // The reloaded settings turned the process monitor off: no WMI line.
    const auto selfTest = Split(gBoxCalls[2].text);
    ASSERT_EQ(selfTest.size(), 12u);
    EXPECT_EQ(selfTest[11], "[+] " + WideToUtf8(status));
}

// A configuration file that cannot be opened: the reload fails and says so
// with the error icon.
TEST(TrayWindow, ReloadThatFailsUsesTheErrorIcon) {
    TrayHarness tray;
    ASSERT_NE(tray.CreateWindowNow(), nullptr);
    UniqueHandle held(
        CreateFileW(gDataPaths.configFile.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    tray.Command(1003);
    ASSERT_EQ(gBoxCalls.size(), 1u);
    EXPECT_EQ(gBoxCalls[0].text, L"Config: failed to open (using defaults)");
    EXPECT_EQ(gBoxCalls[0].flags, static_cast<UINT>(MB_OK | MB_ICONERROR));
}

TEST(TrayWindow, RunReportWritesThePageAndOpensIt) {
    TrayHarness tray;
    ASSERT_NE(tray.CreateWindowNow(), nullptr);
    tray.Command(1002);
    EXPECT_TRUE(gBoxCalls.empty());
    ASSERT_EQ(gShellCalls.size(), 1u);
    const ShellCall& open = gShellCalls[0];
    EXPECT_EQ(open.owner, nullptr);
    EXPECT_EQ(open.verb, L"open");
    EXPECT_EQ(open.file, gDataPaths.reportFile);
    EXPECT_FALSE(open.hadParameters);
    EXPECT_FALSE(open.hadDirectory);
    EXPECT_EQ(open.show, SW_SHOWNORMAL);
    EXPECT_NE(ReadFileBytes(gDataPaths.reportFile).find("<html"), std::string::npos);
}

TEST(TrayWindow, RunReportThatCannotWriteOpensNothing) {
    TrayHarness tray;
    ASSERT_NE(tray.CreateWindowNow(), nullptr);
    ASSERT_TRUE(EnsureDirectoryTree(gDataPaths.reportFile));  // a folder in the file's way
    tray.Command(1002);
    EXPECT_TRUE(gShellCalls.empty());
    ASSERT_EQ(gBoxCalls.size(), 1u);
    EXPECT_EQ(gBoxCalls[0].text, L"Failed to generate report.");
    EXPECT_EQ(gBoxCalls[0].flags, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(gBoxCalls[0].owner, tray.window);
}

TEST(TrayWindow, OpenLogAndDataFolder) {
    TrayHarness tray;
    ASSERT_NE(tray.CreateWindowNow(), nullptr);
    tray.Command(1004);
    tray.Command(1005);
    ASSERT_EQ(gShellCalls.size(), 2u);
    EXPECT_EQ(gShellCalls[0].file, gDataPaths.logFile);
    EXPECT_EQ(gShellCalls[1].file, gDataPaths.dataDir);
    for (const ShellCall& call : gShellCalls) {
        EXPECT_EQ(call.verb, L"open");
        EXPECT_EQ(call.owner, nullptr);
        EXPECT_EQ(call.show, SW_SHOWNORMAL);
    }
    // An empty path opens nothing and says nothing.
    ClearTrayRecords();
    gDataPaths.logFile.clear();
    gDataPaths.dataDir.clear();
    tray.Command(1004);
    tray.Command(1005);
    EXPECT_TRUE(gShellCalls.empty());
    EXPECT_TRUE(gBoxCalls.empty());
}

TEST(TrayWindow, SelfTestAppendsExactlyOneEventAndPasses) {
    TrayHarness tray(true);
    ASSERT_NE(tray.CreateWindowNow(), nullptr);
    const size_t before = ReadLogLines().size();
    tray.Command(1006);
    const auto lines = ReadLogLines();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_EQ(CountType("self_test"), 1u);
    EXPECT_NE(lines.back().find("\"type\":\"self_test\",\"msg\":\"self-test log entry\"}"),
              std::string::npos);

    ASSERT_EQ(gBoxCalls.size(), 1u);
    EXPECT_EQ(gBoxCalls[0].flags, static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
    const auto text = Split(gBoxCalls[0].text);
    // The default settings keep the process monitor on: the WMI hint is there.
    ASSERT_EQ(text.size(), 13u);
    EXPECT_EQ(text[2], "Root dir: " + WideToUtf8(gDataPaths.dataDir));
    EXPECT_EQ(text[7], "Mode:     Elevated (admin)");
    EXPECT_EQ(text[9], "[+] Data directory OK.");
    EXPECT_EQ(text[10], "[+] Log file exists and appears writeable.");
    EXPECT_EQ(text[12].rfind("[~] Process monitor uses WMI;", 0), 0u);

    tray.Command(1006);
    EXPECT_EQ(CountType("self_test"), 2u);
}

// A data folder that cannot exist (its parent is a file): both checks fail
// and the box warns.
TEST(TrayWindow, SelfTestWithoutADataFolderWarns) {
    TrayHarness tray;
    ASSERT_NE(tray.CreateWindowNow(), nullptr);
    const std::wstring blocker = tray.dir.Sub(L"blocker");
    ASSERT_TRUE(WriteFileBytes(blocker, "x"));
    SetDataPathsBelow(blocker);
    tray.Command(1006);
    ASSERT_EQ(gBoxCalls.size(), 1u);
    EXPECT_EQ(gBoxCalls[0].flags, static_cast<UINT>(MB_OK | MB_ICONWARNING));
    const auto text = Split(gBoxCalls[0].text);
    ASSERT_GE(text.size(), 11u);
    EXPECT_EQ(text[9], "[x] Failed to create data directory.");
    EXPECT_EQ(text[10], "[x] Log file does not exist after write attempt.");
}

TEST(TrayWindow, UnknownCommandsAndTimersChangeNothing) {
    TrayHarness tray;
    ASSERT_NE(tray.CreateWindowNow(), nullptr);
    WriteIncident("a", LocalIso(_time64(nullptr)), "canary_file_touched", 95, "C:\\d", "f.txt");
    ClearTrayRecords();
    const size_t lines = ReadLogLines().size();
    for (UINT id : {0u, 1000u, 1008u, 2001u}) EXPECT_EQ(tray.Command(id), 0);
    for (WPARAM timer : {0u, 2u, 3000u}) EXPECT_EQ(tray.Tick(timer), 0);
    EXPECT_TRUE(gNotifyCalls.empty());
    EXPECT_TRUE(gBoxCalls.empty());
    EXPECT_TRUE(gShellCalls.empty());
    EXPECT_TRUE(IsWindow(tray.window));
    EXPECT_EQ(ReadLogLines().size(), lines);
}

TEST(TrayWindow, ExitStopsTheCoreRemovesTheIconAndQuitsWithZero) {
    TrayHarness tray;
    HWND window = tray.CreateWindowNow();
    ASSERT_NE(window, nullptr);
    ClearTrayRecords();
    tray.Command(1007);
    EXPECT_FALSE(IsWindow(window));
    ASSERT_EQ(gNotifyCalls.size(), 1u);
    EXPECT_EQ(gNotifyCalls[0].message, static_cast<DWORD>(NIM_DELETE));
    EXPECT_EQ(gNotifyCalls[0].data.hWnd, window);
    EXPECT_EQ(gNotifyCalls[0].data.uID, 1u);
    EXPECT_TRUE(gNotifyCalls[0].coreStopped) << "the core stops before the icon goes";
    EXPECT_FALSE(TrayIconPresent());
    EXPECT_EQ(gTrayIcon.hIcon, nullptr);
    // The core stopped before the icon went: its "shutdown" is the last line.
    const auto lines = ReadLogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("\"type\":\"shutdown\",\"msg\":\"Vellumgard core shutting down\""),
              std::string::npos);
    EXPECT_EQ(gCoreState.stopRequested.load(), 1);
    WPARAM code = 99;
    ASSERT_TRUE(TakeQuitMessage(code));
    EXPECT_EQ(code, 0u);
    // A poll after the icon is gone does nothing.
    ClearTrayRecords();
    PollAlerts(true);
    EXPECT_TRUE(gNotifyCalls.empty());
}
