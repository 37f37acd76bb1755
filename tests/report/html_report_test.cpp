#include "report/html_report.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <nlohmann/json.hpp>

#include "core/core_lifecycle.h"
#include "core/event_log.h"
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
