// Faults in the agent's files and folders while the real Vellumgard.exe
// runs: each test breaks something, lets the agent meet it, and checks that
// it recovers or reports it, that it still answers, that Exit ends with 0,
// and that nothing it had written before was lost.
//
// Under Wine, changes in subfolders that existed before a watch began are not
// reported, so every change is made at the top of a watched folder.
#include "agent_fixture.h"

namespace {

bool IsDirChange(const std::string& line, const std::wstring& folder, const std::wstring& path) {
    const std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
    return JsonMember(line, "type") == "dir_change" && JsonMember(line, "folder") == WideToUtf8(folder) &&
           JsonMember(line, "file") == WideToUtf8(name);
}

// Lines of the log that begin with the given bytes: nothing earlier lost.
void ExpectLogKeeps(const std::wstring& logFile, const std::string& earlier) {
    const std::string now = ReadFileBytes(logFile);
    ASSERT_GE(now.size(), earlier.size());
    EXPECT_EQ(now.substr(0, earlier.size()), earlier);
}

}  // namespace

// The data folder deleted: the next event re-creates it and the log goes on;
// a reload writes the default configuration again and the self-test passes.
TEST_F(AgentTest, DataFolderDeletedIsRecreatedByTheNextEvent) {
    ASSERT_NO_FATAL_FAILURE(Start(kQuickConfig));
    RemoveTree(profile.dataDir);
    ASSERT_FALSE(PathExists(profile.dataDir));

    const std::wstring dropped = TestFile(profile.documents, L"after_delete.txt");
    ASSERT_TRUE(WriteFileBytes(dropped, "x"));
    const LogMark fromStart{profile.logFile, 0};
    ASSERT_TRUE(WaitForLogLine(
        fromStart, [&](const std::string& l) { return IsDirChange(l, profile.documents, dropped); }, 10000));
    EXPECT_TRUE(PathIsDirectory(profile.dataDir));
    EXPECT_EQ(LogTypesOf(LogLinesSince(fromStart)).front(), "dir_change");

    AgentBox box;
    ASSERT_TRUE(CommandBox(agent, 1003, box));
    EXPECT_EQ(box.text, LoadedLine(681, 30, 50, 60));
    EXPECT_EQ(ReadFileBytes(profile.configFile).size(), 681u);
    ASSERT_TRUE(CommandBox(agent, 1006, box));
    EXPECT_EQ(box.text, ExpectedSelfTestText(profile, true, true, LoadedLine(681, 30, 50, 60), true));
    EXPECT_EQ(box.icon, BoxIcon::Information) << BoxIconName(box.icon);

    const std::string kept = ReadFileBytes(profile.logFile);
    ExpectCleanExit();
    ExpectLogKeeps(profile.logFile, kept);
}

// The Incidents folder deleted: the next incident re-creates it.
TEST_F(AgentTest, IncidentsFolderDeletedIsRecreatedByTheNextIncident) {
    ASSERT_NO_FATAL_FAILURE(Start(kQuickConfig));
    LogMark mark = MarkLog(profile.logFile);
    ASSERT_TRUE(WriteFileBytes(TestFile(profile.documents, L"first.docx.locked"), "x"));
    ASSERT_TRUE(WaitForLogType(mark, "incident_created", 10000));
    ASSERT_EQ(ReadIncidentFiles(profile.incidentsDir).size(), 1u);

    // Under Wine a folder goes only once the agent's watch on it lets go.
    RemoveTree(profile.incidentsDir);
    ASSERT_TRUE(WaitUntil([&] { return !PathExists(profile.incidentsDir); }, 3000));
    Sleep(1500);  // past the one-second rate limit
    mark = MarkLog(profile.logFile);
    const std::wstring second = TestFile(profile.documents, L"second.docx.locked");
    ASSERT_TRUE(WriteFileBytes(second, "x"));
    ASSERT_TRUE(WaitForLogType(mark, "incident_created", 10000));

    const std::vector<std::string> incidents = ReadIncidentFiles(profile.incidentsDir);
    ASSERT_EQ(incidents.size(), 1u);
    EXPECT_TRUE(IsValidJson(incidents[0])) << incidents[0];
    EXPECT_EQ(JsonMember(incidents[0], "reason"), "dir_file_heuristic");
    EXPECT_EQ(JsonMember(incidents[0], "file"), WideToUtf8(second.substr(second.find_last_of(L'\\') + 1)));

    EXPECT_TRUE(AgentAnswers(agent));
    const std::string kept = ReadFileBytes(profile.logFile);
    ExpectCleanExit();
    ExpectLogKeeps(profile.logFile, kept);
}

// The log file replaced by a folder: events meanwhile are dropped, the
// self-test says the log is missing, the agent keeps running; once the file
// is back the log goes on after what it held.
TEST_F(AgentTest, LogFileReplacedByAFolderDropsEventsUntilRestored) {
    ASSERT_NO_FATAL_FAILURE(Start(kQuickConfig));
    const std::wstring aside = profile.logFile + L".aside";
    ASSERT_TRUE(MoveFileW(profile.logFile.c_str(), aside.c_str()));
    ASSERT_TRUE(CreateDirectoryW(profile.logFile.c_str(), nullptr));

    const std::wstring lost = TestFile(profile.documents, L"while_blocked.txt");
    ASSERT_TRUE(WriteFileBytes(lost, "x"));
    AgentBox box;
    ASSERT_TRUE(CommandBox(agent, 1006, box));
    EXPECT_EQ(box.text,
              ExpectedSelfTestText(profile, true, false, LoadedLine(kQuickConfig.size(), 30, 50, 60), false));
    EXPECT_EQ(box.icon, BoxIcon::Warning) << BoxIconName(box.icon);
    EXPECT_TRUE(AgentAnswers(agent));

    ASSERT_TRUE(RemoveDirectoryW(profile.logFile.c_str()));
    ASSERT_TRUE(MoveFileW(aside.c_str(), profile.logFile.c_str()));
    const std::string kept = ReadFileBytes(profile.logFile);
    const LogMark mark = MarkLog(profile.logFile);
    const std::wstring later = TestFile(profile.documents, L"after_restore.txt");
    ASSERT_TRUE(WriteFileBytes(later, "x"));
    ASSERT_TRUE(WaitForLogLine(
        mark, [&](const std::string& l) { return IsDirChange(l, profile.documents, later); }, 10000));

    const std::vector<std::string> all = SplitLines(ReadFileBytes(profile.logFile));
    for (const std::string& line : all) {
        EXPECT_FALSE(IsDirChange(line, profile.documents, lost)) << line;
        EXPECT_NE(JsonMember(line, "type"), "self_test") << line;
    }
    ExpectCleanExit();
    ExpectLogKeeps(profile.logFile, kept);
}

// The configuration file replaced by a folder: Reload config cannot write the
// default file and falls back to the built-in defaults (a success, with the
// information icon); once the folder is gone a reload writes it again.
TEST_F(AgentTest, ConfigFileReplacedByAFolderReloadsWithDefaults) {
    const std::string config = kQuickConfig;
    ASSERT_NO_FATAL_FAILURE(Start(config));
    ASSERT_TRUE(DeleteFileW(profile.configFile.c_str()));
    ASSERT_TRUE(CreateDirectoryW(profile.configFile.c_str(), nullptr));

    const std::wstring failed = L"Config missing and failed to create (using in-memory defaults)";
    LogMark mark = MarkLog(profile.logFile);
    AgentBox box;
    ASSERT_TRUE(CommandBox(agent, 1003, box));
    EXPECT_EQ(box.text, failed);
    EXPECT_EQ(box.icon, BoxIcon::Information) << BoxIconName(box.icon);
    std::vector<std::string> lines = LogLinesSince(mark);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(JsonMember(lines[0], "type"), "config_create_error");
    EXPECT_EQ(JsonMember(lines[0], "msg"), "failed to create default config");
    EXPECT_EQ(JsonMember(lines[1], "type"), "config_load");
    EXPECT_EQ(JsonMember(lines[1], "msg"), "config file not found; using defaults");
    EXPECT_TRUE(PathIsDirectory(profile.configFile));

    ASSERT_TRUE(CommandBox(agent, 1001, box));
    EXPECT_EQ(box.text, ExpectedStatusText(profile, failed, true));
    // The built-in defaults switch the process monitor on.
    ASSERT_TRUE(CommandBox(agent, 1006, box));
    EXPECT_EQ(box.text, ExpectedSelfTestText(profile, true, true, failed, true));

    ASSERT_TRUE(RemoveDirectoryW(profile.configFile.c_str()));
    mark = MarkLog(profile.logFile);
    ASSERT_TRUE(CommandBox(agent, 1003, box));
    EXPECT_EQ(box.text, LoadedLine(681, 30, 50, 60));
    EXPECT_EQ(LogTypesOf(LogLinesSince(mark)), (std::vector<std::string>{"config_create", "config_load"}));

    const std::string kept = ReadFileBytes(profile.logFile);
    ExpectCleanExit();
    ExpectLogKeeps(profile.logFile, kept);
}

// A watched extra folder deleted, then dropped from extraWatchDirs and added
// back with a reload between: it is created and watched again, and a change
// in it is logged.
TEST_F(AgentTest, DeletedExtraFolderIsWatchedAgainAfterItIsListedAgain) {
    TempDir temp;
    const std::wstring extra = temp.Sub(L"extra");
    ASSERT_TRUE(CreateDirectoryW(extra.c_str(), nullptr));
    const std::string listed =
        "{\n  \"enableProcessMonitor\": false,\n  \"canaryWarmupSeconds\": 1,\n"
        "  \"extraWatchDirs\": " +
        JsonPath(extra) + "\n}\n";
    ASSERT_NO_FATAL_FAILURE(Start(listed));
    const std::string folder = WideToUtf8(extra);
    auto isStarted = [&](const std::string& l) {
        return JsonMember(l, "type") == "extra_dir_mon_started" && JsonMember(l, "folder") == folder;
    };
    ASSERT_TRUE(WaitForLogLine(LogMark{profile.logFile, 0}, isStarted, 10000));
    ASSERT_TRUE(WaitForLogLine(
        LogMark{profile.logFile, 0},
        [&](const std::string& l) { return JsonMember(l, "msg") == DirMonitorStarted(extra); }, 10000));

    // Still open in its watcher, the folder is only marked for deletion; it
    // goes once the watcher lets go of it.
    RemoveTree(extra);
    AgentBox box;
    LogMark mark = MarkLog(profile.logFile);
    const std::string unlisted = "{\n  \"enableProcessMonitor\": false,\n  \"canaryWarmupSeconds\": 1\n}\n";
    ASSERT_TRUE(WriteFileBytes(profile.configFile, unlisted));
    ASSERT_TRUE(CommandBox(agent, 1003, box));
    EXPECT_EQ(box.text, LoadedLine(unlisted.size(), 30, 50, 60));
    EXPECT_TRUE(WaitForLogLine(
        mark, [](const std::string& l) { return JsonMember(l, "msg") == "Dir monitor stopping"; }, 10000));
    EXPECT_TRUE(WaitUntil([&] { return !PathExists(extra); }, 5000));

    mark = MarkLog(profile.logFile);
    ASSERT_TRUE(WriteFileBytes(profile.configFile, listed));
    ASSERT_TRUE(CommandBox(agent, 1003, box));
    EXPECT_EQ(box.text, LoadedLine(listed.size(), 30, 50, 60));
    ASSERT_TRUE(WaitForLogLine(mark, isStarted, 10000));
    EXPECT_TRUE(PathIsDirectory(extra));
    EXPECT_TRUE(WaitForLogLine(
        mark, [&](const std::string& l) { return JsonMember(l, "msg") == DirMonitorStarted(extra); }, 10000));

    const std::wstring dropped = JoinPath(extra, L"after_relist.txt");
    ASSERT_TRUE(WriteFileBytes(dropped, "x"));
    EXPECT_TRUE(WaitForLogLine(
        mark, [&](const std::string& l) { return IsDirChange(l, extra, dropped); }, 10000));

    EXPECT_TRUE(AgentAnswers(agent));
    const std::string kept = ReadFileBytes(profile.logFile);
    ExpectCleanExit();
    ExpectLogKeeps(profile.logFile, kept);
}

// The report file held open without sharing: Run report says it failed and
// logs "report_error", the earlier report stays as it was, and once the file
// is released the next run writes it.
TEST_F(AgentTest, ReportFileHeldOpenFailsTheReportAndKeepsTheOldOne) {
    ASSERT_NO_FATAL_FAILURE(Start(kQuickConfig));
    LogMark mark = MarkLog(profile.logFile);
    ASSERT_TRUE(PostMenuCommand(agent, 1002));
    ASSERT_TRUE(WaitForLogType(mark, "report", 15000));
    const std::string earlier = ReadFileBytes(profile.reportFile);
    ASSERT_FALSE(earlier.empty());

    {
        UniqueHandle held(
            CreateFileW(profile.reportFile.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.valid());
        mark = MarkLog(profile.logFile);
        AgentBox box;
        ASSERT_TRUE(CommandBox(agent, 1002, box));
        EXPECT_EQ(box.caption, L"Vellumgard");
        EXPECT_EQ(box.text, L"Failed to generate report.");
        EXPECT_EQ(box.icon, BoxIcon::Error) << BoxIconName(box.icon);
        const std::vector<std::string> lines = LogLinesSince(mark);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(JsonMember(lines[0], "type"), "report_error");
        EXPECT_EQ(JsonMember(lines[0], "msg"), "failed to write report");
    }
    EXPECT_EQ(ReadFileBytes(profile.reportFile), earlier);

    mark = MarkLog(profile.logFile);
    ASSERT_TRUE(PostMenuCommand(agent, 1002));
    ASSERT_TRUE(WaitForLogType(mark, "report", 15000));
    const std::string rewritten = ReadFileBytes(profile.reportFile);
    EXPECT_NE(rewritten.find("&quot;type&quot;:&quot;report_error&quot;"), std::string::npos);
    EXPECT_TRUE(AgentBoxWindows(agent).empty());

    const std::string kept = ReadFileBytes(profile.logFile);
    ExpectCleanExit();
    ExpectLogKeeps(profile.logFile, kept);
}
