// The fixture shared by the end-to-end and fault tests: a fresh profile,
// one agent started from it, the texts the agent is expected to show, and
// the clean exit every test ends with.
#pragma once

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "agent_driver.h"
#include "core/text.h"
#include "support/test_support.h"

// No process monitor (it only slows start and exit under Wine), a warm-up
// and rate limit of one second.
inline const std::string kQuickConfig =
    "{\n  \"enableProcessMonitor\": false,\n  \"canaryWarmupSeconds\": 1,\n  \"incidentRateLimitSeconds\": "
    "1\n}\n";

// A JSON string literal of a path (backslashes doubled).
inline std::string JsonPath(const std::wstring& path) {
    std::string out = "\"";
    for (char c : WideToUtf8(path)) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

// The configuration status line of a load that read `bytes` bytes.
inline std::wstring LoadedLine(size_t bytes, int burstWindow, int burstThreshold, int procScoreThresh) {
    return L"Config: loaded (" + std::to_wstring(bytes) + L" bytes, burstWindow=" +
           std::to_wstring(burstWindow) + L", burstThreshold=" + std::to_wstring(burstThreshold) +
           L", procScoreThresh=" + std::to_wstring(procScoreThresh) + L")";
}

inline std::string DirMonitorStarted(const std::wstring& folder) {
    return "Dir monitor started: " + WideToUtf8(folder);
}

// Under Wine the test runs as root, a member of the Administrators group.
inline const std::wstring kModeText = L"Elevated (admin)";

// The Status box (blank line after Mode) or the double-click box (none).
inline std::wstring ExpectedStatusText(const AgentProfile& p, const std::wstring& configLine,
                                       bool blankAfterMode) {
    std::wstring t = L"Vellumgard status\n--------------------\nMode: " + kModeText + L"\n";
    if (blankAfterMode) t += L"\n";
    t += L"Data dir:\n" + p.dataDir + L"\n\nLog file:\n" + p.logFile + L"\n\nConfig:\n" + p.configFile +
         L"\n\n" + configLine + L"\n";
    return t;
}

inline std::wstring ExpectedSelfTestText(const AgentProfile& p, bool dataDirOk, bool logFileOk,
                                         const std::wstring& configLine, bool processMonitor) {
    std::wstring t = L"Vellumgard self-test\n--------------------\n";
    t += L"Root dir: " + p.dataDir + L"\n";
    t += L"Log file: " + p.logFile + L"\n";
    t += L"Config:   " + p.configFile + L"\n";
    t += L"Report:   " + p.reportFile + L"\n";
    t += L"Incidents: " + p.incidentsDir + L"\n";
    t += L"Mode:     " + kModeText + L"\n\n";
    t += dataDirOk ? L"[+] Data directory OK.\n" : L"[x] Failed to create data directory.\n";
    t += logFileOk ? L"[+] Log file exists and appears writeable.\n"
                   : L"[x] Log file does not exist after write attempt.\n";
    t += L"[+] " + configLine + L"\n";
    if (processMonitor)
        t +=
            L"[~] Process monitor uses WMI; if you see 'proc_mon_error' in the log, check WMI permissions.\n";
    return t;
}

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        profile = GetAgentProfile();
        ASSERT_FALSE(profile.dataDir.empty());
        ASSERT_FALSE(profile.documents.empty());
        ResetAgentProfile(profile);
    }

    // Starts the agent, with this configuration file unless the text is
    // empty, and waits until it watches its three known folders.
    void Start(const std::string& config) {
        if (!config.empty()) {
            ASSERT_TRUE(WriteAgentConfig(profile, config));
        }
        const LogMark mark = MarkLog(profile.logFile);
        std::string failure;
        ASSERT_TRUE(StartAgent(agent, failure)) << failure;
        for (const std::wstring* folder : {&profile.desktop, &profile.documents, &profile.downloads}) {
            const std::string started = DirMonitorStarted(*folder);
            ASSERT_TRUE(WaitForLogLine(
                mark, [&](const std::string& line) { return JsonMember(line, "msg") == started; }, 20000))
                << started;
        }
    }

    // A path in a watched folder with the tests' own prefix.
    std::wstring TestFile(const std::wstring& folder, const std::wstring& name) const {
        return JoinPath(folder, kTestFilePrefix + name);
    }

    // Exit from the tray menu: exit code 0, and the log ends with the
    // core's "shutdown" line followed by the tray's.
    void ExpectCleanExit() {
        EXPECT_EQ(ExitAgent(agent), 0u);
        const std::vector<std::string> lines = SplitLines(ReadFileBytes(profile.logFile));
        ASSERT_GE(lines.size(), 2u);
        const std::string& core = lines[lines.size() - 2];
        const std::string& tray = lines.back();
        EXPECT_EQ(JsonMember(core, "type"), "shutdown") << core;
        EXPECT_EQ(JsonMember(core, "msg"), "Vellumgard core shutting down") << core;
        EXPECT_EQ(JsonMember(tray, "type"), "shutdown") << tray;
        EXPECT_EQ(JsonMember(tray, "msg"), "Vellumgard tray exiting") << tray;
    }

    // The alert poll runs every three seconds; watch the screen over two
    // more polls after the balloon appears and count distinct balloons
    // (Wine's shell shows one as a tooltip window holding the body text).
    void ExpectOneBalloon(const std::wstring& body) {
        std::set<HWND> balloons;
        int appearances = 0;
        bool shown = false;
        const bool appeared = WaitUntil([&] { return !BalloonWindows(body).empty(); }, 10000);
        EXPECT_TRUE(appeared) << "no balloon with the alert text on screen";
        for (int waited = 0; appeared && waited < 7000; waited += 100) {
            const std::vector<HWND> now = BalloonWindows(body);
            balloons.insert(now.begin(), now.end());
            if (!now.empty() && !shown) ++appearances;
            shown = !now.empty();
            Sleep(100);
        }
        if (appeared) {
            EXPECT_EQ(balloons.size(), 1u);
            EXPECT_EQ(appearances, 1);
        }
    }

    AgentProfile profile;
    Agent agent;
};
