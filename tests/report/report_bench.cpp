// Times one report over a heavy day: 1,440 incidents (one a minute, the most
// the default rate limit lets through) and a 100 MB event log. Prints the
// time of each step and the process's peak working set. Not a test: run it
// by hand (under Wine: wine report_bench.exe). Works in a throwaway folder
// below the temp folder and removes it afterwards.
#include <windows.h>
// psapi.h needs the types of windows.h first.
#include <psapi.h>

#include <cstdio>
#include <ctime>

#include "core/event_log.h"
#include "core/paths.h"
#include "core/text.h"
#include "incidents/incident_scanner.h"
#include "report/html_report.h"
#include "report/report_compose.h"
#include "support/test_support.h"

namespace {

constexpr int kIncidents = 1440;
constexpr uint64_t kLogBytes = 100ull * 1024 * 1024;

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

bool WriteDay() {
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

    // The log, written in 1 MB pieces so the writer adds nothing to the peak.
    HANDLE log =
        CreateFileW(gDataPaths.logFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (log == INVALID_HANDLE_VALUE) return false;
    std::string piece;
    uint64_t written = 0;
    for (int n = 0; written < kLogBytes; ++n) {
        piece += BuildEventLine(LocalIso(now), "dir_change",
                                "\"folder\":\"C:\\\\Users\\\\bench\\\\Documents\",\"file\":\"draft <" +
                                    std::to_string(n) + "> & \\\"final\\\".docx\",\"action\":\"modified\"");
        piece += '\n';
        if (piece.size() >= (1u << 20)) {
            DWORD done = 0;
            WriteFile(log, piece.data(), DWORD(piece.size()), &done, nullptr);
            written += done;
            piece.clear();
        }
    }
    CloseHandle(log);
    return true;
}

}  // namespace

int main() {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    std::printf("writing %d incidents and a %llu MB log...\n", kIncidents, kLogBytes >> 20);
    if (!WriteDay()) {
        std::printf("could not write the sample day\n");
        return 1;
    }
    const double peakBefore = PeakMiB();

    // Each step alone, then the whole report as the tray runs it.
    LARGE_INTEGER t0 = Now();
    const std::vector<std::string> tail = ReadLogTail(gDataPaths.logFile);
    LARGE_INTEGER t1 = Now();
    const std::vector<IncidentSummary> incidents = ScanIncidents(gDataPaths);
    LARGE_INTEGER t2 = Now();
    ReportInputs in;
    in.incidents = incidents;
    in.logTail = tail;
    const std::string page = ComposeReport(in);
    LARGE_INTEGER t3 = Now();

    std::wstring reportPath;
    const bool ok = GenerateReport(reportPath);
    LARGE_INTEGER t4 = Now();

    std::printf("ReadLogTail (100 MB):   %7.3f s  (%zu lines)\n", Seconds(t0, t1), tail.size());
    std::printf("ScanIncidents:          %7.3f s  (%zu incidents)\n", Seconds(t1, t2), incidents.size());
    std::printf("ComposeReport:          %7.3f s  (%zu bytes)\n", Seconds(t2, t3), page.size());
    std::printf("GenerateReport (whole): %7.3f s  (%s)\n", Seconds(t3, t4), ok ? "written" : "FAILED");
    std::printf("peak working set:       %7.1f MiB (%.1f MiB before the report)\n", PeakMiB(), peakBefore);
    return ok ? 0 : 1;
}
