// A simulated year of a busy profile with logMaxMegabytes 50 (logKeepFiles
// left at 4) and incidentRetentionDays 90: shows the disk the agent uses
// stays bounded. Not a test: `make bench` runs it.
//
// The rate: a busy profile (a developer's Documents with builds and synced
// folders, a full Downloads) sees some 25,000 changes a day in the watched
// folders; at the 185 bytes of this program's dir_change lines that is
// 4.4 MB of log a day, 1.6 GB a year: several times the hundreds of
// megabytes a year a busy profile logs today.
// The watcher writes its lines in batches; 50 lines a batch here. Incidents:
// 24 a day (one an hour), each with its incident.json and a 2 KB context.json.
// Time is simulated: each day's incidents carry that day's time stamps and
// names, and the retention pass runs once a day at that day's "now".
#include <windows.h>

#include <cstdio>
#include <ctime>

#include "core/clock.h"
#include "core/config.h"
#include "core/event_log.h"
#include "core/log_rotation.h"
#include "core/paths.h"
#include "core/text.h"
#include "incidents/incident_retention_win.h"
#include "support/test_support.h"

namespace {

constexpr int kDays = 365;
constexpr int kLinesPerDay = 25000;
constexpr int kLinesPerBatch = 50;
constexpr int kIncidentsPerDay = 24;
constexpr int32_t kLogMaxMegabytes = 50;
constexpr int32_t kRetentionDays = 90;

tm LocalParts(int64_t t) {
    tm parts{};
    const __time64_t tt = t;
    _localtime64_s(&parts, &tt);
    return parts;
}

std::string LocalIsoAt(int64_t t) {
    const tm p = LocalParts(t);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", p.tm_year + 1900, p.tm_mon + 1, p.tm_mday,
                  p.tm_hour, p.tm_min, p.tm_sec);
    return buf;
}

// The store's folder name for an incident at t.
std::wstring StoreName(int64_t t, unsigned tick) {
    const tm p = LocalParts(t);
    wchar_t name[64];
    FormatWide(name, 64, L"%04d%02d%02d_%02d%02d%02d_%u", p.tm_year + 1900, p.tm_mon + 1, p.tm_mday,
               p.tm_hour, p.tm_min, p.tm_sec, tick);
    return name;
}

struct Usage {
    uint64_t bytes = 0;
    uint64_t files = 0;
    uint64_t folders = 0;
};

void Measure(const std::wstring& dir, Usage& u) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(JoinPath(dir, L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ++u.folders;
            Measure(JoinPath(dir, name), u);
        } else {
            ++u.files;
            u.bytes += (uint64_t(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
        }
    } while (FindNextFileW(h, &fd));
    FindClose(h);
}

uint64_t LogBytes() {
    Usage u;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(JoinPath(gDataPaths.dataDir, L"Vellumgard.log*.jsonl").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return 0;
    do u.bytes += (uint64_t(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
    while (FindNextFileW(h, &fd));
    FindClose(h);
    return u.bytes;
}

}  // namespace

int main() {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    gLiveConfig.logMaxMegabytes.store(kLogMaxMegabytes);
    const LogRotationSettings rotation = LogRotationFrom(kLogMaxMegabytes, 0);
    const std::string context = "{\"unknown\":true,\"why\":\"" + std::string(2000, 'c') + "\"}";

    const int64_t start = NowSeconds() - int64_t(kDays) * 86400;
    uint64_t appended = 0, maxTotal = 0, maxLog = 0, maxIncidentBytes = 0, maxFolders = 0;
    size_t pruned = 0;
    unsigned tick = 1000;
    const LARGE_INTEGER t0 = [] {
        LARGE_INTEGER t;
        QueryPerformanceCounter(&t);
        return t;
    }();
    std::printf("simulating %d days: %d log lines a day in batches of %d, %d incidents a day\n", kDays,
                kLinesPerDay, kLinesPerBatch, kIncidentsPerDay);
    for (int day = 0; day < kDays; ++day) {
        const int64_t dayStart = start + int64_t(day) * 86400;
        const std::string ts = LocalIsoAt(dayStart);
        std::string batch;
        for (int i = 0; i < kLinesPerDay; ++i) {
            batch += BuildEventLine(
                ts, "dir_change",
                "\"folder\":\"C:\\\\Users\\\\busy\\\\Documents\\\\project\",\"file\":\"build_" +
                    std::to_string(i) + ".obj\",\"action\":\"modified\"");
            batch += '\n';
            if ((i + 1) % kLinesPerBatch == 0) {
                appended += batch.size();
                AppendLogLines(batch);
                batch.clear();
            }
        }
        for (int k = 0; k < kIncidentsPerDay; ++k) {
            const int64_t t = dayStart + k * 3600;
            const std::wstring folder = JoinPath(gDataPaths.incidentsDir, StoreName(t, ++tick));
            EnsureDirectoryTree(folder);
            WriteFileBytes(
                JoinPath(folder, L"incident.json"),
                "{\"ts\":\"" + LocalIsoAt(t) +
                    "\",\"product\":\"Vellumgard\",\"version\":\"Public v1\",\"reason\":\"file_burst\","
                    "\"severity\":80,\"mode\":\"lite\",\"folder\":\"C:\\\\Users\\\\busy\\\\Documents\"}");
            WriteFileBytes(JoinPath(folder, L"context.json"), context);
        }
        pruned += PruneIncidentsOnce(gDataPaths.incidentsDir, kRetentionDays, dayStart + 86399);

        Usage all, incidents;
        Measure(gDataPaths.dataDir, all);
        Measure(gDataPaths.incidentsDir, incidents);
        const uint64_t log = LogBytes();
        maxTotal = std::max(maxTotal, all.bytes);
        maxLog = std::max(maxLog, log);
        maxIncidentBytes = std::max(maxIncidentBytes, incidents.bytes);
        maxFolders = std::max(maxFolders, incidents.folders);
        if ((day + 1) % 30 == 0 || day + 1 == kDays)
            std::printf(
                "day %3d: appended %7.1f MB so far; on disk: log %6.1f MB, %5llu incident folders "
                "(%5.1f MB), data folder %6.1f MB\n",
                day + 1, appended / 1048576.0, log / 1048576.0,
                static_cast<unsigned long long>(incidents.folders), incidents.bytes / 1048576.0,
                all.bytes / 1048576.0);
    }
    LARGE_INTEGER t1;
    QueryPerformanceCounter(&t1);
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    const uint64_t logBound = uint64_t(rotation.keepFiles + 1) * rotation.maxBytes;
    const uint64_t folderBound = uint64_t(kRetentionDays + 1) * kIncidentsPerDay;
    std::printf("appended %.1f MB of log in all; removed %zu incident folders\n", appended / 1048576.0,
                pruned);
    std::printf(
        "most on disk: log %.1f MB (bound %llu MB: %d kept files + the current, %d MB each), "
        "incident folders %llu (bound %llu: %d days + the current one), data folder %.1f MB\n",
        maxLog / 1048576.0, static_cast<unsigned long long>(logBound >> 20), rotation.keepFiles,
        kLogMaxMegabytes, static_cast<unsigned long long>(maxFolders),
        static_cast<unsigned long long>(folderBound), kRetentionDays, maxTotal / 1048576.0);
    std::printf("within the bound: log %s, incidents %s; %.1f s\n", maxLog <= logBound ? "yes" : "NO",
                maxFolders <= folderBound ? "yes" : "NO",
                double(t1.QuadPart - t0.QuadPart) / double(f.QuadPart));
    return maxLog <= logBound && maxFolders <= folderBound ? 0 : 1;
}
