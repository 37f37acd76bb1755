// Benchmark of ScanIncidents over incident folders made beforehand, natively
// (scripts/bench-incidents.py; Wine would take minutes to make 100,000):
// the first scan, repeated scans, the scan right after one new incident from
// the store and one from another writer, the scan after the watch lost
// records, and the census. Every list is compared with the literal algorithm
// (enumerate, read every file, exchange sort parsing at every comparison) on
// the same data at the same moment. Prints figures; fails only when a list
// differs. Usage: incidents_scan_bench.exe BASE (BASE\Vellumgard\Incidents).
#include <windows.h>
// psapi.h needs windows.h first.
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "core/paths.h"
#include "core/seams.h"
#include "core/text.h"
#include "incidents/incident_index.h"
#include "incidents/incident_scanner.h"
#include "incidents/incident_store.h"
#include "incidents/incident_watch.h"
#include "literal_scan.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t gFrozenNow = 0;
uint32_t gTickOffset = 0;

double Ms(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double TimedMs(const std::function<void()>& f) {
    const auto t0 = Clock::now();
    f();
    return Ms(t0, Clock::now());
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (condition()) return true;
        Sleep(20);
    }
    return condition();
}

bool gAllSame = true;

// The scanner's list against the literal algorithm's at the same moment.
void Check(const char* what, const std::vector<IncidentSummary>& list) {
    const bool same = DescribeIncidents(list) ==
                      DescribeIncidents(LiteralScanIncidents(gDataPaths.incidentsDir, gFrozenNow));
    if (!same) std::printf("  LIST DIFFERS from the literal algorithm: %s\n", what);
    gAllSame = gAllSame && same;
}

double WorkingSetMiB() {
    PROCESS_MEMORY_COUNTERS mem{};
    mem.cb = sizeof mem;
    GetProcessMemoryInfo(GetCurrentProcess(), &mem, sizeof mem);
    return mem.WorkingSetSize / 1048576.0;
}

std::vector<std::wstring> FolderNames(const std::wstring& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(JoinPath(dir, L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        if (fd.cFileName[0] != L'.' && (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(fd.cFileName);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: incidents_scan_bench BASE (incident folders in BASE\\Vellumgard\\Incidents)\n");
        return 2;
    }
    UseDataPathsBelow(Utf8ToWide(argv[1]));
    // One moment for the scanner and the literal algorithm alike: otherwise an
    // incident crossing the 24-hour cut between the two would show as a difference.
    gFrozenNow = _time64(nullptr);
    gSeams.nowSeconds = [] { return gFrozenNow; };
    gSeams.tickCount = [] { return static_cast<uint32_t>(GetTickCount() + gTickOffset); };

    const std::vector<std::wstring> given = FolderNames(gDataPaths.incidentsDir);
    std::printf("incident folders: %zu\n", given.size());
    // The floor under Wine: opening, reading and closing each file (three
    // round trips to the Wine server) and nothing else.
    const double bare = TimedMs([&] {
        char buffer[4096];
        for (const std::wstring& name : given) {
            const std::wstring json = JoinPath(JoinPath(gDataPaths.incidentsDir, name), L"incident.json");
            HANDLE f = CreateFileW(json.c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
            if (f == INVALID_HANDLE_VALUE) continue;
            DWORD got = 0;
            ReadFile(f, buffer, sizeof buffer, &got, nullptr);
            CloseHandle(f);
        }
    });
    const double ws0 = WorkingSetMiB();
    std::vector<IncidentSummary> list;
    const double first = TimedMs([&] { list = ScanIncidents(gDataPaths); });
    const double ws1 = WorkingSetMiB();
    std::vector<IncidentSummary> literal;
    const double literalMs =
        TimedMs([&] { literal = LiteralScanIncidents(gDataPaths.incidentsDir, gFrozenNow); });
    const bool firstSame = DescribeIncidents(list) == DescribeIncidents(literal);
    gAllSame = gAllSame && firstSame;
    std::printf("incidents of the last 24 h: %zu; same list as the literal algorithm: %s\n", list.size(),
                firstSame ? "yes" : "NO");
    std::printf(
        "first scan (reads every incident.json): %8.1f ms   (literal algorithm: %.1f ms; bare open, read and "
        "close of every file: %.1f ms)\n",
        first, literalMs, bare);
    std::printf("index memory: working set +%.1f MiB (%.1f -> %.1f MiB)\n", ws1 - ws0, ws0, ws1);

    std::vector<double> repeated;
    for (int i = 0; i < 20; ++i) repeated.push_back(TimedMs([&] { list = ScanIncidents(gDataPaths); }));
    Check("repeated scan", list);
    std::sort(repeated.begin(), repeated.end());
    std::printf(
        "repeated scan, 20 calls:                 median %.2f ms, max %.2f ms (target: under 50 ms)\n",
        repeated[repeated.size() / 2], repeated.back());

    // One incident from the store: the store hands it over, and the folder
    // it made makes the scan wait for the watch to catch up.
    CreateIncident(kReasonCanary, 90, L"C:\\Users\\user\\Documents");
    const double afterStore = TimedMs([&] { list = ScanIncidents(gDataPaths); });
    Check("after an incident from the store", list);
    const double afterStoreAgain = TimedMs([&] { list = ScanIncidents(gDataPaths); });
    std::printf("scan right after one new incident (store): %6.2f ms, the next one %.2f ms\n", afterStore,
                afterStoreAgain);

    // One folder from another writer: only the watch tells.
    const std::wstring foreign = JoinPath(gDataPaths.incidentsDir, L"zz_bench_foreign");
    EnsureDirectoryTree(foreign);
    WriteFileBytes(JoinPath(foreign, L"incident.json"),
                   BuildIncidentJson(NowLocalIso(), kReasonBurst, 80, false, L"C:\\x", false, L""));
    const double afterForeign = TimedMs([&] { list = ScanIncidents(gDataPaths); });
    Check("after a folder from another writer", list);
    std::printf("scan right after one new folder (other writer): %6.2f ms\n", afterForeign);

    // Lost records: the next scan enumerates and stats everything, reading nothing unchanged.
    IncidentIndexCounters c0 = GetIncidentIndexCounters();
    gIncidentWatchSeams.completedBytes = [](uint32_t) { return 0u; };
    WriteFileBytes(JoinPath(foreign, L"incident.json"),
                   BuildIncidentJson(NowLocalIso(), kReasonBurst, 85, false, L"C:\\x", false, L""));
    const bool overflowed =
        WaitUntil([&] { return GetIncidentIndexCounters().watchOverflows > c0.watchOverflows; }, 5000);
    gIncidentWatchSeams.completedBytes = nullptr;
    const double afterOverflow = TimedMs([&] { list = ScanIncidents(gDataPaths); });
    Check("after an overflow", list);
    IncidentIndexCounters c1 = GetIncidentIndexCounters();
    std::printf(
        "scan after the watch lost records:      %8.1f ms (%s; full refreshes %llu -> %llu, files read "
        "%llu)\n",
        afterOverflow, overflowed ? "overflow seen" : "NO OVERFLOW SEEN",
        static_cast<unsigned long long>(c0.fullRefreshes), static_cast<unsigned long long>(c1.fullRefreshes),
        static_cast<unsigned long long>(c1.filesRead - c0.filesRead));

    // The census, on its own thread, as the scan asks for it when it is due.
    gTickOffset += kMinCensusPeriodMs;
    const bool census = WaitUntil(
        [&] {
            list = ScanIncidents(gDataPaths);
            return GetIncidentIndexCounters().censuses > c1.censuses;
        },
        600000);
    Check("after the census", list);
    const uint64_t censusMs = GetIncidentIndexCounters().lastCensusMs;
    std::printf("census (enumerate and stat, its own thread): %s%llu ms -> next one after %.1f min\n",
                census ? "" : "NOT SEEN ", static_cast<unsigned long long>(censusMs),
                CensusPeriodMs(static_cast<uint32_t>(censusMs)) / 60000.0);

    // Polls while a census runs: it lists and stats on its own thread and is
    // compared with the index a slice at a time there; the polls keep
    // passing their barrier, and a folder from another writer made meanwhile
    // is listed by the next one. Polls 100 ms apart (the tray's are 3 s apart)
    // to sample the census through.
    gTickOffset += CensusPeriodMs(static_cast<uint32_t>(censusMs));
    const IncidentIndexCounters c2 = GetIncidentIndexCounters();
    std::vector<double> during;
    double afterForeignDuring = -1, mergeMs = -1;
    bool foreignListed = false, foreignMade = false;
    const std::wstring foreign2 = JoinPath(gDataPaths.incidentsDir, L"zz_bench_during_census");
    const auto censusStart = Clock::now();
    while (Ms(censusStart, Clock::now()) < 600000) {
        const double ms = TimedMs([&] { list = ScanIncidents(gDataPaths); });
        if (GetIncidentIndexCounters().censuses > c2.censuses) {
            mergeMs = ms;
            break;
        }
        if (foreignMade && afterForeignDuring < 0) {
            afterForeignDuring = ms;
            for (const IncidentSummary& s : list)
                foreignListed = foreignListed || s.incidentFolder == "zz_bench_during_census";
        } else {
            during.push_back(ms);
        }
        if (!foreignMade && during.size() == 5) {
            EnsureDirectoryTree(foreign2);
            WriteFileBytes(JoinPath(foreign2, L"incident.json"),
                           BuildIncidentJson(NowLocalIso(), kReasonBurst, 70, false, L"C:\\y", false, L""));
            foreignMade = true;
        }
        Sleep(100);
    }
    const double censusWall = Ms(censusStart, Clock::now());
    Check("after a census with polls during it", list);
    const IncidentIndexCounters c3 = GetIncidentIndexCounters();
    std::sort(during.begin(), during.end());
    if (during.empty()) during.push_back(-1);
    std::printf(
        "polls while a census runs (%.1f s from the request to the poll that took it): %zu polls, median "
        "%.2f "
        "ms, max %.2f ms\n",
        censusWall / 1000.0, during.size(), during[during.size() / 2], during.back());
    std::printf(
        "  poll right after a new folder (other writer) during the census: %.2f ms, listed: %s; full "
        "refreshes "
        "%llu, watch starts %llu during it\n",
        afterForeignDuring, foreignListed ? "yes" : "NO",
        static_cast<unsigned long long>(c3.fullRefreshes - c2.fullRefreshes),
        static_cast<unsigned long long>(c3.watchStarts - c2.watchStarts));
    std::printf(
        "  the poll that took the census's differences: %.2f ms (census listing %llu ms on its thread)\n",
        mergeMs, static_cast<unsigned long long>(c3.lastCensusMs));

    const IncidentIndexCounters end = GetIncidentIndexCounters();
    std::printf(
        "index: %llu full refreshes, %llu files read, %llu barriers, %llu censuses, %llu watch batches\n",
        static_cast<unsigned long long>(end.fullRefreshes), static_cast<unsigned long long>(end.filesRead),
        static_cast<unsigned long long>(end.barriers), static_cast<unsigned long long>(end.censuses),
        static_cast<unsigned long long>(end.watchBatches));

    // Leave the data as it was, for the next run.
    StopIncidentIndex();
    for (const std::wstring& name : FolderNames(gDataPaths.incidentsDir))
        if (!std::binary_search(given.begin(), given.end(), name))
            RemoveTree(JoinPath(gDataPaths.incidentsDir, name));
    std::printf("all lists the same as the literal algorithm's: %s\n", gAllSame ? "yes" : "NO");
    return gAllSame ? 0 : 1;
}
