// The incident scanner.
//
// The alert poll asks for the incidents of the last 24 hours every three
// seconds, and incident folders are never deleted, so reading every
// incident.json at every call costs more with every incident ever kept. A
// scan instead answers from an index of every incident (incident_index.h),
// built by the first scan, which reads every file, and kept current by:
//  - the store, which hands over each incident it writes (NoteIncidentWritten);
//  - the change watch on the Incidents folder (incident_watch.cpp), whose
//    reported folders are looked at again at the next scan;
//  - a barrier at every scan: the scan creates a marker in its sync folder
//    and waits for the watch to report it; records come in order, so by
//    then every earlier change has been reported too (an incident.json
//    edited in place changes no folder's time: only its record tells);
//  - a full re-enumeration when the watch lost records, ended or cannot run,
//    and a census (enumerate and stat, on a thread of its own) every few
//    minutes as a safety net, for what a watch does not report (under Wine,
//    changes inside folders that existed before it started). The census's
//    thread also compares it with the index, a slice at a time under the
//    scan's lock; the scan then looks only at the differences.
// The result is the one a fresh enumeration and read of every file gives.
// What fails once is tried again at the next scan: a listing that failed
// drops nothing and is done again, a file that could not be read keeps its
// entry and is read again, and a scan cut short by an exception keeps the
// index and the names it was handed.
#include "incidents/incident_scanner.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <utility>

#include "core/clock.h"
#include "core/core_lifecycle.h"
#include "core/handles.h"
#include "core/hooks.h"
#include "core/text.h"
#include "incidents/incident_index.h"
#include "incidents/incident_watch.h"

IncidentScanSeams gIncidentScanSeams;

namespace {

constexpr auto kBarrierWait = std::chrono::milliseconds(1000);
constexpr size_t kMaxPendingNotes = 4096;
constexpr size_t kMaxPendingNames = 65536;
constexpr size_t kCensusSlice = 4096;           // census entries compared per hold of the scan's lock
constexpr uint32_t kCensusRetryMs = 30 * 1000;  // after a census whose listing failed

// What the watch and the store handed over since the last scan. Its lock is
// held only for moments and never while the disk is read, so the store and
// the watch never wait for a scan.
struct Inbox {
    uint64_t generation = 0;  // the watch whose posts are taken; 0: none
    std::wstring dir;         // notes are taken for folders directly below it
    std::vector<std::pair<std::wstring, std::string>> notes;
    std::set<std::wstring> names;  // folder names the watch reported
    bool overflow = false;
    bool ended = false;
    bool censusReady = false;
    bool censusComplete = false;
    CensusDiff census;
    uint32_t censusCostMs = 0;
    std::wstring awaitedMarker;  // relative name a barrier waits for
    bool markerSeen = false;
};

// Never destroyed: a watch thread that outlived its bounded wait may still post.
std::mutex& InboxMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}
std::condition_variable& InboxChanged() {
    static auto* cv = new std::condition_variable;
    return *cv;
}
Inbox& TheInbox() {
    static Inbox* inbox = new Inbox;
    return *inbox;
}

struct Counters {
    std::atomic<uint64_t> fullRefreshes{0}, filesRead{0}, barriers{0}, censuses{0}, watchStarts{0},
        watchBatches{0}, watchOverflows{0}, lastCensusMs{0}, listingFailures{0}, readRetries{0},
        scanFailures{0};
};
Counters& TheCounters() {
    static Counters* c = new Counters;
    return *c;
}

// What a scan takes out of the inbox.
struct Taken {
    std::vector<std::pair<std::wstring, std::string>> notes;
    std::set<std::wstring> names;
    bool overflow = false;
    bool ended = false;
    bool censusReady = false;
    bool censusComplete = false;
    CensusDiff census;
    uint32_t censusCostMs = 0;
};

Taken TakeInbox() {
    std::lock_guard<std::mutex> guard(InboxMutex());
    Inbox& in = TheInbox();
    Taken t;
    t.notes.swap(in.notes);
    t.names.swap(in.names);
    t.overflow = std::exchange(in.overflow, false);
    t.ended = std::exchange(in.ended, false);
    t.censusReady = std::exchange(in.censusReady, false);
    t.censusComplete = in.censusComplete;
    t.census = std::move(in.census);
    in.census = CensusDiff();
    t.censusCostMs = in.censusCostMs;
    return t;
}

void MergeTaken(Taken& into, Taken&& more) {
    for (auto& n : more.notes) into.notes.push_back(std::move(n));
    into.names.insert(more.names.begin(), more.names.end());
    into.overflow = into.overflow || more.overflow;
    into.ended = into.ended || more.ended;
    if (more.censusReady) {
        into.censusReady = true;
        into.censusComplete = more.censusComplete;
        into.census = std::move(more.census);
        into.censusCostMs = more.censusCostMs;
    }
}

// From here on, posts of this watch generation (0: none) and notes for
// folders below dir are taken; everything pending is dropped.
void ExpectPosts(uint64_t generation, const std::wstring& dir) {
    std::lock_guard<std::mutex> guard(InboxMutex());
    Inbox fresh;
    fresh.generation = generation;
    fresh.dir = dir;
    TheInbox() = std::move(fresh);
}

// Everything the scanner keeps between scans. Guarded by ScanMutex().
struct ScannerState {
    std::wstring dir;
    IncidentIndex index;
    uint64_t generation = 0;  // of the running watch the index relies on; 0: none
    bool built = false;       // a full refresh has run under that watch
    YoungFolders young;
    ReadRetries retries;
    // Names to look at again, taken from the inbox: kept here until looked
    // at, so that a scan cut short leaves them to the next.
    std::set<std::wstring> pending;
    std::set<std::wstring> reported;  // those of them the watch reported
    std::vector<IncidentSummary> lastList;
    uint32_t lastCensusTick = 0;
    uint32_t censusPeriodMs = kMinCensusPeriodMs;
    bool censusAsked = false;
};

std::mutex& ScanMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}
ScannerState& State() {
    static ScannerState* s = new ScannerState;
    return *s;
}
std::atomic<uint64_t> gLastGeneration{0};

bool ListingFails(size_t listed) {
    return gIncidentScanSeams.listingFails && gIncidentScanSeams.listingFails(listed);
}

void Forget(ScannerState& s) {
    StopIncidentWatch();
    ExpectPosts(0, std::wstring());
    s = ScannerState();
}

bool IsFolder(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// Reads the whole file. One read usually does: it asks for one byte more
// than the stamp's size, and a short read of a disk file is its end.
bool ReadIncidentFile(const std::wstring& path, uint64_t expectedSize, std::string& content) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    ++TheCounters().filesRead;
    std::string buffer(static_cast<size_t>(expectedSize) + 1, '\0');
    size_t got = 0;
    for (;;) {
        const DWORD want = static_cast<DWORD>(std::min<size_t>(buffer.size() - got, 1u << 30));
        DWORD n = 0;
        if (!ReadFile(file.get(), &buffer[got], want, &n, nullptr) || n == 0) break;
        got += n;
        if (got < buffer.size()) {
            if (n < want) break;
            continue;
        }
        buffer.resize(buffer.size() * 2);  // it grew since the stamp was taken
    }
    buffer.resize(got);
    content.swap(buffer);
    return true;
}

bool ReadFolderIncident(const std::wstring& name, const std::wstring& json, uint64_t expectedSize,
                        std::string& content) {
    if (gIncidentScanSeams.readFails && gIncidentScanSeams.readFails(name)) return false;
    return ReadIncidentFile(json, expectedSize, content);
}

// A file that is there could not be read: true while its entry is kept as
// it was and the read tried again at the next scan.
bool KeepForRetry(ScannerState& s, const std::wstring& name) {
    if (!RetryRead(s.retries, name)) return false;
    ++TheCounters().readRetries;
    return true;
}

// Enumerates the folder as the scan is specified to, reading only the files
// the index does not already hold unchanged. False when the listing failed
// or was cut short: nothing is dropped then, and the next scan lists again.
bool FullRefresh(ScannerState& s) {
    ++TheCounters().fullRefreshes;
    std::vector<std::wstring> present;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(ListingFails(0) ? INVALID_HANDLE_VALUE
                                          : FindFirstFileW(JoinPath(s.dir, L"*").c_str(), &entry));
    bool complete = false;
    size_t listed = 0;
    while (find.valid()) {
        const std::wstring name = entry.cFileName;
        if (name[0] != L'.' && (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            const std::wstring json = JoinPath(JoinPath(s.dir, name), L"incident.json");
            FileStamp stamp;
            std::string content;
            // An oversized file is no incident; it is not read at all.
            if (!StatIncidentFile(json, stamp) || stamp.size > kMaxIncidentJsonBytes) {
                ForgetRetry(s.retries, name);
            } else if (!IndexNeedsRead(s.index, name, stamp)) {
                present.push_back(name);
            } else if (ReadFolderIncident(name, json, stamp.size, content)) {
                ForgetRetry(s.retries, name);
                IndexPut(s.index, name, ReadIncident(content, stamp));
                present.push_back(name);
            } else if (KeepForRetry(s, name)) {
                present.push_back(name);
            }
        }
        if (ListingFails(++listed)) break;
        if (!FindNextFileW(find.get(), &entry)) {
            complete = GetLastError() == ERROR_NO_MORE_FILES;
            break;
        }
    }
    if (!complete) ++TheCounters().listingFailures;
    IndexAfterListing(s.index, present, complete);
    return complete;
}

// Looks at the named folders on disk now, reading each incident.json anew.
void Relook(ScannerState& s, const std::set<std::wstring>& names, const std::set<std::wstring>& reported,
            uint32_t tick) {
    for (const std::wstring& name : names) {
        if (!IsIncidentFolderName(name)) continue;
        const std::wstring folder = JoinPath(s.dir, name);
        const std::wstring json = JoinPath(folder, L"incident.json");
        FileStamp stamp;
        std::string content;
        const bool file = StatIncidentFile(json, stamp);
        if (file && stamp.size <= kMaxIncidentJsonBytes) {
            if (ReadFolderIncident(name, json, stamp.size, content)) {
                IndexPut(s.index, name, ReadIncident(content, stamp));
                ForgetRetry(s.retries, name);
                ForgetYoung(s.young, name);
                continue;
            }
            if (KeepForRetry(s, name)) continue;
        }
        ForgetRetry(s.retries, name);
        IndexRemove(s.index, name);
        // A reported folder still waiting for its file is looked at again.
        if (!file && reported.count(name) && IsFolder(folder))
            MarkYoung(s.young, name, tick);
        else
            ForgetYoung(s.young, name);
    }
}

// Makes the watch deliver every record of the changes made before now.
bool PassBarrier(const std::wstring& dir) {
    ++TheCounters().barriers;
    static std::atomic<uint32_t> serial{0};
    const std::wstring marker = SyncFolderName() + L"\\m" + std::to_wstring(++serial);
    {
        std::lock_guard<std::mutex> guard(InboxMutex());
        TheInbox().awaitedMarker = marker;
        TheInbox().markerSeen = false;
    }
    bool seen = false;
    UniqueHandle file(CreateFileW(JoinPath(dir, marker).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (file) {
        file.reset();
        std::unique_lock<std::mutex> lock(InboxMutex());
        const Inbox& in = TheInbox();
        InboxChanged().wait_for(lock, kBarrierWait, [&] { return in.markerSeen || in.overflow || in.ended; });
        seen = in.markerSeen;
    }
    std::lock_guard<std::mutex> guard(InboxMutex());
    TheInbox().awaitedMarker.clear();
    return seen;
}

// Starts the watch afresh; the index must then be built again under it.
void RestartWatch(ScannerState& s, Taken& in) {
    StopIncidentWatch();
    in = Taken();  // posts of the old watch say nothing about the new one
    s.generation = 0;
    s.built = false;
    s.young = YoungFolders();
    s.censusAsked = false;
    // Once the core's stop has begun, scans enumerate instead of watching.
    if (StopRequested()) return;
    const uint64_t generation = ++gLastGeneration;
    ExpectPosts(generation, s.dir);
    if (StartIncidentWatch(s.dir, generation)) {
        s.generation = generation;
        ++TheCounters().watchStarts;
    } else {
        ExpectPosts(0, std::wstring());
    }
}

// Keeps the watch running and decides how much of the disk to look at.
ScanWork PrepareScan(ScannerState& s, Taken& in) {
    if (s.generation == 0 || in.ended || !IncidentWatchRunning()) RestartWatch(s, in);
    const ScanWork work = ChooseScanWork(s.built, s.generation != 0, in.overflow);
    if (work != ScanWork::Barrier) return work;
    if (PassBarrier(s.dir)) {
        MergeTaken(in, TakeInbox());
        return in.overflow || in.ended ? ScanWork::FullRefresh : ScanWork::Incremental;
    }
    // The watch did not report the marker in time: it is not to be relied on.
    RestartWatch(s, in);
    return ScanWork::FullRefresh;
}

// Moves what a scan took from the inbox into the state, where it stays until looked at.
void KeepPending(ScannerState& s, Taken& in) {
    s.pending.insert(in.names.begin(), in.names.end());
    s.reported.insert(in.names.begin(), in.names.end());
    in.names.clear();
    if (in.censusReady) s.pending.insert(in.census.relook.begin(), in.census.relook.end());
}

// True when at least one incident file is known.
bool ScanLocked(const std::wstring& dir, std::vector<IncidentSummary>& list) {
    ScannerState& s = State();
    if (s.dir != dir) {
        Forget(s);
        s.dir = dir;
    }
    const int64_t cutoff = NowSeconds() - 86400;
    const uint32_t tick = TickCount();

    if (!IsFolder(dir)) {
        // No Incidents folder (or no access to it): nothing to list or watch.
        Forget(s);
        s.dir = dir;
        return false;
    }

    Taken in = TakeInbox();
    const ScanWork work = PrepareScan(s, in);
    KeepPending(s, in);
    if (gIncidentScanSeams.scanTaken) gIncidentScanSeams.scanTaken();
    for (std::wstring& name : MoveCut(s.index, cutoff)) s.pending.insert(std::move(name));

    // Files that could not be read last time (those failing now wait for the next scan).
    for (std::wstring& name : ReadsToRetry(s.retries)) s.pending.insert(std::move(name));

    bool censusRanks = false;
    if (work == ScanWork::FullRefresh) {
        // Whatever the watch lost before this point, the enumeration sees.
        MergeTaken(in, TakeInbox());
        KeepPending(s, in);
        // Not built until the listing is through: a scan cut short lists again.
        s.built = false;
        s.built = FullRefresh(s) && s.generation != 0;
        s.lastCensusTick = tick;
        s.censusAsked = false;
    } else {
        if (in.censusReady && in.censusComplete) {
            censusRanks = true;
            s.censusPeriodMs = CensusPeriodMs(in.censusCostMs);
            TheCounters().lastCensusMs = in.censusCostMs;
            s.lastCensusTick = tick;
            s.censusAsked = false;
            ++TheCounters().censuses;
        } else if (in.censusReady) {
            // Its listing failed: another one soon.
            s.lastCensusTick = tick - s.censusPeriodMs + std::min(kCensusRetryMs, s.censusPeriodMs);
            s.censusAsked = false;
        }
        for (const auto& note : in.notes)
            if (IsIncidentFolderName(note.first)) IndexPut(s.index, note.first, NotedIncident(note.second));
        for (std::wstring& name : YoungToRecheck(s.young, tick)) s.pending.insert(std::move(name));
        for (std::wstring& name : ShortEntries(s.index)) s.pending.insert(std::move(name));
    }
    Relook(s, s.pending, s.reported, tick);
    s.pending.clear();
    s.reported.clear();
    // Positions after the census's own changes are in, so its new folders get theirs.
    if (censusRanks) ApplyCensusRanks(s.index, in.census);

    if (CollectRecent(s.index, cutoff, list) == RecentResult::NeedsEnumeration) {
        // Equal times among folders whose enumeration order is not known yet.
        if (!FullRefresh(s)) s.built = false;
        CollectRecent(s.index, cutoff, list);
    }
    s.lastList = list;

    if (s.built && !s.censusAsked && CensusDue(tick, s.lastCensusTick, s.censusPeriodMs)) {
        RequestIncidentCensus();
        s.censusAsked = true;
    }
    return !s.index.entries.empty();
}

// Takes the scan's lock for a census comparison; false once the census is
// cancelled (the watch ends) or the core stops.
bool LockForCensus(std::unique_lock<std::mutex>& lock, HANDLE cancel) {
    while (!lock.try_lock()) {
        if (StopRequested() || WaitForSingleObject(cancel, 2) != WAIT_TIMEOUT) return false;
    }
    return true;
}

}  // namespace

std::vector<IncidentSummary> ScanIncidents(const DataPaths& paths) {
    std::vector<IncidentSummary> list;
    bool anyIncident = false;
    {
        std::lock_guard<std::mutex> guard(ScanMutex());
        try {
            anyIncident = ScanLocked(paths.incidentsDir, list);
        } catch (...) {
            // Out of memory half-way: the index stays, with the names still
            // to look at, and the next scan carries on from there.
            ++TheCounters().scanFailures;
            try {
                list = State().lastList;
            } catch (...) {
                list.clear();
            }
            anyIncident = !State().index.entries.empty();
        }
    }
    // Outside the lock: a synchronisation may wait for watchers to stop.
    if (anyIncident) SyncExtraWatchDirsWithSnapshot();
    return list;
}

void NoteIncidentWritten(const std::wstring& incidentFolder, const std::string& text) {
    const size_t sep = incidentFolder.find_last_of(L'\\');
    if (sep == std::wstring::npos) return;
    std::lock_guard<std::mutex> guard(InboxMutex());
    Inbox& in = TheInbox();
    // Before the first scan armed the watch there is no index to tell.
    if (in.generation == 0 || incidentFolder.compare(0, sep, in.dir) != 0 || sep != in.dir.size()) return;
    if (in.notes.size() >= kMaxPendingNotes) {
        in.notes.clear();
        in.overflow = true;
        return;
    }
    in.notes.emplace_back(incidentFolder.substr(sep + 1), text);
}

void NoteIncidentFoldersRemoved(const std::vector<std::wstring>& incidentFolders) {
    std::lock_guard<std::mutex> guard(InboxMutex());
    Inbox& in = TheInbox();
    if (in.generation == 0) return;
    for (const std::wstring& folder : incidentFolders) {
        const size_t sep = folder.find_last_of(L'\\');
        if (sep == std::wstring::npos || sep != in.dir.size() || folder.compare(0, sep, in.dir) != 0)
            continue;
        if (in.names.size() >= kMaxPendingNames) {
            in.names.clear();
            in.overflow = true;
            return;
        }
        in.names.insert(folder.substr(sep + 1));
    }
}

void StopIncidentIndex() {
    std::lock_guard<std::mutex> guard(ScanMutex());
    Forget(State());
}

IncidentIndexCounters GetIncidentIndexCounters() {
    const Counters& c = TheCounters();
    IncidentIndexCounters out;
    out.fullRefreshes = c.fullRefreshes;
    out.filesRead = c.filesRead;
    out.barriers = c.barriers;
    out.censuses = c.censuses;
    out.watchStarts = c.watchStarts;
    out.watchBatches = c.watchBatches;
    out.watchOverflows = c.watchOverflows;
    out.lastCensusMs = c.lastCensusMs;
    out.listingFailures = c.listingFailures;
    out.readRetries = c.readRetries;
    out.scanFailures = c.scanFailures;
    return out;
}

bool IncidentIndexAwaits(const std::wstring& folderName) {
    std::lock_guard<std::mutex> guard(InboxMutex());
    return TheInbox().names.count(folderName) != 0;
}

void PostWatchNames(uint64_t generation, std::vector<std::wstring> relativeNames) {
    std::lock_guard<std::mutex> guard(InboxMutex());
    Inbox& in = TheInbox();
    if (generation != in.generation) return;
    ++TheCounters().watchBatches;
    for (const std::wstring& relative : relativeNames) {
        if (!in.awaitedMarker.empty() && relative == in.awaitedMarker) in.markerSeen = true;
        std::wstring top = TopLevelName(relative);
        if (!IsIncidentFolderName(top)) continue;
        if (in.names.size() >= kMaxPendingNames) {
            in.names.clear();
            in.overflow = true;
            break;
        }
        in.names.insert(std::move(top));
    }
    if (in.markerSeen) InboxChanged().notify_all();
}

void PostWatchOverflow(uint64_t generation) {
    std::lock_guard<std::mutex> guard(InboxMutex());
    Inbox& in = TheInbox();
    if (generation != in.generation) return;
    ++TheCounters().watchOverflows;
    in.overflow = true;
    in.names.clear();
    InboxChanged().notify_all();
}

void PostWatchEnded(uint64_t generation) {
    std::lock_guard<std::mutex> guard(InboxMutex());
    Inbox& in = TheInbox();
    if (generation != in.generation) return;
    in.ended = true;
    InboxChanged().notify_all();
}

void PostCensus(uint64_t generation, std::vector<CensusEntry> census, uint32_t costMs, bool complete,
                void* cancel) {
    {
        std::lock_guard<std::mutex> guard(InboxMutex());
        if (generation != TheInbox().generation) return;
    }
    CensusDiff diff;
    if (complete) {
        if (gIncidentScanSeams.censusCompare) gIncidentScanSeams.censusCompare();
        static std::atomic<uint32_t> serials{0};
        uint32_t serial = ++serials;
        if (serial == 0) serial = ++serials;
        std::vector<std::wstring> names;
        names.reserve(census.size());
        for (const CensusEntry& c : census) names.push_back(c.name);
        diff.asciiOrderVerified = ListedInFolderNameOrder(names);
        std::unique_lock<std::mutex> lock(ScanMutex(), std::defer_lock);
        size_t begin = 0;
        do {
            if (!LockForCensus(lock, static_cast<HANDLE>(cancel))) return;
            ScannerState& s = State();
            // Compared with the index of this watch only.
            if (s.generation != generation || !s.built) return;
            const size_t end = std::min(census.size(), begin + kCensusSlice);
            CompareCensusSlice(s.index, census, begin, end, serial, diff);
            if (end == census.size()) CompareUnlisted(s.index, serial, diff);
            lock.unlock();
            begin = end;
        } while (begin < census.size());
    }
    std::lock_guard<std::mutex> guard(InboxMutex());
    Inbox& in = TheInbox();
    if (generation != in.generation) return;
    in.census = std::move(diff);
    in.censusComplete = complete;
    in.censusCostMs = costMs;
    in.censusReady = true;
}
