// The folder-watcher thread: watches one folder tree for changes and turns
// each change record into log events and, when warranted, incidents; what the
// system lost (an overflowed queue, files in a new subfolder under Wine) it
// recovers by listing the tree.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fsmon/change_recovery.h"
#include "fsmon/extended_name_rules.h"
#include "fsmon/notify_records.h"
#include "fsmon/save_hold.h"
#include "fsmon/self_paths.h"

// Thread procedure (WorkerMainFn). arg: a WatcherStart* the thread takes over,
// including its stop event (which it closes when it ends). 1 when the record
// is missing, the folder cannot be opened or the completion event cannot be
// made; otherwise 0.
uint32_t FolderWatcher(void* arg);

// What a watcher settles once at its start: the resolved key of its folder,
// which of its records lie inside the agent's own data folder, and the
// reconciliation's time margin for the folder's volume.
struct WatcherContext {
    std::wstring folderKey;
    SelfFilter self;
    uint64_t recoveryMargin = kCoarseMarginTicks;
};

WatcherContext MakeWatcherContext(const std::wstring& folder);

// What a watcher learns while it runs; its own thread alone touches it.
struct WatcherState {
    WatcherContext context;
    ReportedNames reported;       // names handled, live or recovered, and when
    PendingAdded pendingAdded;    // "added" names that may be new folders
    RescanPlan rescan;            // the reconciliation under way, if any
    uint64_t lastCompletion = 0;  // file time of the last completed request
    RequestTimes requests;        // when the change requests were issued
    uint64_t batchWindow = 0;     // the window start of the batch being processed; 0: now
    uint32_t overflowsInARow = 0;
    uint64_t reissueAtMs = 0;     // after overflows in a row: no request before this tick
    ExtendedNameState names;      // the extended name rules' memory across records and batches
    HeldFindings heldFindings;    // rename findings waiting for a save to give the name back
};

// Everything one completed batch leads to: per record the canary test, the
// "dir_change" event and the name tests; then one burst-detector call.
// Records inside the data folder are skipped before anything else, and a
// batch made only of them is no batch at all. The lines are gathered and
// appended in one write wherever another part logs by itself (before a call
// into the incident store or the burst detector) and at the end, so they land
// in the order of one line per append.
void ProcessChangeBatch(WatcherState& state, const std::wstring& folder,
                        const std::vector<NotifyRecord>& records);
void ProcessChangeBatch(const std::wstring& folder, const std::vector<NotifyRecord>& records);

// Entries one reconciliation pass lists at most before it stops with
// "dir_rescan_cut" (tests lower it).
constexpr size_t kRescanEntryLimit = 100000;
extern std::atomic<size_t> gRescanEntryLimit;

// The two drain steps, both on in the program: the lines of a batch appended
// in one write, and the next change request issued before the completed one
// is processed. The benchmark turns each off to measure what it gains.
struct WatcherDrainSteps {
    std::atomic<bool> gatherLines{true};
    std::atomic<bool> issueBeforeProcessing{true};
};
extern WatcherDrainSteps gWatcherDrainSteps;

// Counters over every watcher of the process, read by the benchmark.
struct WatcherCounters {
    std::atomic<uint64_t> records{0};  // live records handled
    std::atomic<uint64_t> batches{0};  // completions with records
    std::atomic<uint64_t> overflows{0};
    std::atomic<uint64_t> recovered{0};  // records recovered by listing
    std::atomic<uint64_t> cuts{0};
    std::atomic<uint64_t> firstRecordTime{0};  // file times; 0 before the first
    std::atomic<uint64_t> lastRecordTime{0};
    std::atomic<uint64_t> firstOverflowTime{0};
    std::atomic<uint64_t> recordsBeforeFirstOverflow{0};
    std::atomic<bool> keepOverflowWindows{false};  // the benchmark's; off, nothing is kept
};
extern WatcherCounters gWatcherCounters;
void ResetWatcherCounters();
// The file-time windows ([from, to]) in which overflows lost changes, the
// first 4,096, while keepOverflowWindows is set.
std::vector<std::pair<uint64_t, uint64_t>> WatcherOverflowWindows();

// Test seam: replaces ReadDirectoryChangesW when set.
using ReadDirectoryChangesFn = BOOL(WINAPI*)(HANDLE, LPVOID, DWORD, BOOL, DWORD, LPDWORD, LPOVERLAPPED,
                                             LPOVERLAPPED_COMPLETION_ROUTINE);
extern ReadDirectoryChangesFn gReadDirectoryChangesSeam;
