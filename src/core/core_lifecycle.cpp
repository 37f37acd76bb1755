// Start and stop of the core.
//
// The workers themselves belong to higher subsystems; the core starts them
// through the function pointers of core/hooks.h. Locks are never really
// deleted (core/locks.h): a worker that outlives CoreStop's bounded wait can
// still take them, it just finds the core marked as stopped.
#include "core/core_lifecycle.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <vector>

#include "core/clock.h"
#include "core/config.h"
#include "core/event_log.h"
#include "core/handles.h"
#include "core/hooks.h"
#include "core/locks.h"
#include "core/paths.h"
#include "core/seams.h"
#include "core/text.h"

CoreState gCoreState;

namespace {

// Placeholders until the subsystems install their thread procedures: they
// end at once, and a placeholder watcher still releases its start record.
uint32_t NoProcessMonitor(void*) { return 0; }
uint32_t NoFolderWatcher(void* arg) {
    delete static_cast<WatcherStart*>(arg);
    return 0;
}

}  // namespace

WorkerMainFn gProcessMonitorMain = NoProcessMonitor;
WorkerMainFn gFolderWatcherMain = NoFolderWatcher;
PlantCanariesFn gPlantCanaries = nullptr;
StopExtraWatchersFn gStopExtraWatchers = nullptr;
StopContentChecksFn gStopContentChecks = nullptr;
StopIncidentContextFn gStopIncidentContext = nullptr;

namespace {

struct WorkerLaunch {
    WorkerMainFn main;
    void* arg;
};

DWORD WINAPI WorkerTrampoline(LPVOID param) {
    const WorkerLaunch launch = *static_cast<WorkerLaunch*>(param);
    delete static_cast<WorkerLaunch*>(param);
    // Last resort: the workers catch what they can recover from themselves;
    // nothing may unwind out of a thread procedure.
    try {
        return launch.main(launch.arg);
    } catch (...) {
        return 1;
    }
}

}  // namespace

void* StartWorkerThread(WorkerMainFn fn, void* arg, unsigned long* threadId) {
    auto* launch = new WorkerLaunch{fn, arg};
    DWORD id = 0;
    HANDLE h = CreateThread(nullptr, 0, WorkerTrampoline, launch, 0, &id);
    if (!h) delete launch;
    if (threadId) *threadId = id;
    return h;
}

namespace {

HANDLE StartWorker(WorkerMainFn fn, void* arg) { return StartWorkerThread(fn, arg, nullptr); }


// Temporary files of whole-file writes that a crash cut short: in the data
// folder (configuration, report) and in the newest incident folders. An
// incident.json is written right after its folder is made, and folders are
// named by time, so only the newest few can hold one; looking into every
// folder would cost seconds at start with a long history.
constexpr size_t kIncidentFoldersToClean = 16;

void RemoveStaleWriteTemps() {
    RemoveStaleTempFiles(gDataPaths.dataDir);
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(JoinPath(gDataPaths.incidentsDir, L"*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || fd.cFileName[0] == L'.') continue;
        names.push_back(fd.cFileName);
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    const size_t newest = std::min(names.size(), kIncidentFoldersToClean);
    std::partial_sort(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(newest), names.end(),
                      [](const std::wstring& a, const std::wstring& b) { return a > b; });
    for (size_t i = 0; i < newest; ++i) RemoveStaleTempFiles(JoinPath(gDataPaths.incidentsDir, names[i]));
}

// Plants the canaries and starts a watcher thread for one known folder.
HANDLE StartKnownFolder(const std::wstring& folder) {
    ConfigSnapshot snapshot;
    SnapshotConfig(snapshot);
    if (gPlantCanaries) gPlantCanaries(folder, snapshot);
    auto* start = new WatcherStart{folder, nullptr};
    HANDLE h = StartWorker(gFolderWatcherMain, start);
    if (!h) delete start;
    return h;
}

}  // namespace

bool DownloadsFolder(std::wstring& out) {
    if (gSeams.downloadsFolder) return gSeams.downloadsFolder(out);
    UniqueModule shell32(LoadLibraryW(L"shell32.dll"));
    if (!shell32.get()) return false;
    using GetKnownFolderPathFn = HRESULT(WINAPI*)(REFGUID, DWORD, HANDLE, PWSTR*);
    auto fn = reinterpret_cast<GetKnownFolderPathFn>(
        reinterpret_cast<void*>(GetProcAddress(shell32.get(), "SHGetKnownFolderPath")));
    if (!fn) return false;
    static const GUID kFolderIdDownloads = {0x374DE290, 0x123F, 0x4565, {0x91, 0x64, 0x39, 0xC4, 0x92, 0x5E, 0x46, 0x7B}};
    UniqueCoTaskMem path;
    if (FAILED(fn(kFolderIdDownloads, 0, nullptr, path.put())) || !path.get()) return false;
    out = path.get();
    return true;
}

bool CoreStart(bool isAdmin) {
    gCoreState.isAdmin = isAdmin;
    gCoreState.stopRequested.exchange(0);

    ResolveDataPaths();
    EnsureDirectoryTree(gDataPaths.dataDir);
    EnsureDirectoryTree(gDataPaths.incidentsDir);
    RemoveStaleWriteTemps();

    CreateCoreLock(gBurstLock);
    CreateCoreLock(gConfigLock);
    CreateCoreLock(gWatchSetLock);

    std::wstring scratch;
    LoadConfig(scratch);

    ConfigSnapshot snapshot;
    SnapshotConfig(snapshot);
    RebuildCanaryNamesWith(snapshot);

    const int32_t warmup = snapshot.canaryWarmupSeconds < 1 ? 10 : snapshot.canaryWarmupSeconds;
    gCoreState.canaryWarmupDeadline.exchange(NowSeconds() + warmup);

    LogMessage("startup", isAdmin ? "Vellumgard core started (admin)" : "Vellumgard core started (non-admin)");

    if (gLiveConfig.enableProcessMonitor.load()) {
        gCoreState.processMonitorThread = StartWorker(gProcessMonitorMain, nullptr);
    }

    const bool desktop = gLiveConfig.enableDirMonitorDesktop.load();
    const bool documents = gLiveConfig.enableDirMonitorDocuments.load();
    const bool downloads = gLiveConfig.enableDirMonitorDownloads.load();
    if (desktop || documents || downloads) {
        int slot = 0;
        std::wstring folder;
        if (desktop && ShellFolderPath(CSIDL_DESKTOPDIRECTORY, folder)) {
            gCoreState.knownFolderWatcherThreads[0] = StartKnownFolder(folder);
            slot = 1;
        }
        if (documents && slot < 3 && ShellFolderPath(CSIDL_PERSONAL, folder)) {
            gCoreState.knownFolderWatcherThreads[slot++] = StartKnownFolder(folder);
        }
        if (downloads && slot < 3 && DownloadsFolder(folder)) {
            gCoreState.knownFolderWatcherThreads[slot++] = StartKnownFolder(folder);
        }
    }

    SyncExtraWatchDirsWithSnapshot();
    return true;
}

void CoreStop() {
    gCoreState.stopRequested.exchange(1);

    std::vector<HANDLE> workers;
    if (gCoreState.processMonitorThread) workers.push_back(gCoreState.processMonitorThread);
    for (void* h : gCoreState.knownFolderWatcherThreads)
        if (h) workers.push_back(h);
    if (!workers.empty()) {
        WaitForMultipleObjects(static_cast<DWORD>(workers.size()), workers.data(), TRUE, 5000);
    }
    for (HANDLE h : workers) CloseHandle(h);
    gCoreState.processMonitorThread = nullptr;
    for (void*& h : gCoreState.knownFolderWatcherThreads) h = nullptr;

    if (gStopExtraWatchers) gStopExtraWatchers();
    // The watchers feed it, so it ends after them.
    if (gStopContentChecks) gStopContentChecks();
    if (gStopIncidentContext) gStopIncidentContext();

    DeleteCoreLock(gConfigLock);
    DeleteCoreLock(gWatchSetLock);
    LogMessage("shutdown", "Vellumgard core shutting down");
    DeleteCoreLock(gBurstLock);
}
