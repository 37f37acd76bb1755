// The scanner on real folders under Wine: its answers against the rules, and
// against a fresh scan done the literal way after every kind of change the
// index has to follow. Under Wine a change watch reports only what happens
// in folders created after it started, so the changes the watch must report
// are made in folders created after the first scan.
#include "incidents/incident_scanner.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <new>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/hooks.h"
#include "core/paths.h"
#include "core/text.h"
#include "incidents/incident_index.h"
#include "incidents/incident_store.h"
#include "incidents/incident_watch.h"
#include "literal_scan.h"
#include "support/test_support.h"

namespace {

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 5000) {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (condition()) return true;
        Sleep(10);
    }
    return condition();
}

// A census or comparison held up until the test lets it go (or 10 s pass).
HANDLE gStallGo = nullptr;
std::atomic<bool> gStalled{false};
std::atomic<DWORD> gStalledThread{0};
void Stall() {
    gStalledThread = GetCurrentThreadId();
    gStalled = true;
    WaitForSingleObject(gStallGo, 10000);
}
void ReleaseStall() {
    if (gStallGo) SetEvent(gStallGo);
}

// Delays every batch of the watch.
uint32_t SlowBatch(uint32_t bytes) {
    Sleep(200);
    return bytes;
}

struct ScannerFixture : ::testing::Test {
    TempDir dir;
    FakeClock clock;
    int64_t now = 0;
    void SetUp() override {
        UseDataPathsBelow(dir.path);
        ASSERT_TRUE(ParseIncidentTime("2026-03-14T12:00:00", now));
        FakeClock::seconds = now;
        FakeClock::tick = 1000;
        gStallGo = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        gStalled = false;
        gStalledThread = 0;
    }
    void TearDown() override {
        gIncidentWatchSeams = IncidentWatchSeams();
        gIncidentScanSeams = IncidentScanSeams();
        ReleaseStall();
        gSyncExtraWatchDirs = nullptr;
        StopIncidentIndex();
        CloseHandle(gStallGo);
        gStallGo = nullptr;
    }
    static std::wstring Folder(const std::wstring& name) { return gDataPaths.incidentsDir + L"\\" + name; }
    void Put(const std::wstring& name, const std::string& content) {
        EnsureDirectoryTree(Folder(name));
        ASSERT_TRUE(WriteFileBytes(Folder(name) + L"\\incident.json", content));
    }
    static std::string Json(const std::string& ts, int severity, const std::string& file = "") {
        return "{\"ts\":\"" + ts + "\",\"reason\":\"file_burst\",\"severity\":" + std::to_string(severity) +
               ",\"file\":\"" + file + "\"}";
    }
    // One scan, which must give what a fresh literal scan gives right after it.
    std::vector<IncidentSummary> ScanMatchingLiteral(const std::string& when) {
        const std::vector<IncidentSummary> list = ScanIncidents(gDataPaths);
        EXPECT_EQ(DescribeIncidents(list),
                  DescribeIncidents(LiteralScanIncidents(gDataPaths.incidentsDir, NowSeconds())))
            << when;
        return list;
    }
};

std::vector<std::string> Times(const std::vector<IncidentSummary>& list) {
    std::vector<std::string> ts;
    for (const auto& s : list) ts.push_back(s.ts);
    return ts;
}

void UseRateLimit(int32_t seconds) {
    Config c;
    SetConfigDefaults(c);
    c.incidentRateLimitSeconds = seconds;
    StoreCurrentConfig(c);
}

}  // namespace

TEST_F(ScannerFixture, MissingOrEmptyFolderGivesNothing) {
    EXPECT_TRUE(ScanIncidents(gDataPaths).empty());
    // Under Wine a folder goes only when its last handle is closed: the watch
    // lets go of it once its sync folder is removed with the rest.
    RemoveTree(gDataPaths.incidentsDir);
    EXPECT_TRUE(WaitUntil([] { return !PathExists(gDataPaths.incidentsDir); }, 3000));
    EXPECT_TRUE(ScanIncidents(gDataPaths).empty());
    // Made again, with an incident in it: found.
    Put(L"a", Json("2026-03-14T11:00:00", 50));
    EXPECT_EQ(ScanIncidents(gDataPaths).size(), 1u);
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
    EXPECT_EQ(
        Times(ScanIncidents(gDataPaths)),
        std::vector<std::string>({"2026-03-14T10:05:00", "2026-03-14T10:00:00", "2026-03-14T09:55:00"}));
}

TEST_F(ScannerFixture, EntriesThatAreNoIncident) {
    const std::string good = Json("2026-03-14T11:00:00", 70);
    Put(L"good", good);
    Put(L".hidden", good);                                                        // name begins with a dot
    EnsureDirectoryTree(gDataPaths.incidentsDir + L"\\empty_folder");             // no incident.json
    WriteFileBytes(gDataPaths.incidentsDir + L"\\plain_file", good);              // a file, not a folder
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

// Read back from disk by the first scan, and handed over by the store to a
// running index: the same record either way.
TEST_F(ScannerFixture, StoreToScannerRoundTripOfHostileText) {
    const std::wstring folder = L"C:\\Users\\user\\Desktop \"quoted\" \x01 caf\xe9 \x65e5";
    const std::wstring file = L"sub\\a\\b \\\\ \"x\".locked";
    const std::string reason = "reason with \"quotes\" and \\ and \t";
    UseRateLimit(60);
    for (const bool indexRunning : {false, true}) {
        RemoveTree(gDataPaths.incidentsDir);
        EnsureDirectoryTree(gDataPaths.incidentsDir);
        if (indexRunning) {
            EXPECT_TRUE(ScanIncidents(gDataPaths).empty());
        }
        FakeClock::seconds += 3600;
        FakeClock::local = {2026, 3, 14, 11, 59, 0};
        CreateIncidentWithFile(reason, 65, folder, file);
        const auto list = ScanMatchingLiteral(indexRunning ? "index running" : "first scan");
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].ts, "2026-03-14T11:59:00");
        EXPECT_EQ(list[0].reason, reason);
        EXPECT_EQ(list[0].severity, 65);
        EXPECT_EQ(list[0].folder, WideToUtf8(folder));
        EXPECT_EQ(list[0].file, WideToUtf8(file));
    }
}

namespace {
int gSyncs = 0;
void CountSync(const Config&) {
    ++gSyncs;
}
}  // namespace

// Every scan that finds at least one incident file, of any age, synchronises
// the extra folders once (the uncached scan did so at every read), also when
// it reads nothing.
TEST_F(ScannerFixture, AScanThatFindsAnIncidentFileSynchronisesTheWatchSetOnce) {
    gSyncExtraWatchDirs = CountSync;
    struct Step {
        const char* what;
        std::function<void()> change;
        int syncs;
    } steps[] = {
        {"no incident yet", [] {}, 0},
        {"one incident older than a day", [&] { Put(L"old", Json("2026-03-01T11:00:00", 50)); }, 1},
        {"unchanged, nothing read", [] {}, 1},
        {"a recent one too", [&] { Put(L"new", Json("2026-03-14T11:00:00", 50)); }, 1},
        {"a file without a time still counts",
         [&] {
             RemoveTree(Folder(L"old"));
             RemoveTree(Folder(L"new"));
             Put(L"no_ts", "{}");
         },
         1},
        {"all gone", [&] { RemoveTree(Folder(L"no_ts")); }, 0},
    };
    for (const Step& step : steps) {
        step.change();
        gSyncs = 0;
        ScanIncidents(gDataPaths);
        EXPECT_EQ(gSyncs, step.syncs) << step.what;
    }
}

// Repeated scans follow every change on disk: an edit, a new incident or a
// deletion shows at once.
TEST_F(ScannerFixture, RepeatedScansFollowEveryChangeOnDisk) {
    ASSERT_TRUE(ScanIncidents(gDataPaths).empty());
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
    int64_t c = 0;
    ASSERT_TRUE(ParseIncidentTime("2026-03-14T11:03:00", c));
    FakeClock::seconds = c + 86400;
    list = ScanIncidents(gDataPaths);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].ts, "2026-03-14T11:03:00");
}

// Incidents the store writes are listed by the very next scan, without
// enumerating the folder again; equal time stamps included, whose order
// depends on the folder names (the first scan saw that the folder lists
// names in the order the index places them by).
TEST_F(ScannerFixture, IncidentsFromTheStoreAreListedAtOnce) {
    UseRateLimit(60);
    Put(L"20260314_100000_7", Json("2026-03-14T11:30:00", 50));
    Put(L"20260314_100500_3", Json("2026-03-14T10:05:00", 50));
    ScanMatchingLiteral("first scan");
    const uint64_t refreshes = GetIncidentIndexCounters().fullRefreshes;
    struct Step {
        LocalTimeParts local;
        uint32_t tick;
        int32_t severity;
    } steps[] = {
        {{2026, 3, 14, 11, 30, 0}, 900, 65},  // the same second as the incident already there
        {{2026, 3, 14, 11, 30, 0}, 95, 80},   // and again, a shorter tick
        {{2026, 3, 14, 11, 45, 0}, 5, 90},
        {{2026, 3, 14, 11, 45, 0}, 5, 90},  // the same folder name: gets a suffix
        {{2026, 3, 14, 11, 20, 0}, 12, 50},
    };
    for (const Step& step : steps) {
        FakeClock::seconds += 61;  // past the rate limit
        FakeClock::local = step.local;
        FakeClock::tick = step.tick;
        CreateIncident(kReasonBurst, step.severity, L"C:\\Users\\user\\Documents");
        ScanMatchingLiteral("after an incident at tick " + std::to_string(step.tick));
    }
    EXPECT_EQ(ScanIncidents(gDataPaths).size(), 7u);
    EXPECT_EQ(GetIncidentIndexCounters().fullRefreshes, refreshes);
}

// The store's word is enough: an incident it reports is listed without the
// disk being read (here one that is not on disk at all, to show it). Notes
// before the index runs, or for folders elsewhere, are not taken.
TEST_F(ScannerFixture, TheStoresNoteIsTakenWithoutReadingTheDisk) {
    const std::string text = Json("2026-03-14T11:00:00", 90, "noted");
    NoteIncidentWritten(Folder(L"before_start"), text);
    EXPECT_TRUE(ScanIncidents(gDataPaths).empty());
    const uint64_t reads = GetIncidentIndexCounters().filesRead;
    NoteIncidentWritten(Folder(L"noted"), text);
    NoteIncidentWritten(dir.Sub(L"elsewhere"), text);
    NoteIncidentWritten(Folder(L"sub\\deeper"), text);
    NoteIncidentWritten(Folder(L".dotted"), text);
    const auto list = ScanIncidents(gDataPaths);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].file, "noted");
    EXPECT_EQ(GetIncidentIndexCounters().filesRead, reads);
}

// Another process creates an incident folder: the next scan lists it, since a
// scan that finds the Incidents folder changed waits until the watch has
// reported everything up to that moment.
TEST_F(ScannerFixture, AFolderWrittenByAnotherProcess) {
    Put(L"mine", Json("2026-03-14T11:00:00", 50));
    ScanMatchingLiteral("first scan");
    const IncidentIndexCounters before = GetIncidentIndexCounters();

    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring target = Folder(L"20260314_113000_1");
    std::wstring command =
        L"\"" + std::wstring(system) + L"\\cmd.exe\" /c mkdir \"" + target + L"\" && echo " +
        L"{\"ts\":\"2026-03-14T11:30:00\",\"reason\":\"canary_file_touched\",\"severity\":90}> \"" + target +
        L"\\incident.json\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                               nullptr, &si, &pi));
    ASSERT_EQ(WaitForSingleObject(pi.hProcess, 20000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    ASSERT_EQ(code, 0u);

    const auto list = ScanMatchingLiteral("after the other process");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].reason, "canary_file_touched");
    const IncidentIndexCounters after = GetIncidentIndexCounters();
    EXPECT_EQ(after.fullRefreshes, before.fullRefreshes);
    EXPECT_GT(after.barriers, before.barriers);
}

// An incident.json rewritten in place with new content of the same size: the
// folder's own record says so, whatever the size and time stamps show.
TEST_F(ScannerFixture, AnIncidentEditedInPlaceWithTheSameSize) {
    ScanMatchingLiteral("first scan");
    Put(L"late", Json("2026-03-14T11:00:00", 50, "a.txt"));
    ScanMatchingLiteral("the folder made after start");
    const uint64_t refreshes = GetIncidentIndexCounters().fullRefreshes;

    const std::string edited = Json("2026-03-14T11:09:00", 90, "b.txt");
    ASSERT_EQ(edited.size(), Json("2026-03-14T11:00:00", 50, "a.txt").size());
    ASSERT_TRUE(WriteFileBytes(Folder(L"late") + L"\\incident.json", edited));
    ASSERT_TRUE(WaitUntil([] { return IncidentIndexAwaits(L"late"); }));
    const auto list = ScanMatchingLiteral("after the edit");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].file, "b.txt");
    EXPECT_EQ(GetIncidentIndexCounters().fullRefreshes, refreshes);
}

TEST_F(ScannerFixture, DeletedFoldersLeaveTheList) {
    Put(L"before", Json("2026-03-14T11:00:00", 50));
    Put(L"kept", Json("2026-03-14T11:01:00", 50));
    ScanMatchingLiteral("first scan");
    Put(L"after", Json("2026-03-14T11:02:00", 50));
    ScanMatchingLiteral("one more");
    RemoveTree(Folder(L"before"));
    ScanMatchingLiteral("a folder from before the start deleted");
    RemoveTree(Folder(L"after"));
    const auto list = ScanMatchingLiteral("a folder from after the start deleted");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].ts, "2026-03-14T11:01:00");
}

// Folders removed by another part of the agent, which says so: the index
// looks at them at the next scan, and at nothing else.
TEST_F(ScannerFixture, FoldersSaidToBeRemovedLeaveTheList) {
    Put(L"old1", Json("2026-03-14T10:00:00", 50));
    Put(L"old2", Json("2026-03-14T10:01:00", 50));
    Put(L"kept", Json("2026-03-14T10:02:00", 50));
    ScanMatchingLiteral("first scan");
    gIncidentWatchSeams.completedBytes = SlowBatch;  // the watch's own records come later
    RemoveTree(Folder(L"old1"));
    RemoveTree(Folder(L"old2"));
    NoteIncidentFoldersRemoved({Folder(L"old1"), Folder(L"old2"), dir.Sub(L"elsewhere")});
    EXPECT_TRUE(IncidentIndexAwaits(L"old1"));
    EXPECT_TRUE(IncidentIndexAwaits(L"old2"));
    EXPECT_FALSE(IncidentIndexAwaits(L"elsewhere"));
    gIncidentWatchSeams.completedBytes = nullptr;
    const uint64_t refreshes = GetIncidentIndexCounters().fullRefreshes;
    EXPECT_EQ(ScanMatchingLiteral("after the removal").size(), 1u);
    EXPECT_EQ(GetIncidentIndexCounters().fullRefreshes, refreshes);
}

// Names the store never makes, many sharing one time stamp: the order of
// equal times follows the enumeration, which the index must know or learn.
TEST_F(ScannerFixture, FoldersWithOddNames) {
    const std::string tie = "2026-03-14T11:00:00";
    Put(L"caf\xe9 \x65e5\x672c", Json(tie, 50, "1"));
    Put(L"UPPER", Json(tie, 50, "2"));
    Put(L"zz last", Json("2026-03-14T11:05:00", 50, "3"));
    ScanMatchingLiteral("first scan");

    const std::vector<std::pair<std::wstring, std::string>> later = {
        {L"with space", "4"},         {L"x.y", "5"},   {L"~tilde", "6"}, {L"a;b,c", "7"}, {L"-dash", "8"},
        {L"\x00c5ngstr\x00f6m", "9"}, {L"lower", "10"}};
    for (const auto& f : later) {
        Put(f.first, Json(tie, 60, f.second));
        ScanMatchingLiteral("after adding " + f.second);
    }
    Put(L".dotted", Json(tie, 99, "never"));
    const auto list = ScanMatchingLiteral("with a dotted folder");
    EXPECT_EQ(list.size(), 10u);
    RemoveTree(Folder(L"UPPER"));
    ScanMatchingLiteral("one of the ties deleted");
}

// Ties among ASCII names of every kind, added while the index runs: placed
// by name, without enumerating again, in the order the folder lists them.
TEST_F(ScannerFixture, TiesAmongNamesOfMixedCaseAndPunctuation) {
    const std::string tie = "2026-03-14T11:00:00";
    Put(L"Base", Json(tie, 50, "0"));
    Put(L"base_2", Json("2026-03-14T10:00:00", 50, "00"));
    ScanMatchingLiteral("first scan");
    const uint64_t refreshes = GetIncidentIndexCounters().fullRefreshes;
    const std::vector<std::pair<std::wstring, std::string>> later = {
        {L"UPPER", "1"},  {L"lower", "2"},      {L"a;b,c", "3"},      {L"-dash", "4"}, {L"x.y", "5"},
        {L"~tilde", "6"}, {L"with space", "7"}, {L"Mixed_Case", "8"}, {L"mixed", "9"}, {L"BASE_", "10"}};
    for (const auto& f : later) {
        Put(f.first, Json(tie, 60, f.second));
        ScanMatchingLiteral("after adding " + f.second);
    }
    EXPECT_EQ(GetIncidentIndexCounters().fullRefreshes, refreshes);
}

// Lost records (an overflow, here through the seam) make the next scan
// enumerate everything again.
TEST_F(ScannerFixture, TheWatchOverflowing) {
    ScanMatchingLiteral("first scan");
    Put(L"late", Json("2026-03-14T11:00:00", 50));
    ScanMatchingLiteral("the folder made after start");
    const IncidentIndexCounters before = GetIncidentIndexCounters();

    gIncidentWatchSeams.completedBytes = [](uint32_t) { return 0u; };
    ASSERT_TRUE(WriteFileBytes(Folder(L"late") + L"\\incident.json", Json("2026-03-14T11:07:00", 95) + "  "));
    ASSERT_TRUE(WaitUntil([&] { return GetIncidentIndexCounters().watchOverflows > before.watchOverflows; }));
    gIncidentWatchSeams.completedBytes = nullptr;
    const auto list = ScanMatchingLiteral("after the overflow");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].severity, 95);
    EXPECT_EQ(GetIncidentIndexCounters().fullRefreshes, before.fullRefreshes + 1);
}

// The clock passes midnight and the 24-hour cut, then is set back two days.
TEST_F(ScannerFixture, TheClockMovingPastMidnightAndTheCut) {
    ASSERT_TRUE(ParseIncidentTime("2026-03-14T23:59:30", FakeClock::seconds));
    Put(L"a", Json("2026-03-13T23:59:40", 50));
    Put(L"b", Json("2026-03-14T00:00:10", 60));
    ScanMatchingLiteral("first scan");
    Put(L"c", Json("2026-03-14T23:59:00", 70));
    Put(L"d", Json("2026-03-15T00:00:05", 80));  // a minute in the future
    ScanMatchingLiteral("before midnight");
    const char* moments[] = {"2026-03-15T00:00:20", "2026-03-15T00:00:30", "2026-03-15T23:59:30",
                             "2026-03-16T00:00:06", "2026-03-17T12:00:00", "2026-03-14T00:00:00",
                             "2026-03-12T00:00:00", "2026-03-15T00:00:00"};
    for (const char* moment : moments) {
        ASSERT_TRUE(ParseIncidentTime(moment, FakeClock::seconds));
        ScanMatchingLiteral(std::string("at ") + moment);
    }
}

// What a watch does not report (under Wine: changes inside folders that
// existed before it started) the periodic census finds.
TEST_F(ScannerFixture, TheCensusFindsWhatTheWatchMissed) {
    Put(L"early", Json("2026-03-14T11:00:00", 50));
    ScanMatchingLiteral("first scan");
    ASSERT_TRUE(WriteFileBytes(Folder(L"early") + L"\\incident.json", Json("2026-03-14T11:30:00", 90) + " "));

    const uint64_t censuses = GetIncidentIndexCounters().censuses;
    FakeClock::tick += kMinCensusPeriodMs;
    ASSERT_TRUE(WaitUntil([&] {
        ScanIncidents(gDataPaths);
        return GetIncidentIndexCounters().censuses > censuses;
    }));
    const auto list = ScanMatchingLiteral("after the census");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].severity, 90);
}

// The watch thread ends when told to and once the core's stop has begun;
// scans stay right without it.
TEST_F(ScannerFixture, TheWatchEndsOnStopAndScansGoOn) {
    Put(L"a", Json("2026-03-14T11:00:00", 50));
    ScanMatchingLiteral("first scan");
    const std::wstring sync = Folder(SyncFolderName());
    ASSERT_TRUE(PathIsDirectory(sync));  // made by the running watch, removed as it ends
    StopIncidentIndex();
    EXPECT_FALSE(PathExists(sync));

    ScanMatchingLiteral("started again");
    ASSERT_TRUE(PathIsDirectory(sync));
    gCoreState.stopRequested = 1;
    EXPECT_TRUE(WaitUntil([&] { return !PathExists(sync); }, 3000));
    const uint64_t starts = GetIncidentIndexCounters().watchStarts;
    Put(L"b", Json("2026-03-14T11:01:00", 50));
    ScanMatchingLiteral("while the core stops");
    EXPECT_EQ(GetIncidentIndexCounters().watchStarts, starts);
    gCoreState.stopRequested = 0;
}

// --- Slow and failing paths ---------------------------------------------------

namespace {

size_t gFailListingAt = 0;
int gListingFailures = 0;
bool FailListingOnce(size_t listed) {
    if (gListingFailures == 0 || listed != gFailListingAt) return false;
    --gListingFailures;
    return true;
}
int gLostBatches = 0;
uint32_t LoseOneBatch(uint32_t bytes) {
    return gLostBatches++ == 0 ? 0 : bytes;
}

std::wstring gFailReadOf;
bool FailReadOnce(const std::wstring& folder) {
    if (folder != gFailReadOf) return false;
    gFailReadOf.clear();
    return true;
}

int gThrows = 0;
void ThrowOnce() {
    if (gThrows == 0) return;
    --gThrows;
    throw std::bad_alloc();
}

}  // namespace

// A listing that fails at once or is cut short drops nothing from the list,
// and the next scan lists again: here it finds an edit inside a folder from
// before the start, which under Wine only a listing sees.
TEST_F(ScannerFixture, AListingThatFailsOnceDropsNothing) {
    Put(L"a", Json("2026-03-14T11:00:00", 50));
    Put(L"b", Json("2026-03-14T11:01:00", 60));
    Put(L"c", Json("2026-03-14T11:02:00", 70));
    struct Case {
        const char* what;
        size_t failAt;  // entries listed before the failure ("." and ".." come first)
    } cases[] = {{"FindFirstFileW fails", 0}, {"cut short after four entries", 4}};
    int severity = 80;
    for (const Case& c : cases) {
        const auto before = ScanMatchingLiteral(c.what);
        ASSERT_EQ(before.size(), 3u);
        const IncidentIndexCounters counters = GetIncidentIndexCounters();
        // The watch loses the record of a new folder (older than a day, so
        // never listed): the next scan lists the whole folder.
        gLostBatches = 0;
        gIncidentWatchSeams.completedBytes = LoseOneBatch;
        Put(std::wstring(L"old_") + (c.failAt ? L"1" : L"0"), Json("2026-03-01T11:00:00", 50));
        ASSERT_TRUE(
            WaitUntil([&] { return GetIncidentIndexCounters().watchOverflows > counters.watchOverflows; }));
        gIncidentWatchSeams.completedBytes = nullptr;
        gFailListingAt = c.failAt;
        gListingFailures = 1;
        gIncidentScanSeams.listingFails = FailListingOnce;
        EXPECT_EQ(Times(ScanIncidents(gDataPaths)), Times(before)) << c.what;
        EXPECT_EQ(gListingFailures, 0) << c.what;
        EXPECT_EQ(GetIncidentIndexCounters().listingFailures, counters.listingFailures + 1) << c.what;

        ++severity;
        ASSERT_TRUE(WriteFileBytes(Folder(L"a") + L"\\incident.json",
                                   Json("2026-03-14T11:00:00", severity) + std::string(severity, ' ')));
        const auto list = ScanMatchingLiteral(std::string("the scan after: ") + c.what);
        ASSERT_EQ(list.size(), 3u);
        EXPECT_EQ(list[2].severity, severity) << c.what;
    }
}

// An incident.json that is there but cannot be read once keeps what the
// index had (nothing, for a new folder), and is read again by the next scan
// with no new record from the watch.
TEST_F(ScannerFixture, AReadThatFailsOnceIsTriedAgain) {
    ScanMatchingLiteral("first scan");
    Put(L"edited", Json("2026-03-14T11:00:00", 50, "a.txt"));
    ScanMatchingLiteral("made after start");
    const uint64_t retries = GetIncidentIndexCounters().readRetries;
    gIncidentScanSeams.readFails = FailReadOnce;
    struct Case {
        const wchar_t* folder;
        std::string content;
        std::vector<std::string> whileFailing;  // the files listed by the scan whose read failed
    } cases[] = {
        {L"edited", Json("2026-03-14T11:05:00", 90, "b.txt") + "  ", {"a.txt"}},
        {L"new", Json("2026-03-14T11:10:00", 70, "c.txt"), {"b.txt"}},
    };
    for (const Case& c : cases) {
        gFailReadOf = c.folder;
        Put(c.folder, c.content);
        ASSERT_TRUE(WaitUntil([&] { return IncidentIndexAwaits(c.folder); }));
        std::vector<std::string> files;
        for (const auto& s : ScanIncidents(gDataPaths)) files.push_back(s.file);
        EXPECT_EQ(files, c.whileFailing);
        EXPECT_TRUE(gFailReadOf.empty());
        ScanMatchingLiteral("the scan after");
    }
    EXPECT_EQ(GetIncidentIndexCounters().readRetries, retries + 2);
}

// A census that takes its time leaves the watch taking batches: a new
// incident from another writer is listed by the next scan, through its
// barrier, with no restart of the watch and no listing.
TEST_F(ScannerFixture, NewIncidentsAreListedWhileACensusRuns) {
    Put(L"early", Json("2026-03-14T11:00:00", 50));
    ScanMatchingLiteral("first scan");
    gIncidentWatchSeams.censusStarted = Stall;
    FakeClock::tick += kMinCensusPeriodMs;
    ScanIncidents(gDataPaths);  // asks for the census
    ASSERT_TRUE(WaitUntil([] { return gStalled.load(); }));
    const IncidentIndexCounters before = GetIncidentIndexCounters();

    Put(L"late", Json("2026-03-14T11:30:00", 90));
    const auto list = ScanMatchingLiteral("while the census runs");
    EXPECT_EQ(list.size(), 2u);
    const IncidentIndexCounters during = GetIncidentIndexCounters();
    EXPECT_EQ(during.fullRefreshes, before.fullRefreshes);
    EXPECT_EQ(during.watchStarts, before.watchStarts);
    EXPECT_GT(during.barriers, before.barriers);

    ReleaseStall();
    ASSERT_TRUE(WaitUntil([&] {
        ScanIncidents(gDataPaths);
        return GetIncidentIndexCounters().censuses > before.censuses;
    }));
    ScanMatchingLiteral("after the census");
}

// The census is compared with the index on its own thread: scans go on while
// the comparison waits, and the scan that takes it looks at the differences
// only (here, an edit the watch did not report).
TEST_F(ScannerFixture, TheCensusIsComparedOffTheScansThread) {
    Put(L"early", Json("2026-03-14T11:00:00", 50));
    Put(L"other", Json("2026-03-14T11:01:00", 60));
    ScanMatchingLiteral("first scan");
    ASSERT_TRUE(WriteFileBytes(Folder(L"early") + L"\\incident.json", Json("2026-03-14T11:30:00", 90) + " "));
    gIncidentScanSeams.censusCompare = Stall;
    FakeClock::tick += kMinCensusPeriodMs;
    ScanIncidents(gDataPaths);
    ASSERT_TRUE(WaitUntil([] { return gStalled.load(); }));
    EXPECT_NE(gStalledThread.load(), GetCurrentThreadId());
    const IncidentIndexCounters before = GetIncidentIndexCounters();
    EXPECT_EQ(ScanIncidents(gDataPaths).size(), 2u);
    EXPECT_EQ(GetIncidentIndexCounters().censuses, before.censuses);

    ReleaseStall();
    ASSERT_TRUE(WaitUntil([&] {
        ScanIncidents(gDataPaths);
        return GetIncidentIndexCounters().censuses > before.censuses;
    }));
    const auto list = ScanMatchingLiteral("after the census");
    EXPECT_EQ(list[0].severity, 90);
    // The edited file alone was read.
    EXPECT_EQ(GetIncidentIndexCounters().filesRead, before.filesRead + 1);
}

// An edit in place whose record is still on its way when the scan runs (the
// watch is slow here): the scan's barrier waits for it.
TEST_F(ScannerFixture, AnEditInPlaceIsListedByTheVeryNextScan) {
    ScanMatchingLiteral("first scan");
    Put(L"late", Json("2026-03-14T11:00:00", 50, "a.txt"));
    ScanMatchingLiteral("the folder made after start");
    const uint64_t refreshes = GetIncidentIndexCounters().fullRefreshes;

    gIncidentWatchSeams.completedBytes = SlowBatch;
    const std::string edited = Json("2026-03-14T11:09:00", 90, "b.txt");
    ASSERT_TRUE(WriteFileBytes(Folder(L"late") + L"\\incident.json", edited));
    const auto list = ScanMatchingLiteral("right after the edit");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].file, "b.txt");
    EXPECT_EQ(GetIncidentIndexCounters().fullRefreshes, refreshes);
}

// An exception half-way through a scan keeps the index and the names it was
// handed: that scan gives the last list, the next carries on without
// listing the folder again.
TEST_F(ScannerFixture, AScanCutShortByAnExceptionKeepsTheIndex) {
    Put(L"early", Json("2026-03-14T11:00:00", 50));
    const auto before = ScanMatchingLiteral("first scan");
    const IncidentIndexCounters counters = GetIncidentIndexCounters();
    Put(L"late", Json("2026-03-14T11:30:00", 90));
    ASSERT_TRUE(WaitUntil([] { return IncidentIndexAwaits(L"late"); }));

    gThrows = 1;
    gIncidentScanSeams.scanTaken = ThrowOnce;
    std::vector<IncidentSummary> list;
    EXPECT_NO_THROW(list = ScanIncidents(gDataPaths));
    EXPECT_EQ(gThrows, 0);
    EXPECT_EQ(Times(list), Times(before));
    EXPECT_EQ(ScanMatchingLiteral("the scan after").size(), 2u);
    const IncidentIndexCounters after = GetIncidentIndexCounters();
    EXPECT_EQ(after.fullRefreshes, counters.fullRefreshes);
    EXPECT_EQ(after.scanFailures, counters.scanFailures + 1);
}
