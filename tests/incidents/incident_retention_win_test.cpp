// The retention pass on a real Incidents folder: what goes (whole), what
// stays (recent, unreadable, foreign, links and what they point at), the
// incidents_pruned line, and what the incident index is told.
#include "incidents/incident_retention_win.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <ctime>
#include <nlohmann/json.hpp>

#include "core/clock.h"
#include "core/config.h"
#include "core/paths.h"
#include "core/text.h"
#include "incidents/incident_scanner.h"
#include "support/test_support.h"

using nlohmann::json;

namespace {

std::string LocalIsoAt(int64_t t) {
    tm parts{};
    const __time64_t tt = t;
    _localtime64_s(&parts, &tt);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return buf;
}

std::wstring Folder(const std::wstring& name) {
    return JoinPath(gDataPaths.incidentsDir, name);
}

void WriteIncidentAt(const std::wstring& name, int64_t time) {
    ASSERT_TRUE(EnsureDirectoryTree(Folder(name)));
    ASSERT_TRUE(
        WriteFileBytes(JoinPath(Folder(name), L"incident.json"),
                       "{\"ts\":\"" + LocalIsoAt(time) + "\",\"reason\":\"file_burst\",\"severity\":80}"));
}

}  // namespace

TEST(IncidentRetentionPass, RemovesOldIncidentsWholeAndLeavesEverythingElse) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    const int64_t now = NowSeconds();
    const int64_t day = 86400;
    WriteIncidentAt(L"20250101_000000_1", now - 200 * day);
    ASSERT_TRUE(WriteFileBytes(JoinPath(Folder(L"20250101_000000_1"), L"context.json"), "{}"));
    ASSERT_TRUE(EnsureDirectoryTree(JoinPath(Folder(L"20250101_000000_1"), L"more\\deeper")));
    ASSERT_TRUE(WriteFileBytes(JoinPath(Folder(L"20250101_000000_1"), L"more\\deeper\\x.bin"), "x"));
    WriteIncidentAt(L"20250101_000000_2_2", now - 100 * day);
    WriteIncidentAt(L"20250101_000000_3", now - 3 * day);            // inside the 90 days
    WriteIncidentAt(L"20250101_000000_4", now - 60);                 // the last 24 hours
    WriteIncidentAt(L"bench_0001", now - 300 * day);                 // not the store's name
    WriteIncidentAt(L"20250101_000000_5_1", now - 300 * day);        // nor is this suffix
    ASSERT_TRUE(EnsureDirectoryTree(Folder(L"20250101_000000_6")));  // no incident.json
    ASSERT_TRUE(EnsureDirectoryTree(Folder(L"20250101_000000_7")));
    ASSERT_TRUE(
        WriteFileBytes(JoinPath(Folder(L"20250101_000000_7"), L"incident.json"), "{\"ts\":\"garbage\"}"));
    // A folder link of the right name and age, pointing outside Incidents.
    const std::wstring outside = dir.Sub(L"outside");
    ASSERT_TRUE(EnsureDirectoryTree(outside));
    ASSERT_TRUE(WriteFileBytes(JoinPath(outside, L"incident.json"),
                               "{\"ts\":\"" + LocalIsoAt(now - 300 * day) + "\"}"));
    // Where links cannot be made (or do not resolve) only the target is checked.
    const bool linked = CreateSymbolicLinkW(Folder(L"20250101_000000_8").c_str(), outside.c_str(),
                                            SYMBOLIC_LINK_FLAG_DIRECTORY) != FALSE &&
                        PathExists(JoinPath(Folder(L"20250101_000000_8"), L"incident.json"));

    EXPECT_EQ(PruneIncidentsOnce(gDataPaths.incidentsDir, 90, now), 2u);
    EXPECT_FALSE(PathExists(Folder(L"20250101_000000_1")));
    EXPECT_FALSE(PathExists(Folder(L"20250101_000000_2_2")));
    for (const wchar_t* kept : {L"20250101_000000_3", L"20250101_000000_4", L"bench_0001",
                                L"20250101_000000_5_1", L"20250101_000000_6", L"20250101_000000_7"})
        EXPECT_TRUE(PathIsDirectory(Folder(kept))) << WideToUtf8(kept);
    EXPECT_TRUE(PathExists(JoinPath(outside, L"incident.json")));
    if (linked) {
        EXPECT_TRUE(PathExists(Folder(L"20250101_000000_8")));
    }

    const std::vector<std::string> lines = ReadLogLines();
    ASSERT_EQ(lines.size(), 1u);
    const json j = json::parse(lines[0]);
    EXPECT_EQ(j["type"], "incidents_pruned");
    EXPECT_EQ(j["count"], 2);

    // A second pass finds nothing more, and says so.
    EXPECT_EQ(PruneIncidentsOnce(gDataPaths.incidentsDir, 90, now), 0u);
    EXPECT_EQ(json::parse(ReadLogLines().back())["count"], 0);
    // Without the setting: no pass, no line.
    WriteIncidentAt(L"20250101_000000_9", now - 400 * day);
    EXPECT_EQ(PruneIncidentsOnce(gDataPaths.incidentsDir, 0, now), 0u);
    EXPECT_TRUE(PathExists(Folder(L"20250101_000000_9")));
    EXPECT_EQ(ReadLogLines().size(), 2u);
}

// The index learns of the removal from the pass itself, not from the watch.
TEST(IncidentRetentionPass, TellsTheIncidentIndexWhatWasRemoved) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    const int64_t now = NowSeconds();
    WriteIncidentAt(L"20250101_000000_1", now - 100 * 86400);
    WriteIncidentAt(L"20250101_000000_2", now - 60);
    ASSERT_EQ(ScanIncidents(gDataPaths).size(), 1u);  // builds the index and arms its watch
    EXPECT_EQ(PruneIncidentsOnce(gDataPaths.incidentsDir, 30, now), 1u);
    EXPECT_TRUE(IncidentIndexAwaits(L"20250101_000000_1"));
    const uint64_t readsBefore = GetIncidentIndexCounters().filesRead;
    EXPECT_EQ(ScanIncidents(gDataPaths).size(), 1u);
    EXPECT_FALSE(IncidentIndexAwaits(L"20250101_000000_1"));
    EXPECT_EQ(GetIncidentIndexCounters().filesRead, readsBefore);  // a folder found gone costs no read
    StopIncidentIndex();
}

// The thread starts without pruning on the caller's thread and stops promptly.
TEST(IncidentRetentionPass, TheThreadWaitsBeforeItsFirstPassAndStopsPromptly) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    gLiveConfig.incidentRetentionDays.store(30);
    WriteIncidentAt(L"20250101_000000_1", NowSeconds() - 100 * 86400);
    const ULONGLONG start = GetTickCount64();
    StartIncidentPruning();
    Sleep(200);
    EXPECT_TRUE(PathExists(Folder(L"20250101_000000_1")));
    StopIncidentPruning();
    EXPECT_LT(GetTickCount64() - start, 3000u);
    EXPECT_TRUE(ReadLogLines().empty());
}
