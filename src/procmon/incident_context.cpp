// Two threads besides the caller's: the context worker, started on the first
// queued incident and ended by CoreStop, and one short-lived thread per
// Restart Manager query. The query thread owns its record through a shared
// pointer, so the worker may give up on it (after kHolderWaitMs, or at the
// stop) and the thread still finishes on memory of its own; it touches no
// other state but one counter that lives as long as the process.
#include "procmon/incident_context.h"

#include <windows.h>
// After windows.h, which it needs.
#include <restartmanager.h>
#include <shlobj.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/handles.h"
#include "core/paths.h"
#include "core/text.h"
#include "procmon/context_json.h"
#include "procmon/process_memory.h"
#include "procmon/process_memory_win.h"
#include "procmon/culprit_ranking.h"
#include "procmon/process_events.h"

struct HolderQuery {
    std::wstring file;
    std::wstring probeFile;  // a file this query holds open itself, to learn whether listing works
    UniqueHandle done;       // set when the fields below are final
    bool known = false;
    std::vector<RememberedProcess> holders;
};

namespace {

int64_t FileTimeToMs(const FILETIME& ft) {
    return FileTimeToUnixMs((static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

std::string FormatLocalIso(int64_t ms) {
    const uint64_t ticks = static_cast<uint64_t>(ms + 11644473600000LL) * 10000;
    FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME utc, local;
    if (!FileTimeToSystemTime(&ft, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        return "";
    LocalTimeParts parts;
    parts.year = local.wYear;
    parts.month = local.wMonth;
    parts.day = local.wDay;
    parts.hour = local.wHour;
    parts.minute = local.wMinute;
    parts.second = local.wSecond;
    return LocalIso(parts);
}

// --- Which processes hold a file open: the Restart Manager ----------------

std::atomic<size_t> gHolderQueriesRunning{0};
// Whether the platform lists holders at all: -1 not yet probed, 0 no, 1 yes.
// Wine answers every query with an empty list, which would read as "nobody".
std::atomic<int> gHolderListingWorks{-1};

bool ListHolders(const std::wstring& file, std::vector<RM_PROCESS_INFO>& infos) {
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (RmStartSession(&session, 0, key) != ERROR_SUCCESS) return false;
    LPCWSTR files[] = {file.c_str()};
    bool listed = false;
    if (RmRegisterResources(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS) {
        infos.clear();
        // The list may grow between the two calls; a few rounds settle it.
        for (int round = 0; round < 4; ++round) {
            UINT needed = 0, count = static_cast<UINT>(infos.size());
            DWORD reasons = 0;
            const DWORD rc =
                RmGetList(session, &needed, &count, infos.empty() ? nullptr : infos.data(), &reasons);
            if (rc == ERROR_SUCCESS) {
                infos.resize(count);
                listed = true;
                break;
            }
            if (rc != ERROR_MORE_DATA) break;
            infos.resize(needed);
        }
    }
    RmEndSession(session);
    return listed;
}

// Holds the probe file open and asks for its holders: only a platform that
// names this very process can be trusted when it names nobody.
bool HolderListingWorks(const std::wstring& probeFile) {
    const int known = gHolderListingWorks.load();
    if (known >= 0) return known == 1;
    UniqueHandle probe(CreateFileW(probeFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!probe) return false;  // try again with the next query
    std::vector<RM_PROCESS_INFO> infos;
    bool works = false;
    if (ListHolders(probeFile, infos)) {
        for (const RM_PROCESS_INFO& info : infos)
            works = works || info.Process.dwProcessId == GetCurrentProcessId();
    }
    gHolderListingWorks.store(works ? 1 : 0);
    return works;
}

RememberedProcess HolderProcess(const RM_PROCESS_INFO& info) {
    RememberedProcess p;
    p.pid = static_cast<int32_t>(info.Process.dwProcessId);
    p.startedMs = FileTimeToMs(info.Process.ProcessStartTime);
    p.name = info.strAppName;
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, info.Process.dwProcessId));
    FILETIME created, exited, kernel, user;
    // Only the process the list named: a pid given out again has another creation time.
    if (process && GetProcessTimes(process.get(), &created, &exited, &kernel, &user) &&
        CompareFileTime(&created, &info.Process.ProcessStartTime) == 0) {
        std::wstring path(32768, L'\0');
        DWORD size = static_cast<DWORD>(path.size());
        if (QueryFullProcessImageNameW(process.get(), 0, &path[0], &size)) {
            path.resize(size);
            p.path = path;
            p.name = LastPathComponent(path);
        }
    }
    return p;
}

uint32_t HolderQueryMain(void* arg) {
    std::unique_ptr<std::shared_ptr<HolderQuery>> own(static_cast<std::shared_ptr<HolderQuery>*>(arg));
    HolderQuery& q = **own;
    // Whatever happens, the waiter is told and the count goes down.
    try {
        std::vector<RM_PROCESS_INFO> infos;
        if (HolderListingWorks(q.probeFile) && ListHolders(q.file, infos)) {
            for (const RM_PROCESS_INFO& info : infos) q.holders.push_back(HolderProcess(info));
            q.known = true;
        }
    } catch (...) {
        q.known = false;
        q.holders.clear();
    }
    SetEvent(q.done.get());
    --gHolderQueriesRunning;
    return 0;
}

struct Holders {
    bool known = false;
    std::vector<RememberedProcess> list;
};

// Starts a query on its own thread; null when none may or can start.
std::shared_ptr<HolderQuery> StartQuery(const std::wstring& file) {
    if (gHolderListingWorks.load() == 0 || gHolderQueriesRunning.load() >= kMaxStuckHolderQueries)
        return nullptr;
    auto query = std::make_shared<HolderQuery>();
    query->file = file;
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    query->probeFile =
        JoinPath(n > 0 && n <= MAX_PATH ? std::wstring(temp, n) : gDataPaths.dataDir,
                 L"vellumgard_holder_probe_" + std::to_wstring(GetCurrentProcessId()) + L".tmp");
    query->done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!query->done) return nullptr;
    auto* arg = new std::shared_ptr<HolderQuery>(query);
    ++gHolderQueriesRunning;
    HANDLE thread = static_cast<HANDLE>(StartWorkerThread(HolderQueryMain, arg, nullptr));
    if (!thread) {
        --gHolderQueriesRunning;
        delete arg;
        return nullptr;
    }
    CloseHandle(thread);
    return query;
}

// Waits at most kHolderWaitMs, less when the stop is signalled.
Holders AskForHolders(const std::wstring& file, HANDLE stopEvent) {
    Holders result;
    const std::shared_ptr<HolderQuery> query = StartQuery(file);
    if (!query) return result;
    const HANDLE done = query->done.get();
    const HANDLE waits[2] = {done, stopEvent};
    if (WaitForMultipleObjects(stopEvent ? 2 : 1, waits, FALSE, kHolderWaitMs) == WAIT_OBJECT_0) {
        result.known = query->known;
        result.list = query->holders;
    }
    return result;  // otherwise the query finishes on its own copy
}

// --- What the ranking needs besides the processes -------------------------

bool DownloadsFolderPath(std::wstring& out) {
    static const GUID kFolderIdDownloads = {
        0x374DE290, 0x123F, 0x4565, {0x91, 0x64, 0x39, 0xC4, 0x92, 0x5E, 0x46, 0x7B}};
    UniqueCoTaskMem path;
    if (FAILED(SHGetKnownFolderPath(kFolderIdDownloads, 0, nullptr, path.put())) || !path.get()) return false;
    out = path.get();
    return true;
}

std::wstring LongPath(const std::wstring& path) {
    std::wstring out(32768, L'\0');
    const DWORD n = GetLongPathNameW(path.c_str(), &out[0], static_cast<DWORD>(out.size()));
    if (n == 0 || n >= out.size()) return path;
    out.resize(n);
    return out;
}

std::vector<std::wstring> UserWritableCandidates() {
    std::vector<std::wstring> candidates;
    std::wstring folder;
    if (DownloadsFolderPath(folder)) candidates.push_back(folder);
    for (int csidl : {CSIDL_DESKTOPDIRECTORY, CSIDL_APPDATA, CSIDL_LOCAL_APPDATA})
        if (ShellFolderPath(csidl, folder)) candidates.push_back(folder);
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    if (n > 0 && n <= MAX_PATH) candidates.push_back(LongPath(std::wstring(temp, n)));
    for (const wchar_t* name : {L"TEMP", L"TMP", L"APPDATA", L"LOCALAPPDATA"}) {
        wchar_t value[MAX_PATH + 1];
        const DWORD len = GetEnvironmentVariableW(name, value, MAX_PATH + 1);
        if (len > 0 && len <= MAX_PATH) candidates.push_back(LongPath(std::wstring(value, len)));
    }
    return UserWritableFolders(candidates);
}

std::wstring WindowsFolder() {
    wchar_t folder[MAX_PATH + 1];
    const UINT n = GetWindowsDirectoryW(folder, MAX_PATH + 1);
    return n > 0 && n <= MAX_PATH ? std::wstring(folder, n) : std::wstring(L"C:\\Windows");
}

// --- The worker -----------------------------------------------------------

struct ContextWork {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<IncidentCreatedInfo> queue;
    bool stopping = false;
    HANDLE thread = nullptr;
    HANDLE stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // cuts a holder wait short
};

// Never freed: a worker that outlived the stop's bounded wait still finds it.
ContextWork& Work() {
    static ContextWork* work = new ContextWork;
    return *work;
}

std::string IncidentName(const IncidentCreatedInfo& info) {
    return WideToUtf8(LastPathComponent(info.incidentFolder));
}

// A program started just before the damage may not be remembered yet: wait,
// at most kFreshListWaitMs, for the monitor's next look at the process list.
// On the WMI path there is no such look and the whole wait is its events' delay.
void WaitForProcessListAfter(int64_t incidentMs, HANDLE stopEvent) {
    const ULONGLONG started = GetTickCount64();
    while (ProcessListCurrentMs() < incidentMs && GetTickCount64() - started < kFreshListWaitMs) {
        if (stopEvent && WaitForSingleObject(stopEvent, 50) == WAIT_OBJECT_0) return;
        if (!stopEvent) Sleep(50);
    }
}

void GatherContext(const IncidentCreatedInfo& info, HANDLE stopEvent) {
    const std::string name = IncidentName(info);
    SuspectQuery query;
    WaitForProcessListAfter(info.timeMs, stopEvent);
    const int64_t now = NowUnixMs();
    RefreshProcessEnds(now);
    query.recent = RecentProcesses(now);
    query.incidentMs = info.timeMs;
    query.damageStartMs = DamageStartMs(info.reason, info.timeMs, gLiveConfig.burstWindowSeconds.load());
    query.memoryStartMs = ProcessMemoryStartMs();
    query.userWritableFolders = UserWritableCandidates();
    query.systemFolder = WindowsFolder();
    // The context is gathered only with extendedDetection on: timing alone names nobody.
    ConfigSnapshot settings;
    SnapshotConfig(settings);
    query.needsSecondFact = true;
    query.suspiciousScore = EffectiveScoreThreshold(settings.processSuspiciousScoreThreshold);
    if (!info.file.empty()) {
        Holders holders = AskForHolders(JoinPath(info.folder, info.file), stopEvent);
        query.holdersKnown = holders.known;
        query.holders = std::move(holders.list);
    }
    const SuspectRanking ranking = RankSuspects(query);
    const std::string text = BuildContextJson(name, query.holdersKnown, ranking, FormatLocalIso);
    if (!WriteTextFile(JoinPath(info.incidentFolder, L"context.json"), text)) {
        LogEvent("incident_context", IncidentContextErrorMembers(name, "context.json could not be written"));
        return;
    }
    LogEvent("incident_context", IncidentContextMembers(name, ranking));
}

uint32_t ContextWorkerMain(void*) {
    ContextWork& work = Work();
    for (;;) {
        IncidentCreatedInfo info;
        std::deque<IncidentCreatedInfo> dropped;
        bool stop = false;
        {
            std::unique_lock<std::mutex> hold(work.lock);
            work.wake.wait(hold, [&] { return work.stopping || !work.queue.empty(); });
            stop = work.stopping;
            if (stop) {
                dropped.swap(work.queue);
            } else {
                info = std::move(work.queue.front());
                work.queue.pop_front();
            }
        }
        if (stop) {
            for (const IncidentCreatedInfo& d : dropped)
                LogEvent("incident_context",
                         IncidentContextErrorMembers(IncidentName(d), "the agent stopped first"));
            return 0;
        }
        try {
            GatherContext(info, work.stopEvent);
        } catch (...) {
            LogEvent("incident_context", IncidentContextErrorMembers(IncidentName(info), "gathering failed"));
        }
    }
}

}  // namespace

void QueueIncidentContext(const IncidentCreatedInfo& info) {
    if (!gLiveConfig.extendedDetection.load()) return;
    ContextWork& work = Work();
    const char* refused = nullptr;
    {
        std::lock_guard<std::mutex> hold(work.lock);
        if (work.stopping || StopRequested()) {
            refused = "the agent is stopping";
        } else if (work.queue.size() >= kContextQueueLimit) {
            refused = "too many incidents at once";
        } else {
            if (!work.thread)
                work.thread = static_cast<HANDLE>(StartWorkerThread(ContextWorkerMain, nullptr, nullptr));
            if (work.thread) {
                work.queue.push_back(info);
                work.wake.notify_one();
            } else {
                refused = "no worker thread";
            }
        }
    }
    if (refused) LogEvent("incident_context", IncidentContextErrorMembers(IncidentName(info), refused));
}

void StopIncidentContext() {
    ContextWork& work = Work();
    HANDLE thread = nullptr;
    {
        std::lock_guard<std::mutex> hold(work.lock);
        if (!work.thread) return;
        work.stopping = true;
        thread = work.thread;
    }
    work.wake.notify_all();
    if (work.stopEvent) SetEvent(work.stopEvent);
    const bool ended = WaitForSingleObject(thread, kContextStopWaitMs) == WAIT_OBJECT_0;
    CloseHandle(thread);
    std::lock_guard<std::mutex> hold(work.lock);
    work.thread = nullptr;
    // A worker that did not end keeps the queue closed; it still finds its record.
    if (ended) {
        work.stopping = false;
        if (work.stopEvent) ResetEvent(work.stopEvent);
    }
}

std::shared_ptr<HolderQuery> StartHolderQuery(const std::wstring& file) {
    return StartQuery(file);
}

bool HolderQueryAnswered(const std::shared_ptr<HolderQuery>& query, std::vector<RememberedProcess>& holders) {
    holders.clear();
    if (!query || WaitForSingleObject(query->done.get(), 0) != WAIT_OBJECT_0) return false;
    if (query->known) holders = query->holders;
    return true;
}
