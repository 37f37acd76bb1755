// The watch set of extra folders.
//
// Design notes:
// - One watcher per folder key, even with synchronisations running at once:
//   a key is reserved under WatchSetLock before its thread is started, so a
//   second synchronisation sees it as watched.
// - Nothing waits while holding WatchSetLock: entries to stop are taken out
//   under the lock and waited for after it is left (CoreStop included), since
//   a watcher that is itself synchronising needs the lock to finish.
// - No thread waits for itself: a watcher's own incident write can run a
//   synchronisation that drops that very watcher; it is then only signalled.
// - Each watcher gets its own duplicate of its stop event, so the set may
//   close its handles after a bounded wait while the watcher still waits on
//   the event.
// - Once the core's stop has begun, no synchronisation starts a watcher, and
//   one that was being started is not registered but stopped at once.
#include "fsmon/watch_set.h"

#include <windows.h>

#include <vector>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/hooks.h"
#include "core/locks.h"
#include "core/paths.h"
#include "core/text.h"
#include "fsmon/watch_dirs.h"

namespace {

struct ExtraWatcher {
    HANDLE thread = nullptr;
    DWORD threadId = 0;
    HANDLE stopEvent = nullptr;
    std::wstring folder;
    std::wstring key;
};

// Guarded by gWatchSetLock.
std::vector<ExtraWatcher> gExtraWatchers;
std::vector<std::wstring> gStartingKeys;  // reserved while their thread starts

bool HasKeyLocked(const std::wstring& key) {
    for (const ExtraWatcher& w : gExtraWatchers)
        if (w.key == key) return true;
    for (const std::wstring& k : gStartingKeys)
        if (k == key) return true;
    return false;
}

void RemoveStartingKeyLocked(const std::wstring& key) {
    for (size_t i = 0; i < gStartingKeys.size(); ++i) {
        if (gStartingKeys[i] == key) {
            gStartingKeys.erase(gStartingKeys.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

// Waits for each watcher (never the calling thread itself), then closes the
// set's handles. The watchers must already be signalled.
void WaitAndRelease(const std::vector<ExtraWatcher>& stopped, DWORD timeoutMs) {
    const DWORD self = GetCurrentThreadId();
    for (const ExtraWatcher& w : stopped) {
        if (w.thread) {
            if (w.threadId != self) WaitForSingleObject(w.thread, timeoutMs);
            CloseHandle(w.thread);
        }
    }
    for (const ExtraWatcher& w : stopped)
        if (w.stopEvent) CloseHandle(w.stopEvent);
}

// Starts the watcher thread of one folder; false when anything failed (all
// that was made is released again).
bool StartExtraWatcher(const WatchDir& dir, ExtraWatcher& out) {
    HANDLE stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!stopEvent) return false;
    HANDLE watcherCopy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), stopEvent, GetCurrentProcess(), &watcherCopy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        CloseHandle(stopEvent);
        return false;
    }
    auto* start = new WatcherStart{dir.path, watcherCopy};
    unsigned long id = 0;
    HANDLE thread = StartWorkerThread(gFolderWatcherMain, start, &id);
    if (!thread) {
        delete start;
        CloseHandle(watcherCopy);
        CloseHandle(stopEvent);
        return false;
    }
    out = {thread, id, stopEvent, dir.path, dir.key};
    return true;
}

}  // namespace

bool IsExtraDirWatched(const std::wstring& key) {
    CoreLockGuard guard(gWatchSetLock);
    return HasKeyLocked(key);
}

size_t ExtraWatcherCount() {
    CoreLockGuard guard(gWatchSetLock);
    return gExtraWatchers.size();
}

void SyncExtraWatchDirs(const Config& settings) {
    const std::vector<WatchDir> desired = DesiredWatchDirs(settings.extraWatchDirs);
    auto isDesired = [&desired](const std::wstring& key) {
        for (const WatchDir& d : desired)
            if (d.key == key) return true;
        return false;
    };

    // Drop the watchers of folders no longer listed.
    std::vector<ExtraWatcher> stopped;
    {
        CoreLockGuard guard(gWatchSetLock);
        for (size_t i = 0; i < gExtraWatchers.size();) {
            if (isDesired(gExtraWatchers[i].key)) {
                ++i;
                continue;
            }
            if (gExtraWatchers[i].stopEvent) SetEvent(gExtraWatchers[i].stopEvent);
            stopped.push_back(gExtraWatchers[i]);
            gExtraWatchers.erase(gExtraWatchers.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    WaitAndRelease(stopped, 5000);

    // Start the listed folders that have no watcher yet.
    for (const WatchDir& dir : desired) {
        if (StopRequested()) return;
        {
            CoreLockGuard guard(gWatchSetLock);
            if (HasKeyLocked(dir.key)) continue;
            gStartingKeys.push_back(dir.key);
        }
        EnsureDirectoryTree(dir.path);
        const DWORD attrs = GetFileAttributesW(dir.path.c_str());
        ExtraWatcher watcher;
        bool started = false;
        if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) {
            if (gPlantCanaries) gPlantCanaries(dir.path, settings);
            started = StartExtraWatcher(dir, watcher);
        }
        bool registered = false;
        {
            CoreLockGuard guard(gWatchSetLock);
            RemoveStartingKeyLocked(dir.key);
            if (started && !StopRequested()) {
                gExtraWatchers.push_back(watcher);
                registered = true;
            }
        }
        if (started && !registered) {
            // The core began stopping meanwhile: this watcher must not outlive it.
            SetEvent(watcher.stopEvent);
            WaitAndRelease({watcher}, 3000);
            continue;
        }
        if (registered) LogEvent("extra_dir_mon_started", "\"folder\":\"" + JsonEscape(WideToUtf8(dir.path)) + "\"");
    }
}

void StopAllExtraWatchers() {
    std::vector<ExtraWatcher> stopped;
    {
        CoreLockGuard guard(gWatchSetLock);
        for (ExtraWatcher& w : gExtraWatchers)
            if (w.stopEvent) SetEvent(w.stopEvent);
        stopped.swap(gExtraWatchers);
    }
    WaitAndRelease(stopped, 3000);
}
