#include "incidents/incident_store.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/paths.h"
#include "core/seams.h"
#include "core/text.h"
#include "incidents/incident_index.h"
#include "incidents/incident_scanner.h"
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
        {10, kReasonCanary, false},  // any reason of the same severity blocks any other
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
        gIncidentReference = kNoIncidentYet;
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
    EXPECT_EQ(ReferenceSeconds(gIncidentReference.load()), 4'102'444'860);
}

TEST_F(StoreFixture, ConcurrentCallersPassTheLimitOnlyOncePerSeverity) {
    // Every thread sees the same second: one incident may pass per rising
    // severity, never two at one severity, and the most severe always passes.
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t)
        threads.emplace_back([t] {
            const int32_t severities[] = {60, 75, 90, 60};
            for (int i = 0; i < 20; ++i) CreateIncident(kReasonProcess, severities[(t + i) % 4], L"");
        });
    for (auto& th : threads) th.join();
    std::vector<int> created;
    int limited = 0;
    for (const std::string& line : ReadLogLines()) {
        const json j = json::parse(line);
        if (j["type"] == "incident_created") created.push_back(j["severity"].get<int>());
        else if (j["type"] == "incident_rate_limited") ++limited;
    }
    std::sort(created.begin(), created.end());
    EXPECT_TRUE(std::adjacent_find(created.begin(), created.end()) == created.end()) << created.size();
    ASSERT_FALSE(created.empty());
    EXPECT_EQ(created.back(), 90);
    EXPECT_EQ(IncidentFolders().size(), created.size());
    EXPECT_EQ(created.size() + static_cast<size_t>(limited), 16u * 20u);

    // Equal severities alone: exactly one.
    gIncidentReference = kNoIncidentYet;
    FakeClock::seconds += 1000;
    const size_t before = IncidentFolders().size();
    threads.clear();
    for (int t = 0; t < 16; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 20; ++i) CreateIncident(kReasonProcess, 60, L"");
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(IncidentFolders().size(), before + 1);
}

TEST_F(StoreFixture, AMoreSevereIncidentIsNeverHeldBack) {
    // A note found first, then the canary touched: the canary is announced.
    struct Step {
        int64_t at;
        const char* reason;
        int32_t severity;
        bool created;
    };
    const Step steps[] = {
        {0, kReasonDirFile, 65, true},
        {5, kReasonDirFile, 65, false},   // the same severity waits out the period
        {8, kReasonBurst, 80, true},      // rising: passes and becomes the reference
        {10, kReasonCanary, 90, true},
        {12, kReasonBurst, 80, false},    // lower than the last one created
        {40, kReasonCanary, 90, false},
        {69, kReasonDirFile, 65, false},  // the period runs from the canary at T+10
        {70, kReasonDirFile, 65, true},
        {71, kReasonProcess, -5, false},  // severities are compared clamped to 0..255
        {72, kReasonProcess, 1000, true},
        {73, kReasonProcess, 300, false},
    };
    const int64_t t0 = FakeClock::seconds;
    for (const Step& s : steps) {
        FakeClock::seconds = t0 + s.at;
        FakeClock::tick += 1;
        CreateIncident(s.reason, s.severity, L"");
        const json last = json::parse(ReadLogLines().back());
        EXPECT_EQ(last["type"], s.created ? "incident_created" : "incident_rate_limited") << "at T+" << s.at;
        if (s.created) {
            EXPECT_EQ(last["severity"], s.severity);  // stored unclamped
        }
    }
}

TEST_F(StoreFixture, AClockSetBackNeverBlindsDetection) {
    CreateIncident(kReasonBurst, 80, L"");
    FakeClock::seconds -= 3600;  // an hour back: before the reference
    FakeClock::tick += 1;
    CreateIncident(kReasonBurst, 80, L"");
    EXPECT_EQ(LogTypes().back(), "incident_created");
    // The new reference is the set-back time: the period runs from there.
    FakeClock::seconds += 30;
    CreateIncident(kReasonBurst, 80, L"");
    EXPECT_EQ(LogTypes().back(), "incident_rate_limited");
    EXPECT_EQ(IncidentFolders().size(), 2u);
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

TEST_F(StoreFixture, ALostIncidentIsReportedAndItsSlotGivenBack) {
    RemoveTree(gDataPaths.incidentsDir);
    CreateIncident(kReasonBurst, 80, L"");
    EXPECT_EQ(IncidentFolders().size(), 1u);  // a deleted Incidents folder is re-created

    // A file where the Incidents folder should be: nothing can be written.
    RemoveTree(gDataPaths.incidentsDir);
    ASSERT_TRUE(WriteFileBytes(gDataPaths.incidentsDir, "in the way"));
    FakeClock::seconds += 60;
    const IncidentReference before = gIncidentReference.load();
    CreateIncidentWithFile(kReasonCanary, 90, L"C:\\w", L"a.txt");
    const json last = json::parse(ReadLogLines().back());
    EXPECT_EQ(last["type"], "incident_error");
    EXPECT_EQ(last["reason"], kReasonCanary);
    EXPECT_EQ(last["severity"], 90);
    EXPECT_EQ(last["path"].get<std::string>().rfind(WideToUtf8(gDataPaths.incidentsDir) + "\\", 0), 0u);
    const auto types = LogTypes();
    EXPECT_EQ(std::count(types.begin(), types.end(), "incident_created"), 1);
    EXPECT_EQ(gIncidentReference.load(), before);  // the slot is given back
    EXPECT_EQ(ReadFileBytes(gDataPaths.incidentsDir), "in the way");

    // Once it is usable again the next detection simply succeeds.
    RemoveTree(gDataPaths.incidentsDir);
    FakeClock::tick += 1;
    CreateIncidentWithFile(kReasonCanary, 90, L"C:\\w", L"a.txt");
    EXPECT_EQ(LogTypes().back(), "incident_created");
    EXPECT_EQ(IncidentFolders().size(), 1u);
}

namespace {
// Fails the first write it sees; while failing it lets a more severe
// incident through, as another thread could.
bool gEscalatedDuringWrite = false;
bool FailOnceAfterAnEscalation(void* file, const void* data, uint32_t size, uint32_t* written) {
    if (!gEscalatedDuringWrite) {
        gEscalatedDuringWrite = true;
        FakeClock::tick += 1;
        CreateIncident(kReasonCanary, 90, L"");
        *written = size / 2;  // half-way: the disk filled up
        WriteFile(static_cast<HANDLE>(file), data, size / 2, nullptr, nullptr);
        return false;
    }
    DWORD done = 0;
    const BOOL ok = WriteFile(static_cast<HANDLE>(file), data, size, &done, nullptr);
    *written = done;
    return ok != FALSE;
}
}  // namespace

TEST_F(StoreFixture, AFailedWriteLeavesNothingAndNeverUndoesALaterIncident) {
    gSeams.writeFile = FailOnceAfterAnEscalation;
    CreateIncident(kReasonBurst, 80, L"");
    gSeams.writeFile = nullptr;

    const auto types = LogTypes();
    ASSERT_EQ(types.size(), 2u);
    EXPECT_EQ(types[0], "incident_created");  // the canary, written while the burst was failing
    EXPECT_EQ(types[1], "incident_error");
    // Only the canary's folder remains, whole; the burst's folder is gone.
    const auto folders = IncidentFolders();
    ASSERT_EQ(folders.size(), 1u);
    const std::wstring canaryFolder = gDataPaths.incidentsDir + L"\\" + folders[0];
    EXPECT_EQ(ParseIncidentSummary(ReadFileBytes(canaryFolder + L"\\incident.json")).reason, kReasonCanary);
    EXPECT_EQ(ReferenceSeverity(gIncidentReference.load()), 90);  // not given back over the canary
}

namespace {
int gDeleteCalls = 0;
bool FailWrite(void*, const void*, uint32_t, uint32_t* written) {
    *written = 0;
    return false;
}
// A scanner holds the temporary file for a moment: the first delete fails.
bool HeldOnce(const wchar_t* path) {
    if (gDeleteCalls++ == 0) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return false;
    }
    return DeleteFileW(path) != FALSE;
}
bool HeldForGood(const wchar_t*) {
    ++gDeleteCalls;
    SetLastError(ERROR_SHARING_VIOLATION);
    return false;
}

std::vector<std::wstring> TempFilesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((folder + L"\\*.vgtmp").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do names.push_back(fd.cFileName);
    while (FindNextFileW(h, &fd));
    FindClose(h);
    return names;
}

void AgeFile(const std::wstring& path, uint64_t seconds) {
    HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t{};
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    t.QuadPart -= seconds * 10000000ull;
    FILETIME old{t.LowPart, t.HighPart};
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &old));
    CloseHandle(h);
}
}  // namespace

TEST_F(StoreFixture, ATemporaryFileHeldOnceIsStillRemovedAfterAFailedWrite) {
    gSeams.writeFile = FailWrite;
    gDeleteCalls = 0;
    gSeams.deleteTempFile = HeldOnce;
    CreateIncident(kReasonBurst, 80, L"");
    gSeams.deleteTempFile = nullptr;
    gSeams.writeFile = nullptr;
    EXPECT_EQ(gDeleteCalls, 2);
    EXPECT_EQ(LogTypes(), std::vector<std::string>({"incident_error"}));
    EXPECT_TRUE(IncidentFolders().empty()) << "the temporary file kept the lost incident's folder";
}

TEST(LeftoverSweep, FoldersWithoutAnIncidentFileFirstThenASliceInTurn) {
    // hasFile per folder: 1 and 4 lack their incident.json.
    std::vector<CensusEntry> census(6);
    for (size_t i = 0; i < census.size(); ++i) census[i].hasFile = i != 1 && i != 4;
    struct Step {
        size_t cursorBefore, slice;
        std::vector<size_t> want;
        size_t cursorAfter;
    } steps[] = {
        {0, 2, {1, 4, 0, 2}, 3},        {3, 2, {1, 4, 3, 5}, 0},  // 4 is not counted in the slice twice
        {5, 3, {1, 4, 5, 0, 2}, 3},                               // wraps
        {0, 10, {1, 4, 0, 2, 3, 5}, 0},                           // a slice larger than the rest: each once
        {17, 1, {1, 4, 0}, 1},  // a cursor beyond a shrunken list starts again
    };
    for (const Step& s : steps) {
        size_t cursor = s.cursorBefore;
        EXPECT_EQ(PickLeftoverSweep(census, s.slice, cursor), s.want) << s.cursorBefore << "/" << s.slice;
        EXPECT_EQ(cursor, s.cursorAfter) << s.cursorBefore << "/" << s.slice;
    }
    size_t cursor = 0;
    EXPECT_TRUE(PickLeftoverSweep({}, 4, cursor).empty());
}

TEST_F(StoreFixture, TheCensusSweepRemovesLeftoversInAnyIncidentFolder) {
    // A write whose temporary file stays held: the incident is lost and its
    // temporary file left behind, in a folder of a long history.
    std::vector<CensusEntry> census;
    for (int i = 0; i < 40; ++i) {
        CensusEntry c;
        c.name = L"20260101_0000" + std::to_wstring(10 + i) + L"_1";
        c.hasFile = true;
        EnsureDirectoryTree(gDataPaths.incidentsDir + L"\\" + c.name);
        ASSERT_TRUE(WriteFileBytes(gDataPaths.incidentsDir + L"\\" + c.name + L"\\incident.json", "{}"));
        census.push_back(c);
    }
    const std::wstring old = gDataPaths.incidentsDir + L"\\" + census[2].name;  // far from the newest
    ASSERT_TRUE(WriteFileBytes(old + L"\\incident.json.4000000-1.vgtmp", "ended process"));
    gSeams.writeFile = FailWrite;
    gSeams.deleteTempFile = HeldForGood;
    EXPECT_FALSE(WriteIncidentJson(old, "{\"new\":true}"));
    gSeams.deleteTempFile = nullptr;
    gSeams.writeFile = nullptr;
    ASSERT_EQ(TempFilesIn(old).size(), 2u);

    // This process's own leftover may still be a write in hand until it has aged.
    EXPECT_EQ(SweepLeftoverTempFiles(gDataPaths.incidentsDir, census), 1u);
    const auto left = TempFilesIn(old);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_NE(left[0].find(std::to_wstring(GetCurrentProcessId()) + L"-"), std::wstring::npos);
    AgeFile(old + L"\\" + left[0], kOwnTempFileAgeSeconds + 5);
    EXPECT_EQ(SweepLeftoverTempFiles(gDataPaths.incidentsDir, census), 1u);
    EXPECT_TRUE(TempFilesIn(old).empty());
    EXPECT_EQ(ReadFileBytes(old + L"\\incident.json"), "{}");
}
