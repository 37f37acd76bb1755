// The real Vellumgard.exe, started in the Wine prefix's profile and driven
// through its tray window: start-up, the menu commands, the tray callbacks,
// a canary touch with its balloon, and Exit.
#include <algorithm>
#include <cstdlib>
#include <set>

#include "agent_fixture.h"

namespace {

const std::wstring kCanary = L"vellumgard_do_not_touch.txt";
const std::wstring kBackupCanary = L"important_backup_do_not_delete.txt";

bool IsEventLine(const std::string& line) {
    return IsValidJson(line) && JsonMember(line, "product") == "Vellumgard" &&
           JsonMember(line, "version") == "Public v1" && JsonMember(line, "ts").size() == 19;
}

// The visible windows once they stopped changing for a second: Wine shows
// its notification area as a window of its own shortly after the icon is
// added, which is not something a command opened.
std::vector<HWND> SettledVisibleWindows() {
    std::vector<HWND> last = VisibleTopLevelWindows();
    int stableMs = 0;
    for (int waited = 0; waited < 10000 && stableMs < 1000; waited += 100) {
        Sleep(100);
        std::vector<HWND> now = VisibleTopLevelWindows();
        stableMs = now == last ? stableMs + 100 : 0;
        last = std::move(now);
    }
    return last;
}

}  // namespace

// With no configuration file the agent writes the default one, loads it,
// starts, and plants two canaries in each known folder before it watches
// that folder.
TEST_F(AgentTest, StartUpWritesConfigCanariesAndStartEventsInOrder) {
    ASSERT_NO_FATAL_FAILURE(Start(std::string()));

    const std::string config = ReadFileBytes(profile.configFile);
    EXPECT_EQ(config.size(), 681u);
    EXPECT_EQ(config.rfind("\n{\n  \"enableProcessMonitor\": true,\n", 0), 0u) << config;
    EXPECT_EQ(config.find('\r'), std::string::npos);
    EXPECT_TRUE(PathIsDirectory(profile.incidentsDir));

    const std::vector<std::string> lines = LogLinesSince(LogMark{profile.logFile, 0});
    for (const std::string& line : lines) EXPECT_TRUE(IsEventLine(line)) << line;
    const std::vector<std::string> types = LogTypesOf(lines);
    ASSERT_GE(types.size(), 3u);
    EXPECT_EQ(types[0], "config_create");
    EXPECT_EQ(JsonMember(lines[0], "msg"), "default config created");
    EXPECT_EQ(types[1], "config_load");
    EXPECT_EQ(JsonMember(lines[1], "msg"), WideToUtf8(LoadedLine(681, 30, 50, 60)));
    EXPECT_EQ(types[2], "startup");
    EXPECT_EQ(JsonMember(lines[2], "msg"), "Vellumgard core started (admin)");

    // Canaries in folder order, each folder's before its watcher starts.
    std::vector<std::pair<std::string, std::string>> canaries;
    for (const std::string& line : lines)
        if (JsonMember(line, "type") == "canary_created")
            canaries.emplace_back(JsonMember(line, "folder"), JsonMember(line, "file"));
    std::vector<std::pair<std::string, std::string>> expected;
    for (const std::wstring* folder : {&profile.desktop, &profile.documents, &profile.downloads}) {
        for (const std::wstring* name : {&kCanary, &kBackupCanary}) {
            expected.emplace_back(WideToUtf8(*folder), WideToUtf8(*name));
            const DWORD a = GetFileAttributesW(JoinPath(*folder, *name).c_str());
            EXPECT_TRUE(a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY)) << WideToUtf8(*name);
        }
    }
    EXPECT_EQ(canaries, expected);
    for (const std::wstring* folder : {&profile.desktop, &profile.documents, &profile.downloads}) {
        size_t lastCanary = 0, started = 0;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (JsonMember(lines[i], "type") == "canary_created" &&
                JsonMember(lines[i], "folder") == WideToUtf8(*folder))
                lastCanary = i;
            if (JsonMember(lines[i], "msg") == DirMonitorStarted(*folder)) started = i;
        }
        EXPECT_GT(lastCanary, 2u);
        EXPECT_GT(started, lastCanary) << WideToUtf8(*folder);
    }

    ExpectCleanExit();
}

// With the process monitor on (the default), the agent starts every time.
// Under Wine its COM start-up used to race the main thread's first window
// call for the display driver and hung about one start in three, before the
// tray window existed.
TEST_F(AgentTest, StartsEveryTimeWithTheProcessMonitorOn) {
    for (int run = 0; run < 5; ++run) {
        SCOPED_TRACE("start " + std::to_string(run + 1));
        Agent again;
        std::string failure;
        ASSERT_TRUE(StartAgent(again, failure)) << failure;
        EXPECT_EQ(ExitAgent(again), 0u);
    }
    EXPECT_EQ(ReadFileBytes(profile.configFile).size(), 681u);  // the defaults, monitor included
}

// Run report writes report.html from the log and the paths, logs "report"
// and opens no window: the test runner disables the browser bridge, so the
// shell's "open" fails quietly instead of reaching the host.
TEST_F(AgentTest, RunReportWritesTheReportAndOpensNothing) {
    const char* overrides = std::getenv("WINEDLLOVERRIDES");
    ASSERT_TRUE(overrides && std::string(overrides).find("winebrowser.exe=d") != std::string::npos)
        << "refusing to let the agent open a browser on the host";
    ASSERT_NO_FATAL_FAILURE(Start(kQuickConfig));
    const std::vector<HWND> before = SettledVisibleWindows();
    const LogMark mark = MarkLog(profile.logFile);

    ASSERT_TRUE(PostMenuCommand(agent, 1002));
    ASSERT_TRUE(WaitForLogType(mark, "report", 15000));
    Sleep(1500);  // time for anything the shell might open
    EXPECT_EQ(CountType(LogLinesSince(mark), "report_error"), 0u);
    EXPECT_TRUE(AgentBoxWindows(agent).empty());
    for (HWND w : VisibleTopLevelWindows()) {
        wchar_t cls[64] = {};
        GetClassNameW(w, cls, 64);
        EXPECT_TRUE(std::find(before.begin(), before.end(), w) != before.end())
            << "new window " << WideToUtf8(cls) << " \"" << WideToUtf8(ReadWindowText(w)) << "\"";
    }

    const std::string page = ReadFileBytes(profile.reportFile);
    EXPECT_EQ(page.rfind("<!doctype html>\n<html lang=\"en\">\n", 0), 0u);
    EXPECT_NE(page.find("Mode: Elevated (admin)</div>\n"), std::string::npos);
    EXPECT_NE(page.find("<span class=\"badge ok\">All clear</span>"), std::string::npos);
    EXPECT_NE(page.find("<code>" + WideToUtf8(profile.configFile) + "</code>"), std::string::npos);
    // The log tail holds the start-up lines, escaped, but not the report's own line.
    EXPECT_NE(page.find("&quot;type&quot;:&quot;startup&quot;"), std::string::npos);
    EXPECT_EQ(page.find("&quot;type&quot;:&quot;report&quot;"), std::string::npos);
    const std::string end = "</div></body></html>\n";
    ASSERT_GE(page.size(), end.size());
    EXPECT_EQ(page.substr(page.size() - end.size()), end);

    EXPECT_TRUE(AgentAnswers(agent));
    ExpectCleanExit();
}

// An edited file takes effect on Reload config: the box, the log and both
// later boxes show the new status line.
TEST_F(AgentTest, ReloadConfigShowsTheNewStatusLine) {
    ASSERT_NO_FATAL_FAILURE(Start(kQuickConfig));
    const std::string edited =
        "{\n  \"enableProcessMonitor\": false,\n  \"burstWindowSeconds\": 7,\n  \"burstThreshold\": 11,\n"
        "  \"processSuspiciousScoreThreshold\": 42\n}\n";
    ASSERT_TRUE(WriteFileBytes(profile.configFile, edited));
    const std::wstring line = LoadedLine(edited.size(), 7, 11, 42);
    const LogMark mark = MarkLog(profile.logFile);

    AgentBox box;
    ASSERT_TRUE(CommandBox(agent, 1003, box));
    EXPECT_EQ(box.caption, L"Vellumgard");
    EXPECT_EQ(box.text, line);
    EXPECT_EQ(box.icon, BoxIcon::Information) << BoxIconName(box.icon);
    const std::vector<std::string> lines = LogLinesSince(mark);
    ASSERT_EQ(CountType(lines, "config_load"), 1u);
    for (const std::string& l : lines)
        if (JsonMember(l, "type") == "config_load") {
            EXPECT_EQ(JsonMember(l, "msg"), WideToUtf8(line));
        }

    ASSERT_TRUE(CommandBox(agent, 1001, box));
    EXPECT_EQ(box.text, ExpectedStatusText(profile, line, true));
    ASSERT_TRUE(CommandBox(agent, 1006, box));
    EXPECT_EQ(box.text, ExpectedSelfTestText(profile, true, true, line, false));
    ExpectCleanExit();
}

// The menu's Status box and the double-click box show the same paths, mode
// and configuration line; only the blank line after Mode differs.
TEST_F(AgentTest, StatusBoxesShowPathsModeAndConfigLine) {
    ASSERT_NO_FATAL_FAILURE(Start(kQuickConfig));
    const std::wstring line = LoadedLine(kQuickConfig.size(), 30, 50, 60);
    const struct {
        const char* name;
        bool fromMenu;  // else the double click on the icon
        bool blankAfterMode;
    } cases[] = {{"menu Status", true, true}, {"double click", false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const LogMark mark = MarkLog(profile.logFile);
        AgentBox box;
        ASSERT_TRUE(c.fromMenu ? CommandBox(agent, 1001, box)
                               : TrayCallbackBox(agent, WM_LBUTTONDBLCLK, box));
        EXPECT_EQ(box.caption, L"Vellumgard");
        EXPECT_EQ(box.text, ExpectedStatusText(profile, line, c.blankAfterMode));
        EXPECT_EQ(box.icon, BoxIcon::Information) << BoxIconName(box.icon);
        EXPECT_TRUE(LogLinesSince(mark).empty());  // showing the status writes nothing
    }
    ExpectCleanExit();
}

// Right button up and the context-menu code open the tray menu; a single
// left click and other mouse codes do nothing.
TEST_F(AgentTest, TrayCallbacksOpenTheMenuOrNothing) {
    ASSERT_NO_FATAL_FAILURE(Start(kQuickConfig));
    const struct {
        const char* name;
        UINT code;
        bool opensMenu;
    } cases[] = {
        {"WM_RBUTTONUP", WM_RBUTTONUP, true},  {"WM_CONTEXTMENU", WM_CONTEXTMENU, true},
        {"WM_LBUTTONUP", WM_LBUTTONUP, false}, {"WM_LBUTTONDOWN", WM_LBUTTONDOWN, false},
        {"WM_MOUSEMOVE", WM_MOUSEMOVE, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(PostTrayCallback(agent, c.code));
        const bool menu =
            WaitUntil([&] { return !AgentMenuWindows(agent).empty(); }, c.opensMenu ? 5000 : 1000);
        EXPECT_EQ(menu, c.opensMenu);
        EXPECT_TRUE(AgentBoxWindows(agent).empty());
        if (menu) {
            ASSERT_TRUE(CloseAgentMenu(agent));
        }
    }
    EXPECT_TRUE(AgentAnswers(agent));
    ExpectCleanExit();
}

// The self-test's text follows the current configuration (the process
// monitor line comes and goes with a reload) and each run logs exactly one
// "self_test" line.
TEST_F(AgentTest, SelfTestShowsItsTextAndLogsOneLine) {
    ASSERT_NO_FATAL_FAILURE(Start(kQuickConfig));
    const std::string withMonitor = "{\n  \"enableProcessMonitor\": true\n}\n";
    const struct {
        const char* name;
        std::string reloadWith;  // empty: keep the configuration of the start
        bool processMonitor;
        std::wstring configLine;
    } cases[] = {
        {"as started", std::string(), false, LoadedLine(kQuickConfig.size(), 30, 50, 60)},
        {"monitor switched on by reload", withMonitor, true, LoadedLine(withMonitor.size(), 30, 50, 60)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AgentBox box;
        if (!c.reloadWith.empty()) {
            ASSERT_TRUE(WriteFileBytes(profile.configFile, c.reloadWith));
            ASSERT_TRUE(CommandBox(agent, 1003, box));
        }
        const LogMark mark = MarkLog(profile.logFile);
        ASSERT_TRUE(CommandBox(agent, 1006, box));
        EXPECT_EQ(box.caption, L"Vellumgard");
        EXPECT_EQ(box.text, ExpectedSelfTestText(profile, true, true, c.configLine, c.processMonitor));
        EXPECT_EQ(box.icon, BoxIcon::Information) << BoxIconName(box.icon);
        const std::vector<std::string> lines = LogLinesSince(mark);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(JsonMember(lines[0], "type"), "self_test");
        EXPECT_EQ(JsonMember(lines[0], "msg"), "self-test log entry");
    }
    ExpectCleanExit();
}

// Touching a canary after the warm-up is a critical incident, announced by
// exactly one balloon (Wine's shell shows it as a tooltip window whose text
// is the balloon's body), and the agent carries on.
TEST_F(AgentTest, CanaryTouchAfterWarmUpRaisesOneCriticalIncidentAndOneBalloon) {
    ASSERT_NO_FATAL_FAILURE(Start(kQuickConfig));
    Sleep(2000);  // past the one-second warm-up
    const LogMark mark = MarkLog(profile.logFile);
    const std::wstring canary = JoinPath(profile.documents, kCanary);
    ASSERT_TRUE(WriteFileBytes(canary, "touched\n"));
    ASSERT_TRUE(WaitForLogType(mark, "incident_created", 10000));

    std::vector<std::string> incidents;
    ASSERT_TRUE(WaitUntil(
        [&] {
            incidents = ReadIncidentFiles(profile.incidentsDir);
            return !incidents.empty();
        },
        5000));
    ASSERT_EQ(incidents.size(), 1u);
    EXPECT_EQ(JsonMember(incidents[0], "reason"), "canary_file_touched");
    EXPECT_EQ(JsonMember(incidents[0], "severity"), "90");
    EXPECT_EQ(JsonMember(incidents[0], "mode"), "admin");
    EXPECT_EQ(JsonMember(incidents[0], "folder"), WideToUtf8(profile.documents));
    EXPECT_EQ(JsonMember(incidents[0], "file"), WideToUtf8(kCanary));

    ExpectOneBalloon(L"High-confidence alert: Canary file changed - " + kCanary + L"\nRun Report for details.");

    EXPECT_TRUE(AgentAnswers(agent));
    ExpectCleanExit();
    EXPECT_EQ(ReadIncidentFiles(profile.incidentsDir).size(), 1u);
}

// Open data folder shows the folder in the file manager (Wine's explorer);
// Open log file has no handler for the log's type and stays silent. Neither
// shows a box or upsets the agent.
TEST_F(AgentTest, OpenDataFolderShowsTheFolderAndOpenLogFileIsSilent) {
    ASSERT_NO_FATAL_FAILURE(Start(kQuickConfig));
    const std::vector<HWND> before = SettledVisibleWindows();

    ASSERT_TRUE(PostMenuCommand(agent, 1004));
    Sleep(1500);
    EXPECT_TRUE(AgentBoxWindows(agent).empty());

    ASSERT_TRUE(PostMenuCommand(agent, 1005));
    HWND folderWindow = nullptr;
    EXPECT_TRUE(WaitUntil(
        [&] {
            for (HWND w : VisibleTopLevelWindows()) {
                DWORD pid = 0;
                GetWindowThreadProcessId(w, &pid);
                if (pid != agent.pid && ReadWindowText(w) == L"Vellumgard" &&
                    std::find(before.begin(), before.end(), w) == before.end()) {
                    folderWindow = w;
                    return true;
                }
            }
            return false;
        },
        15000));
    if (folderWindow) PostMessageW(folderWindow, WM_CLOSE, 0, 0);
    EXPECT_TRUE(AgentBoxWindows(agent).empty());
    EXPECT_TRUE(AgentAnswers(agent));
    ExpectCleanExit();
}

// The README's walk-through, with the default one-minute rate limit: a ransom
// note first, then a canary touched seconds later. The canary is more severe
// than the note, so it is not held back: a critical incident and its balloon.
TEST_F(AgentTest, ANoteThenACanaryWithinTheLimitStillRaisesTheCriticalIncident) {
    ASSERT_NO_FATAL_FAILURE(Start("{\n  \"enableProcessMonitor\": false,\n  \"canaryWarmupSeconds\": 1\n}\n"));
    Sleep(1500);  // past the warm-up
    const LogMark mark = MarkLog(profile.logFile);
    ASSERT_TRUE(WriteFileBytes(TestFile(profile.documents, L"HOW_TO_DECRYPT.txt"), "pay us\n"));
    ASSERT_TRUE(WaitForLogType(mark, "incident_created", 10000));
    Sleep(2000);
    ASSERT_TRUE(WriteFileBytes(JoinPath(profile.documents, kCanary), "touched\n"));
    ASSERT_TRUE(WaitForLogLine(
        mark, [](const std::string& l) { return JsonMember(l, "type") == "incident_created" && JsonMember(l, "severity") == "90"; },
        10000));

    std::vector<int> severities;
    for (const std::string& text : ReadIncidentFiles(profile.incidentsDir))
        severities.push_back(std::stoi(JsonMember(text, "severity")));
    std::sort(severities.begin(), severities.end());
    EXPECT_EQ(severities, std::vector<int>({65, 90}));
    ExpectOneBalloon(L"High-confidence alert: Canary file changed - " + kCanary + L"\nRun Report for details.");
    ExpectCleanExit();
}

// The data folder listed as an extra folder, in another spelling: its own
// log, config and incident files are never reported, so one line no longer
// causes the next and the log stays still while nothing happens.
TEST_F(AgentTest, ItsDataFolderListedAsAnExtraFolderIsNeverReported) {
    std::wstring spelled = profile.dataDir;
    for (wchar_t& c : spelled) c = c == L'\\' ? L'/' : static_cast<wchar_t>(towlower(c));
    ASSERT_NO_FATAL_FAILURE(Start("{\n  \"enableProcessMonitor\": false,\n  \"canaryWarmupSeconds\": 1,\n"
                                  "  \"extraWatchDirs\": " + JsonPath(spelled) + "\n}\n"));
    const LogMark mark = MarkLog(profile.logFile);
    const LogMark whole{profile.logFile, 0};
    ASSERT_TRUE(WaitUntil([&] { return CountType(LogLinesSince(whole), "extra_dir_mon_started") == 1; }, 10000));
    // Lines, an incident file and the report, all written into the data folder.
    AgentBox box;
    ASSERT_TRUE(CommandBox(agent, 1006, box));  // Run self-test: one more line
    DismissAgentBox(box.window, 5000);
    ASSERT_TRUE(WriteFileBytes(TestFile(profile.documents, L"HOW_TO_DECRYPT.txt"), "pay us\n"));
    ASSERT_TRUE(WaitForLogType(mark, "incident_created", 10000));
    Sleep(2000);
    const size_t settled = SplitLines(ReadFileBytes(profile.logFile)).size();
    Sleep(3000);
    EXPECT_EQ(SplitLines(ReadFileBytes(profile.logFile)).size(), settled) << "the log kept growing by itself";

    std::wstring normalised = spelled;
    for (wchar_t& c : normalised) c = c == L'/' ? L'\\' : c;
    const std::string extraFolder = WideToUtf8(normalised);
    size_t changes = 0;
    for (const std::string& line : LogLinesSince(whole)) {
        if (JsonMember(line, "type") == "extra_dir_mon_started") {
            EXPECT_EQ(JsonMember(line, "folder"), extraFolder);
        }
        if (JsonMember(line, "type") != "dir_change") continue;
        ++changes;  // the note in Documents
        EXPECT_NE(JsonMember(line, "folder"), extraFolder) << line;
    }
    EXPECT_GE(changes, 1u);
    ExpectCleanExit();
}
