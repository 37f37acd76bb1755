// Benchmark: one ScanIncidents call over 1,440 incidents of the last 24 hours
// plus 10,000 older ones, against the literal algorithm that parses both time
// stamps at every comparison of its exchange sort. Prints figures; asserts
// only that both give the same list.
#include <windows.h>

#include <chrono>
#include <cstdio>

#include "core/paths.h"
#include "core/text.h"
#include "incidents/incident_scanner.h"
#include "incidents/incident_store.h"
#include "support/test_support.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

std::string IsoAt(int64_t t) {
    const time_t tt = static_cast<time_t>(t);
    struct tm lt;
    localtime_s(&lt, &tt);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday,
                  lt.tm_hour, lt.tm_min, lt.tm_sec);
    return buf;
}

// The scan as first described: parse at every comparison.
std::vector<IncidentSummary> LiteralScan(const DataPaths& paths) {
    std::vector<IncidentSummary> list;
    const int64_t cutoff = _time64(nullptr) - 86400;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(JoinPath(paths.incidentsDir, L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return list;
    do {
        if (fd.cFileName[0] == L'.' || !(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        std::string content;
        if (!ReadFileBytes(JoinPath(JoinPath(paths.incidentsDir, fd.cFileName), L"incident.json"), content)) continue;
        IncidentSummary s = ParseIncidentSummary(content);
        int64_t t = 0;
        if (ParseIncidentTime(s.ts, t) && t >= cutoff) list.push_back(s);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    for (size_t i = 0; i < list.size(); ++i)
        for (size_t j = i + 1; j < list.size(); ++j) {
            int64_t ti = 0, tj = 0;
            if (!ParseIncidentTime(list[i].ts, ti)) ti = 0;
            if (!ParseIncidentTime(list[j].ts, tj)) tj = 0;
            if (tj > ti) std::swap(list[i], list[j]);
        }
    return list;
}

}  // namespace

int main() {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    const int64_t now = _time64(nullptr);
    std::printf("building 1440 recent + 10000 older incidents...\n");
    for (int i = 0; i < 11440; ++i) {
        // Recent ones one minute apart (the default rate limit), a few sharing a second.
        const int64_t t = i < 1440 ? now - 60 * i - (i % 7 == 0 ? 0 : 1) : now - 2 * 86400 - 60 * i;
        const std::wstring folder = JoinPath(gDataPaths.incidentsDir, L"inc_" + std::to_wstring(i));
        CreateDirectoryW(folder.c_str(), nullptr);
        WriteFileBytes(JoinPath(folder, L"incident.json"),
                       BuildIncidentJson(IsoAt(t), "file_burst", 80, false, L"C:\\Users\\user\\Documents", false, L""));
    }
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    std::printf("cores: %lu\n", si.dwNumberOfProcessors);

    auto t0 = std::chrono::steady_clock::now();
    const auto fast = ScanIncidents(gDataPaths);
    auto t1 = std::chrono::steady_clock::now();
    const auto literal = LiteralScan(gDataPaths);
    auto t2 = std::chrono::steady_clock::now();
    const auto again = ScanIncidents(gDataPaths);
    auto t3 = std::chrono::steady_clock::now();

    bool same = fast.size() == literal.size();
    for (size_t i = 0; same && i < fast.size(); ++i) same = fast[i].ts == literal[i].ts && fast[i].file == literal[i].file;
    std::printf("incidents returned: %zu (same list as the literal algorithm: %s)\n", fast.size(), same ? "yes" : "NO");
    same = same && again.size() == fast.size();
    std::printf("ScanIncidents, first call:     %.3f s  (target: under 1 s)\n", Seconds(t0, t1));
    std::printf("ScanIncidents, repeated call:  %.3f s  (unchanged files are not read again)\n", Seconds(t2, t3));
    std::printf("literal (parse per compare):   %.3f s\n", Seconds(t1, t2));
    return same ? 0 : 1;
}
