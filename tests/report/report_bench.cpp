// Times the report over a heavy day: 1,440 incidents (one a minute, the most
// the default rate limit lets through) and an event log of 1 MB, then 100 MB,
// and 1 GB (three files). For each size: the whole report as the tray runs
// it and each of its steps (medians of rounds over the three sizes, after one
// unmeasured report), and the process's peak working set. Not a test: `make bench` runs
// it. Works in a throwaway folder below the temp folder and removes it
// (and the 1 GB log) afterwards.
#include <windows.h>
// psapi.h needs the types of windows.h first.
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "core/event_log.h"
#include "core/paths.h"
#include "core/text.h"
#include "incidents/incident_scanner.h"
#include "report/html_report.h"
#include "report/report_compose.h"
#include "support/test_support.h"

namespace {

constexpr int kIncidents = 1440;
constexpr int kRuns = 15;

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return double(to.QuadPart - from.QuadPart) / double(f.QuadPart);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t;
}

double PeakMiB() {
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
    return double(pmc.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

std::string LocalIso(__time64_t t) {
    tm parts{};
    _localtime64_s(&parts, &t);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return buf;
}

bool WriteIncidents() {
    const char* reasons[] = {"canary_file_touched", "file_burst", "process_heuristic", "dir_file_heuristic"};
    const int severities[] = {90, 80, 60, 65};
    const __time64_t now = _time64(nullptr);
    for (int i = 0; i < kIncidents; ++i) {
        const std::string ts = LocalIso(now - 60 * i);
        wchar_t name[64];
        FormatWide(name, 64, L"bench_%04d", i);
        const std::wstring dir = JoinPath(gDataPaths.incidentsDir, name);
        EnsureDirectoryTree(dir);
        const std::string json =
            "{\"ts\":\"" + ts + "\",\"product\":\"Vellumgard\",\"version\":\"Public v1\",\"reason\":\"" +
            reasons[i % 4] + "\",\"severity\":" + std::to_string(severities[i % 4] - i % 7) +
            ",\"mode\":\"lite\",\"folder\":\"C:\\\\Users\\\\bench\\\\Documents\",\"file\":"
            "\"report <" +
            std::to_string(i) + "> & 'notes'.docx.locked\"}";
        if (!WriteFileBytes(JoinPath(dir, L"incident.json"), json)) return false;
    }
    return true;
}

// Grows the log to `bytes`, in 1 MB pieces so the writer adds nothing to the peak.
bool GrowLogTo(uint64_t bytes, int& n) {
    HANDLE log =
        CreateFileW(gDataPaths.logFile.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (log == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size;
    GetFileSizeEx(log, &size);
    uint64_t written = static_cast<uint64_t>(size.QuadPart);
    const std::string ts = LocalIso(_time64(nullptr));
    std::string piece;
    while (written < bytes) {
        piece += BuildEventLine(ts, "dir_change",
                                "\"folder\":\"C:\\\\Users\\\\bench\\\\Documents\",\"file\":\"draft <" +
                                    std::to_string(n++) + "> & \\\"final\\\".docx\",\"action\":\"modified\"");
        piece += '\n';
        if (piece.size() >= (1u << 20) || written + piece.size() >= bytes) {
            DWORD done = 0;
            WriteFile(log, piece.data(), DWORD(piece.size()), &done, nullptr);
            written += done;
            piece.clear();
        }
    }
    CloseHandle(log);
    return true;
}

// The whole-file reader the report used before, for comparison: every byte.
double WholeFileTailSeconds() {
    LARGE_INTEGER t0 = Now();
    HANDLE file = CreateFileW(gDataPaths.logFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    LogTailCollector collector;
    std::vector<char> buf(256 * 1024);
    DWORD got = 0;
    while (ReadFile(file, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr) && got > 0)
        FeedLogTail(collector, buf.data(), got);
    CloseHandle(file);
    FinishLogTail(collector);
    return Seconds(t0, Now());
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Figures {
    double whole, tail, scan, compose;
};

Figures MeasureOnce() {
    std::wstring reportPath;
    LARGE_INTEGER t0 = Now();
    GenerateReport(reportPath);
    LARGE_INTEGER t1 = Now();
    const ReportLogTail logTail = ReadReportLogTail(gDataPaths.logFile);
    LARGE_INTEGER t2 = Now();
    ReportInputs in;
    in.incidents = ScanIncidents(gDataPaths);
    LARGE_INTEGER t3 = Now();
    in.logTail = logTail.lines;
    const std::string page = ComposeReport(in);
    LARGE_INTEGER t4 = Now();
    return {Seconds(t0, t1), Seconds(t1, t2), Seconds(t2, t3), Seconds(t3, t4)};
}

}  // namespace

int main() {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    std::printf("writing %d incidents and logs of 1 MB, 100 MB and 1 GB...\n", kIncidents);
    if (!WriteIncidents()) {
        std::printf("could not write the incidents\n");
        return 1;
    }
    const uint64_t sizes[] = {1ull << 20, 100ull << 20, 1ull << 30};
    const char* labels[] = {"1 MB", "100 MB", "1 GB"};
    const std::wstring logs[] = {dir.Sub(L"log_1mb.jsonl"), dir.Sub(L"log_100mb.jsonl"),
                                 dir.Sub(L"log_1gb.jsonl")};
    int n = 0;
    for (int i = 0; i < 3; ++i) {
        gDataPaths.logFile = logs[i];
        if (!GrowLogTo(sizes[i], n)) {
            std::printf("could not write the log\n");
            return 1;
        }
    }
    Sleep(3000);  // let the writes settle before timing
    std::wstring reportPath;
    GenerateReport(reportPath);  // unmeasured: the index is built once per process

    // Rounds over the three sizes, so a change in the machine's load touches all three alike.
    std::vector<Figures> runs[3];
    double reference[3] = {0, 0, 0};
    for (int r = 0; r < kRuns; ++r) {
        for (int i = 0; i < 3; ++i) {
            gDataPaths.logFile = logs[i];
            runs[i].push_back(MeasureOnce());
        }
    }
    for (int i = 0; i < 3; ++i) {
        gDataPaths.logFile = logs[i];
        reference[i] = WholeFileTailSeconds();
    }
    double first = 0;
    for (int i = 0; i < 3; ++i) {
        std::vector<double> whole, tail, scan, compose;
        for (const Figures& f : runs[i]) {
            whole.push_back(f.whole);
            tail.push_back(f.tail);
            scan.push_back(f.scan);
            compose.push_back(f.compose);
        }
        const double w = Median(whole);
        if (i == 0) first = w;
        std::printf(
            "log %-6s GenerateReport (whole) %7.4f s (%+5.1f%% of 1 MB) | ReadReportLogTail %7.4f s  "
            "ScanIncidents %7.4f s  ComposeReport %7.4f s | whole-file reader %7.4f s\n",
            labels[i], w, 100.0 * (w - first) / first, Median(tail), Median(scan), Median(compose),
            reference[i]);
    }
    std::printf(
        "(medians of %d rounds over the three sizes; the whole-file reader is the one the report used "
        "before, timed once)\n",
        kRuns);
    std::printf("peak working set:       %7.1f MiB\n", PeakMiB());
    for (const std::wstring& log : logs) DeleteFileW(log.c_str());  // the 1 GB goes at once
    return 0;
}
