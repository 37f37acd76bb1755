#include <windows.h>

#include <gtest/gtest.h>

#include "core/config.h"
#include "core/event_log.h"
#include "core/hooks.h"
#include "core/paths.h"
#include "core/text.h"
#include "incidents/incident_scanner.h"
#include "incidents/incident_store.h"
#include "support/test_support.h"

namespace {

struct ScannerFixture : ::testing::Test {
    TempDir dir;
    FakeClock clock;
    int64_t now = 0;
    void SetUp() override {
        UseDataPathsBelow(dir.path);
        ASSERT_TRUE(ParseIncidentTime("2026-03-14T12:00:00", now));
        FakeClock::seconds = now;
    }
    void Put(const std::wstring& name, const std::string& content) {
        EnsureDirectoryTree(gDataPaths.incidentsDir + L"\\" + name);
        ASSERT_TRUE(WriteFileBytes(gDataPaths.incidentsDir + L"\\" + name + L"\\incident.json", content));
    }
    static std::string Json(const std::string& ts, int severity) {
        return "{\"ts\":\"" + ts + "\",\"reason\":\"file_burst\",\"severity\":" + std::to_string(severity) + "}";
    }
};

std::vector<std::string> Times(const std::vector<IncidentSummary>& list) {
    std::vector<std::string> ts;
    for (const auto& s : list) ts.push_back(s.ts);
    return ts;
}

}  // namespace

TEST_F(ScannerFixture, MissingOrEmptyFolderGivesNothing) {
    EXPECT_TRUE(ScanIncidents(gDataPaths).empty());
    RemoveTree(gDataPaths.incidentsDir);
    EXPECT_TRUE(ScanIncidents(gDataPaths).empty());
}

TEST_F(ScannerFixture, TwentyFourHourCutoffIsInclusive) {
    Put(L"a", Json("2026-03-13T12:00:00", 50));  // exactly 86400 s old: kept
    Put(L"b", Json("2026-03-13T11:59:59", 50));  // one second older: dropped
    Put(L"c", Json("2026-03-15T00:00:00", 50));  // the future: kept
    EXPECT_EQ(Times(ScanIncidents(gDataPaths)),
              std::vector<std::string>({"2026-03-15T00:00:00", "2026-03-13T12:00:00"}));
}

TEST_F(ScannerFixture, NewestFirstWhateverTheEnumerationOrder) {
    Put(L"1", Json("2026-03-14T10:00:00", 50));
    Put(L"2", Json("2026-03-14T10:05:00", 50));
    Put(L"3", Json("2026-03-14T09:55:00", 50));
    EXPECT_EQ(Times(ScanIncidents(gDataPaths)),
              std::vector<std::string>({"2026-03-14T10:05:00", "2026-03-14T10:00:00", "2026-03-14T09:55:00"}));
}

TEST_F(ScannerFixture, EntriesThatAreNoIncident) {
    const std::string good = Json("2026-03-14T11:00:00", 70);
    Put(L"good", good);
    Put(L".hidden", good);                               // name begins with a dot
    EnsureDirectoryTree(gDataPaths.incidentsDir + L"\\empty_folder");  // no incident.json
    WriteFileBytes(gDataPaths.incidentsDir + L"\\plain_file", good);   // a file, not a folder
    EnsureDirectoryTree(gDataPaths.incidentsDir + L"\\dir_json\\incident.json");  // a folder in the way
    EnsureDirectoryTree(gDataPaths.incidentsDir + L"\\nested\\inner");
    WriteFileBytes(gDataPaths.incidentsDir + L"\\nested\\inner\\incident.json", good);  // not descended into
    Put(L"empty", "");
    Put(L"truncated", "{\"ts\":\"2026-03-14T1");
    Put(L"binary", std::string("\x00\x01\xff\xfe\"ts\":", 8));
    Put(L"no_ts", "{\"reason\":\"file_burst\",\"severity\":90}");
    Put(L"date_only", Json("2026-03-14", 90));
    Put(L"old_year", Json("69-03-14T11:00:00", 90));
    // Over 1 MiB: not an incident, whatever it holds.
    Put(L"huge", Json("2026-03-14T11:30:00", 95) + std::string(1024 * 1024, ' '));

    const auto list = ScanIncidents(gDataPaths);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].ts, "2026-03-14T11:00:00");
    EXPECT_EQ(list[0].severity, 70);
}

TEST_F(ScannerFixture, MissingFieldsReadAsEmptyOrZero) {
    Put(L"x", "{\"ts\":\"2026-03-14T11:00:00\"}");
    const auto list = ScanIncidents(gDataPaths);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].reason, "");
    EXPECT_EQ(list[0].severity, 0);
    EXPECT_EQ(list[0].folder, "");
    EXPECT_EQ(list[0].file, "");
}

TEST_F(ScannerFixture, StoreToScannerRoundTripOfHostileText) {
    const std::wstring folder = L"C:\\Users\\user\\Desktop \"quoted\" \x01 caf\xe9 \x65e5";
    const std::wstring file = L"sub\\a\\b \\\\ \"x\".locked";
    const std::string reason = "reason with \"quotes\" and \\ and \t";
    FakeClock::local = {2026, 3, 14, 11, 59, 0};
    CreateIncidentWithFile(reason, 65, folder, file);
    const auto list = ScanIncidents(gDataPaths);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].ts, "2026-03-14T11:59:00");
    EXPECT_EQ(list[0].reason, reason);
    EXPECT_EQ(list[0].severity, 65);
    EXPECT_EQ(list[0].folder, WideToUtf8(folder));
    EXPECT_EQ(list[0].file, WideToUtf8(file));
}

namespace {
int gSyncs = 0;
void CountSync(const Config&) { ++gSyncs; }
}  // namespace

TEST_F(ScannerFixture, EveryIncidentReadSynchronisesTheWatchSet) {
    Put(L"a", Json("2026-03-14T11:00:00", 50));
    Put(L"b", Json("2026-03-14T11:01:00", 50));
    gSyncExtraWatchDirs = CountSync;
    ScanIncidents(gDataPaths);
    gSyncExtraWatchDirs = nullptr;
    EXPECT_EQ(gSyncs, 2);
}

// Repeated scans reuse what an earlier scan parsed only while the file is
// unchanged: an edit, a new incident or a deletion shows at once.
TEST_F(ScannerFixture, RepeatedScansFollowEveryChangeOnDisk) {
    Put(L"a", Json("2026-03-14T11:00:00", 50));
    Put(L"b", Json("2026-03-14T11:01:00", 60));
    ASSERT_EQ(ScanIncidents(gDataPaths).size(), 2u);
    ASSERT_EQ(ScanIncidents(gDataPaths).size(), 2u);

    Put(L"a", Json("2026-03-14T11:02:00", 95) + "  ");  // rewritten: new time and severity
    RemoveTree(gDataPaths.incidentsDir + L"\\b");
    Put(L"c", Json("2026-03-14T11:03:00", 70));
    auto list = ScanIncidents(gDataPaths);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].ts, "2026-03-14T11:03:00");
    EXPECT_EQ(list[1].ts, "2026-03-14T11:02:00");
    EXPECT_EQ(list[1].severity, 95);

    // The 24-hour window moves even for files that were not read again.
    FakeClock::seconds += 86400;
    int64_t c = 0;
    ASSERT_TRUE(ParseIncidentTime("2026-03-14T11:03:00", c));
    FakeClock::seconds = c + 86400;
    list = ScanIncidents(gDataPaths);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].ts, "2026-03-14T11:03:00");
}
