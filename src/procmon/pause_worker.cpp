#include "procmon/pause_worker.h"

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "core/clock.h"
#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/handles.h"
#include "core/paths.h"
#include "core/text.h"
#include "fsmon/damaged_files.h"
#include "procmon/context_json.h"
#include "procmon/handle_listing.h"
#include "procmon/incident_context.h"
#include "procmon/pause_rules.h"
#include "procmon/process_memory.h"
#include "procmon/process_pauser.h"

ProgramPausedFn gProgramPaused = nullptr;

namespace {

constexpr uint32_t kListingPauseMs = 150;  // between two listings

struct PauseWork {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<IncidentCreatedInfo> queue;
    bool stopping = false;
    HANDLE thread = nullptr;
    HANDLE stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<PausedProgram> paused;  // under lock
};

PauseWork& Work() {
    static PauseWork* work = new PauseWork;  // a worker that outlived the stop still finds it
    return *work;
}

// Writes the list as it is now; called with the lock held.
void SavePausedListLocked(const PauseWork& work) {
    WriteTextFile(PausedListPath(), FormatPausedList(work.paused));
}

void LogResponse(const ResponseRecord& record) {
    LogEvent("response", ResponseMembers(record));
}

bool AlreadyPaused(int32_t pid, int64_t startedMs) {
    PauseWork& work = Work();
    std::lock_guard<std::mutex> hold(work.lock);
    return std::any_of(work.paused.begin(), work.paused.end(),
                       [&](const PausedProgram& p) { return p.pid == pid && p.startedMs == startedMs; });
}

// Pauses one process unless it is never to be paused; its record goes to `records`.
bool PauseOne(int32_t pid, int64_t expectedStartMs, const std::string& evidence, const std::string& incident,
              const std::wstring& neverPause, std::vector<ResponseRecord>& records) {
    int64_t started = 0;
    const PauseTarget target = DescribePauseTarget(pid, started);
    ResponseRecord r;
    r.pid = pid;
    r.image = target.path;
    r.incident = incident;
    if (expectedStartMs != 0 && started != expectedStartMs) return false;  // gone, its pid given again
    if (AlreadyPaused(pid, started)) return false;
    if (const char* why = NeverPauseReason(target, WindowsFolderPath(), neverPause)) {
        r.action = kActionSkipped;
        r.evidence = std::string(why) + "; " + evidence;
        records.push_back(r);
        LogResponse(r);
        return false;
    }
    uint32_t error = 0;
    const PauseResult result = SuspendProcessExactly(pid, started, error);
    if (result == PauseResult::Gone) return false;
    r.action = result == PauseResult::Done ? kActionPaused : kActionFailed;
    r.evidence = result == PauseResult::Done
                     ? evidence
                     : evidence + "; the platform refused (" + std::to_string(error) + ")";
    records.push_back(r);
    LogResponse(r);
    if (result != PauseResult::Done) return false;

    PausedProgram p;
    p.pid = pid;
    p.startedMs = started;
    p.pausedMs = NowUnixMs();
    p.path = target.path;
    p.evidence = evidence;
    p.incident = incident;
    {
        PauseWork& work = Work();
        std::lock_guard<std::mutex> hold(work.lock);
        work.paused.push_back(p);
        SavePausedListLocked(work);
    }
    if (gProgramPaused) gProgramPaused(p);
    return true;
}

// The path as a handle's name gives it: links and mapped folders resolved
// (under Wine the profile's folders are links to the host's), so that the
// watcher's paths and the listing's compare. The path itself when it cannot
// be opened (a file already renamed away).
std::wstring FinalPathOf(const std::wstring& path) {
    UniqueHandle h(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h) return path;
    std::wstring out(32768, L'\0');
    const DWORD n = GetFinalPathNameByHandleW(h.get(), &out[0], static_cast<DWORD>(out.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= out.size()) return path;
    out.resize(n);
    return NormalizeHandlePath(out);
}

void Decide(const IncidentCreatedInfo& info, HANDLE stopEvent) {
    ConfigSnapshot settings;
    SnapshotConfig(settings);
    const std::string incident = WideToUtf8(LastPathComponent(info.incidentFolder));
    const int32_t self = static_cast<int32_t>(GetCurrentProcessId());

    // The candidates: the processes remembered as started in the last ten
    // minutes, still running; looked up again before each listing, since the
    // monitor may remember the writer only a moment after the trigger.
    std::map<int32_t, RememberedProcess> candidates;
    std::vector<int32_t> pids;
    auto refresh = [&] {
        for (const RememberedProcess& p : RecentProcesses(NowUnixMs()))
            if (p.endedMs == 0 && p.pid != self && p.pid != 0 && p.pid != 4 && !candidates.count(p.pid)) {
                candidates[p.pid] = p;
                pids.push_back(p.pid);
            }
    };

    EvidenceQuery query;
    query.triggerMs = info.timeMs;
    query.tree = FinalPathOf(info.folder);
    if (!info.file.empty()) query.detectionFile = FinalPathOf(JoinPath(info.folder, info.file));
    std::map<std::wstring, std::wstring> finalPaths;  // each damaged file resolved once
    std::map<int32_t, std::vector<HandleSighting>> seen;
    std::map<int32_t, PauseEvidence> found;
    std::vector<ResponseRecord> records;

    auto judge = [&] {
        query.damaged.clear();
        for (const NotedDamage& d : RecentDamagedFiles(NowUnixMs())) {
            auto known = finalPaths.find(d.path);
            if (known == finalPaths.end()) known = finalPaths.emplace(d.path, FinalPathOf(d.path)).first;
            query.damaged.push_back({known->second, d.loggedMs});
        }
        for (auto& s : seen) {
            if (found.count(s.first)) continue;
            const PauseEvidence e = FindWriteEvidence(query, s.second);
            if (!e.found) continue;
            found[s.first] = e;
            const RememberedProcess& parent = candidates[s.first];
            if (!PauseOne(s.first, parent.startedMs, DescribeEvidence(e), incident,
                          settings.neverPausePrograms, records))
                continue;
            RememberedProcess root = parent;
            root.startedMs = ProcessCreationMs(parent.pid);
            for (const RememberedProcess& child : ChildrenStartedAfter(root, RecentProcesses(NowUnixMs())))
                PauseOne(child.pid, child.startedMs,
                         "started by " + WideToUtf8(LastPathComponent(parent.path)) + " (pid " +
                             std::to_string(parent.pid) + "), which was paused",
                         incident, settings.neverPausePrograms, records);
        }
    };

    // The Restart Manager, where it answers, names holders of the detection's
    // file that started before the memory reaches back; they become
    // candidates too, and only their handles' access is evidence.
    std::shared_ptr<HolderQuery> holderQuery;
    if (!info.file.empty()) holderQuery = StartHolderQuery(JoinPath(info.folder, info.file));
    auto addHolders = [&] {
        std::vector<RememberedProcess> holders;
        if (!holderQuery || !HolderQueryAnswered(holderQuery, holders)) return;
        holderQuery.reset();
        for (const RememberedProcess& h : holders)
            if (h.pid != self && h.pid != 0 && h.pid != 4 && !candidates.count(h.pid)) {
                candidates[h.pid] = h;
                pids.push_back(h.pid);
            }
    };

    for (;;) {
        refresh();
        addHolders();
        if (NowUnixMs() > info.timeMs + kEvidenceWindowMs || (!pids.empty() && found.size() == pids.size()))
            break;
        const FileHandleListing listing = ListFileHandles(pids);
        if (listing.listed && listing.listedMs >= info.timeMs) {
            for (const ListedFileHandle& f : listing.files)
                seen[f.pid].push_back({f.path, f.access, listing.listedMs});
            judge();
        }
        if (stopEvent && WaitForSingleObject(stopEvent, kListingPauseMs) == WAIT_OBJECT_0) break;
    }
    // The file held during the last listings may be judged a moment later.
    if (!stopEvent || WaitForSingleObject(stopEvent, kLateDamageWaitMs) != WAIT_OBJECT_0) judge();

    if (!records.empty() && !info.incidentFolder.empty())
        WriteTextFile(JoinPath(info.incidentFolder, L"response.json"), BuildResponseJson(incident, records));
}

uint32_t PauseWorkerMain(void*) {
    PauseWork& work = Work();
    for (;;) {
        IncidentCreatedInfo info;
        {
            std::unique_lock<std::mutex> hold(work.lock);
            work.wake.wait(hold, [&] { return work.stopping || !work.queue.empty(); });
            if (work.stopping) {
                work.queue.clear();
                return 0;
            }
            info = std::move(work.queue.front());
            work.queue.pop_front();
        }
        try {
            Decide(info, work.stopEvent);
        } catch (...) {
        }
    }
}

}  // namespace

std::wstring PausedListPath() {
    return JoinPath(gDataPaths.dataDir, L"paused_programs.txt");
}

void QueuePauseDecision(const IncidentCreatedInfo& info) {
    ConfigSnapshot settings;
    SnapshotConfig(settings);
    if (!PauseSettingsActive(settings.pauseSuspectPrograms, settings.extendedDetection,
                             settings.enableProcessMonitor) ||
        !IsPauseTrigger(info.reason, info.severity))
        return;
    PauseWork& work = Work();
    std::lock_guard<std::mutex> hold(work.lock);
    if (work.stopping || StopRequested() || work.queue.size() >= kPauseQueueLimit) return;
    if (!work.thread) work.thread = static_cast<HANDLE>(StartWorkerThread(PauseWorkerMain, nullptr, nullptr));
    if (!work.thread) return;
    work.queue.push_back(info);
    work.wake.notify_one();
}

std::vector<PausedProgram> PausedPrograms() {
    PauseWork& work = Work();
    std::lock_guard<std::mutex> hold(work.lock);
    return work.paused;
}

void LoadPausedList() {
    std::string text;
    std::vector<PausedProgram> kept;
    if (ReadWholeFile(PausedListPath(), text))
        for (const PausedProgram& p : ParsePausedList(text))
            if (ProcessCreationMs(p.pid) == p.startedMs) kept.push_back(p);
    PauseWork& work = Work();
    std::lock_guard<std::mutex> hold(work.lock);
    work.paused = kept;
    if (!text.empty()) SavePausedListLocked(work);
}

void AnswerPausedProgram(const PausedProgram& program, PausedDecision decision) {
    ResponseRecord r;
    r.pid = program.pid;
    r.image = program.path;
    r.evidence = program.evidence;
    r.incident = program.incident;
    uint32_t error = 0;
    PauseResult result = PauseResult::Done;
    if (decision == PausedDecision::End) {
        result = EndProcessExactly(program.pid, program.startedMs, error);
        r.action = kActionEnded;
    } else if (decision == PausedDecision::Resume) {
        result = ResumeProcessExactly(program.pid, program.startedMs, error);
        r.action = kActionResumed;
    } else {
        r.action = kActionKept;
    }
    if (result == PauseResult::Failed) {
        r.action = kActionFailed;
        r.evidence += "; the platform refused (" + std::to_string(error) + ")";
    } else if (result == PauseResult::Gone) {
        r.evidence += "; the program had already ended";
    }
    LogResponse(r);
    if (decision == PausedDecision::Keep || result == PauseResult::Failed) return;
    PauseWork& work = Work();
    std::lock_guard<std::mutex> hold(work.lock);
    work.paused.erase(std::remove_if(work.paused.begin(), work.paused.end(),
                                     [&](const PausedProgram& p) {
                                         return p.pid == program.pid && p.startedMs == program.startedMs;
                                     }),
                      work.paused.end());
    SavePausedListLocked(work);
}

void StopPauseWorker() {
    PauseWork& work = Work();
    HANDLE thread = nullptr;
    std::vector<PausedProgram> paused;
    {
        std::lock_guard<std::mutex> hold(work.lock);
        paused = work.paused;
        if (work.thread) {
            work.stopping = true;
            thread = work.thread;
        }
    }
    if (thread) {
        work.wake.notify_all();
        if (work.stopEvent) SetEvent(work.stopEvent);
        const bool ended = WaitForSingleObject(thread, kPauseStopWaitMs) == WAIT_OBJECT_0;
        CloseHandle(thread);
        std::lock_guard<std::mutex> hold(work.lock);
        work.thread = nullptr;
        if (ended) {
            work.stopping = false;
            if (work.stopEvent) ResetEvent(work.stopEvent);
        }
        paused = work.paused;
    }
    for (const PausedProgram& p : paused) {
        ResponseRecord r;
        r.action = kActionKept;
        r.pid = p.pid;
        r.image = p.path;
        r.evidence = "the agent stopped; the program stays paused";
        r.incident = p.incident;
        LogResponse(r);
    }
}
