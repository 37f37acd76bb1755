// The content check's worker thread.
//
// Reading a file another program is writing must never disturb it. On
// Windows an open handle, even one that shares everything, keeps a deleted
// file "delete pending" until it closes: meanwhile the writer cannot create a
// file of that name again, nor remove the folder, and a handle opened without
// FILE_SHARE_DELETE would make its delete or rename-over fail outright (the
// temporary-file-and-rename save of every office program). So the file is
// opened for reading only, with all three share modes and never a lock, the
// two samples (8 KiB at most) are read, and the handle is closed before
// anything else happens: the window in which a writer can meet it is a few
// milliseconds. A writer that holds the file without sharing is not waited
// for: the read is tried once more after half a second and then left alone.
// Wine cannot show any of this (its deletes and renames do not wait for
// other handles), so only the share modes and the handle's short life are
// tested here.
//
// The queue is bounded (fsmon/content_rules.h): a storm costs the watchers
// one short lock per batch, and beyond the limit the oldest work is dropped
// and counted. Links and cloud placeholders are not read: a link leads out of
// the watched tree, and reading a placeholder would download it.
#include "fsmon/content_check.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <utility>

#include "core/clock.h"
#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/handles.h"
#include "core/text.h"
#include "fsmon/content_classifier.h"
#include "fsmon/content_rules.h"
#include "fsmon/damaged_files.h"
#include "incidents/incident_store.h"

std::atomic<size_t> gContentQueueLimit{kContentQueueLimit};
ContentCheckCounters gContentCheckCounters;

namespace {

#ifndef FILE_ATTRIBUTE_RECALL_ON_OPEN
#define FILE_ATTRIBUTE_RECALL_ON_OPEN 0x00040000
#endif
#ifndef FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS
#define FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS 0x00400000
#endif
#ifndef FILE_FLAG_OPEN_NO_RECALL
#define FILE_FLAG_OPEN_NO_RECALL 0x00100000
#endif

constexpr DWORD kNotReadAttributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                                     FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_RECALL_ON_OPEN |
                                     FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS;
constexpr DWORD kStopWaitMs = 3000;
constexpr DWORD kIdleWaitMs = 3000;

// The queue and the thread that drains it. The mutex guards every member and
// is held only to move work in or out, never across a read or a log write.
struct ContentCheckRecord {
    std::mutex mutex;
    ContentQueue queue;
    ReplacedMemory replaced;  // unpaired names of recent batches
    HANDLE thread = nullptr;
    DWORD threadId = 0;
    HANDLE wake = nullptr;  // auto-reset: work arrived
    HANDLE stop = nullptr;  // manual-reset
    bool busy = false;      // the worker holds one work item
};
ContentCheckRecord gContentCheck;

// The worker's own duplicates of the events, so the record may close its
// handles after a bounded wait without pulling them from under the thread.
struct WorkerStart {
    HANDLE wake;
    HANDLE stop;
};

HANDLE Duplicate(HANDLE h) {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

void LogDropped(uint64_t count) {
    LogEvent("content_check_dropped", "\"count\":" + std::to_string(count));
}

// The samples of one file. error is the system's code when ok is false.
struct Samples {
    bool ok = false;
    bool skipped = false;  // a folder, link or placeholder: nothing to judge
    uint32_t error = 0;
    uint64_t size = 0;
    size_t headSize = 0;
    size_t middleSize = 0;
    size_t tailSize = 0;
    uint64_t quietMs = 0;  // since the file was last written
};

bool ReadAt(HANDLE file, uint64_t offset, uint8_t* into, size_t want, size_t& got, uint32_t& error) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    got = 0;
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
        error = GetLastError();
        return false;
    }
    while (got < want) {
        DWORD read = 0;
        if (!ReadFile(file, into + got, static_cast<DWORD>(want - got), &read, nullptr)) {
            error = GetLastError();
            return false;
        }
        if (read == 0) break;
        got += read;
    }
    return true;
}

uint64_t QuietMsOf(const FILETIME& lastWrite) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t n = (uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const uint64_t w = (uint64_t(lastWrite.dwHighDateTime) << 32) | lastWrite.dwLowDateTime;
    return n > w ? (n - w) / 10000 : 0;
}

// Open, read at most three samples, close: the handle lives only as long as
// the reads (see the note at the top). claimName decides the tail's length.
Samples ReadSamples(const std::wstring& path, const std::wstring& claimName, uint8_t* head, uint8_t* middle,
                    uint8_t* tail) {
    Samples s;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        s.error = GetLastError();
        return s;
    }
    if (attributes & kNotReadAttributes) {
        s.skipped = true;
        return s;
    }
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_NO_RECALL, nullptr));
    if (!file) {
        s.error = GetLastError();
        return s;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.get(), &info)) {
        s.error = GetLastError();
        return s;
    }
    s.size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    s.quietMs = QuietMsOf(info.ftLastWriteTime);
    if (!ReadAt(file.get(), 0, head, kContentSampleBytes, s.headSize, s.error)) return s;
    if (s.size > kContentMiddleFrom &&
        !ReadAt(file.get(), MiddleSampleOffset(s.size), middle, kContentSampleBytes, s.middleSize, s.error))
        return s;
    const size_t tailWant = TailSampleSize(claimName, s.size);
    if (tailWant > 0 && !ReadAt(file.get(), s.size - tailWant, tail, tailWant, s.tailSize, s.error)) return s;
    if (s.tailSize != tailWant) s.tailSize = 0;  // the file shrank under the read: no tail to judge
    s.ok = true;
    return s;
}

int32_t EncryptedContentSeverity() {
    ConfigSnapshot settings;
    SnapshotConfig(settings);
    return settings.encryptedContentIncidentSeverity <= 0 ? 90 : settings.encryptedContentIncidentSeverity;
}

uint64_t MicrosecondsSince(const LARGE_INTEGER& start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    if (frequency.QuadPart <= 0) return 0;
    return static_cast<uint64_t>((now.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart);
}

// The three sample buffers of the worker.
struct SampleBuffers {
    std::unique_ptr<uint8_t[]> head{new uint8_t[kContentSampleBytes]};
    std::unique_ptr<uint8_t[]> middle{new uint8_t[kContentSampleBytes]};
    std::unique_ptr<uint8_t[]> tail{new uint8_t[kZipTailBytes]};
};

void PushRetry(ContentWork& work, uint64_t delayMs) {
    std::lock_guard<std::mutex> guard(gContentCheck.mutex);
    const uint64_t before = gContentCheck.queue.dropped;
    PushContentRetry(gContentCheck.queue, std::move(work), GetTickCount64(), delayMs,
                     gContentQueueLimit.load());
    gContentCheckCounters.dropped += gContentCheck.queue.dropped - before;
}

// One file: read, judge, log, count toward the incident.
void CheckOne(ContentWork& work, EncryptedTracker& tracker, SampleBuffers& buffers) {
    LARGE_INTEGER started;
    QueryPerformanceCounter(&started);
    ++work.attempts;
    const std::wstring& claimName = work.claim.empty() ? work.name : work.claim;
    const Samples samples = ReadSamples(JoinPath(work.folder, work.name), claimName, buffers.head.get(),
                                        buffers.middle.get(), buffers.tail.get());
    if (!samples.ok) {
        gContentCheckCounters.busyUs += MicrosecondsSince(started);
        if (samples.skipped) return;
        const ReadFailure failure = ReadFailureOf(samples.error);
        if (RetryContentRead(failure, work.attempts)) {
            ++gContentCheckCounters.retried;
            PushRetry(work, kContentRetryDelayMs);
        } else if (failure == ReadFailure::Locked) {
            ++gContentCheckCounters.abandoned;
        }
        return;
    }
    ContentSamples s;
    s.fileSize = samples.size;
    s.head = buffers.head.get();
    s.headSize = samples.headSize;
    s.middle = samples.middleSize ? buffers.middle.get() : nullptr;
    s.middleSize = samples.middleSize;
    s.tail = samples.tailSize ? buffers.tail.get() : nullptr;
    s.tailSize = samples.tailSize;
    const ContentEvidence evidence = ClassifySamples(claimName, s);
    ++gContentCheckCounters.read;
    gContentCheckCounters.busyUs += MicrosecondsSince(started);
    if (evidence.verdict != ContentVerdict::kEncryptedLike) return;
    const int64_t recheck = TrailerRecheckMs(evidence.trailerOnly, samples.quietMs, work.rechecks);
    if (recheck != 0) {
        if (recheck > 0) {
            ++work.rechecks;
            work.attempts = 0;
            PushRetry(work, static_cast<uint64_t>(recheck));
        }
        return;
    }
    ++gContentCheckCounters.encrypted;
    LogEvent(
        "content_check",
        ContentCheckMembers(JsonEscape(WideToUtf8(work.folder)), JsonEscape(WideToUtf8(work.name)), evidence,
                            work.claim.empty() ? std::string() : JsonEscape(WideToUtf8(work.claim))));
    NoteDamagedFile(work.folder + L"\\" + work.name, NowUnixMs());  // for the pauser's evidence
    if (NoteEncryptedLike(tracker, work.tree, work.name, GetTickCount64()))
        CreateIncidentWithFile(kReasonEncryptedContent, EncryptedContentSeverity(), work.folder, work.name);
}

uint32_t ContentCheckMain(void* arg) {
    UniqueHandle wake, stop;
    {
        std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(arg));
        wake.reset(start->wake);
        stop.reset(start->stop);
    }
    // The thread's own: a worker that outlives the stop's wait uses nothing freed.
    std::unique_ptr<SampleBuffers> buffers(new SampleBuffers);
    EncryptedTracker tracker;
    HANDLE waits[2] = {stop.get(), wake.get()};
    while (WaitForSingleObject(stop.get(), 0) != WAIT_OBJECT_0) {
        ContentWork work;
        bool have = false;
        uint64_t dropReport = 0;
        int64_t untilDue = -1;
        {
            std::lock_guard<std::mutex> guard(gContentCheck.mutex);
            have = TakeContentWork(gContentCheck.queue, GetTickCount64(), work);
            gContentCheck.busy = have;
            if (!have) {
                dropReport = TakeDropReport(gContentCheck.queue, false);
                untilDue = MsUntilContentWork(gContentCheck.queue, GetTickCount64());
            }
        }
        if (!have) {
            if (dropReport) LogDropped(dropReport);
            const DWORD waitMs =
                untilDue >= 0 && untilDue < kIdleWaitMs ? static_cast<DWORD>(untilDue) : kIdleWaitMs;
            if (WaitForMultipleObjects(2, waits, FALSE, waitMs) == WAIT_OBJECT_0) break;
            continue;
        }
        // A setting switched off since the work was queued: the work goes.
        try {
            if (gLiveConfig.extendedDetection.load()) CheckOne(work, tracker, *buffers);
        } catch (...) {
            // Out of memory on one file: leave it, keep checking.
        }
        std::lock_guard<std::mutex> guard(gContentCheck.mutex);
        gContentCheck.busy = false;
    }
    std::lock_guard<std::mutex> guard(gContentCheck.mutex);
    gContentCheck.busy = false;
    return 0;
}

// Under the record's lock: a thread runs, or one is started now.
bool EnsureWorkerLocked() {
    if (gContentCheck.thread) return true;
    UniqueHandle wake(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!wake || !stop) return false;
    auto* start = new WorkerStart{Duplicate(wake.get()), Duplicate(stop.get())};
    if (!start->wake || !start->stop) {
        if (start->wake) CloseHandle(start->wake);
        if (start->stop) CloseHandle(start->stop);
        delete start;
        return false;
    }
    unsigned long id = 0;
    HANDLE thread = static_cast<HANDLE>(StartWorkerThread(ContentCheckMain, start, &id));
    if (!thread) {
        CloseHandle(start->wake);
        CloseHandle(start->stop);
        delete start;
        return false;
    }
    gContentCheck.thread = thread;
    gContentCheck.threadId = id;
    gContentCheck.wake = wake.release();
    gContentCheck.stop = stop.release();
    return true;
}

}  // namespace

void QueueContentChecks(const std::wstring& folder, const std::wstring& tree,
                        const std::vector<ContentCheckItem>& items) {
    if (items.empty()) return;
    std::lock_guard<std::mutex> guard(gContentCheck.mutex);
    // Checked under the lock: the stop takes the same lock before it takes the thread.
    if (StopRequested()) return;
    const std::vector<ContentCheckItem> checks =
        PairAcrossBatches(gContentCheck.replaced, tree, items, GetTickCount64());
    if (checks.empty() || !EnsureWorkerLocked()) return;
    const uint64_t before = gContentCheck.queue.dropped;
    const size_t limit = gContentQueueLimit.load();
    for (const ContentCheckItem& item : checks) {
        ContentWork work;
        work.folder = folder;
        work.tree = tree;
        work.name = item.name;
        work.claim = item.claim;
        if (PushContentWork(gContentCheck.queue, std::move(work), limit)) ++gContentCheckCounters.queued;
    }
    gContentCheckCounters.dropped += gContentCheck.queue.dropped - before;
    SetEvent(gContentCheck.wake);
}

void StopContentChecks() {
    HANDLE thread = nullptr, wake = nullptr, stop = nullptr;
    DWORD threadId = 0;
    uint64_t dropReport = 0;
    {
        std::lock_guard<std::mutex> guard(gContentCheck.mutex);
        thread = std::exchange(gContentCheck.thread, nullptr);
        threadId = std::exchange(gContentCheck.threadId, 0);
        wake = std::exchange(gContentCheck.wake, nullptr);
        stop = std::exchange(gContentCheck.stop, nullptr);
        dropReport = TakeDropReport(gContentCheck.queue, true);
        ClearContentQueue(gContentCheck.queue);
        gContentCheck.replaced = ReplacedMemory();
    }
    if (dropReport) LogDropped(dropReport);
    if (stop) SetEvent(stop);
    if (thread) {
        // A thread never waits for itself (a stop reached from its own incident).
        if (threadId != GetCurrentThreadId()) WaitForSingleObject(thread, kStopWaitMs);
        CloseHandle(thread);
    }
    if (wake) CloseHandle(wake);
    if (stop) CloseHandle(stop);
}

void ResetContentCheckCounters() {
    gContentCheckCounters.queued = 0;
    gContentCheckCounters.read = 0;
    gContentCheckCounters.retried = 0;
    gContentCheckCounters.abandoned = 0;
    gContentCheckCounters.dropped = 0;
    gContentCheckCounters.encrypted = 0;
    gContentCheckCounters.busyUs = 0;
}

bool WaitContentChecksIdle(uint32_t timeoutMs) {
    const uint64_t until = GetTickCount64() + timeoutMs;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(gContentCheck.mutex);
            if (gContentCheck.queue.fresh.empty() && gContentCheck.queue.retries.empty() &&
                !gContentCheck.busy)
                return true;
        }
        if (GetTickCount64() >= until) return false;
        Sleep(10);
    }
}
