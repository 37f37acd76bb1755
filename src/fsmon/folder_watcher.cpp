// The folder watcher.
//
// Draining fast: the system keeps changes for a handle only up to the size of
// the request's buffer (under Wine: until the next request is read, whatever
// piles up must fit one buffer), and what does not fit is lost with a
// zero-byte completion. So a batch costs one log append, not one per record,
// and the next request is issued before the completed one is processed.
//
// Recovering: an overflow is logged ("dir_overflow"), counts as one batch for
// the burst detector, and starts a reconciliation that lists the tree and
// reports the files changed since the request before it was issued that were
// not reported (fsmon/change_recovery.h); back-to-back overflows make one
// pass, and after overflows in a row the next request waits a moment. The
// listing runs one buffer per turn of the loop, between completions, so the
// watcher keeps draining and sees its stop event.
//
// At most one change request is outstanding at a time (the two buffers take
// turns). When the watcher stops with a request still outstanding, it cancels
// it and waits for the cancellation to complete before the buffers and
// OVERLAPPEDs go away, so the system never writes into freed memory.
#include "fsmon/folder_watcher.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "core/clock.h"
#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/handles.h"
#include "core/paths.h"
#include "core/text.h"
#include "fsmon/burst_detector.h"
#include "fsmon/canary_files.h"
#include "fsmon/content_check.h"
#include "fsmon/content_rules.h"
#include "fsmon/damaged_files.h"
#include "fsmon/extended_name_rules.h"
#include "fsmon/file_name_heuristics.h"
#include "fsmon/save_hold.h"
#include "fsmon/tree_listing.h"
#include "incidents/incident_store.h"

ReadDirectoryChangesFn gReadDirectoryChangesSeam = nullptr;
std::atomic<size_t> gRescanEntryLimit{kRescanEntryLimit};
WatcherDrainSteps gWatcherDrainSteps;
WatcherCounters gWatcherCounters;

namespace {

constexpr DWORD kBufferBytes = 4096;
constexpr DWORD kNotifyFilter =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_CREATION;  // 0x51
constexpr DWORD kWaitMs = 3000;
constexpr DWORD kFailedRequestPauseMs = 500;
constexpr size_t kNameChecksPerTurn = 64;
// While completions keep coming, draining goes first: a reconciliation step
// runs when the queue is momentarily empty, or at least this often.
constexpr uint64_t kStepEveryMs = 100;
constexpr size_t kOverflowWindowsKept = 4096;

std::mutex gOverflowWindowsMutex;
std::vector<std::pair<uint64_t, uint64_t>> gOverflowWindows;

std::string FieldMembers(const std::string& folderJson, const std::string& fileJson, const char* key,
                         const char* value) {
    return "\"folder\":\"" + folderJson + "\",\"file\":\"" + fileJson + "\",\"" + key + "\":\"" + value +
           "\"";
}

// The lines of one batch (or one listing step), appended in one write.
struct GatheredLines {
    std::string text;
};

void Emit(GatheredLines& lines, const char* type, const std::string& members) {
    std::string line = BuildEventLine(NowLocalIso(), type, members);
    if (!gWatcherDrainSteps.gatherLines.load(std::memory_order_relaxed)) {
        AppendLogLine(line);
        return;
    }
    lines.text += line;
    lines.text += '\n';
}

// Before any call that logs by itself, and at the end of a batch.
void Flush(GatheredLines& lines) {
    if (lines.text.empty()) return;
    AppendLogLines(lines.text);
    lines.text.clear();
}

// What the records of one batch share.
struct BatchScope {
    const std::wstring& folder;
    std::string folderJson;
    ConfigSnapshot settings;
    GatheredLines lines;
    std::vector<BatchRecordName> contentNames;  // extended detection: files whose content is checked
    explicit BatchScope(const std::wstring& f) : folder(f), folderJson(JsonEscape(WideToUtf8(f))) {
        SnapshotConfig(settings);
    }
};

// A name rule's finding: "dir_file_heuristic" and its incident.
void ReportNameFinding(BatchScope& batch, const std::wstring& name, const char* reason, MassRename massRename,
                       bool recovered) {
    const std::string fileJson = JsonEscape(WideToUtf8(name));
    const char* mark = recovered ? ",\"recovered\":true" : "";
    // A file a rename rule flagged counts as damaged for the pauser's
    // evidence, before any incident asks for it.
    if (gLiveConfig.extendedDetection.load() &&
        (massRename != MassRename::kNone || std::strcmp(reason, "appended_extension") == 0 ||
         std::strcmp(reason, "replaced_extension") == 0))
        NoteDamagedFile(batch.folder + L"\\" + name, NowUnixMs());
    Emit(batch.lines, "dir_file_heuristic", FieldMembers(batch.folderJson, fileJson, "reason", reason) + mark);
    const int32_t configured = gLiveConfig.dirFileHeuristicIncidentSeverity.load();
    Flush(batch.lines);
    // A mass rename makes one incident of its own, and its later files none.
    if (massRename == MassRename::kReport)
        CreateIncidentWithFile(kReasonMassRename, MassRenameSeverity(batch.settings.massRenameIncidentSeverity),
                               batch.folder, name);
    else if (massRename == MassRename::kNone)
        CreateIncidentWithFile(kReasonDirFile, configured <= 0 ? 65 : configured, batch.folder, name);
}

// Held rename findings whose save did not come back in time (all of them
// for a watcher with no later turn).
void ReleaseHeldFindings(WatcherState& state, BatchScope& batch, uint64_t nowMs) {
    HeldFinding due;
    while (TakeDueFinding(state.heldFindings, nowMs, due))
        ReportNameFinding(batch, due.name, due.reason, MassRename::kNone, due.recovered);
}

void ReleaseHeldFindings(WatcherState& state, const std::wstring& folder, uint64_t nowMs) {
    if (state.heldFindings.items.empty()) return;
    BatchScope batch(folder);
    ReleaseHeldFindings(state, batch, nowMs);
    Flush(batch.lines);
}

// One change record, live or recovered, through the whole per-record path:
// the canary test, "dir_change", the name tests. A recovered record's lines
// carry "recovered":true after the other members.
void HandleChangeRecord(WatcherState& state, BatchScope& batch, const NotifyRecord& record, bool recovered) {
    const std::string fileJson = JsonEscape(WideToUtf8(record.name));
    const char* action = ActionText(record.action);
    const char* mark = recovered ? ",\"recovered\":true" : "";

    if (IsCanaryTouch(batch.settings, record.name) &&
        !IsOwnFreshCanary(state.context.folderKey, batch.folder, record.name, record.action)) {
        Emit(batch.lines, "canary_triggered",
             FieldMembers(batch.folderJson, fileJson, "action", action) + mark);
        const int32_t severity =
            batch.settings.canaryIncidentSeverity <= 0 ? 90 : batch.settings.canaryIncidentSeverity;
        Flush(batch.lines);
        CreateIncidentWithFile(kReasonCanary, severity, batch.folder, record.name);
    }

    Emit(batch.lines, "dir_change", FieldMembers(batch.folderJson, fileJson, "action", action) + mark);
    // Every record: a rename or a deletion may name the user file a new name is judged against.
    if (gLiveConfig.extendedDetection.load()) batch.contentNames.push_back({record.name, record.action});

    const bool heuristics = gLiveConfig.enableDirFileHeuristics.load();
    const bool noteOn = heuristics && gLiveConfig.ransomNoteHeuristicsEnabled.load();
    const bool extOn = heuristics && gLiveConfig.encryptedExtHeuristicsEnabled.load();
    const char* reason = nullptr;
    MassRename massRename = MassRename::kNone;
    if (gLiveConfig.extendedDetection.load()) {
        // Every record goes through, switches off included, so the rules'
        // memory (rename pairs, deleted originals, notes in other folders) stays
        // current; what one tree cannot judge is pooled with every other tree.
        const ExtendedNameVerdict verdict =
            EvaluateRecordInTree(state.names, &gSharedNameEvidence, batch.folder, record.name,
                                 static_cast<int>(record.action), NowSeconds(), noteOn, extOn);
        reason = verdict.reason;
        massRename = verdict.massRename;
        // A save gives its user file the original name back: what was held for it is dropped.
        if (record.action == FILE_ACTION_ADDED || record.action == FILE_ACTION_RENAMED_NEW_NAME)
            DropRestored(state.heldFindings, record.name);
        if (EndsTheHold(verdict)) ReleaseHeldFindings(state, batch, UINT64_MAX);
        if (ShouldHoldFinding(verdict) &&
            HoldFinding(state.heldFindings, record.name, verdict, recovered, GetTickCount64()))
            reason = nullptr;
    } else {
        const bool note = noteOn && IsRansomNoteLikeName(record.name);
        const bool ext = extOn && HasEncryptedLikeExtension(record.name);
        if (note || ext)
            reason = note && ext ? "ransom_note_and_encrypted_ext"
                     : note      ? "ransom_note_like_name"
                                 : "encrypted_like_extension";
    }
    if (reason) ReportNameFinding(batch, record.name, reason, massRename, recovered);
}

// What a live record teaches the watcher: the name is reported, and an
// "added" name may be a new folder to list, judged by the window of the batch
// that carried the record (what was made in it may predate the batch's handling).
void LearnFromLiveRecord(WatcherState& state, const NotifyRecord& record, uint64_t now, uint64_t nowMs,
                         uint64_t window) {
    SettleByRecord(state.pendingAdded, record.name, record.action);
    if (record.action == FILE_ACTION_REMOVED || record.action == FILE_ACTION_RENAMED_OLD_NAME) return;
    NoteReportedName(state.reported, record.name, now);
    if (record.action != FILE_ACTION_ADDED) return;
    // A full list: the folder holding the name is listed instead, which finds new folders in it.
    if (!NoteAddedName(state.pendingAdded, record.name, nowMs, window))
        PlanParentFolder(state.rescan, record.name, window);
}

// After the batch's lines are written and with no lock held: the worker
// takes the files from here, and the watcher never waits for it.
void HandContentChecks(const WatcherState& state, const BatchScope& batch) {
    if (!batch.contentNames.empty())
        QueueContentChecks(batch.folder, state.context.folderKey, ContentCheckNames(batch.contentNames));
}

void CountFirst(std::atomic<uint64_t>& slot, uint64_t value) {
    uint64_t expected = 0;
    slot.compare_exchange_strong(expected, value);
}

}  // namespace

WatcherContext MakeWatcherContext(const std::wstring& folder) {
    WatcherContext context;
    context.folderKey = ResolvePathKey(folder);
    context.self = MakeSelfFilterOnDisk(context.folderKey, ResolvePathKey(gDataPaths.dataDir));
    context.recoveryMargin = RecoveryMarginOf(folder);
    return context;
}

void ProcessChangeBatch(const std::wstring& folder, const std::vector<NotifyRecord>& records) {
    WatcherState state;
    state.context = MakeWatcherContext(folder);
    ProcessChangeBatch(state, folder, records);
    ReleaseHeldFindings(state, folder, UINT64_MAX);  // no later turn to wait for a save
}

void ProcessChangeBatch(WatcherState& state, const std::wstring& folder,
                        const std::vector<NotifyRecord>& records) {
    if (records.empty()) return;
    bool anyOther = false;
    for (const NotifyRecord& record : records)
        anyOther = anyOther || !IsOwnRecord(state.context.self, record.name);
    if (!anyOther) return;

    BatchScope batch(folder);
    const uint64_t now = FileTimeNow();
    const uint64_t nowMs = GetTickCount64();
    const uint64_t window = state.batchWindow ? state.batchWindow : now;
    CountFirst(gWatcherCounters.firstRecordTime, now);
    uint64_t handled = 0;
    for (const NotifyRecord& record : records) {
        if (IsOwnRecord(state.context.self, record.name)) continue;
        HandleChangeRecord(state, batch, record, false);
        LearnFromLiveRecord(state, record, now, nowMs, window);
        ++handled;
    }
    Flush(batch.lines);
    HandContentChecks(state, batch);
    gWatcherCounters.records += handled;
    ++gWatcherCounters.batches;
    gWatcherCounters.lastRecordTime = now;
    if (gWatcherCounters.firstOverflowTime.load() == 0)
        gWatcherCounters.recordsBeforeFirstOverflow += handled;
    NoteChangeBatch(folder);
}

void ResetWatcherCounters() {
    gWatcherCounters.records = 0;
    gWatcherCounters.batches = 0;
    gWatcherCounters.overflows = 0;
    gWatcherCounters.recovered = 0;
    gWatcherCounters.cuts = 0;
    gWatcherCounters.firstRecordTime = 0;
    gWatcherCounters.lastRecordTime = 0;
    gWatcherCounters.firstOverflowTime = 0;
    gWatcherCounters.recordsBeforeFirstOverflow = 0;
    std::lock_guard<std::mutex> guard(gOverflowWindowsMutex);
    gOverflowWindows.clear();
}

std::vector<std::pair<uint64_t, uint64_t>> WatcherOverflowWindows() {
    std::lock_guard<std::mutex> guard(gOverflowWindowsMutex);
    return gOverflowWindows;
}

namespace {

bool StopSignalled(HANDLE stopEvent) {
    return StopRequested() || (stopEvent && WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0);
}

// A short pause that a stop cuts short.
void PauseUnlessStopping(HANDLE stopEvent, DWORD ms) {
    for (DWORD waited = 0; waited < ms && !StopSignalled(stopEvent); waited += 50) {
        if (stopEvent)
            WaitForSingleObject(stopEvent, 50);
        else
            Sleep(50);
    }
}

// One buffer and its OVERLAPPED. Heap-held so their lifetime is explicit;
// DWORD elements give the 4-byte alignment the records need.
struct ChangeRequest {
    std::unique_ptr<DWORD[]> buffer{new DWORD[kBufferBytes / sizeof(DWORD)]};
    std::unique_ptr<OVERLAPPED> ov{new OVERLAPPED{}};
};

bool IssueChangeRequest(WatcherState& state, HANDLE dir, ChangeRequest& request) {
    NoteRequestIssued(state.requests, FileTimeNow());
    ResetEvent(request.ov->hEvent);
    auto read = gReadDirectoryChangesSeam ? gReadDirectoryChangesSeam : ReadDirectoryChangesW;
    DWORD ignored = 0;
    if (read(dir, request.buffer.get(), kBufferBytes, TRUE, kNotifyFilter, &ignored, request.ov.get(),
             nullptr))
        return true;
    return GetLastError() == ERROR_IO_PENDING;
}

// The system dropped what changed in the window: list the tree for what was
// lost, and unless the overflow merges into a pass already planned, say so
// and count it as a batch.
void HandleOverflow(WatcherState& state, const std::wstring& folder, uint64_t windowStart, uint64_t now) {
    if (state.context.self.everything) return;  // the whole tree is the agent's own data
    ++gWatcherCounters.overflows;
    CountFirst(gWatcherCounters.firstOverflowTime, now);
    if (gWatcherCounters.keepOverflowWindows.load()) {
        std::lock_guard<std::mutex> guard(gOverflowWindowsMutex);
        if (gOverflowWindows.size() < kOverflowWindowsKept) gOverflowWindows.emplace_back(windowStart, now);
    }
    if (!PlanOverflow(state.rescan, windowStart)) return;
    GatheredLines lines;
    Emit(lines, "dir_overflow", "\"folder\":\"" + JsonEscape(WideToUtf8(folder)) + "\"");
    Flush(lines);
    NoteChangeBatch(folder);
}

// Ends the reconciliation pass: its recovered records count as one batch.
void FinishPass(WatcherState& state, const std::wstring& folder, FolderReader& reader) {
    reader.dir.reset();
    reader.buffer.reset();  // a watcher between passes holds no listing memory
    const bool anyRecovered = state.rescan.recovered > 0;
    EndPass(state.rescan);
    if (anyRecovered) NoteChangeBatch(folder);
}

// One step of the reconciliation: at most one buffer of one folder.
void ReconcileStep(WatcherState& state, const std::wstring& folder, FolderReader& reader) {
    RescanPlan& plan = state.rescan;
    if (!reader.dir) {
        if (plan.dirs.empty()) {
            FinishPass(state, folder, reader);
            return;
        }
        const RescanItem item = plan.dirs.front();
        plan.dirs.pop_front();
        plan.listing = item;
        if (IsOwnRecord(state.context.self, item.dir)) return;
        OpenFolderReader(reader, folder, item.dir, item.windowStart);
        return;  // an unreadable folder is skipped at the next step
    }
    std::vector<ListedEntry> entries;
    if (!ReadFolderEntries(reader, entries)) return;
    const size_t limit = gRescanEntryLimit.load();
    const size_t room = plan.entries < limit ? limit - plan.entries : 0;
    if (entries.size() > room) entries.resize(room);
    const bool cut = CountListed(plan, entries.size(), limit);

    BatchScope batch(folder);
    const uint64_t now = FileTimeNow();
    const uint64_t liveFrom = plan.listing.liveCovered
                                  ? LiveFrom(state.lastCompletion, state.context.recoveryMargin)
                                  : kNothingLive;
    for (const ListedEntry& entry : entries) {
        if (IsOwnRecord(state.context.self, entry.name)) continue;
        if (entry.directory) {
            // Junctions and links are not followed: the change records do not follow them either.
            if (!entry.reparsePoint && !cut)
                PlanChildFolder(plan, entry.name, LatestChange(entry), plan.listing,
                                state.context.recoveryMargin);
            continue;
        }
        const Recovery verdict = JudgeListedEntry(entry, reader.windowStart, state.context.recoveryMargin,
                                                  state.reported, liveFrom);
        if (verdict == Recovery::None) continue;
        NotifyRecord record;
        record.action = verdict == Recovery::Added ? FILE_ACTION_ADDED : FILE_ACTION_MODIFIED;
        record.name = entry.name;
        HandleChangeRecord(state, batch, record, true);
        NoteReportedName(state.reported, record.name, now);
        ++plan.recovered;
        ++gWatcherCounters.recovered;
    }
    if (cut) {
        ++gWatcherCounters.cuts;
        Emit(batch.lines, "dir_rescan_cut", "\"folder\":\"" + batch.folderJson + "\"");
    }
    Flush(batch.lines);
    HandContentChecks(state, batch);
    if (cut) FinishPass(state, folder, reader);
}

// "added" names whose time has come: a folder among them is listed.
void CheckDueNames(WatcherState& state, const std::wstring& folder) {
    const uint64_t nowMs = GetTickCount64();
    PendingAdded::Name due;
    for (size_t i = 0; i < kNameChecksPerTurn && TakeDueName(state.pendingAdded, nowMs, due); ++i) {
        if (IsOwnRecord(state.context.self, due.name)) continue;
        bool isFolder = due.knownFolder;
        if (!isFolder) {
            const DWORD attributes = GetFileAttributesW(JoinPath(folder, due.name).c_str());
            isFolder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                       !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
        }
        if (isFolder) PlanSubtree(state.rescan, due.name, due.windowStart);
    }
}

// The work between completions: due names, then one reconciliation step.
void BackgroundWork(WatcherState& state, const std::wstring& folder, FolderReader& reader,
                    uint64_t& lastStepMs) {
    lastStepMs = GetTickCount64();
    CheckDueNames(state, folder);
    ReleaseHeldFindings(state, folder, GetTickCount64());
    if (state.rescan.running) ReconcileStep(state, folder, reader);
}

// After overflows in a row no request is outstanding until the pause ends;
// the background work goes on meanwhile.
void PauseBeforeReissue(WatcherState& state, const std::wstring& folder, FolderReader& reader,
                        uint64_t& lastStepMs, HANDLE stopEvent) {
    try {
        BackgroundWork(state, folder, reader, lastStepMs);
    } catch (...) {
    }
    const uint64_t nowMs = GetTickCount64();
    if (state.rescan.running || nowMs >= state.reissueAtMs) return;
    const DWORD rest = static_cast<DWORD>(std::min<uint64_t>(state.reissueAtMs - nowMs, kWaitMs));
    if (stopEvent)
        WaitForSingleObject(stopEvent, rest);
    else
        Sleep(std::min<DWORD>(rest, 50));
}

DWORD NextWaitMs(const WatcherState& state) {
    if (state.rescan.running) return 0;
    const uint64_t nowMs = GetTickCount64();
    int64_t due = MsUntilNextDue(state.pendingAdded, nowMs);
    const int64_t held = MsUntilNextFinding(state.heldFindings, nowMs);
    if (held >= 0 && (due < 0 || held < due)) due = held;
    if (due >= 0 && due < static_cast<int64_t>(kWaitMs)) return static_cast<DWORD>(due);
    return kWaitMs;
}

}  // namespace

uint32_t FolderWatcher(void* arg) {
    if (!arg) return 1;
    std::wstring folder;
    UniqueHandle stopEvent;
    {
        std::unique_ptr<WatcherStart> start(static_cast<WatcherStart*>(arg));
        folder = start->folder;
        stopEvent.reset(static_cast<HANDLE>(start->stopEvent));
    }
    if (folder.empty()) return 0;

    UniqueHandle dir(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
    if (!dir) {
        LogMessage("dir_mon_error", "Dir monitor: failed to open folder: " + WideToUtf8(folder));
        return 1;
    }
    UniqueHandle completion(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!completion) return 1;

    ChangeRequest requests[2];
    for (ChangeRequest& request : requests) request.ov->hEvent = completion.get();
    // Settled before the start is announced: under Wine nothing is seen
    // before the first request, so it follows the announcement closely.
    WatcherState state;
    state.context = MakeWatcherContext(folder);
    LogMessage("dir_mon", "Dir monitor started: " + WideToUtf8(folder));
    state.lastCompletion = FileTimeNow();
    state.requests = StartRequestTimes(state.lastCompletion);
    FolderReader reader;
    uint64_t lastStepMs = GetTickCount64();
    HANDLE waits[2] = {completion.get(), stopEvent.get()};
    const DWORD waitCount = stopEvent ? 2 : 1;
    int current = 0;  // the request outstanding, or the next one to issue
    bool pending = false;
    // The stop is looked at on every turn: under a continuous storm the
    // completion always wins the wait, and the watcher must still end.
    while (!StopSignalled(stopEvent.get())) {
        if (!pending) {
            if (GetTickCount64() < state.reissueAtMs) {
                PauseBeforeReissue(state, folder, reader, lastStepMs, stopEvent.get());
                continue;
            }
            if (!IssueChangeRequest(state, dir.get(), requests[current])) {
                LogMessage("dir_mon_error", "ReadDirectoryChangesW failed");
                break;
            }
            pending = true;
        }
        const DWORD r = WaitForMultipleObjects(waitCount, waits, FALSE, NextWaitMs(state));
        if (r == WAIT_TIMEOUT) {
            // The same request stays outstanding; meanwhile the background work.
            try {
                BackgroundWork(state, folder, reader, lastStepMs);
            } catch (...) {
            }
            continue;
        }
        if (r != WAIT_OBJECT_0) break;  // stop event, or a failed wait
        // As close as can be to the moment the system handed over the
        // request: what a later overflow loses happened after it.
        const uint64_t completedAt = FileTimeNow();
        pending = false;
        DWORD bytes = 0;
        const BOOL ok = GetOverlappedResult(dir.get(), requests[current].ov.get(), &bytes, FALSE);
        const CompletionKind kind = ClassifyCompletion(ok != FALSE, ok ? 0 : GetLastError(), bytes);
        if (kind == CompletionKind::Failed) {
            // A request that completed with an error: ask again, but not in a tight loop.
            PauseUnlessStopping(stopEvent.get(), kFailedRequestPauseMs);
            continue;
        }
        const uint64_t windowStart = CompletedWindowStart(state.requests);
        state.lastCompletion = completedAt;
        state.overflowsInARow = kind == CompletionKind::Overflow ? state.overflowsInARow + 1 : 0;
        const uint64_t pauseMs = ReissuePauseMs(state.overflowsInARow);
        if (pauseMs > 0) state.reissueAtMs = GetTickCount64() + pauseMs;
        const int done = current;
        bool issueFailed = false;
        if (gWatcherDrainSteps.issueBeforeProcessing.load(std::memory_order_relaxed)) {
            current ^= 1;
            if (pauseMs == 0) {
                pending = IssueChangeRequest(state, dir.get(), requests[current]);
                issueFailed = !pending;
            }
        }
        try {
            if (kind == CompletionKind::Batch) {
                state.batchWindow = windowStart;
                ProcessChangeBatch(
                    state, folder,
                    ParseNotifyBuffer(reinterpret_cast<const uint8_t*>(requests[done].buffer.get()),
                                      bytes < kBufferBytes ? bytes : kBufferBytes));
            } else {
                HandleOverflow(state, folder, windowStart, state.lastCompletion);
            }
            // Only names no window, running or to come, can ask about.
            ForgetReportedBefore(state.reported,
                                 ReportedNamesHorizon(state.rescan, state.pendingAdded, windowStart,
                                                      state.context.recoveryMargin));
            if (GetTickCount64() - lastStepMs >= kStepEveryMs)
                BackgroundWork(state, folder, reader, lastStepMs);
        } catch (...) {
            // Out of memory while handling one batch: drop it, keep watching.
        }
        if (issueFailed) {
            LogMessage("dir_mon_error", "ReadDirectoryChangesW failed");
            break;
        }
    }

    if (pending) {
        CancelIo(dir.get());
        DWORD ignored = 0;
        GetOverlappedResult(dir.get(), requests[current].ov.get(), &ignored, TRUE);
    }
    LogMessage("dir_mon", "Dir monitor stopping");
    return 0;
}
