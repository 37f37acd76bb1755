#include "report/html_report.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <nlohmann/json.hpp>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/log_rotation.h"
#include "core/paths.h"
#include "core/text.h"
#include "support/test_support.h"

using nlohmann::json;

namespace {

size_t Count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// Writes Incidents\<name>\incident.json as the store would, stamped now.
void WriteIncident(const std::wstring& name, const std::string& reason, int severity,
                   const std::string& folder, const std::string& file) {
    const std::wstring dir = JoinPath(gDataPaths.incidentsDir, name);
    ASSERT_TRUE(EnsureDirectoryTree(dir));
    std::string text = "{\"ts\":\"" + NowLocalIso() +
                       "\",\"product\":\"Vellumgard\",\"version\":\"Public v1\",\"reason\":\"" +
                       JsonEscape(reason) + "\",\"severity\":" + std::to_string(severity) +
                       ",\"mode\":\"lite\"";
    if (!folder.empty()) text += ",\"folder\":\"" + JsonEscape(folder) + "\"";
    if (!file.empty()) text += ",\"file\":\"" + JsonEscape(file) + "\"";
    text += "}";
    ASSERT_TRUE(WriteFileBytes(JoinPath(dir, L"incident.json"), text));
}

std::vector<json> LogEntries() {
    std::vector<json> entries;
    for (const std::string& line : ReadLogLines()) entries.push_back(json::parse(line));
    return entries;
}

}  // namespace

TEST(ReadLogTail, ReadsTheLastLinesOfARealFile) {
    TempDir dir;
    const std::wstring path = dir.Sub(L"log.jsonl");
    EXPECT_TRUE(ReadLogTail(path).empty());      // missing file
    EXPECT_TRUE(ReadLogTail(dir.path).empty());  // a folder, not a file

    // Lines of 1 KB with CRLF: the tail crosses several read chunks.
    std::string bytes;
    for (int i = 0; i < 1000; ++i) bytes += std::to_string(i) + std::string(1000, 'x') + "\r\n";
    bytes += "final without LF";
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    const std::vector<std::string> tail = ReadLogTail(path);
    ASSERT_EQ(tail.size(), 200u);
    EXPECT_EQ(tail.front(), std::to_string(801) + std::string(1000, 'x'));
    EXPECT_EQ(tail[198], std::to_string(999) + std::string(1000, 'x'));
    EXPECT_EQ(tail.back(), "final without LF");

    ASSERT_TRUE(WriteFileBytes(path, "a\n\nb\n"));
    EXPECT_EQ(ReadLogTail(path), std::vector<std::string>({"a", "", "b"}));
}

// Just after a rotation the current log is short: the report's tail takes the
// newest lines of the previous file first and names both files.
TEST(ReadReportLogTail, SpansThePreviousFileWhenTheCurrentIsShort) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    const std::wstring previous = RotatedLogPath(gDataPaths.logFile, 1);
    std::string old;
    for (int i = 0; i < 500; ++i) old += "old " + std::to_string(i) + "\n";
    ASSERT_TRUE(WriteFileBytes(previous, old));
    ASSERT_TRUE(WriteFileBytes(gDataPaths.logFile, "rotated\r\nnew 0\nnew 1"));
    ReportLogTail tail = ReadReportLogTail(gDataPaths.logFile);
    ASSERT_EQ(tail.lines.size(), 200u);
    EXPECT_EQ(tail.lines.front(), "old 303");
    EXPECT_EQ(tail.lines[196], "old 499");
    EXPECT_EQ(std::vector<std::string>(tail.lines.end() - 3, tail.lines.end()),
              std::vector<std::string>({"rotated", "new 0", "new 1"}));
    EXPECT_EQ(tail.previousFile, L"Vellumgard.log.1.jsonl");
    EXPECT_EQ(tail.currentFile, L"Vellumgard.log.jsonl");

    std::wstring reportPath;
    ASSERT_TRUE(GenerateReport(reportPath));
    EXPECT_NE(ReadFileBytes(reportPath)
                  .find("From <code>Vellumgard.log.1.jsonl</code> and <code>Vellumgard.log.jsonl</code>"),
              std::string::npos);

    // A current log of 200 lines or more is shown alone, as always.
    std::string full;
    for (int i = 0; i < 200; ++i) full += "cur " + std::to_string(i) + "\n";
    ASSERT_TRUE(WriteFileBytes(gDataPaths.logFile, full));
    tail = ReadReportLogTail(gDataPaths.logFile);
    EXPECT_EQ(tail.lines.front(), "cur 0");
    EXPECT_TRUE(tail.previousFile.empty());
}

TEST(GenerateReport, EmptyDayWritesTheReportAndLogsOnce) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    std::wstring reportPath;
    ASSERT_TRUE(GenerateReport(reportPath));
    EXPECT_EQ(reportPath, gDataPaths.reportFile);
    const std::string page = ReadFileBytes(reportPath);
    EXPECT_NE(page.find("<span class=\"badge ok\">All clear</span>"), std::string::npos);
    EXPECT_NE(page.find("No log entries yet."), std::string::npos);
    EXPECT_NE(page.find("<code>" + WideToUtf8(gDataPaths.logFile) + "</code>"), std::string::npos);

    const std::vector<json> entries = LogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]["type"], "report");
    EXPECT_EQ(entries[0]["msg"], "local report generated");

    // The next report lists the first one's event, never its own.
    ASSERT_TRUE(GenerateReport(reportPath));
    const std::string second = ReadFileBytes(reportPath);
    EXPECT_EQ(Count(second, "&quot;type&quot;:&quot;report&quot;"), 1u);
    EXPECT_EQ(LogTypes(), std::vector<std::string>({"report", "report"}));
}

TEST(GenerateReport, ListsTheIncidentsOnDiskWithTheirNamesEscaped) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    gCoreState.isAdmin = true;
    WriteIncident(L"20260314_100000_1", "file_burst", 85, "C:\\Users\\a\\Documents", "");
    WriteIncident(L"20260314_100000_2", "canary_file_touched", 95, "C:\\Users\\a\\Desktop\\",
                  "<b>Tom & Jerry's \"notes\".txt");
    LogMessage("dir_change", "saw <b>");

    std::wstring reportPath;
    ASSERT_TRUE(GenerateReport(reportPath));
    const std::string page = ReadFileBytes(reportPath);
    EXPECT_NE(
        page.find("<span class=\"badge critical\">Critical alerts</span>\n"
                  "<span class=\"small\">Critical: 1 &nbsp; High: 1 &nbsp; Medium: 0 &nbsp; Low: 0</span>"),
        std::string::npos);
    EXPECT_NE(page.find("<b>Most likely cause:</b> A protected canary file changed"), std::string::npos);
    EXPECT_NE(page.find("Mode: Elevated (admin)"), std::string::npos);
    const std::string escapedFile = "&lt;b&gt;Tom &amp; Jerry&#39;s &quot;notes&quot;.txt";
    EXPECT_NE(page.find("Location: <code>C:\\Users\\a\\Desktop\\" + escapedFile + "</code>"),
              std::string::npos);
    EXPECT_NE(page.find("<div class=\"k\">File</div><div class=\"v\">" + escapedFile + "</div>"),
              std::string::npos);
    EXPECT_NE(page.find("Location: <code>C:\\Users\\a\\Documents</code>"), std::string::npos);
    EXPECT_NE(page.find("saw &lt;b&gt;"), std::string::npos);
    EXPECT_EQ(page.find("<b>Tom"), std::string::npos);
}

// With extendedDetection on, each incident whose folder holds a readable
// context.json gets its "Likely source" row: none for a missing, malformed or
// oversized file, and none at all with the setting off.
TEST(GenerateReport, LikelySourceRowsComeFromEachIncidentsContextFile) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    auto context = [](const std::string& name, const std::string& padding) {
        return "{\"incident\":\"i\",\"unknown\":false,\"why\":\"" + padding +
               "\",\"holdersKnown\":false,\"suspects\":[{\"rank\":1,\"name\":\"" + name +
               "\",\"pid\":5,\"path\":\"C:\\\\dl\\\\" + name + "\",\"why\":[\"reason of " + name + "\"]}]}\n";
    };
    struct Folder {
        std::wstring name;
        std::string contextFile;  // "" for none
        const char* shown;        // the suspect its row names; null for no row
    } const folders[] = {
        {L"20260314_100000_1", context("plain.exe", ""), "plain.exe"},
        {L"20260314_100000_2_\u00e9\u4e2d", context("wide.exe", ""),
         "wide.exe"},  // the name read back as UTF-8
        {L"20260314_100000_3", "", nullptr},
        {L"20260314_100000_4", context("cut.exe", "").substr(0, 60), nullptr},
        {L"20260314_100000_5", context("large.exe", std::string(300 * 1024, 'x')), nullptr},
    };
    for (const Folder& f : folders) {
        WriteIncident(f.name, "canary_file_touched", 90, "C:\\Users\\a\\Documents", "x.txt");
        if (!f.contextFile.empty()) {
            ASSERT_TRUE(WriteFileBytes(JoinPath(JoinPath(gDataPaths.incidentsDir, f.name), L"context.json"),
                                       f.contextFile));
        }
    }

    std::wstring reportPath;
    gLiveConfig.extendedDetection.store(true);
    const bool written = GenerateReport(reportPath);
    gLiveConfig.extendedDetection.store(false);
    ASSERT_TRUE(written);
    const std::string page = ReadFileBytes(reportPath);
    EXPECT_EQ(Count(page, "Likely source"), 2u);
    for (const Folder& f : folders) {
        if (!f.shown) continue;
        const std::string name = f.shown;
        const std::string row = "<div class=\"k\">Likely source</div><div class=\"v\">" + name +
                                " (C:\\dl\\" + name + "): reason of " + name + "</div>";
        EXPECT_EQ(Count(page, row), 1u) << row;
    }

    ASSERT_TRUE(GenerateReport(reportPath));
    EXPECT_EQ(ReadFileBytes(reportPath).find("Likely source"), std::string::npos) << "setting off";
}

TEST(GenerateReport, RecreatesAMissingDataFolder) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    RemoveTree(gDataPaths.dataDir);
    std::wstring reportPath;
    ASSERT_TRUE(GenerateReport(reportPath));
    EXPECT_TRUE(PathExists(gDataPaths.reportFile));
}

TEST(GenerateReport, WriteFailureIsReportedAndLogged) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    ASSERT_TRUE(CreateDirectoryW(gDataPaths.reportFile.c_str(), nullptr));  // a folder in the way
    std::wstring reportPath = L"unset";
    EXPECT_FALSE(GenerateReport(reportPath));
    EXPECT_EQ(reportPath, gDataPaths.reportFile);
    const std::vector<json> entries = LogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]["type"], "report_error");
    EXPECT_EQ(entries[0]["msg"], "failed to write report");
}
