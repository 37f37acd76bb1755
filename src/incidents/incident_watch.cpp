// The change watch on the Incidents folder.
//
// One change request over the whole tree is outstanding at a time. A
// completed batch is reduced to its names, the next request is issued, and
// only then are the names handed to the scanner, so little queues up in
// between. Under Wine a tree watch covers only the subfolders created after
// it started; the census covers the others. The census runs on a thread of
// its own that this thread starts on request and waits for at its end, so
// batches keep flowing (and barriers keep passing) while it lists.
//
// The thread owns its buffer, its OVERLAPPED and duplicates of its events:
// when it ends with a request outstanding it cancels it and waits for the
// cancellation before the buffer goes away, and a stopper that gives up
// waiting closes only its own handles. It also ends by itself within a
// second once the core's stop has begun.
#include "incidents/incident_watch.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <utility>

#include "core/core_lifecycle.h"
#include "core/handles.h"
#include "core/text.h"
#include "incidents/incident_store.h"

IncidentWatchSeams gIncidentWatchSeams;

namespace {

constexpr DWORD kBufferBytes = 64 * 1024;
constexpr DWORD kNotifyFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;
constexpr DWORD kStopCheckMs = 1000;
constexpr DWORD kSyncFolderWaitMs = 2000;
constexpr DWORD kArmWaitMs = 5000;
constexpr DWORD kStopWaitMs = 5000;
constexpr DWORD kCensusStopWaitMs = 3000;  // within the stopper's wait for the watch

// Handed to the thread, which deletes it first thing.
struct WatchStart {
    std::wstring dir;
    uint64_t generation = 0;
    UniqueHandle stop, census, armed;  // the thread's own duplicates
};

// The running watch. Touched only by the scanner, under its lock.
struct WatchRecord {
    HANDLE thread = nullptr;
    DWORD threadId = 0;
    HANDLE stop = nullptr;
    HANDLE census = nullptr;
};
WatchRecord gWatch;

bool Duplicate(HANDLE source, UniqueHandle& copy) {
    HANDLE h = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &h, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return false;
    copy.reset(h);
    return true;
}

bool Signalled(HANDLE event) {
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

// The one outstanding change request. Declared after the buffer and the
// OVERLAPPED it uses, so it is cancelled and finished before they go.
struct ChangeRequest {
    HANDLE dir;
    HANDLE completion;
    void* buffer;
    OVERLAPPED* ov;
    bool pending = false;

    bool Issue() {
        ResetEvent(completion);
        DWORD ignored = 0;
        pending =
            ReadDirectoryChangesW(dir, buffer, kBufferBytes, TRUE, kNotifyFilter, &ignored, ov, nullptr) ||
            GetLastError() == ERROR_IO_PENDING;
        return pending;
    }
    ~ChangeRequest() {
        if (!pending) return;
        CancelIoEx(dir, ov);
        DWORD ignored = 0;
        GetOverlappedResult(dir, ov, &ignored, TRUE);
    }
};

// Takes a completed batch and issues the next request. False when the
// request failed or cannot be issued again, or when the sync folder was
// removed: the watch is then over. (Under Wine a folder being deleted stays
// until every handle to it is closed; someone emptying the Incidents folder
// removes the sync folder first, and this handle then lets go at once.)
bool TakeBatch(ChangeRequest& request, uint64_t generation, const std::wstring& syncName, bool* syncMade) {
    request.pending = false;
    DWORD bytes = 0;
    if (!GetOverlappedResult(request.dir, request.ov, &bytes, FALSE)) return false;
    if (gIncidentWatchSeams.completedBytes) bytes = gIncidentWatchSeams.completedBytes(bytes);
    std::vector<ChangeRecord> records;
    if (bytes > 0)
        records = ParseChangeRecords(static_cast<const uint8_t*>(request.buffer),
                                     bytes < kBufferBytes ? bytes : kBufferBytes);
    const bool syncGone = RecordsRemove(records, syncName);
    if (!syncGone && !request.Issue()) return false;
    if (bytes == 0) {
        PostWatchOverflow(generation);
        return true;
    }
    std::vector<std::wstring> names;
    names.reserve(records.size());
    for (ChangeRecord& r : records) {
        if (syncMade && r.action == 1 && r.name == syncName) *syncMade = true;
        names.push_back(std::move(r.name));
    }
    PostWatchNames(generation, std::move(names));
    return !syncGone;
}

// The watched handle still names the folder at `path`: a folder deleted and
// made again under the same name is another one, which this handle no
// longer sees. When either side cannot be asked, it counts as the same.
bool SameFolder(HANDLE watched, const std::wstring& path) {
    UniqueHandle fresh(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!fresh) return false;
    BY_HANDLE_FILE_INFORMATION a, b;
    if (!GetFileInformationByHandle(watched, &a) || !GetFileInformationByHandle(fresh.get(), &b)) return true;
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// One census, shared by the watch thread and the census thread: a census
// thread outliving the watch's bounded wait still holds it.
struct CensusJob {
    std::wstring dir;
    uint64_t generation = 0;
    UniqueHandle watched;  // a duplicate of the watch's folder handle
    UniqueHandle cancel;   // set by the watch as it ends
    std::atomic<bool> folderGone{false};
};

// Enumerates the folder and stats every incident.json, without reading any.
// False when the folder is gone or replaced: the watch then ends.
bool RunCensus(CensusJob& job) {
    const DWORD started = GetTickCount();
    if (!SameFolder(job.watched.get(), job.dir)) return false;
    if (gIncidentWatchSeams.censusStarted) gIncidentWatchSeams.censusStarted();
    std::vector<CensusEntry> census;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(FindFirstFileW(JoinPath(job.dir, L"*").c_str(), &entry));
    bool complete = false;
    if (find.valid()) {
        size_t seen = 0;
        for (;;) {
            // A stop cuts a long census short.
            if ((++seen & 255) == 0 && (StopRequested() || Signalled(job.cancel.get()))) return true;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                IsIncidentFolderName(entry.cFileName)) {
                CensusEntry c;
                c.name = entry.cFileName;
                c.hasFile = StatIncidentFile(JoinPath(JoinPath(job.dir, c.name), L"incident.json"), c.stamp);
                census.push_back(std::move(c));
            }
            if (!FindNextFileW(find.get(), &entry)) {
                complete = GetLastError() == ERROR_NO_MORE_FILES;
                break;
            }
        }
    }
    // A listing that failed or was cut short is posted as such: it says
    // nothing about the folders it did not reach.
    if (!complete) census.clear();
    const DWORD cost = GetTickCount() - started;
    if (complete) SweepLeftoverTempFiles(job.dir, census);  // off the start path and the tray thread
    PostCensus(job.generation, std::move(census), cost, complete, job.cancel.get());
    return true;
}

uint32_t CensusMain(void* arg) {
    std::unique_ptr<std::shared_ptr<CensusJob>> job(static_cast<std::shared_ptr<CensusJob>*>(arg));
    try {
        if (!RunCensus(**job)) (*job)->folderGone = true;
    } catch (...) {
        // Out of memory: no census this time; the scanner asks again.
    }
    return 0;
}

// Starts a census thread. Where none can start there is no census this
// time (run here, its comparison could wait for a scan that waits for this
// thread's records); the scanner asks again.
void StartCensus(const std::wstring& dirPath, HANDLE dir, HANDLE cancel, uint64_t generation,
                 UniqueHandle& thread, std::shared_ptr<CensusJob>& running) {
    auto job = std::make_shared<CensusJob>();
    job->dir = dirPath;
    job->generation = generation;
    std::unique_ptr<std::shared_ptr<CensusJob>> arg(new std::shared_ptr<CensusJob>(job));
    unsigned long threadId = 0;
    HANDLE h = nullptr;
    if (Duplicate(dir, job->watched) && Duplicate(cancel, job->cancel))
        h = static_cast<HANDLE>(StartWorkerThread(CensusMain, arg.get(), &threadId));
    if (!h) {
        PostCensus(generation, {}, 0, false, cancel);
        return;
    }
    arg.release();
    thread.reset(h);
    running = std::move(job);
}

void RunWatch(const std::wstring& dirPath, uint64_t generation, HANDLE stop, HANDLE census, HANDLE armed) {
    UniqueHandle dir(CreateFileW(dirPath.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
    UniqueHandle completion(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle cancel(CreateEventW(nullptr, TRUE, FALSE, nullptr));  // ends a running census
    if (!dir || !completion || !cancel) return;
    // DWORD elements give the records their 4-byte alignment.
    std::unique_ptr<DWORD[]> buffer(new DWORD[kBufferBytes / sizeof(DWORD)]);
    std::unique_ptr<OVERLAPPED> ov(new OVERLAPPED{});
    ov->hEvent = completion.get();
    ChangeRequest request{dir.get(), completion.get(), buffer.get(), ov.get()};
    if (!request.Issue()) return;

    // The sync folder is made only now, so that Wine watches it as well; the
    // watch counts as armed once its creation has come back as a record.
    const std::wstring syncName = SyncFolderName();
    const std::wstring syncPath = JoinPath(dirPath, syncName);
    RemoveDirectoryW(syncPath.c_str());  // left by an earlier process with this id
    bool syncSeen = !CreateDirectoryW(syncPath.c_str(), nullptr);
    if (!syncSeen) SetFileAttributesW(syncPath.c_str(), FILE_ATTRIBUTE_HIDDEN);
    const DWORD armStart = GetTickCount();
    HANDLE armWaits[2] = {stop, completion.get()};
    while (!syncSeen) {
        const DWORD waited = GetTickCount() - armStart;
        if (waited >= kSyncFolderWaitMs) break;
        const DWORD r = WaitForMultipleObjects(2, armWaits, FALSE, kSyncFolderWaitMs - waited);
        if (r == WAIT_TIMEOUT) break;
        if (r != WAIT_OBJECT_0 + 1) return;
        if (!TakeBatch(request, generation, syncName, &syncSeen)) return;
    }
    SetEvent(armed);

    UniqueHandle censusThread;
    std::shared_ptr<CensusJob> censusJob;
    for (;;) {
        if (StopRequested()) break;
        HANDLE waits[4] = {stop, completion.get(), census, censusThread.get()};
        const DWORD r = WaitForMultipleObjects(censusThread ? 4 : 3, waits, FALSE, kStopCheckMs);
        if (r == WAIT_TIMEOUT) continue;
        if (r == WAIT_OBJECT_0 + 3) {
            const bool gone = censusJob->folderGone;
            censusThread.reset();
            censusJob.reset();
            if (gone) break;
            continue;
        }
        if (r == WAIT_OBJECT_0 + 2) {
            if (!censusThread)
                StartCensus(dirPath, dir.get(), cancel.get(), generation, censusThread, censusJob);
            continue;
        }
        if (r != WAIT_OBJECT_0 + 1) break;  // the stop event, or a failed wait
        if (!TakeBatch(request, generation, syncName, nullptr)) break;
    }
    SetEvent(cancel.get());
    if (censusThread) WaitForSingleObject(censusThread.get(), kCensusStopWaitMs);
    RemoveDirectoryW(syncPath.c_str());
}

uint32_t IncidentWatchMain(void* arg) {
    std::unique_ptr<WatchStart> start(static_cast<WatchStart*>(arg));
    const uint64_t generation = start->generation;
    try {
        RunWatch(start->dir, generation, start->stop.get(), start->census.get(), start->armed.get());
    } catch (...) {
        // Out of memory: the watch ends and the scanner falls back to enumerating.
    }
    PostWatchEnded(generation);
    return 0;
}

}  // namespace

bool StatIncidentFile(const std::wstring& jsonPath, FileStamp& stamp) {
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!GetFileAttributesExW(jsonPath.c_str(), GetFileExInfoStandard, &info)) return false;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    stamp.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    stamp.lastWrite = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                      info.ftLastWriteTime.dwLowDateTime;
    return true;
}

std::wstring SyncFolderName() {
    return L".vgsync-" + std::to_wstring(GetCurrentProcessId());
}

bool StartIncidentWatch(const std::wstring& dir, uint64_t generation) {
    StopIncidentWatch();
    UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle census(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    UniqueHandle armed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop || !census || !armed) return false;
    std::unique_ptr<WatchStart> start(new WatchStart);
    start->dir = dir;
    start->generation = generation;
    if (!Duplicate(stop.get(), start->stop) || !Duplicate(census.get(), start->census) ||
        !Duplicate(armed.get(), start->armed))
        return false;
    unsigned long threadId = 0;
    HANDLE thread = static_cast<HANDLE>(StartWorkerThread(IncidentWatchMain, start.get(), &threadId));
    if (!thread) return false;
    start.release();
    gWatch.thread = thread;
    gWatch.threadId = threadId;
    gWatch.stop = stop.release();
    gWatch.census = census.release();

    HANDLE waits[2] = {armed.get(), thread};
    if (WaitForMultipleObjects(2, waits, FALSE, kArmWaitMs) != WAIT_OBJECT_0) {
        StopIncidentWatch();
        return false;
    }
    return true;
}

void StopIncidentWatch() {
    if (!gWatch.thread) return;
    SetEvent(gWatch.stop);
    if (GetCurrentThreadId() != gWatch.threadId) WaitForSingleObject(gWatch.thread, kStopWaitMs);
    CloseHandle(gWatch.thread);
    CloseHandle(gWatch.stop);
    CloseHandle(gWatch.census);
    gWatch = WatchRecord{};
}

bool IncidentWatchRunning() {
    return gWatch.thread && WaitForSingleObject(gWatch.thread, 0) == WAIT_TIMEOUT;
}

void RequestIncidentCensus() {
    if (gWatch.census) SetEvent(gWatch.census);
}
