// Real watcher threads on sandboxed folders, with real file changes. Under
// Wine changes can be coalesced, so the tests wait for what must appear
// rather than counting records.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/locks.h"
#include "core/paths.h"
#include "core/text.h"
#include "fsmon/canary_names.h"
#include "fsmon/folder_watcher.h"
#include "incidents/incident_scanner.h"
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

