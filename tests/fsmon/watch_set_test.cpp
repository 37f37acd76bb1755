// The watch set with real watcher threads on sandboxed folders.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/hooks.h"
#include "core/locks.h"
#include "core/paths.h"
#include "core/text.h"
#include "fsmon/canary_names.h"
#include "fsmon/file_name_heuristics.h"
#include "fsmon/fsmon_hooks.h"
#include "fsmon/watch_set.h"
#include "support/test_support.h"

using nlohmann::json;

namespace {

std::vector<json> LogJson() {
    std::vector<json> out;
    for (const std::string& line : ReadLogLines()) out.push_back(json::parse(line, nullptr, false));
    return out;
}

int Count(const std::string& type, const std::string& key = "", const std::string& value = "") {
    int n = 0;
    for (const json& j : LogJson())
        if (j["type"] == type && (key.empty() || (j.contains(key) && j[key] == value))) ++n;
    return n;
}

bool WaitFor(const std::function<bool()>& cond, int timeoutMs = 10000) {
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        if (cond()) return true;
        Sleep(50);
    }
    return cond();
}

struct WatchSetFixture : ::testing::Test {
    TempDir dir;
    Config settings;
    void SetUp() override {
        UseDataPathsBelow(dir.Sub(L"data"));
        InstallFileSystemHooks();
        gSyncExtraWatchDirs = nullptr;  // the tests synchronise explicitly
        CreateCoreLock(gBurstLock);
        CreateCoreLock(gConfigLock);
        CreateCoreLock(gWatchSetLock);
        SetConfigDefaults(settings);
        StoreCurrentConfig(settings);
        RebuildCanaryNames(settings);
    }
    void TearDown() override { StopAllExtraWatchers(); }
    void Sync(const std::wstring& extra) {
        settings.extraWatchDirs = extra;
        StoreCurrentConfig(settings);
        SyncExtraWatchDirs(settings);
    }
    std::string U8(const std::wstring& w) { return WideToUtf8(w); }
};

DWORD HandleCount() {
    DWORD n = 0;
    GetProcessHandleCount(GetCurrentProcess(), &n);
    return n;
}

}  // namespace

TEST_F(WatchSetFixture, ListedFoldersAreCreatedPlantedWatchedOnceEach) {
    const std::wstring a = dir.Sub(L"A"), b = dir.Sub(L"new\\B");  // B does not exist yet
    // Separators, quotes, blanks, a forward slash, a doubled trailing
    // backslash and the same folder again in other letter case.
    Sync(a + L"; \"" + b + L"/\" |" + AsciiLower(a) + L"\\\\|");
    EXPECT_EQ(ExtraWatcherCount(), 2u);
    EXPECT_TRUE(PathIsDirectory(b));
    EXPECT_TRUE(PathExists(b + L"\\vellumgard_do_not_touch.txt"));
    EXPECT_EQ(Count("extra_dir_mon_started"), 2);
    EXPECT_EQ(Count("extra_dir_mon_started", "folder", U8(a)), 1);
    EXPECT_EQ(Count("extra_dir_mon_started", "folder", U8(b)), 1);
    EXPECT_TRUE(WaitFor([&] { return Count("dir_mon", "msg", "Dir monitor started: " + U8(b)) == 1; }));

    // Unchanged settings: nothing started, nothing written.
    const size_t lines = ReadLogLines().size();
    Sync(settings.extraWatchDirs);
    EXPECT_EQ(ExtraWatcherCount(), 2u);
    EXPECT_EQ(ReadLogLines().size(), lines);

    // Changes in a watched extra folder are reported.
    ASSERT_TRUE(WriteFileBytes(b + L"\\note.txt", "x"));
    EXPECT_TRUE(WaitFor([&] { return Count("dir_change", "file", "note.txt") >= 1; }));
}

TEST_F(WatchSetFixture, DroppedFolderIsStoppedAndEmptySettingStopsAll) {
    const std::wstring a = dir.Sub(L"A"), b = dir.Sub(L"B");
    Sync(a + L"|" + b);
    ASSERT_TRUE(WaitFor([&] { return Count("dir_mon", "msg", "Dir monitor started: " + U8(a)) == 1; }));
    Sync(b);
    EXPECT_EQ(ExtraWatcherCount(), 1u);
    EXPECT_TRUE(WaitFor([&] { return Count("dir_mon", "msg", "Dir monitor stopping") == 1; }));
    Sync(L" ;|; ");
    EXPECT_EQ(ExtraWatcherCount(), 0u);
    EXPECT_TRUE(WaitFor([&] { return Count("dir_mon", "msg", "Dir monitor stopping") == 2; }));
}

TEST_F(WatchSetFixture, UnusableEntriesAreSkippedWithoutEvents) {
    ASSERT_TRUE(WriteFileBytes(dir.Sub(L"a_file"), "x"));
    Sync(dir.Sub(L"a_file") + L";Q:\\no\\such\\drive");
    EXPECT_EQ(ExtraWatcherCount(), 0u);
    EXPECT_EQ(Count("extra_dir_mon_started"), 0);
}

TEST_F(WatchSetFixture, WatcherThatEndedStaysRegisteredUntilRemovedAndAddedBack) {
    const std::wstring a = dir.Sub(L"A");
    Sync(a);
    ASSERT_TRUE(WaitFor([&] { return Count("dir_mon", "msg", "Dir monitor started: " + U8(a)) == 1; }));
    // Make the folder unopenable and restart its watcher: it ends on its own.
    Sync(L"");
    RemoveTree(a);
    ASSERT_TRUE(WriteFileBytes(a, "now a file"));
    Sync(a);  // a file: skipped
    EXPECT_EQ(ExtraWatcherCount(), 0u);
    DeleteFileW(a.c_str());
    Sync(a);
    EXPECT_EQ(ExtraWatcherCount(), 1u);
    EXPECT_TRUE(WaitFor([&] { return Count("dir_mon", "msg", "Dir monitor started: " + U8(a)) == 2; }));
}

TEST_F(WatchSetFixture, ConcurrentSynchronisationsKeepOneWatcherPerFolder) {
    std::wstring setting;
    for (int i = 0; i < 6; ++i) setting += dir.Sub(L"F" + std::to_wstring(i)) + L";";
    settings.extraWatchDirs = setting;
    StoreCurrentConfig(settings);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) threads.emplace_back([this] { SyncExtraWatchDirs(settings); });
    for (auto& th : threads) th.join();
    EXPECT_EQ(ExtraWatcherCount(), 6u);
    EXPECT_EQ(Count("extra_dir_mon_started"), 6);
}

TEST_F(WatchSetFixture, ManyReloadsLeakNoHandles) {
    const std::wstring a = dir.Sub(L"A"), b = dir.Sub(L"B");
    Sync(a);
    Sync(L"");
    const DWORD before = HandleCount();
    for (int i = 0; i < 20; ++i) {
        Sync(a + L";" + b);
        Sync(i % 2 ? a : L"");
        Sync(L"");
    }
    Sleep(200);
    const DWORD after = HandleCount();
    EXPECT_LE(after, before + 4) << before << " -> " << after;
}

// An incident written on a watcher's own thread synchronises the set; when
// that synchronisation drops the very watcher running it, the watcher must
// not wait for itself: it is signalled and ends once the batch is done.
TEST_F(WatchSetFixture, WatcherDroppingItselfDoesNotWaitForItself) {
    const std::wstring a = dir.Sub(L"A");
    Sync(a);
    ASSERT_TRUE(WaitFor([&] { return Count("dir_mon", "msg", "Dir monitor started: " + U8(a)) == 1; }));
    // From now on every whole-file write drops every extra folder.
    settings.extraWatchDirs = L"";
    StoreCurrentConfig(settings);
    gSyncExtraWatchDirs = SyncExtraWatchDirs;
    ASSERT_TRUE(WriteFileBytes(a + L"\\HOW_TO_DECRYPT.txt", "x"));  // incident -> write -> sync on the watcher
    EXPECT_TRUE(WaitFor([&] { return Count("dir_mon", "msg", "Dir monitor stopping") == 1; }, 8000));
    EXPECT_EQ(ExtraWatcherCount(), 0u);
    EXPECT_GE(Count("incident_created"), 1);
    gSyncExtraWatchDirs = nullptr;
}

TEST_F(WatchSetFixture, NothingStartsOnceTheStopHasBegun) {
    gCoreState.stopRequested = 1;
    Sync(dir.Sub(L"A"));
    EXPECT_EQ(ExtraWatcherCount(), 0u);
    EXPECT_EQ(Count("extra_dir_mon_started"), 0);
    gCoreState.stopRequested = 0;
}

TEST_F(WatchSetFixture, StopAllWaitsOutsideTheLockAndEmptiesTheSet) {
    Sync(dir.Sub(L"A") + L";" + dir.Sub(L"B"));
    ASSERT_TRUE(WaitFor([&] { return Count("dir_mon", "msg", "Dir monitor started: " + U8(dir.Sub(L"B"))) == 1; }));
    StopAllExtraWatchers();
    EXPECT_EQ(ExtraWatcherCount(), 0u);
    EXPECT_EQ(Count("dir_mon", "msg", "Dir monitor stopping"), 2);
}

// The set follows the configuration file through reloads.
TEST_F(WatchSetFixture, ReloadsStartAndStopExtraFolders) {
    gSyncExtraWatchDirs = SyncExtraWatchDirs;
    const std::wstring a = dir.Sub(L"reloaded\\A");
    std::string path = WideToUtf8(a);
    std::string escaped;
    for (char c : path) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    ASSERT_TRUE(WriteFileBytes(gDataPaths.configFile, "{\"extraWatchDirs\": \"" + escaped + "\"}"));
    std::wstring status;
    ASSERT_TRUE(LoadConfig(status));
    EXPECT_EQ(ExtraWatcherCount(), 1u);
    EXPECT_TRUE(PathIsDirectory(a));
    EXPECT_TRUE(PathExists(a + L"\\vellumgard_do_not_touch.txt"));
    EXPECT_EQ(Count("extra_dir_mon_started", "folder", U8(a)), 1);

    const DWORD handles = HandleCount();
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(WriteFileBytes(gDataPaths.configFile, "{}"));
        ASSERT_TRUE(LoadConfig(status));
        EXPECT_EQ(ExtraWatcherCount(), 0u);
        ASSERT_TRUE(WriteFileBytes(gDataPaths.configFile, "{\"extraWatchDirs\": \"" + escaped + "\"}"));
        ASSERT_TRUE(LoadConfig(status));
        EXPECT_EQ(ExtraWatcherCount(), 1u);
    }
    EXPECT_LE(HandleCount(), handles + 4);
    EXPECT_TRUE(WaitFor([&] { return Count("dir_mon", "msg", "Dir monitor stopping") == 10; }));
    gSyncExtraWatchDirs = nullptr;
}
