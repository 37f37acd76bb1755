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
//  - a barrier: when the Incidents folder itself changed since the last scan
//    (a folder came, went or was renamed), the scan creates a marker in its
//    sync folder and waits for the watch to report it; records come in order,
//    so by then every earlier change has been reported too;
//  - a full re-enumeration when the watch lost records, ended or cannot run,
//    and a census (enumerate and stat, on the watch thread) every few
//    minutes as a safety net, for what a watch does not report (under Wine,
//    changes inside folders that existed before it started).
// The result is the one a fresh enumeration and read of every file gives.
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

namespace {

constexpr auto kBarrierWait = std::chrono::milliseconds(1000);
constexpr size_t kMaxPendingNotes = 4096;
constexpr size_t kMaxPendingNames = 65536;

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
    std::vector<CensusEntry> census;
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
        watchBatches{0}, watchOverflows{0}, lastCensusMs{0};
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
    std::vector<CensusEntry> census;
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
    t.census.swap(in.census);
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
    uint64_t generation = 0;   // of the running watch the index relies on; 0: none
    bool built = false;        // a full refresh has run under that watch
    uint64_t folderWrite = 0;  // the Incidents folder's last-write time when last caught up
    YoungFolders young;
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

void Forget(ScannerState& s) {
    StopIncidentWatch();
    ExpectPosts(0, std::wstring());
    s = ScannerState();
}

bool FolderWriteTime(const std::wstring& dir, uint64_t& time) {
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!GetFileAttributesExW(dir.c_str(), GetFileExInfoStandard, &info)) return false;
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    time = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
           info.ftLastWriteTime.dwLowDateTime;
    return true;
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

// Enumerates the folder as the scan is specified to, reading only the files
// the index does not already hold unchanged.
void FullRefresh(ScannerState& s) {
    ++TheCounters().fullRefreshes;
    std::vector<std::wstring> present;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(FindFirstFileW(JoinPath(s.dir, L"*").c_str(), &entry));
    if (find.valid()) {
        do {
            if (entry.cFileName[0] == L'.' || !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
            const std::wstring name = entry.cFileName;
            const std::wstring json = JoinPath(JoinPath(s.dir, name), L"incident.json");
            FileStamp stamp;
            // An oversized file is no incident; it is not read at all.
            if (!StatIncidentFile(json, stamp) || stamp.size > kMaxIncidentJsonBytes) continue;
            if (IndexNeedsRead(s.index, name, stamp)) {
                std::string content;
                if (!ReadIncidentFile(json, stamp.size, content)) continue;
                IndexPut(s.index, name, ReadIncident(content, stamp));
            }
            present.push_back(name);
        } while (FindNextFileW(find.get(), &entry));
    }
    IndexKeepOnly(s.index, present);
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
        if (file && stamp.size <= kMaxIncidentJsonBytes && ReadIncidentFile(json, stamp.size, content)) {
            IndexPut(s.index, name, ReadIncident(content, stamp));
            ForgetYoung(s.young, name);
            continue;
        }
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
ScanWork PrepareScan(ScannerState& s, uint64_t folderWrite, Taken& in) {
    if (s.generation == 0 || in.ended || !IncidentWatchRunning()) RestartWatch(s, in);
    const ScanWork work =
        ChooseScanWork(s.built, s.generation != 0, in.overflow, folderWrite != s.folderWrite);
    if (work != ScanWork::Barrier) return work;
    if (PassBarrier(s.dir)) {
        MergeTaken(in, TakeInbox());
        if (in.overflow || in.ended) return ScanWork::FullRefresh;
        // The marker came and went: the folder's time now includes it.
        FolderWriteTime(s.dir, s.folderWrite);
        return ScanWork::Incremental;
    }
    // The watch did not report the marker in time: it is not to be relied on.
    RestartWatch(s, in);
    return ScanWork::FullRefresh;
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

    uint64_t folderWrite = 0;
    if (!FolderWriteTime(dir, folderWrite)) {
        // No Incidents folder (or no access to it): nothing to list or watch.
        Forget(s);
        s.dir = dir;
        return false;
    }

    Taken in = TakeInbox();
    const ScanWork work = PrepareScan(s, folderWrite, in);
    std::set<std::wstring> relook;
    for (std::wstring& name : MoveCut(s.index, cutoff)) relook.insert(std::move(name));

    std::vector<std::wstring> censusOrder;
    if (work == ScanWork::FullRefresh) {
        // Whatever the watch lost before this point, the enumeration sees.
        MergeTaken(in, TakeInbox());
        if (!FolderWriteTime(dir, s.folderWrite)) s.folderWrite = folderWrite;
        FullRefresh(s);
        s.built = s.generation != 0;
        s.lastCensusTick = tick;
        s.censusAsked = false;
    } else {
        if (in.censusReady) {
            for (std::wstring& name : CensusDifferences(s.index, in.census)) relook.insert(std::move(name));
            censusOrder.reserve(in.census.size());
            for (const CensusEntry& c : in.census) censusOrder.push_back(c.name);
            s.censusPeriodMs = CensusPeriodMs(in.censusCostMs);
            TheCounters().lastCensusMs = in.censusCostMs;
            s.lastCensusTick = tick;
            s.censusAsked = false;
            ++TheCounters().censuses;
        }
        for (const auto& note : in.notes)
            if (IsIncidentFolderName(note.first)) IndexPut(s.index, note.first, NotedIncident(note.second));
        for (std::wstring& name : YoungToRecheck(s.young, tick)) relook.insert(std::move(name));
        for (std::wstring& name : ShortEntries(s.index)) relook.insert(std::move(name));
    }
    relook.insert(in.names.begin(), in.names.end());
    Relook(s, relook, in.names, tick);
    // Positions after the census's own changes are in, so its new folders get theirs.
    if (!censusOrder.empty()) ApplyEnumerationOrder(s.index, censusOrder);

    if (CollectRecent(s.index, cutoff, list) == RecentResult::NeedsEnumeration) {
        // Equal times among folders whose enumeration order is not known yet.
        FullRefresh(s);
        CollectRecent(s.index, cutoff, list);
    }

    if (s.built && !s.censusAsked && CensusDue(tick, s.lastCensusTick, s.censusPeriodMs)) {
        RequestIncidentCensus();
        s.censusAsked = true;
    }
    return !s.index.entries.empty();
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
            // Out of memory half-way: the next scan starts afresh.
            Forget(State());
            throw;
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

void NoteIncidentFoldersRemoved(const std::wstring& incidentsDir, const std::vector<std::wstring>& names) {
    std::lock_guard<std::mutex> guard(InboxMutex());
    Inbox& in = TheInbox();
    if (in.generation == 0 || in.dir != incidentsDir) return;  // no index yet: the first scan lists the disk
    for (const std::wstring& name : names) {
        if (in.names.size() >= kMaxPendingNames) {
            in.names.clear();
            in.overflow = true;
            return;
        }
        in.names.insert(name);  // looked at again: gone, so removed from the index
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

void PostCensus(uint64_t generation, std::vector<CensusEntry> census, uint32_t costMs) {
    std::lock_guard<std::mutex> guard(InboxMutex());
    Inbox& in = TheInbox();
    if (generation != in.generation) return;
    in.census = std::move(census);
    in.censusCostMs = costMs;
    in.censusReady = true;
}
