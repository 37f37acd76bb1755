#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/hooks.h"
#include "core/locks.h"
#include "core/paths.h"
#include "core/seams.h"
#include "core/text.h"
#include "support/test_support.h"

namespace {

// What the core set off, in order, recorded by stand-ins for the subsystems.
std::mutex gMu;
std::vector<std::string> gCalls;
void Record(const std::string& what) {
    std::lock_guard<std::mutex> g(gMu);
    gCalls.push_back(what);
}
std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> g(gMu);
    return gCalls;
}

std::wstring gBase;
bool gHaveDownloads = true;
std::atomic<int> gRunningWorkers{0};
std::atomic<int> gLingerMs{0};

bool FakeShellFolder(int csidl, std::wstring& out) {
    switch (csidl) {
        case CSIDL_LOCAL_APPDATA: out = gBase + L"\\appdata"; return true;
        case CSIDL_DESKTOPDIRECTORY: out = gBase + L"\\Desktop"; return true;
        case CSIDL_PERSONAL: out = gBase + L"\\Documents"; return true;
    }
    return false;
}
bool FakeDownloads(std::wstring& out) {
    out = gBase + L"\\Downloads";
    return gHaveDownloads;
}

std::string Tail(const std::wstring& folder) { return WideToUtf8(folder.substr(folder.find_last_of(L'\\') + 1)); }

uint32_t FakeWatcher(void* arg) {
    auto* start = static_cast<WatcherStart*>(arg);
    const std::wstring folder = start->folder;
    delete start;
    ++gRunningWorkers;
    Record("watch " + Tail(folder));
    while (!StopRequested()) Sleep(10);
    Sleep(gLingerMs.load());
    // A worker that outlives the stop may still reach for the core's locks.
    ConfigSnapshot s;
    SnapshotConfig(s);
    --gRunningWorkers;
    return 0;
}
uint32_t FakeMonitor(void*) {
    ++gRunningWorkers;
    Record("monitor");
    while (!StopRequested()) Sleep(10);
    --gRunningWorkers;
    return 0;
}
void FakePlant(const std::wstring& folder, const Config&) { Record("plant " + Tail(folder)); }
void FakeRebuild(const Config&) { Record("rebuild"); }
void FakeSync(const Config&) { Record("sync"); }
void FakeStopExtra() {
    Record("stop extra, workers running " + std::to_string(gRunningWorkers.load()) + ", config lock " +
           (gConfigLock.exists ? "exists" : "gone"));
}

struct LifecycleFixture : ::testing::Test {
    TempDir dir;
    void SetUp() override {
        gBase = dir.path;
        gSeams.shellFolder = FakeShellFolder;
        gSeams.downloadsFolder = FakeDownloads;
        gFolderWatcherMain = FakeWatcher;
        gProcessMonitorMain = FakeMonitor;
        gPlantCanaries = FakePlant;
        gRebuildCanaryNames = FakeRebuild;
        gSyncExtraWatchDirs = FakeSync;
        gStopExtraWatchers = FakeStopExtra;
    }
    void WriteConfig(const std::string& text) {
        EnsureDirectoryTree(gBase + L"\\appdata\\Vellumgard");
        ASSERT_TRUE(WriteFileBytes(gBase + L"\\appdata\\Vellumgard\\Vellumgard.config.json", text));
    }
};

}  // namespace

TEST_F(LifecycleFixture, StartAndStopRunInOrder) {
    FakeClock clock;
    FakeClock::seconds = 1'900'000'000;
    ASSERT_TRUE(CoreStart(false));
    EXPECT_EQ(gDataPaths.dataDir, gBase + L"\\appdata\\Vellumgard");
    EXPECT_TRUE(gBurstLock.exists && gConfigLock.exists && gWatchSetLock.exists);
    EXPECT_EQ(gCoreState.canaryWarmupDeadline.load(), 1'900'000'010);
    while (gRunningWorkers.load() < 4) Sleep(10);

    EXPECT_EQ(LogTypes(), std::vector<std::string>({"config_create", "config_load", "startup"}));
    EXPECT_NE(ReadLogLines()[2].find("\"msg\":\"Vellumgard core started (non-admin)\""), std::string::npos);
    CoreStop();

    EXPECT_EQ(gRunningWorkers.load(), 0);
    EXPECT_FALSE(gBurstLock.exists || gConfigLock.exists || gWatchSetLock.exists);
    EXPECT_EQ(LogTypes(), std::vector<std::string>({"config_create", "config_load", "startup", "shutdown"}));
    EXPECT_NE(ReadLogLines().back().find("\"msg\":\"Vellumgard core shutting down\""), std::string::npos);

    // Worker threads record themselves asynchronously: compare the
    // synchronous calls in order and the workers as a set.
    std::vector<std::string> sync, workers;
    for (const auto& c : Calls()) (c == "monitor" || c.rfind("watch ", 0) == 0 ? workers : sync).push_back(c);
    EXPECT_EQ(sync, std::vector<std::string>({
                        "sync",     // end of path resolution
                        "sync",     // after writing the default configuration
                        "rebuild",  // configuration load: rebuild, then sync with the loaded settings
                        "sync",
                        "sync",     // configuration load, after its event
                        "rebuild",  // the core's own rebuild from a snapshot
                        "plant Desktop", "plant Documents", "plant Downloads",
                        "sync",  // end of the start
                        "stop extra, workers running 0, config lock exists",
                    }));
    std::sort(workers.begin(), workers.end());
    EXPECT_EQ(workers, std::vector<std::string>({"monitor", "watch Desktop", "watch Documents", "watch Downloads"}));
}

TEST_F(LifecycleFixture, AdminStartMessage) {
    CoreStart(true);
    EXPECT_TRUE(gCoreState.isAdmin);
    EXPECT_NE(ReadLogLines().back().find("\"msg\":\"Vellumgard core started (admin)\""), std::string::npos);
    CoreStop();
}

TEST_F(LifecycleFixture, SwitchesOffStartNothingAndStopDoesNotWait) {
    WriteConfig("{\"enableProcessMonitor\":false,\"enableDirMonitorDesktop\":false,"
                "\"enableDirMonitorDocuments\":false,\"enableDirMonitorDownloads\":false}");
    CoreStart(false);
    CoreStop();
    for (const auto& c : Calls()) {
        EXPECT_NE(c.rfind("plant", 0), 0u) << c;
        EXPECT_NE(c.rfind("watch", 0), 0u) << c;
        EXPECT_NE(c, "monitor");
    }
    EXPECT_EQ(LogTypes(), std::vector<std::string>({"config_load", "startup", "shutdown"}));
}

TEST_F(LifecycleFixture, MissingDownloadsLeavesTwoFolderWatchers) {
    gHaveDownloads = false;
    WriteConfig("{\"enableProcessMonitor\":false}");
    CoreStart(false);
    while (gRunningWorkers.load() < 2) Sleep(10);
    EXPECT_NE(gCoreState.knownFolderWatcherThreads[0], nullptr);
    EXPECT_NE(gCoreState.knownFolderWatcherThreads[1], nullptr);
    EXPECT_EQ(gCoreState.knownFolderWatcherThreads[2], nullptr);
    EXPECT_EQ(gCoreState.processMonitorThread, nullptr);
    CoreStop();
    EXPECT_EQ(gRunningWorkers.load(), 0);
}

TEST_F(LifecycleFixture, WarmupDeadlineFollowsTheSetting) {
    struct Case {
        const char* value;
        int64_t want;
    } cases[] = {{"0", 10}, {"-3", 10}, {"25", 25}, {"1", 1}};
    FakeClock clock;
    for (const Case& c : cases) {
        WriteConfig(std::string("{\"canaryWarmupSeconds\":") + c.value + ",\"enableProcessMonitor\":false," +
                    "\"enableDirMonitorDesktop\":false,\"enableDirMonitorDocuments\":false," +
                    "\"enableDirMonitorDownloads\":false}");
        FakeClock::seconds = 2'000'000'000;
        CoreStart(false);
        EXPECT_EQ(gCoreState.canaryWarmupDeadline.load(), 2'000'000'000 + c.want) << c.value;
        CoreStop();
    }
}

// A worker that ignores the stop for longer than the bounded wait: the stop
// goes on without it, and when it finally reaches for the configuration
// lock that lock is still usable.
TEST_F(LifecycleFixture, WorkerOutlivingTheWaitIsLeftBehindSafely) {
    WriteConfig("{\"enableProcessMonitor\":false,\"enableDirMonitorDocuments\":false,"
                "\"enableDirMonitorDownloads\":false}");
    gLingerMs = 6500;
    CoreStart(false);
    while (gRunningWorkers.load() < 1) Sleep(10);
    CoreStop();
    EXPECT_EQ(gRunningWorkers.load(), 1);  // still lingering
    EXPECT_EQ(LogTypes().back(), "shutdown");
    while (gRunningWorkers.load() > 0) Sleep(50);
}
