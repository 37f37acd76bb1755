// The incident context on the real Vellumgard.exe under Wine: with
// extendedDetection on and the process monitor polling, a file incident names
// the program behind it in context.json, the "incident_context" line and the
// report. The programs are copies of the stand-in program (tools/sleeper.cpp).
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "agent_fixture.h"
#include "report/report_compose.h"
#include "support/stand_in.h"

namespace {

const std::wstring kCanary = L"vellumgard_do_not_touch.txt";
const std::wstring kCulpritName = L"invoice_2024.exe";
// A harmless program in the system folder; the prefix marks it as the test's own.
const std::wstring kHarmlessName = L"vg_e2e_ctx_helper.exe";

std::wstring SystemFolder() {
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT n = GetSystemDirectoryW(folder, MAX_PATH + 1);
    return std::wstring(folder, n);
}

// A running copy of the stand-in program, for 20 s; ended and removed when it goes away.
bool StartCopy(const std::wstring& exe, StandIn& copy) {
    copy.removeExe = true;
    return StartStandIn(StandInProgram(VG_SLEEPER_EXE), exe, L"\"" + exe + L"\"", 20000, copy);
}

// The names of the incident folders.
std::vector<std::wstring> IncidentFolders(const std::wstring& incidentsDir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    UniqueFindHandle find(FindFirstFileW(JoinPath(incidentsDir, L"*").c_str(), &fd));
    if (!find.valid()) return names;
    do {
        const std::wstring name = fd.cFileName;
        if (name[0] != L'.' && (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(name);
    } while (FindNextFileW(find.get(), &fd));
    return names;
}

bool SamePath(const std::string& a, const std::wstring& b) {
    return _stricmp(a.c_str(), WideToUtf8(b).c_str()) == 0;
}

class AgentContextTest : public AgentTest {
protected:
    void SetUp() override {
        AgentTest::SetUp();
        DeleteFileW(JoinPath(profile.downloads, kCulpritName).c_str());  // a leftover of an aborted run
    }

    // The "incident_context" lines since the mark.
    std::vector<std::string> ContextLines(const LogMark& mark) {
        std::vector<std::string> out;
        for (const std::string& line : LogLinesSince(mark))
            if (JsonMember(line, "type") == "incident_context") out.push_back(line);
        return out;
    }

    // Runs the report from the tray menu and returns the page.
    std::string RunReport() {
        const LogMark mark = MarkLog(profile.logFile);
        EXPECT_TRUE(PostMenuCommand(agent, 1002));
        EXPECT_TRUE(WaitForLogType(mark, "report", 15000));
        return ReadFileBytes(profile.reportFile);
    }
};

}  // namespace

// A harmless program from the system folder starts first, then a stand-in
// named invoice_2024.exe from Downloads, then a canary is touched: the
// canary incident's context.json names invoice_2024.exe first and leaves
// out the harmless program (its start alone names nothing), and so do the
// log line and the report. Wine's
// Restart Manager cannot list the processes holding a file, so the context
// says it does not know them and the ranking rests on the other evidence.
TEST_F(AgentContextTest, ACanaryTouchNamesTheProgramStartedFromDownloads) {
    ASSERT_NO_FATAL_FAILURE(
        Start("{\n  \"enableProcessMonitor\": true,\n  \"extendedDetection\": true,\n  "
              "\"canaryWarmupSeconds\": 1\n}\n"));
    ASSERT_TRUE(WaitForLogType(LogMark{profile.logFile, 0}, "proc_mon_fallback", 30000));
    const LogMark mark = MarkLog(profile.logFile);
    auto seen = [&](DWORD pid) {
        return WaitForLogLine(
            mark,
            [&](const std::string& l) {
                return JsonMember(l, "type") == "proc_start" && JsonMember(l, "pid") == std::to_string(pid);
            },
            5000);
    };

    StandIn harmless;
    ASSERT_TRUE(StartCopy(JoinPath(SystemFolder(), kHarmlessName), harmless));
    ASSERT_TRUE(seen(harmless.pid));
    Sleep(1000);
    StandIn culprit;
    ASSERT_TRUE(StartCopy(JoinPath(profile.downloads, kCulpritName), culprit));
    ASSERT_TRUE(seen(culprit.pid));

    ASSERT_TRUE(WriteFileBytes(JoinPath(profile.documents, kCanary), "touched\n"));
    ASSERT_TRUE(WaitForLogType(mark, "incident_context", 10000));
    const std::vector<std::wstring> folders = IncidentFolders(profile.incidentsDir);
    ASSERT_EQ(folders.size(), 1u);
    const std::string incident = WideToUtf8(folders[0]);
    EXPECT_EQ(
        JsonMember(ReadFileBytes(JoinPath(JoinPath(profile.incidentsDir, folders[0]), L"incident.json")),
                   "reason"),
        "canary_file_touched");

    const std::vector<std::string> lines = ContextLines(mark);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(JsonMember(lines[0], "incident"), incident);
    EXPECT_EQ(JsonMember(lines[0], "name"), WideToUtf8(kCulpritName));
    EXPECT_EQ(JsonMember(lines[0], "pid"), std::to_string(culprit.pid));
    EXPECT_TRUE(SamePath(JsonMember(lines[0], "path"), culprit.exe)) << lines[0];
    EXPECT_EQ(JsonMember(lines[0], "unknown"), "");
    EXPECT_EQ(JsonMember(lines[0], "error"), "");

    const std::string text =
        ReadFileBytes(JoinPath(JoinPath(profile.incidentsDir, folders[0]), L"context.json"));
    ASSERT_TRUE(IsValidJson(text)) << text;
    const nlohmann::json context = nlohmann::json::parse(text);
    EXPECT_EQ(context["incident"], incident);
    EXPECT_EQ(context["unknown"], false);
    EXPECT_EQ(context["holdersKnown"], false) << "Wine's Restart Manager lists no holders";
    const nlohmann::json& suspects = context["suspects"];
    ASSERT_FALSE(suspects.empty()) << text;
    EXPECT_EQ(suspects[0]["rank"], 1);
    EXPECT_EQ(suspects[0]["name"], WideToUtf8(kCulpritName));
    EXPECT_EQ(suspects[0]["pid"], culprit.pid);
    EXPECT_TRUE(SamePath(suspects[0]["path"].get<std::string>(), culprit.exe)) << text;
    EXPECT_EQ(suspects[0]["holdsFile"], false);
    EXPECT_FALSE(suspects[0]["why"].empty()) << text;
    // Its start alone names no program: the harmless one is not listed at all.
    for (const nlohmann::json& s : suspects) EXPECT_NE(s["pid"], harmless.pid) << text;

    const std::string page = RunReport();
    const std::string row =
        "<div class=\"k\">Likely source</div><div class=\"v\">" +
        HtmlEscape(WideToUtf8(kCulpritName) + " (" + suspects[0]["path"].get<std::string>() +
                    "): " + suspects[0]["why"][0].get<std::string>());
    EXPECT_NE(page.find(row), std::string::npos) << row;
    EXPECT_EQ(page.find("Likely source"), page.rfind("Likely source")) << "one incident, one row";
    ExpectCleanExit();
}

// Without the setting the same touch writes no context.json, logs no
// "incident_context" line, and the report has no "Likely source" row.
TEST_F(AgentContextTest, WithTheSettingOffNoContextIsGathered) {
    ASSERT_NO_FATAL_FAILURE(Start(kQuickConfig));
    Sleep(1500);  // past the one-second warm-up
    const LogMark mark = MarkLog(profile.logFile);
    ASSERT_TRUE(WriteFileBytes(JoinPath(profile.documents, kCanary), "touched\n"));
    ASSERT_TRUE(WaitForLogType(mark, "incident_created", 10000));
    Sleep(1500);  // time for a context it must not gather

    const std::vector<std::wstring> folders = IncidentFolders(profile.incidentsDir);
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_FALSE(PathExists(JoinPath(JoinPath(profile.incidentsDir, folders[0]), L"context.json")));
    EXPECT_TRUE(ContextLines(mark).empty());
    const std::string page = RunReport();
    EXPECT_NE(page.find("canary_file_touched"), std::string::npos);
    EXPECT_EQ(page.find("Likely source"), std::string::npos);
    ExpectCleanExit();
}
