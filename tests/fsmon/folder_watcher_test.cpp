// Real watcher threads on sandboxed folders, with real file changes. Under
// Wine changes can be coalesced, so the tests wait for what must appear
// rather than counting records.
#include "fsmon/folder_watcher.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/locks.h"
#include "core/paths.h"
#include "core/seams.h"
#include "core/text.h"
#include "fsmon/canary_files.h"
#include "fsmon/canary_names.h"
#include "fsmon/self_paths.h"
#include "fsmon/tree_listing.h"
#include "incidents/incident_scanner.h"
#include "incidents/incident_store.h"
#include "support/native_storm.h"
#include "support/test_support.h"

using nlohmann::json;

namespace {

std::vector<json> LogJson() {
    std::vector<json> out;
    for (const std::string& line : ReadLogLines()) out.push_back(json::parse(line, nullptr, false));
    return out;
}

// Polls the log until the predicate holds for some line (10 s at most).
bool WaitForLine(const std::function<bool(const json&)>& want, int timeoutMs = 10000) {
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        for (const json& j : LogJson())
            if (j.is_object() && want(j)) return true;
        Sleep(50);
    }
    return false;
}

std::function<bool(const json&)> Is(const std::string& type, const std::string& key = "", const std::string& value = "") {
    return [=](const json& j) { return j["type"] == type && (key.empty() || (j.contains(key) && j[key] == value)); };
}

struct RunningWatcher {
    HANDLE thread = nullptr;
    HANDLE stop = nullptr;  // the test's copy of the stop event
    DWORD Finish(bool useStopEvent, DWORD timeoutMs = 15000) {
        if (useStopEvent) SetEvent(stop);
        else gCoreState.stopRequested = 1;
        EXPECT_EQ(WaitForSingleObject(thread, timeoutMs), WAIT_OBJECT_0);
        DWORD code = 99;
        GetExitCodeThread(thread, &code);
        CloseHandle(thread);
        if (stop) CloseHandle(stop);
        return code;
    }
};

DWORD WINAPI WatcherThread(LPVOID arg) { return FolderWatcher(arg); }

RunningWatcher StartWatcher(const std::wstring& folder, bool withStopEvent) {
    RunningWatcher w;
    HANDLE copy = nullptr;
    if (withStopEvent) {
        w.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DuplicateHandle(GetCurrentProcess(), w.stop, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    }
    w.thread = CreateThread(nullptr, 0, WatcherThread, new WatcherStart{folder, copy}, 0, nullptr);
    return w;
}

struct WatcherFixture : ::testing::Test {
    TempDir dir;
    std::wstring watched;
    void SetUp() override {
        UseDataPathsBelow(dir.Sub(L"data"));
        watched = dir.Sub(L"watched");
        EnsureDirectoryTree(watched);
        Config c;
        SetConfigDefaults(c);
        c.incidentRateLimitSeconds = 1;
        StoreCurrentConfig(c);
        RebuildCanaryNames(c);
        CreateCoreLock(gBurstLock);
        CreateCoreLock(gConfigLock);
        gCoreState.canaryWarmupDeadline = 0;
    }
    RunningWatcher Start(bool withStopEvent = true) {
        RunningWatcher w = StartWatcher(watched, withStopEvent);
        EXPECT_TRUE(WaitForLine(Is("dir_mon", "msg", "Dir monitor started: " + WideToUtf8(watched))));
        return w;
    }
    std::string Folder() const { return WideToUtf8(watched); }
};

}  // namespace

TEST_F(WatcherFixture, RansomNoteGivesChangeHeuristicAndIncident) {
    RunningWatcher w = Start();
    ASSERT_TRUE(WriteFileBytes(watched + L"\\HOW_TO_DECRYPT.txt", "pay up"));
    ASSERT_TRUE(WaitForLine(Is("dir_file_heuristic", "reason", "ransom_note_like_name")));
    EXPECT_EQ(w.Finish(true), 0u);

    const auto log = LogJson();
    size_t change = SIZE_MAX, heuristic = SIZE_MAX;
    for (size_t i = 0; i < log.size(); ++i) {
        if (change == SIZE_MAX && Is("dir_change", "file", "HOW_TO_DECRYPT.txt")(log[i])) change = i;
        if (heuristic == SIZE_MAX && Is("dir_file_heuristic")(log[i])) heuristic = i;
    }
    ASSERT_LT(change, heuristic);
    EXPECT_EQ(log[change]["folder"], Folder());
    EXPECT_EQ(log[change]["action"], "added");
    EXPECT_EQ(log[heuristic]["file"], "HOW_TO_DECRYPT.txt");
    EXPECT_EQ(log.back()["msg"], "Dir monitor stopping");

    const auto incidents = ScanIncidents(gDataPaths);
    ASSERT_FALSE(incidents.empty());
    EXPECT_EQ(incidents.back().reason, "dir_file_heuristic");
    EXPECT_EQ(incidents.back().severity, 65);
    EXPECT_EQ(incidents.back().folder, Folder());
    EXPECT_EQ(incidents.back().file, "HOW_TO_DECRYPT.txt");
}

TEST_F(WatcherFixture, RenamesAndSubfoldersCarryTheirNamesAndReasons) {
    ASSERT_TRUE(WriteFileBytes(watched + L"\\photo.jpg", "jpeg"));
    RunningWatcher w = Start();
    // Wine watches only the subfolders made while the watch is running (it
    // adds them as they appear); Windows watches the whole tree.
    EnsureDirectoryTree(watched + L"\\Projects");
    ASSERT_TRUE(MoveFileW((watched + L"\\photo.jpg").c_str(), (watched + L"\\photo.jpg.locked").c_str()));
    ASSERT_TRUE(WriteFileBytes(watched + L"\\README.locked", "x"));
    ASSERT_TRUE(WaitForLine(Is("dir_change", "file", "Projects")));
    ASSERT_TRUE(WriteFileBytes(watched + L"\\Projects\\report.docx", "x"));

    EXPECT_TRUE(WaitForLine([](const json& j) {
        return j["type"] == "dir_change" && j["file"] == "photo.jpg" && j["action"] == "renamed_old";
    }));
    EXPECT_TRUE(WaitForLine([](const json& j) {
        return j["type"] == "dir_file_heuristic" && j["file"] == "photo.jpg.locked" &&
               j["reason"] == "encrypted_like_extension";
    }));
    EXPECT_TRUE(WaitForLine([](const json& j) {
        return j["type"] == "dir_file_heuristic" && j["file"] == "README.locked" &&
               j["reason"] == "ransom_note_and_encrypted_ext";
    }));
    EXPECT_TRUE(WaitForLine(Is("dir_change", "file", "Projects\\report.docx")));
    EXPECT_EQ(w.Finish(false), 0u);  // ends through the core's stop flag
}

TEST_F(WatcherFixture, CanaryIsOnlyATouchAfterTheWarmup) {
    const std::wstring canary = watched + L"\\vellumgard_do_not_touch.txt";
    ASSERT_TRUE(WriteFileBytes(canary, "canary"));
    gCoreState.canaryWarmupDeadline = NowSeconds() + 3600;
    RunningWatcher w = Start();

    ASSERT_TRUE(WriteFileBytes(canary, "changed during warm-up"));
    ASSERT_TRUE(WaitForLine(Is("dir_change", "file", "vellumgard_do_not_touch.txt")));
    Sleep(300);
    EXPECT_FALSE(WaitForLine(Is("canary_triggered"), 0));

    gCoreState.canaryWarmupDeadline = NowSeconds() - 1;
    ASSERT_TRUE(DeleteFileW(canary.c_str()));
    ASSERT_TRUE(WaitForLine(Is("canary_triggered", "action", "removed")));
    EXPECT_EQ(w.Finish(true), 0u);

    bool critical = false;
    for (const auto& s : ScanIncidents(gDataPaths))
        critical = critical || (s.reason == "canary_file_touched" && s.severity == 90 && s.file == "vellumgard_do_not_touch.txt");
    EXPECT_TRUE(critical);
}

TEST_F(WatcherFixture, MissingFolderLogsOnlyTheOpenFailure) {
    watched = dir.Sub(L"does_not_exist");
    RunningWatcher w = StartWatcher(watched, true);
    EXPECT_EQ(w.Finish(true), 1u);
    const auto log = LogJson();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["type"], "dir_mon_error");
    EXPECT_EQ(log[0]["msg"], "Dir monitor: failed to open folder: " + Folder());
}

TEST_F(WatcherFixture, EmptyFolderOrNoRecordEndQuietly) {
    RunningWatcher w = StartWatcher(L"", false);
    EXPECT_EQ(w.Finish(false), 0u);
    EXPECT_EQ(FolderWatcher(nullptr), 1u);
    EXPECT_TRUE(ReadLogLines().empty());
}

namespace {
BOOL WINAPI FailingRequest(HANDLE, LPVOID, DWORD, BOOL, DWORD, LPDWORD, LPOVERLAPPED, LPOVERLAPPED_COMPLETION_ROUTINE) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}
}  // namespace

TEST_F(WatcherFixture, RequestThatCannotBeIssuedStopsTheWatcher) {
    gReadDirectoryChangesSeam = FailingRequest;
    RunningWatcher w = StartWatcher(watched, true);
    EXPECT_EQ(WaitForSingleObject(w.thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(w.Finish(true), 0u);
    std::vector<std::string> msgs;
    for (const json& j : LogJson()) msgs.push_back(j["type"].get<std::string>() + ": " + j["msg"].get<std::string>());
    EXPECT_EQ(msgs, std::vector<std::string>({"dir_mon: Dir monitor started: " + Folder(),
                                              "dir_mon_error: ReadDirectoryChangesW failed",
                                              "dir_mon: Dir monitor stopping"}));
    gReadDirectoryChangesSeam = nullptr;
}

TEST_F(WatcherFixture, DeletingOneWatchedFolderLeavesTheOthersWorking) {
    const std::wstring other = dir.Sub(L"other");
    EnsureDirectoryTree(other);
    RunningWatcher a = Start();
    RunningWatcher b = StartWatcher(other, true);
    ASSERT_TRUE(WaitForLine(Is("dir_mon", "msg", "Dir monitor started: " + WideToUtf8(other))));
    RemoveTree(watched);
    Sleep(500);
    ASSERT_TRUE(WriteFileBytes(other + L"\\after.txt", "x"));
    EXPECT_TRUE(WaitForLine(Is("dir_change", "file", "after.txt")));
    a.Finish(true);
    EXPECT_EQ(b.Finish(true), 0u);
}


TEST_F(WatcherFixture, TheAgentNeverWatchesItsOwnDataFolder) {
    // The data folder inside the watched tree, and the watcher given another
    // spelling of the watched folder than the data paths use.
    UseDataPathsBelow(watched);
    std::wstring spelled = watched;
    for (wchar_t& c : spelled) c = (c == L'\\') ? L'/' : static_cast<wchar_t>(towupper(c));
    RunningWatcher w = StartWatcher(spelled + L"/", true);
    ASSERT_TRUE(WaitForLine(Is("dir_mon")));

    for (int i = 0; i < 20; ++i) LogEvent("busy", "\"i\":" + std::to_string(i));  // the agent's own writes
    CreateIncident("file_burst", 80, L"");
    ASSERT_TRUE(WriteFileBytes(watched + L"\\outside.txt", "someone else"));
    ASSERT_TRUE(WaitForLine(Is("dir_change", "file", "outside.txt")));

    // Nothing inside the data folder was reported, and nothing more arrives
    // while nothing happens: each line no longer causes the next.
    Sleep(1500);
    const size_t settled = ReadLogLines().size();
    Sleep(1500);
    EXPECT_EQ(ReadLogLines().size(), settled);
    for (const json& j : LogJson()) {
        if (j["type"] != "dir_change") continue;
        EXPECT_EQ(j["file"], "outside.txt") << j.dump();
    }
    EXPECT_EQ(w.Finish(true), 0u);
}

TEST_F(WatcherFixture, ItsOwnFreshCanaryIsNoTouchButALaterChangeIs) {
    FakeClock clock;  // the planting window runs on the seam clock
    FakeClock::seconds = 1'800'000'000;
    RunningWatcher w = Start();
    // Planted through another spelling of the same folder, as an extra
    // folder listed twice would be.
    std::wstring other = watched + L"\\";
    for (wchar_t& c : other) c = static_cast<wchar_t>(towupper(c));
    Config settings;
    SetConfigDefaults(settings);
    PlantCanaries(other, settings);
    ASSERT_TRUE(WaitForLine(Is("dir_change", "file", "vellumgard_do_not_touch.txt")));
    ASSERT_TRUE(WaitForLine(Is("dir_change", "file", "important_backup_do_not_delete.txt")));
    Sleep(1000);
    EXPECT_FALSE(WaitForLine(Is("canary_triggered"), 0));

    // Touched within seconds of planting: a real touch all the same.
    ASSERT_TRUE(WriteFileBytes(watched + L"\\vellumgard_do_not_touch.txt", "touched"));
    EXPECT_TRUE(WaitForLine(Is("canary_triggered", "file", "vellumgard_do_not_touch.txt")));
    // And so is a later change that leaves it as planted.
    FakeClock::seconds += kOwnCanaryWindowSeconds + 1;
    ASSERT_TRUE(WriteFileBytes(watched + L"\\important_backup_do_not_delete.txt", std::string(150, 'x')));
    EXPECT_TRUE(WaitForLine(Is("canary_triggered", "file", "important_backup_do_not_delete.txt")));
    EXPECT_EQ(w.Finish(true), 0u);
    int triggered = 0, incidents = 0;
    for (const json& j : LogJson()) {
        triggered += j["type"] == "canary_triggered";
        incidents += j["type"] == "incident_created" && j["reason"] == "canary_file_touched";
    }
    EXPECT_GE(triggered, 2);
    EXPECT_GE(incidents, 1);  // the second may fall inside the rate limit
}

namespace {
// A storm that never ends: every request completes at once with one record.
BOOL WINAPI EndlessStorm(HANDLE, LPVOID buffer, DWORD, BOOL, DWORD, LPDWORD, LPOVERLAPPED ov,
                         LPOVERLAPPED_COMPLETION_ROUTINE) {
    static const wchar_t kName[] = L"storm.txt";
    auto* record = static_cast<FILE_NOTIFY_INFORMATION*>(buffer);
    record->NextEntryOffset = 0;
    record->Action = FILE_ACTION_MODIFIED;
    record->FileNameLength = sizeof kName - sizeof(wchar_t);
    memcpy(record->FileName, kName, record->FileNameLength);
    ov->Internal = 0;  // success
    ov->InternalHigh = offsetof(FILE_NOTIFY_INFORMATION, FileName) + record->FileNameLength;
    SetEvent(ov->hEvent);
    return TRUE;
}
}  // namespace

TEST_F(WatcherFixture, ADroppedWatcherEndsDuringAStorm) {
    gReadDirectoryChangesSeam = EndlessStorm;
    RunningWatcher w = StartWatcher(watched, true);
    ASSERT_TRUE(WaitForLine(Is("dir_change", "file", "storm.txt")));
    SetEvent(w.stop);
    const DWORD ended = WaitForSingleObject(w.thread, 5000);
    gCoreState.stopRequested = 1;  // lets a watcher that missed its stop event end before the seam goes
    WaitForSingleObject(w.thread, 10000);
    gReadDirectoryChangesSeam = nullptr;
    EXPECT_EQ(ended, WAIT_OBJECT_0) << "the watcher kept going while the storm lasted";
    EXPECT_EQ(LogJson().back()["msg"], "Dir monitor stopping");
    w.Finish(true);
}

namespace {
std::atomic<int> gFailedCompletions{0};
// Every request is accepted and then completes with an error.
BOOL WINAPI CompletesWithError(HANDLE, LPVOID, DWORD, BOOL, DWORD, LPDWORD, LPOVERLAPPED ov,
                               LPOVERLAPPED_COMPLETION_ROUTINE) {
    ++gFailedCompletions;
    ov->Internal = static_cast<ULONG_PTR>(0xC0000022L);  // access denied
    ov->InternalHigh = 0;
    SetEvent(ov->hEvent);
    return TRUE;
}
}  // namespace

TEST_F(WatcherFixture, FailingCompletionsAreRetriedWithoutSpinning) {
    gReadDirectoryChangesSeam = CompletesWithError;
    RunningWatcher w = StartWatcher(watched, true);
    Sleep(2000);
    const int calls = gFailedCompletions.load();
    EXPECT_EQ(w.Finish(true), 0u);
    gReadDirectoryChangesSeam = nullptr;
    EXPECT_GE(calls, 2);  // it does ask again
    EXPECT_LE(calls, 8);  // about two a second, not thousands
}

TEST(SelfPaths, SpellingsOfOneFolderResolveToOneKey) {
    TempDir dir;
    const std::wstring folder = dir.Sub(L"Some Folder.with.dots");
    ASSERT_TRUE(EnsureDirectoryTree(folder));
    const std::wstring key = ResolvePathKey(folder);
    ASSERT_FALSE(key.empty());
    std::wstring upper = folder, slashes = folder;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
    for (wchar_t& c : slashes) c = c == L'\\' ? L'/' : c;
    wchar_t shortName[MAX_PATH] = {};
    GetShortPathNameW(folder.c_str(), shortName, MAX_PATH);
    const std::wstring spellings[] = {upper, slashes + L"/", folder + L"\\", L"\\\\?\\" + folder,
                                      folder + L"\\sub\\..", shortName};
    for (const std::wstring& s : spellings) EXPECT_EQ(ResolvePathKey(s), key) << WideToUtf8(s);
    EXPECT_NE(ResolvePathKey(dir.path), key);
}

namespace {

// Lines as "type name-or-reason" (names for changes, reasons for incidents).
std::vector<std::string> LineDigest() {
    std::vector<std::string> out;
    for (const json& j : LogJson()) {
        const std::string type = j["type"];
        if (type == "dir_mon") continue;
        std::string detail = j.contains("file") ? j["file"].get<std::string>() : j.value("reason", "");
        if (type == "dir_file_heuristic") detail = j["reason"];
        out.push_back(type + " " + detail + (j.contains("recovered") ? " recovered" : ""));
    }
    return out;
}

// Completes requests from a table of batches, then hands over to the real call.
std::vector<std::vector<NotifyRecord>> gBatchTable;
std::atomic<size_t> gNextBatch{0};

BOOL WINAPI ServeBatchTable(HANDLE dir, LPVOID buffer, DWORD length, BOOL subtree, DWORD filter, LPDWORD returned,
                            LPOVERLAPPED ov, LPOVERLAPPED_COMPLETION_ROUTINE routine) {
    const size_t i = gNextBatch++;
    if (i >= gBatchTable.size()) return ReadDirectoryChangesW(dir, buffer, length, subtree, filter, returned, ov, routine);
    auto* bytes = static_cast<uint8_t*>(buffer);
    size_t offset = 0;
    FILE_NOTIFY_INFORMATION* last = nullptr;
    for (const NotifyRecord& r : gBatchTable[i]) {
        auto* record = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(bytes + offset);
        record->Action = r.action;
        record->FileNameLength = static_cast<DWORD>(r.name.size() * sizeof(wchar_t));
        memcpy(record->FileName, r.name.data(), record->FileNameLength);
        const size_t size = (offsetof(FILE_NOTIFY_INFORMATION, FileName) + record->FileNameLength + 3) & ~size_t(3);
        record->NextEntryOffset = static_cast<DWORD>(size);
        last = record;
        offset += size;
    }
    if (last) last->NextEntryOffset = 0;
    ov->Internal = 0;
    ov->InternalHigh = offset;
    SetEvent(ov->hEvent);
    return TRUE;
}

// Holds the first request without completing it (the test completes it with
// zero bytes: an overflow); later requests are real.
std::atomic<OVERLAPPED*> gHeldRequest{nullptr};
std::atomic<int> gRequests{0};

BOOL WINAPI HoldFirstRequest(HANDLE dir, LPVOID buffer, DWORD length, BOOL subtree, DWORD filter, LPDWORD returned,
                             LPOVERLAPPED ov, LPOVERLAPPED_COMPLETION_ROUTINE routine) {
    if (gRequests++ > 0) return ReadDirectoryChangesW(dir, buffer, length, subtree, filter, returned, ov, routine);
    ov->Internal = STATUS_PENDING;
    gHeldRequest = ov;
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

void OverflowTheHeldRequest() {
    OVERLAPPED* ov = gHeldRequest.load();
    ASSERT_NE(ov, nullptr);
    ov->InternalHigh = 0;
    ov->Internal = 0;  // success with nothing kept, as Windows reports an overflow
    SetEvent(ov->hEvent);
}

// Every request overflows at once (Wine's way: ERROR_NOTIFY_ENUM_DIR).
BOOL WINAPI AlwaysOverflow(HANDLE, LPVOID, DWORD, BOOL, DWORD, LPDWORD, LPOVERLAPPED ov, LPOVERLAPPED_COMPLETION_ROUTINE) {
    ov->Internal = 0x10C;  // STATUS_NOTIFY_ENUM_DIR
    ov->InternalHigh = 0;
    SetEvent(ov->hEvent);
    return TRUE;
}

void SetBurstAndRateLimit(int32_t threshold, int32_t rateLimitSeconds) {
    Config c;
    SetConfigDefaults(c);
    c.burstThreshold = threshold;
    c.incidentRateLimitSeconds = rateLimitSeconds;
    StoreCurrentConfig(c);
}

// True once every <prefix><i>.txt has a "dir_change" line, live or recovered.
bool AllNamesLogged(const std::wstring& prefix, int count, int timeoutMs) {
    for (int waited = 0;; waited += 500) {
        std::set<std::string> names;  // as escaped in the log: cheaper than parsing thousands of lines
        for (const std::string& line : ReadLogLines()) {
            if (line.find("\"type\":\"dir_change\"") == std::string::npos) continue;
            const size_t at = line.find("\"file\":\"");
            if (at != std::string::npos) names.insert(line.substr(at + 8, line.find('"', at + 8) - at - 8));
        }
        int found = 0;
        for (int i = 0; i < count; ++i)
            found += names.count(JsonEscape(WideToUtf8(prefix + std::to_wstring(i) + L".txt"))) > 0;
        if (found == count) return true;
        if (waited >= timeoutMs) {
            ADD_FAILURE() << found << " of " << count << " names logged";
            return false;
        }
        Sleep(500);
    }
}

}  // namespace

TEST_F(WatcherFixture, GatheredLinesKeepTheOrderAroundIncidentsAndBursts) {
    SetBurstAndRateLimit(1, 3600);  // every batch asks for a burst; the rate limit settles which pass
    gBatchTable = {
        {{FILE_ACTION_ADDED, L"a.txt"},
         {FILE_ACTION_MODIFIED, L"vellumgard_do_not_touch.txt"},
         {FILE_ACTION_ADDED, L"HOW_TO_DECRYPT.txt"},
         {FILE_ACTION_MODIFIED, L"b.txt"}},
        {{FILE_ACTION_RENAMED_NEW_NAME, L"budget.xlsx.locked"}},
    };
    const std::vector<std::string> want = {
        "dir_change a.txt",
        "canary_triggered vellumgard_do_not_touch.txt",
        "incident_created canary_file_touched",
        "dir_change vellumgard_do_not_touch.txt",
        "dir_change HOW_TO_DECRYPT.txt",
        "dir_file_heuristic ransom_note_like_name",
        "incident_rate_limited dir_file_heuristic",
        "dir_change b.txt",
        "incident_rate_limited file_burst",
        "dir_change budget.xlsx.locked",
        "dir_file_heuristic encrypted_like_extension",
        "incident_rate_limited dir_file_heuristic",
        "incident_rate_limited file_burst",
    };
    // Gathered, and one line per append as before: the same lines in the same order.
    for (bool gather : {true, false}) {
        gWatcherDrainSteps.gatherLines = gather;
        gIncidentReference = kNoIncidentYet;
        DeleteFileW(gDataPaths.logFile.c_str());
        gNextBatch = 0;
        gReadDirectoryChangesSeam = ServeBatchTable;
        RunningWatcher w = Start();
        ASSERT_TRUE(WaitForLine(Is("dir_change", "file", "budget.xlsx.locked")));
        Sleep(500);
        EXPECT_EQ(w.Finish(true), 0u);
        gReadDirectoryChangesSeam = nullptr;
        EXPECT_EQ(LineDigest(), want) << (gather ? "gathered" : "one per append");
    }
    gWatcherDrainSteps.gatherLines = true;
}

TEST_F(WatcherFixture, AnOverflowIsLoggedCountedAndRecovered) {
    SetBurstAndRateLimit(1, 3600);
    gReadDirectoryChangesSeam = HoldFirstRequest;
    RunningWatcher w = Start();
    // Made while the request is outstanding; its record is then lost with the overflow.
    ASSERT_TRUE(WriteFileBytes(watched + L"\\gap.txt", "made in the gap"));
    OverflowTheHeldRequest();
    ASSERT_TRUE(WaitForLine(Is("dir_change", "file", "gap.txt")));
    Sleep(500);
    EXPECT_EQ(w.Finish(true), 0u);
    gReadDirectoryChangesSeam = nullptr;

    EXPECT_EQ(LineDigest(), std::vector<std::string>({
                                "dir_overflow ",
                                "incident_created file_burst",  // the overflow counts as a batch
                                "dir_change gap.txt recovered",
                                "incident_rate_limited file_burst",  // and so do the recovered records
                            }));
    for (const std::string& line : ReadLogLines()) {
        const json j = json::parse(line);
        if (j["type"] == "dir_overflow") {
            EXPECT_EQ(j["folder"], Folder());
        }
        if (j["type"] != "dir_change") continue;
        EXPECT_EQ(j["action"], "added");
        // The specified members, then the one extra.
        EXPECT_NE(line.find(",\"action\":\"added\",\"recovered\":true}"), std::string::npos) << line;
    }
}

TEST_F(WatcherFixture, AReconciliationOfAHugeTreeIsCut) {
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(WriteFileBytes(watched + L"\\old" + std::to_wstring(i) + L".txt", "x"));
    gRescanEntryLimit = 10;
    gReadDirectoryChangesSeam = HoldFirstRequest;
    RunningWatcher w = Start();
    OverflowTheHeldRequest();
    EXPECT_TRUE(WaitForLine(Is("dir_rescan_cut", "folder", Folder())));
    EXPECT_EQ(w.Finish(true), 0u);
    gReadDirectoryChangesSeam = nullptr;
    gRescanEntryLimit = kRescanEntryLimit;
    int recovered = 0;
    for (const json& j : LogJson()) recovered += j["type"] == "dir_change";
    EXPECT_LE(recovered, 10);  // only what was listed before the cut is judged
}

TEST_F(WatcherFixture, FilesMadeAtOnceInABrandNewSubfolderAllArrive) {
    RunningWatcher w = Start();
    // A native process makes nested new folders and files in the deepest at
    // full speed. Under Wine the system watches a new folder only once it has
    // seen it appear, so a folder made before its parent was watched, and all
    // below it, is never reported; listing each new folder after its "added"
    // record finds them. (Each level is a race Wine sometimes wins: three trees.)
    for (int tree = 0; tree < 3; ++tree) {
        const std::wstring deep = L"fresh" + std::to_wstring(tree) + L"\\a\\b\\c\\d\\deep";
        NativeStormResult storm;
        ASSERT_TRUE(RunNativeStorm(watched + L"\\" + deep, 10, 0.0, -1, storm, 30000));
        EXPECT_TRUE(AllNamesLogged(deep + L"\\f", 10, 10000));
    }
    EXPECT_EQ(w.Finish(true), 0u);
}

TEST_F(WatcherFixture, EveryNameOfARealStormReachesTheLog) {
    RunningWatcher w = Start();
    // An outside program at full speed outruns the queue under Wine: what the
    // overflows lose is recovered.
    NativeStormResult storm;
    ASSERT_TRUE(RunNativeStorm(watched + L"\\storm", 5000, 0.5, -1, storm, 60000));
    EXPECT_TRUE(AllNamesLogged(L"storm\\f", 5000, 60000));
    EXPECT_EQ(w.Finish(true), 0u);
}

TEST_F(WatcherFixture, AStopDuringAReconciliationEndsItPromptly) {
    gReadDirectoryChangesSeam = AlwaysOverflow;  // every pass is followed by another
    RunningWatcher w = StartWatcher(watched, true);
    ASSERT_TRUE(WaitForLine(Is("dir_overflow")));
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(WriteFileBytes(watched + L"\\late" + std::to_wstring(i) + L".txt", "x"));
    ASSERT_TRUE(WaitForLine([](const json& j) { return j["type"] == "dir_change" && j.contains("recovered"); }));
    const DWORD t0 = GetTickCount();
    SetEvent(w.stop);
    const DWORD ended = WaitForSingleObject(w.thread, 5000);
    const DWORD took = GetTickCount() - t0;
    gCoreState.stopRequested = 1;  // lets a watcher that missed its stop event end before the seam goes
    WaitForSingleObject(w.thread, 10000);
    gReadDirectoryChangesSeam = nullptr;
    EXPECT_EQ(ended, WAIT_OBJECT_0) << "the reconciliation kept the watcher going";
    EXPECT_LT(took, 2000u);
    EXPECT_EQ(LogJson().back()["msg"], "Dir monitor stopping");
    w.Finish(true);
}

namespace {

// A script of request outcomes, one per request issued; beyond it requests are real.
struct ScriptStep {
    enum Kind { Batch, Overflow, Hold } kind;
    std::vector<NotifyRecord> records;
};
std::vector<ScriptStep> gScript;
std::atomic<size_t> gScriptAt{0};
std::atomic<OVERLAPPED*> gHeld{nullptr};
std::atomic<void*> gHeldBuffer{nullptr};

size_t FillRecords(void* buffer, const std::vector<NotifyRecord>& records) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    size_t offset = 0;
    FILE_NOTIFY_INFORMATION* last = nullptr;
    for (const NotifyRecord& r : records) {
        auto* record = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(bytes + offset);
        record->Action = r.action;
        record->FileNameLength = static_cast<DWORD>(r.name.size() * sizeof(wchar_t));
        memcpy(record->FileName, r.name.data(), record->FileNameLength);
        const size_t size =
            (offsetof(FILE_NOTIFY_INFORMATION, FileName) + record->FileNameLength + 3) & ~size_t(3);
        record->NextEntryOffset = static_cast<DWORD>(size);
        last = record;
        offset += size;
    }
    if (last) last->NextEntryOffset = 0;
    return offset;
}

BOOL WINAPI ServeScript(HANDLE dir, LPVOID buffer, DWORD length, BOOL subtree, DWORD filter, LPDWORD returned,
                        LPOVERLAPPED ov, LPOVERLAPPED_COMPLETION_ROUTINE routine) {
    const size_t i = gScriptAt++;
    if (i >= gScript.size())
        return ReadDirectoryChangesW(dir, buffer, length, subtree, filter, returned, ov, routine);
    const ScriptStep& step = gScript[i];
    if (step.kind == ScriptStep::Hold) {
        ov->Internal = STATUS_PENDING;
        gHeldBuffer = buffer;
        gHeld = ov;
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    ov->Internal = step.kind == ScriptStep::Overflow ? 0x10C : 0;  // STATUS_NOTIFY_ENUM_DIR
    ov->InternalHigh = step.kind == ScriptStep::Batch ? FillRecords(buffer, step.records) : 0;
    SetEvent(ov->hEvent);
    return TRUE;
}

// Completes the held request as the system would: with records, or cancelled.
void CompleteHeld(const std::vector<NotifyRecord>* records) {
    OVERLAPPED* ov = gHeld.exchange(nullptr);
    ASSERT_NE(ov, nullptr);
    ov->InternalHigh = records ? FillRecords(gHeldBuffer.load(), *records) : 0;
    ov->Internal = records ? 0 : 0xC0000120;  // STATUS_CANCELLED
    SetEvent(ov->hEvent);
}

// Ends a watcher whose script left a request held.
void FinishHolding(RunningWatcher& w) {
    SetEvent(w.stop);
    Sleep(100);
    if (gHeld.load()) CompleteHeld(nullptr);
    EXPECT_EQ(w.Finish(true), 0u);
    gReadDirectoryChangesSeam = nullptr;
}

void StartScript(std::vector<ScriptStep> script) {
    gScript = std::move(script);
    gScriptAt = 0;
    gHeld = nullptr;
    gReadDirectoryChangesSeam = ServeScript;
}

// The first whole-file write (an incident's) stalls the watcher's batch; what
// the stall does happens 100 ms into it.
std::function<void()> gDuringStall;
DWORD gStallMs = 0;
std::atomic<int> gStalls{0};
bool StallFirstWrite(void* file, const void* data, uint32_t size, uint32_t* written) {
    if (gStalls++ == 0) {
        Sleep(100);
        if (gDuringStall) gDuringStall();
        Sleep(gStallMs - 100);
    }
    DWORD done = 0;
    const BOOL ok = WriteFile(static_cast<HANDLE>(file), data, size, &done, nullptr);
    *written = done;
    return ok != FALSE;
}

int CountLines(const std::string& type, const std::string& file) {
    int n = 0;
    for (const json& j : LogJson()) n += j["type"] == type && (file.empty() || j.value("file", "") == file);
    return n;
}

bool Recovered(const std::string& file) {
    for (const json& j : LogJson())
        if (j["type"] == "dir_change" && j.value("file", "") == file && j.contains("recovered")) return true;
    return false;
}

}  // namespace

TEST_F(WatcherFixture, WhatASlowBatchLetsTheSystemDropIsRecovered) {
    // The watcher is busy for a while with one batch (its incident write
    // stalls); the request after it completes meanwhile, and what changes
    // then is the system's to keep until the watcher asks again. Longer than
    // the volume's margin, or the margin alone would cover the gap.
    gStallMs = static_cast<DWORD>(RecoveryMarginOf(watched) / 10000) + 1000;
    ASSERT_TRUE(WriteFileBytes(watched + L"\\old.txt", "old"));
    EnsureDirectoryTree(watched + L"\\newdir");
    Sleep(gStallMs);  // both well before the watcher starts
    const std::vector<NotifyRecord> note = {{FILE_ACTION_ADDED, L"HOW_TO_DECRYPT.txt"}};
    struct Case {
        const char* what;
        std::vector<ScriptStep> script;
        std::function<void()> duringStall;
        std::string want;
    } cases[] = {
        {"an overflow: the rename made 100 ms into the stall",
         {{ScriptStep::Batch, note},
          {ScriptStep::Batch, {{FILE_ACTION_MODIFIED, L"x.txt"}}},
          {ScriptStep::Overflow, {}},
          {ScriptStep::Hold, {}}},
         [this] { MoveFileW((watched + L"\\old.txt").c_str(), (watched + L"\\renamed.txt").c_str()); },
         "renamed.txt"},
        {"a new folder from a batch that waited: the file made in it meanwhile",
         {{ScriptStep::Batch, note},
          {ScriptStep::Batch, {{FILE_ACTION_ADDED, L"newdir"}}},
          {ScriptStep::Hold, {}}},
         [this] { WriteFileBytes(watched + L"\\newdir\\inside.txt", "never reported"); },
         "newdir\\inside.txt"},
    };
    for (Case& c : cases) {
        DeleteFileW(gDataPaths.logFile.c_str());
        gIncidentReference = kNoIncidentYet;
        gStalls = 0;
        gDuringStall = c.duringStall;
        gSeams.writeFile = StallFirstWrite;
        StartScript(c.script);
        RunningWatcher w = Start();
        EXPECT_TRUE(WaitForLine(
            [&](const json& j) { return j["type"] == "dir_change" && j["file"] == c.want; }, 5000))
            << c.what;
        FinishHolding(w);
        gSeams.writeFile = nullptr;
        gDuringStall = nullptr;
        EXPECT_EQ(gStalls.load() > 0, true) << c.what;
    }
}

TEST_F(WatcherFixture, WhatTheOutstandingRequestHoldsIsNotRecoveredToo) {
    // An overflow; its burst incident stalls the handling, and meanwhile a file
    // is made: its record is in the request issued at the overflow.
    SetBurstAndRateLimit(1, 3600);
    gStallMs = 500;
    gStalls = 0;
    gDuringStall = [this] { WriteFileBytes(watched + L"\\late.txt", "after the overflow"); };
    gSeams.writeFile = StallFirstWrite;
    StartScript({{ScriptStep::Hold, {}}, {ScriptStep::Hold, {}}});
    RunningWatcher w = Start();
    ASSERT_TRUE(WriteFileBytes(watched + L"\\gap.txt", "lost with the overflow"));
    OVERLAPPED* first = gHeld.exchange(nullptr);
    ASSERT_NE(first, nullptr);
    first->InternalHigh = 0;
    first->Internal = 0;  // success with nothing kept: an overflow
    SetEvent(first->hEvent);
    ASSERT_TRUE(WaitForLine(Is("dir_change", "file", "gap.txt")));
    Sleep(1000);  // the pass has listed the folder
    for (int waited = 0; !gHeld.load() && waited < 2000; waited += 50) Sleep(50);
    const std::vector<NotifyRecord> live = {{FILE_ACTION_ADDED, L"late.txt"},
                                            {FILE_ACTION_MODIFIED, L"late.txt"}};
    CompleteHeld(&live);
    ASSERT_TRUE(WaitForLine(Is("dir_change", "file", "late.txt")));
    Sleep(500);
    FinishHolding(w);
    gSeams.writeFile = nullptr;
    gDuringStall = nullptr;
    EXPECT_TRUE(Recovered("gap.txt"));
    EXPECT_FALSE(Recovered("late.txt")) << "reported by the pass and again by its live record";
    EXPECT_EQ(CountLines("dir_change", "late.txt"), 2);  // the live "added" and "modified"
}

TEST_F(WatcherFixture, AVolumeThatAlwaysOverflowsIsNotListedInAHotLoop) {
    SetBurstAndRateLimit(1000, 1);
    gRequests = 0;
    gReadDirectoryChangesSeam = [](HANDLE d, LPVOID b, DWORD l, BOOL s, DWORD f, LPDWORD r, LPOVERLAPPED ov,
                                   LPOVERLAPPED_COMPLETION_ROUTINE c) -> BOOL {
        ++gRequests;
        return AlwaysOverflow(d, b, l, s, f, r, ov, c);
    };
    RunningWatcher w = StartWatcher(watched, true);
    ASSERT_TRUE(WaitForLine(Is("dir_overflow")));
    Sleep(2000);
    SetEvent(w.stop);
    EXPECT_EQ(WaitForSingleObject(w.thread, 5000), WAIT_OBJECT_0);
    gCoreState.stopRequested = 1;
    WaitForSingleObject(w.thread, 10000);
    gReadDirectoryChangesSeam = nullptr;
    w.Finish(true);
    gCoreState.stopRequested = 0;
    // A pause of kOverflowPauseMs between requests, and one line per pass:
    // some ten in two seconds, not thousands.
    const int overflows = CountLines("dir_overflow", "");
    const int most = static_cast<int>(2500 / kOverflowPauseMs) + 2;
    EXPECT_GE(overflows, 2);
    EXPECT_LE(overflows, most);
    EXPECT_LE(gRequests.load(), 2 * most);
}

TEST_F(WatcherFixture, ManyAddedNamesListTheirFolderNotTheWholeTree) {
    // 300 names moved into "in" (more than can wait one by one); meanwhile a
    // file elsewhere whose record went missing, which only a whole-tree
    // listing would find.
    EnsureDirectoryTree(watched + L"\\in");
    EnsureDirectoryTree(watched + L"\\other");
    StartScript({{ScriptStep::Hold, {}}});
    for (int batch = 1; batch <= 3; ++batch) {
        std::vector<NotifyRecord> records;
        for (int i = 0; i < 100; ++i)
            records.push_back({FILE_ACTION_ADDED, L"in\\f" + std::to_wstring(batch * 100 + i) + L".txt"});
        gScript.push_back({ScriptStep::Batch, records});
    }
    gScript.push_back({ScriptStep::Hold, {}});
    RunningWatcher w = Start();
    ASSERT_TRUE(WriteFileBytes(watched + L"\\in\\unreported.txt", "x"));
    EnsureDirectoryTree(watched + L"\\in\\newsub");
    ASSERT_TRUE(WriteFileBytes(watched + L"\\in\\newsub\\deep.txt", "x"));
    ASSERT_TRUE(WriteFileBytes(watched + L"\\other\\quiet.txt", "x"));
    CompleteHeld(&gScript[1].records);  // the first batch, then the others
    EXPECT_TRUE(WaitForLine(Is("dir_change", "file", "in\\newsub\\deep.txt"), 5000));
    EXPECT_TRUE(Recovered("in\\unreported.txt"));
    Sleep(1000);
    FinishHolding(w);
    EXPECT_EQ(CountLines("dir_change", "other\\quiet.txt"), 0) << "the whole tree was listed";
}

TEST_F(WatcherFixture, RecordsUnderTheDataFoldersShortNameOrOtherCaseAreItsOwn) {
    // The data folder inside the watched tree, with a name that has a short
    // form and letters ASCII folding does not match.
    const std::wstring dataName = L"\u00C4gent Data Folder";
    UseDataPathsBelow(watched + L"\\" + dataName);
    const std::wstring dataBelow =
        gDataPaths.dataDir.substr(watched.size() + 1);  // <dataName>\<its own folder>
    const std::wstring inner = dataBelow.substr(dataName.size() + 1);
    wchar_t shortPath[MAX_PATH];
    ASSERT_GT(GetShortPathNameW(gDataPaths.dataDir.c_str(), shortPath, MAX_PATH), 0u);
    std::wstring shortForm = shortPath;  // the short forms of the last two folders
    const size_t lastCut = shortForm.find_last_of(L'\\');
    const std::wstring innerShort = shortForm.substr(lastCut + 1);
    const size_t outerCut = shortForm.find_last_of(L'\\', lastCut - 1);
    const std::wstring outerShort = shortForm.substr(outerCut + 1, lastCut - outerCut - 1);
    ASSERT_NE(outerShort, dataName) << "no short name here";
    const std::wstring otherCase = L"\u00E4GENT data FOLDER";
    std::wstring innerUpper = inner;
    for (wchar_t& c : innerUpper) c = static_cast<wchar_t>(towupper(c));
    StartScript({{ScriptStep::Batch,
                  {{FILE_ACTION_MODIFIED, outerShort + L"\\" + innerShort + L"\\Vellumgard.log.jsonl"},
                   {FILE_ACTION_ADDED, otherCase + L"\\" + innerUpper + L"\\Incidents\\x\\incident.json"},
                   {FILE_ACTION_MODIFIED, otherCase + L"\\" + innerShort},
                   {FILE_ACTION_ADDED, L"outside.txt"}}}});
    RunningWatcher w = Start();
    ASSERT_TRUE(WaitForLine(Is("dir_change", "file", "outside.txt")));
    Sleep(500);
    EXPECT_EQ(w.Finish(true), 0u);
    gReadDirectoryChangesSeam = nullptr;
    for (const json& j : LogJson()) {
        if (j["type"] != "dir_change") continue;
        EXPECT_EQ(j["file"], "outside.txt") << j.dump();
    }
}

// Extended detection: an editor's save through a random temporary name gives
// the original name back within the hold and makes no finding; a rename that
// stays gets its finding once the hold has passed.
TEST_F(WatcherFixture, ASaveThroughATemporaryNameIsNoFindingButARenameThatStaysIs) {
    Config c;
    SetConfigDefaults(c);
    c.incidentRateLimitSeconds = 1;
    c.extendedDetection = true;
    StoreCurrentConfig(c);
    const std::wstring report = watched + L"\\report.docx", budget = watched + L"\\budget.xlsx";
    ASSERT_TRUE(WriteFileBytes(report, "version 1"));
    ASSERT_TRUE(WriteFileBytes(budget, "figures"));
    RunningWatcher w = Start();

    ASSERT_TRUE(MoveFileW(report.c_str(), (report + L".aB3dE9").c_str()));
    ASSERT_TRUE(WriteFileBytes(report, "version 2"));
    ASSERT_TRUE(DeleteFileW((report + L".aB3dE9").c_str()));
    const ULONGLONG renamedAt = GetTickCount64();
    ASSERT_TRUE(MoveFileW(budget.c_str(), (budget + L".aB3dE9").c_str()));
    ASSERT_TRUE(WaitForLine(Is("dir_change", "file", "budget.xlsx.aB3dE9")));
    EXPECT_FALSE(WaitForLine(Is("dir_file_heuristic"), 1000)) << "nothing before the hold ends";
    ASSERT_TRUE(WaitForLine(Is("dir_file_heuristic", "file", "budget.xlsx.aB3dE9")));
    const ULONGLONG reportedAfter = GetTickCount64() - renamedAt;
    EXPECT_GE(reportedAfter, kSaveHoldMs - 100);
    EXPECT_LT(reportedAfter, kSaveHoldMs + 3000);
    Sleep(300);
    EXPECT_EQ(w.Finish(true), 0u);

    size_t findings = 0;
    for (const json& j : LogJson()) {
        if (!Is("dir_file_heuristic")(j)) continue;
        ++findings;
        EXPECT_EQ(j["file"], "budget.xlsx.aB3dE9");
        EXPECT_EQ(j["reason"], "appended_extension");
    }
    EXPECT_EQ(findings, 1u);
    const auto incidents = ScanIncidents(gDataPaths);
    ASSERT_EQ(incidents.size(), 1u);
    EXPECT_EQ(incidents[0].reason, "dir_file_heuristic");
    EXPECT_EQ(incidents[0].file, "budget.xlsx.aB3dE9");
}
