#include <windows.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/paths.h"
#include "incidents/incident_scanner.h"
#include "incidents/incident_store.h"
#include "support/test_support.h"

using nlohmann::json;

namespace {

std::vector<std::wstring> IncidentFolders() {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((gDataPaths.incidentsDir + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        if (fd.cFileName[0] != L'.') names.push_back(fd.cFileName);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return names;
}

void UseRateLimit(int32_t seconds) {
    Config c;
    SetConfigDefaults(c);
    c.incidentRateLimitSeconds = seconds;
    StoreCurrentConfig(c);
}

struct StoreFixture : ::testing::Test {
    TempDir dir;
    FakeClock clock;
    void SetUp() override {
        UseDataPathsBelow(dir.path);
        UseRateLimit(60);
        FakeClock::seconds = 1'800'000'000;
    }
};

}  // namespace

TEST_F(StoreFixture, WritesTheFolderFileAndEvent) {
    FakeClock::local = {2025, 3, 14, 9, 26, 53};
    FakeClock::tick = 842;
    gCoreState.isAdmin = false;
    CreateIncidentWithFile(kReasonCanary, 90, L"C:\\Users\\user\\Desktop", L"vellumgard_do_not_touch.txt");

    EXPECT_EQ(IncidentFolders(), std::vector<std::wstring>({L"20250314_092653_842"}));
    const std::string text = ReadFileBytes(gDataPaths.incidentsDir + L"\\20250314_092653_842\\incident.json");
    EXPECT_EQ(text,
              "{\"ts\":\"2025-03-14T09:26:53\",\"product\":\"Vellumgard\",\"version\":\"Public v1\","
              "\"reason\":\"canary_file_touched\",\"severity\":90,\"mode\":\"lite\","
              "\"folder\":\"C:\\\\Users\\\\user\\\\Desktop\",\"file\":\"vellumgard_do_not_touch.txt\"}");
    const auto lines = ReadLogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "{\"ts\":\"2025-03-14T09:26:53\",\"product\":\"Vellumgard\",\"version\":\"Public v1\","
                        "\"type\":\"incident_created\",\"reason\":\"canary_file_touched\",\"severity\":90}");
}

TEST_F(StoreFixture, RateLimitEdges) {
    struct Step {
        int64_t at;  // seconds after T
        const char* reason;
        bool created;
    };
    const Step steps[] = {
        {0, kReasonBurst, true},     // the first incident is never limited
        {10, kReasonCanary, false},  // any reason blocks any other
        {59, kReasonBurst, false},
        {60, kReasonProcess, true},  // exactly the limit after the last one passes
        {119, kReasonBurst, false},  // measured from the last passed, not the last attempt
        {120, kReasonBurst, true},
    };
    const int64_t t0 = FakeClock::seconds;
    for (const Step& s : steps) {
        FakeClock::seconds = t0 + s.at;
        FakeClock::tick += 1;
        const size_t before = IncidentFolders().size();
        CreateIncident(s.reason, 80, L"");
        EXPECT_EQ(IncidentFolders().size() - before, s.created ? 1u : 0u) << "at T+" << s.at;
        const json last = json::parse(ReadLogLines().back());
        EXPECT_EQ(last["type"], s.created ? "incident_created" : "incident_rate_limited");
        EXPECT_EQ(last["reason"], s.reason);
        EXPECT_EQ(last.contains("severity"), s.created);
    }
}

TEST_F(StoreFixture, NonPositiveLimitMeansSixtyAndOneLetsOnePerSecond) {
    for (int32_t limit : {0, -5}) {
        UseRateLimit(limit);
        gLastIncidentTime = 0;
        const int64_t t0 = FakeClock::seconds += 1000;
        CreateIncident(kReasonBurst, 80, L"");
        const size_t n = IncidentFolders().size();
        FakeClock::seconds = t0 + 59;
        CreateIncident(kReasonBurst, 80, L"");
        EXPECT_EQ(IncidentFolders().size(), n) << limit;
        FakeClock::seconds = t0 + 60;
        FakeClock::tick += 1;
        CreateIncident(kReasonBurst, 80, L"");
        EXPECT_EQ(IncidentFolders().size(), n + 1) << limit;
    }
    UseRateLimit(1);
    const size_t n = IncidentFolders().size();
    for (int i = 1; i <= 3; ++i) {
        FakeClock::seconds += 1;
        FakeClock::tick += 1;
        CreateIncident(kReasonBurst, 80, L"");
        CreateIncident(kReasonBurst, 80, L"");  // same second: limited
    }
    EXPECT_EQ(IncidentFolders().size(), n + 3);
}

TEST_F(StoreFixture, TimesBeyond2038AreNoLimit) {
    FakeClock::seconds = 4'102'444'800;  // 2100-01-01
    CreateIncident(kReasonBurst, 80, L"");
    FakeClock::seconds += 30;
    CreateIncident(kReasonBurst, 80, L"");
    FakeClock::seconds += 30;
    FakeClock::tick += 1;
    CreateIncident(kReasonBurst, 80, L"");
    EXPECT_EQ(IncidentFolders().size(), 2u);
    EXPECT_EQ(gLastIncidentTime.load(), 4'102'444'860);
}

TEST_F(StoreFixture, ConcurrentCallersPassTheLimitOnlyOnce) {
    // Every thread sees the same second: exactly one may create an incident.
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 20; ++i) CreateIncident(kReasonProcess, 60, L"");
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(IncidentFolders().size(), 1u);
    int created = 0, limited = 0;
    for (const std::string& type : LogTypes()) (type == "incident_created" ? created : limited)++;
    EXPECT_EQ(created, 1);
    EXPECT_EQ(limited, 16 * 20 - 1);
}

TEST_F(StoreFixture, SameSecondAndTickNeverShareAFolder) {
    UseRateLimit(1);
    FakeClock::local = {2025, 3, 14, 9, 26, 53};
    FakeClock::tick = 842;  // frozen: every incident gets the same base name
    for (int i = 0; i < 3; ++i) {
        FakeClock::seconds += 1;
        CreateIncident(kReasonBurst, 80 + i, L"");
    }
    const auto folders = IncidentFolders();
    ASSERT_EQ(folders.size(), 3u);
    std::vector<int32_t> severities;
    for (const std::wstring& f : folders)
        severities.push_back(ParseIncidentSummary(ReadFileBytes(gDataPaths.incidentsDir + L"\\" + f + L"\\incident.json")).severity);
    std::sort(severities.begin(), severities.end());
    EXPECT_EQ(severities, std::vector<int32_t>({80, 81, 82}));
}

TEST_F(StoreFixture, DeletedIncidentsFolderIsRecreatedAndUnwritableOneStillLogs) {
    RemoveTree(gDataPaths.incidentsDir);
    CreateIncident(kReasonBurst, 80, L"");
    EXPECT_EQ(IncidentFolders().size(), 1u);

    // A file where the Incidents folder should be: the incident is lost on
    // disk but still logged, and the limit is consumed.
    RemoveTree(gDataPaths.incidentsDir);
    ASSERT_TRUE(WriteFileBytes(gDataPaths.incidentsDir, "in the way"));
    FakeClock::seconds += 60;
    CreateIncident(kReasonCanary, 90, L"");
    EXPECT_EQ(LogTypes().back(), "incident_created");
    EXPECT_EQ(gLastIncidentTime.load(), FakeClock::seconds);
    EXPECT_EQ(ReadFileBytes(gDataPaths.incidentsDir), "in the way");
}
