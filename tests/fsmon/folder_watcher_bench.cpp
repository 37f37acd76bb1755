// Benchmark of the folder watcher on its own thread, against storms made by a
// native Linux process (tools/native_storm.py) in a new subfolder of the
// watched folder: records handled per second before the first overflow, with
// and without each drain step; overflows; completeness (distinct created names
// in the log, live or recovered) and the names still missing, split by how
// they were lost; the watcher thread's CPU. Then whether the agent's own
// writes keep overflows or bursts going once a storm is over, with the data
// folder inside the watched tree. Prints figures only.
// The same 20,000-file storm on the slow paths: one batch stalled for a
// second by its incident write (the rename in the middle of the storm), and
// another process holding the log's lock 1.5 s at a time; there duplicates
// (a name both reported live and recovered, or recovered twice) are counted too.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/locks.h"
#include "core/paths.h"
#include "core/seams.h"
#include "core/text.h"
#include "fsmon/canary_names.h"
#include "fsmon/folder_watcher.h"
#include "fsmon/notify_records.h"
#include "fsmon/tree_listing.h"
#include "support/native_storm.h"
#include "support/test_support.h"

namespace {

DWORD WINAPI WatcherThread(LPVOID arg) {
    return FolderWatcher(arg);
}

// A fresh folder for one run, on the host's tmpfs when there is one (the
// figures are the watcher's, not a shared disk's), else in the temp folder.
struct BenchDir {
    TempDir fallback;
    std::wstring path;
    BenchDir() {
        static int n = 0;
        const DWORD shm = GetFileAttributesW(L"Z:\\dev\\shm");
        if (shm != INVALID_FILE_ATTRIBUTES && (shm & FILE_ATTRIBUTE_DIRECTORY)) {
            path = L"Z:\\dev\\shm\\vg-watcher-bench-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                   std::to_wstring(++n);
            if (EnsureDirectoryTree(path)) return;
        }
        path = fallback.path;
    }
    ~BenchDir() {
        if (path != fallback.path) RemoveTree(path);
    }
    std::wstring Sub(const std::wstring& name) const { return path + L"\\" + name; }
};

uint64_t ThreadCpu100ns(HANDLE thread) {
    FILETIME c, e, k, u;
    if (!GetThreadTimes(thread, &c, &e, &k, &u)) return 0;
    auto v = [](FILETIME f) { return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    return v(k) + v(u);
}

// Under Wine a folder made before the watch began is never watched: the
// storm starts only once a probe file has been reported.
bool WaitUntilWatching(const std::wstring& folder, const std::function<bool()>& seen) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        WriteFileBytes(folder + L"\\ready.txt", "probe");
        for (int i = 0; i < 10; ++i) {
            if (seen()) return true;
            Sleep(10);
        }
    }
    return false;
}

bool LogHasReady() {
    return ReadFileBytes(gDataPaths.logFile).find("\"file\":\"ready.txt\"") != std::string::npos;
}

// Waits until the log has not grown for `quietMs`.
void WaitForQuietLog(DWORD quietMs, DWORD timeoutMs = 120000) {
    size_t last = SIZE_MAX;
    DWORD quiet = 0;
    for (DWORD waited = 0; waited < timeoutMs && quiet < quietMs; waited += 100) {
        const size_t n = ReadFileBytes(gDataPaths.logFile).size();
        quiet = n == last ? quiet + 100 : 0;
        last = n;
        Sleep(100);
    }
}

struct StormFigures {
    bool ran = false;
    size_t created = 0, found = 0, recoveredLines = 0, lostSignalled = 0, lostSilently = 0;
    uint64_t overflows = 0, cuts = 0;
    double recordsPerSecond = 0, stormSeconds = 0, cpuSeconds = 0;
    uint64_t liveRecords = 0;
    bool overflowed = false;
    size_t duplicates = 0;  // names reported live and recovered, or recovered twice
};

// The slow paths a storm can meet.
enum class SlowPath { None, StalledBatch, HeldLogLock };

// The first whole-file write (the incident's) takes a second.
bool StallFirstWrite(void* file, const void* data, uint32_t size, uint32_t* written) {
    static std::atomic<int> calls{0};
    if (calls++ == 0) Sleep(1000);
    DWORD done = 0;
    const BOOL ok = WriteFile(static_cast<HANDLE>(file), data, size, &done, nullptr);
    *written = done;
    return ok != FALSE;
}

void SetUpCore() {
    Config c;
    SetConfigDefaults(c);
    c.enableCanaryFiles = false;
    c.burstThreshold = 1000000;  // the figures here are the watcher's, not the incident store's
    StoreCurrentConfig(c);
    RebuildCanaryNames(c);
    CreateCoreLock(gBurstLock);
    CreateCoreLock(gConfigLock);
}

// A storm from inside Wine: this process creates the files, one call each.
bool RunWineStorm(const std::wstring& folder, int count, NativeStormResult& out) {
    if (!CreateDirectoryW(folder.c_str(), nullptr)) return false;
    Sleep(1000);
    auto unixNs = [] { return static_cast<int64_t>((FileTimeNow() - 116444736000000000ull) * 100); };
    out.startNs = unixNs();
    for (int i = 0; i < count; ++i)
        if (WriteFileBytes(folder + L"\\f" + std::to_wstring(i) + L".txt", "x")) ++out.created;
    out.endNs = unixNs();
    return true;
}

bool RunStormOf(bool native, const std::wstring& folder, int count, NativeStormResult& out) {
    return native ? RunNativeStorm(folder, count, 1.0, -1, out) : RunWineStorm(folder, count, out);
}

// The ceiling: a thread that only drains the queue and keeps the names, with
// no work per record.
struct BareConsumer {
    std::wstring folder;
    HANDLE stop = nullptr;
    std::set<std::wstring> names;
    uint64_t overflows = 0;
    std::atomic<bool> ready{false};  // it has seen ready.txt: its watch is live
};

DWORD WINAPI BareConsumerThread(LPVOID arg) {
    auto* c = static_cast<BareConsumer*>(arg);
    HANDLE dir = CreateFileW(c->folder.c_str(), FILE_LIST_DIRECTORY, 7, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<DWORD> buffer(1024);
    OVERLAPPED ov{};
    ov.hEvent = event;
    HANDLE waits[2] = {event, c->stop};
    for (;;) {
        ResetEvent(event);
        DWORD ignored = 0;
        if (!ReadDirectoryChangesW(dir, buffer.data(), 4096, TRUE, 0x51, &ignored, &ov, nullptr)) break;
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            CancelIo(dir);
            GetOverlappedResult(dir, &ov, &ignored, TRUE);
            break;
        }
        DWORD bytes = 0;
        if (!GetOverlappedResult(dir, &ov, &bytes, FALSE) || bytes == 0) {
            ++c->overflows;
            continue;
        }
        for (const NotifyRecord& r :
             ParseNotifyBuffer(reinterpret_cast<const uint8_t*>(buffer.data()), bytes))
            if (r.name.rfind(L"storm\\f", 0) == 0)
                c->names.insert(r.name.substr(6));
            else if (r.name == L"ready.txt")
                c->ready = true;
    }
    CloseHandle(event);
    CloseHandle(dir);
    return 0;
}

void PrintBareConsumer(bool native, int count) {
    BenchDir dir;
    const std::wstring watched = dir.Sub(L"watched");
    EnsureDirectoryTree(watched);
    BareConsumer c;
    c.folder = watched;
    c.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, BareConsumerThread, &c, 0, nullptr);
    WaitUntilWatching(watched, [&] { return c.ready.load(); });
    NativeStormResult result;
    const bool ran = RunStormOf(native, watched + L"\\storm", count, result);
    Sleep(3000);
    SetEvent(c.stop);
    WaitForSingleObject(thread, 30000);
    CloseHandle(thread);
    CloseHandle(c.stop);
    std::printf("%-38s %5d files in %.2f s: %zu names seen (%.4f), %llu overflows%s\n",
                "a bare consumer (no work per record)", count, (result.endNs - result.startNs) / 1e9,
                c.names.size(), count ? double(c.names.size()) / count : 0.0,
                static_cast<unsigned long long>(c.overflows), ran ? "" : " (the storm did not run)");
}

bool StartLockHolder(PROCESS_INFORMATION& holder);

StormFigures RunStorm(bool native, int count, bool gather, bool issueFirst, SlowPath slow = SlowPath::None) {
    StormFigures f;
    BenchDir dir;
    UseDataPathsBelow(dir.Sub(L"data"));
    const std::wstring watched = dir.Sub(L"watched");
    EnsureDirectoryTree(watched);
    gWatcherDrainSteps.gatherLines = gather;
    gWatcherDrainSteps.issueBeforeProcessing = issueFirst;

    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr), copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), stop, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    HANDLE thread = CreateThread(nullptr, 0, WatcherThread, new WatcherStart{watched, copy}, 0, nullptr);
    WaitUntilWatching(watched, LogHasReady);
    ResetWatcherCounters();

    const std::wstring storm = watched + L"\\storm";
    NativeStormResult result;
    PROCESS_INFORMATION holder{};
    if (slow == SlowPath::HeldLogLock && !StartLockHolder(holder))
        std::printf("the lock holder did not start\n");
    if (slow == SlowPath::StalledBatch) {
        Config c;
        SetConfigDefaults(c);
        c.enableCanaryFiles = false;
        c.burstThreshold = 1000000;
        c.incidentRateLimitSeconds = 1;
        StoreCurrentConfig(c);
        gSeams.writeFile = StallFirstWrite;
    }
    const uint64_t cpu0 = ThreadCpu100ns(thread);
    f.ran = slow == SlowPath::StalledBatch ? RunNativeStorm(storm, count, 1.0, count / 2, result)
                                           : RunStormOf(native, storm, count, result);
    if (holder.hProcess) {
        TerminateProcess(holder.hProcess, 0);
        WaitForSingleObject(holder.hProcess, 10000);
        CloseHandle(holder.hThread);
        CloseHandle(holder.hProcess);
    }
    WaitForQuietLog(2000);
    gSeams.writeFile = nullptr;
    const uint64_t cpu1 = ThreadCpu100ns(thread);
    SetEvent(stop);
    WaitForSingleObject(thread, 30000);
    CloseHandle(thread);
    CloseHandle(stop);
    if (!f.ran) return f;

    f.created = result.created;
    f.stormSeconds = (result.endNs - result.startNs) / 1e9;
    f.cpuSeconds = (cpu1 - cpu0) / 1e7;
    f.overflows = gWatcherCounters.overflows.load();
    f.cuts = gWatcherCounters.cuts.load();
    // From the storm's first file to the first overflow (or to the last
    // record when none came); the storm's folder record before it is left out.
    const uint64_t stormStart = FileTimeFromUnixNs(result.startNs);
    const uint64_t firstOverflow = gWatcherCounters.firstOverflowTime.load();
    f.overflowed = firstOverflow != 0;
    const uint64_t end = f.overflowed ? firstOverflow : gWatcherCounters.lastRecordTime.load();
    const uint64_t records = gWatcherCounters.recordsBeforeFirstOverflow.load();
    if (end > stormStart) f.recordsPerSecond = (records > 0 ? records - 1 : 0) / ((end - stormStart) / 1e7);
    f.liveRecords = gWatcherCounters.records.load();

    std::set<std::string> names, live, recovered, duplicated;
    for (const std::string& line : ReadLogLines()) {
        if (line.find("\"type\":\"dir_change\"") == std::string::npos) continue;
        const size_t at = line.find("\"file\":\"storm\\\\f");
        if (at == std::string::npos) continue;
        const size_t start = at + 15, end = line.find('"', start);
        const std::string name = line.substr(start, end - start);
        names.insert(name);
        if (line.find("\"recovered\":true") != std::string::npos) {
            ++f.recoveredLines;
            if (!recovered.insert(name).second || live.count(name)) duplicated.insert(name);
        } else {
            live.insert(name);
            if (recovered.count(name)) duplicated.insert(name);
        }
    }
    f.found = names.size();
    f.duplicates = duplicated.size();

    // The names still missing: lost where an overflow was signalled (their
    // change time falls in an overflow's window), or with nothing signalled.
    const auto windows = WatcherOverflowWindows();
    FolderReader reader;
    std::vector<ListedEntry> entries;
    if (OpenFolderReader(reader, storm, L"", 0))
        while (ReadFolderEntries(reader, entries)) {
        }
    for (const ListedEntry& e : entries) {
        if (e.name.size() < 2 || e.name[0] != L'f' || names.count(WideToUtf8(e.name))) continue;
        bool signalled = false;
        for (const auto& w : windows)
            signalled =
                signalled || (LatestChange(e) + kCoarseMarginTicks >= w.first && LatestChange(e) <= w.second);
        (signalled ? f.lostSignalled : f.lostSilently)++;
    }
    return f;
}

void PrintStorm(const char* label, int count, const StormFigures& f) {
    if (!f.ran) {
        std::printf("%-34s %6d files: the native storm did not run (python3 under Wine?)\n", label, count);
        return;
    }
    std::printf(
        "%-38s %5d files in %.2f s: %7.0f records/s %s; %llu live records, %3llu overflows; "
        "completeness %zu/%zu (%.4f) with %zu recovered lines; missing: %zu after a signalled overflow, "
        "%zu with nothing signalled; %zu duplicated names; watcher CPU %.2f s\n",
        label, count, f.stormSeconds, f.recordsPerSecond,
        f.overflowed ? "to the first overflow" : "(no overflow)",
        static_cast<unsigned long long>(f.liveRecords), static_cast<unsigned long long>(f.overflows), f.found,
        f.created, f.created ? double(f.found) / f.created : 0.0, f.recoveredLines, f.lostSignalled,
        f.lostSilently, f.duplicates, f.cpuSeconds);
}

// The data folder inside the watched tree: after a storm, do the agent's own
// writes keep overflows or bursts going?
void RunSelfFeedingCheck() {
    BenchDir dir;
    const std::wstring watched = dir.Sub(L"watched");
    EnsureDirectoryTree(watched);
    UseDataPathsBelow(watched);
    Config c;
    SetConfigDefaults(c);
    c.enableCanaryFiles = false;
    StoreCurrentConfig(c);  // the default burst rule: 50 batches in 30 s
    gWatcherDrainSteps.gatherLines = true;
    gWatcherDrainSteps.issueBeforeProcessing = true;
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr), copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), stop, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    HANDLE thread = CreateThread(nullptr, 0, WatcherThread, new WatcherStart{watched, copy}, 0, nullptr);
    WaitUntilWatching(watched, LogHasReady);
    ResetWatcherCounters();
    NativeStormResult result;
    const bool ran = RunNativeStorm(watched + L"\\storm", 20000, 1.0, -1, result);
    WaitForQuietLog(2000);
    const uint64_t overflows0 = gWatcherCounters.overflows.load(), batches0 = gWatcherCounters.batches.load();
    const size_t lines0 = ReadLogLines().size();
    Sleep(10000);
    const uint64_t overflows1 = gWatcherCounters.overflows.load(), batches1 = gWatcherCounters.batches.load();
    const size_t lines1 = ReadLogLines().size();
    SetEvent(stop);
    WaitForSingleObject(thread, 30000);
    CloseHandle(thread);
    CloseHandle(stop);
    size_t bursts = 0;
    for (const std::string& line : ReadLogLines())
        bursts += line.find("\"reason\":\"file_burst\"") != std::string::npos;
    std::printf(
        "data folder inside the watched tree, 20000-file storm%s: %llu overflows and %zu burst lines during "
        "it; "
        "in the 10 s after it: %llu overflows, %llu batches, %zu new log lines\n",
        ran ? "" : " (did not run)", static_cast<unsigned long long>(overflows0), bursts,
        static_cast<unsigned long long>(overflows1 - overflows0),
        static_cast<unsigned long long>(batches1 - batches0), lines1 - lines0);
}

// The cost of one full batch (93 records of a storm's names, as many as one
// 4,096-byte buffer holds) through ProcessChangeBatch, in both log modes.
void PrintBatchCost() {
    BenchDir dir;
    UseDataPathsBelow(dir.Sub(L"data"));
    std::vector<NotifyRecord> batch;
    for (int i = 0; i < 93; ++i)
        batch.push_back(NotifyRecord{i % 2 ? 3u : 1u, L"storm\\f" + std::to_wstring(10000 + i) + L".txt"});
    WatcherState state;
    state.context = MakeWatcherContext(dir.Sub(L"watched"));
    for (bool gather : {true, false}) {
        gWatcherDrainSteps.gatherLines = gather;
        LARGE_INTEGER f, a, b;
        QueryPerformanceFrequency(&f);
        QueryPerformanceCounter(&a);
        const int rounds = 100;
        for (int r = 0; r < rounds; ++r) ProcessChangeBatch(state, dir.Sub(L"watched"), batch);
        QueryPerformanceCounter(&b);
        const double us = (b.QuadPart - a.QuadPart) * 1e6 / f.QuadPart / rounds;
        std::printf("one batch of 93 records, %s: %.0f us (%.1f us per record)\n",
                    gather ? "lines gathered, one append" : "one append per line", us, us / 93);
    }
    gWatcherDrainSteps.gatherLines = true;
}

// Each storm runs in a process of its own (this program started again with
// its arguments), so no run inherits what an earlier one left in the process.
bool RunChild(const std::string& args) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring cmd = L"\"" + std::wstring(self) + L"\" " + Utf8ToWide(args);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::fflush(stdout);
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
        return false;
    WaitForSingleObject(pi.hProcess, 600000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

// Another process takes the log's lock for 1.5 s, lets go for 50 ms, and
// again, until it is ended.
bool StartLockHolder(PROCESS_INFORMATION& holder) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, L"Local\\VellumgardBenchLockHolder");
    std::wstring cmd = L"\"" + std::wstring(self) + L"\" holdlock " + LogMutexName(gDataPaths.logFile);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    const bool started =
        CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &holder);
    const bool holding = started && WaitForSingleObject(ready, 30000) == WAIT_OBJECT_0;
    CloseHandle(ready);
    return holding;
}

void HoldLogLock(const std::string& name) {
    HANDLE m = CreateMutexW(nullptr, FALSE, Utf8ToWide(name).c_str());
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Local\\VellumgardBenchLockHolder");
    for (bool first = true;; first = false) {
        WaitForSingleObject(m, INFINITE);
        if (first && ready) SetEvent(ready);
        Sleep(1500);
        ReleaseMutex(m);
        Sleep(50);
    }
}

struct Variant {
    const char* label;
    bool gather, issueFirst;
};
const Variant kVariants[] = {
    {"both drain steps", true, true},
    {"without gathered lines", false, true},
    {"without issuing first", true, false},
    {"without either (one line per append)", false, false},
};

}  // namespace

// No arguments: every figure. "storm <native 0|1> <count> <variant index, or
// -1 for the bare reader>", "cost", "self" and "slow <stall|lock>": one of them.
int main(int argc, char** argv) {
    SetUpCore();
    gWatcherCounters.keepOverflowWindows = true;
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "cost") {
        PrintBatchCost();
    } else if (what == "self") {
        RunSelfFeedingCheck();
    } else if (what == "holdlock" && argc > 2) {
        HoldLogLock(argv[2]);
    } else if (what == "slow" && argc > 2) {
        const bool stall = std::string(argv[2]) == "stall";
        PrintStorm(stall ? "one batch stalled 1 s (incident write)" : "log lock held 1.5 s at a time", 20000,
                   RunStorm(true, 20000, true, true, stall ? SlowPath::StalledBatch : SlowPath::HeldLogLock));
    } else if (what == "storm" && argc > 4) {
        const bool native = std::atoi(argv[2]) != 0;
        const int count = std::atoi(argv[3]), variant = std::atoi(argv[4]);
        if (variant < 0) {
            PrintBareConsumer(native, count);
        } else {
            const Variant& v = kVariants[variant];
            PrintStorm(v.label, count, RunStorm(native, count, v.gather, v.issueFirst));
        }
    } else {
        RunChild("cost");
        struct Storm {
            bool native;
            int count;
        } storms[] = {{true, 5000}, {true, 20000}, {false, 5000}};
        for (const Storm& storm : storms) {
            std::printf("-- a storm made %s, %d files in a new subfolder\n",
                        storm.native ? "by a native Linux process" : "from inside Wine", storm.count);
            for (int v = -1; v < 4; ++v)
                RunChild("storm " + std::to_string(storm.native) + " " + std::to_string(storm.count) + " " +
                         std::to_string(v));
        }
        RunChild("self");
        std::printf("-- the slow paths: a storm by a native Linux process, 20000 files in a new subfolder\n");
        RunChild("slow stall");
        RunChild("slow lock");
    }
    std::fflush(stdout);
    return 0;
}
