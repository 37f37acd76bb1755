// Start and stop of the core: paths, locks, configuration, canaries, the
// event log's "startup"/"shutdown" and the worker threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "core/hooks.h"

// The record a folder-watcher thread receives. Allocated by the starter with
// new; the thread takes ownership and deletes it before anything else.
struct WatcherStart {
    std::wstring folder;
    void* stopEvent = nullptr;  // HANDLE; null for known folders (they end through stopRequested)
};

struct CoreState {
    bool isAdmin = false;
    std::atomic<int32_t> stopRequested{0};
    // Seconds since 1970 before which canary changes are not incidents; 0 = none.
    std::atomic<int64_t> canaryWarmupDeadline{0};
    void* processMonitorThread = nullptr;                      // HANDLE, main thread only
    void* knownFolderWatcherThreads[3] = {nullptr, nullptr, nullptr};  // HANDLEs, main thread only
};

extern CoreState gCoreState;

bool CoreStart(bool isAdmin);
void CoreStop();

// The user's Downloads folder (it has no CSIDL; its known-folder lookup is
// loaded at run time). False when the shell cannot name it.
bool DownloadsFolder(std::wstring& out);

// Creates a thread running fn(arg) with the default stack size; returns its
// handle (a HANDLE), or null when it could not be created, in which case the
// caller keeps ownership of arg.
void* StartWorkerThread(WorkerMainFn fn, void* arg, unsigned long* threadId);

inline bool StopRequested() { return gCoreState.stopRequested.load() != 0; }
