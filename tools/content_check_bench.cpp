// Benchmark of the running agent's content check (extendedDetection), driven
// from outside it under Wine: storms of 5,000 files of a checked type made by
// a native process (tools/native_storm.py) in new subfolders of Documents,
// with the setting off and on:
//  - copies of a real document (each one judged as claimed);
//  - documents of random bytes (each one encrypted-like: a content_check
//    line, so the log shows how many were checked and how fast).
// For each: the agent's CPU (from the host's /proc) from the storm's start
// until its log is quiet; with the setting on, the files the watcher
// reported less those the check dropped, the CPU per checked file beyond
// the setting-off run, the content_check and content_check_dropped lines and
// the incidents.
// Usage: content_check_bench.exe <path of Vellumgard.exe> [files per storm,
// default 5000]. Prints figures only.
#include <shlobj.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "core/paths.h"
#include "core/text.h"
#include "support/native_storm.h"
#include "support/test_support.h"
#include "tool_support.h"

namespace {

// native_storm.py with extra arguments (the file type and its bytes); waits
// for its result file. False when it did not run.
bool RunStorm(const std::wstring& folder, int count, const std::string& extra, NativeStormResult& out) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring done = std::wstring(temp) + L"vg_content_storm.done";
    DeleteFileW(done.c_str());
    const std::string unixFolder = UnixPathOf(folder), unixDone = UnixPathOf(done);
    if (unixFolder.empty() || unixDone.empty()) return false;
    std::wstring cmd = Utf8ToWide("/usr/bin/python3 " VG_SOURCE_DIR "/tools/native_storm.py \"" + unixFolder + "\" " +
                                  std::to_string(count) + " --pause 1 " + extra + " --done \"" + unixDone + "\"");
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    // The exit of a Unix child is not reliably seen from here: the storm
    // writes its result file last.
    return WaitUntil(
        [&] {
            std::string text;
            if (!ReadFileBytes(done, text) || text.empty()) return false;
            out.created = static_cast<uint64_t>(JsonNumber(text, "created"));
            out.startNs = JsonNumber(text, "start_ns");
            out.endNs = JsonNumber(text, "end_ns");
            DeleteFileW(done.c_str());
            return true;
        },
        600000, 20);
}

struct StormFigures {
    bool ran = false;
    double seconds = 0;      // the storm itself
    double busySeconds = 0;  // storm start until the log was quiet
    double cpuSeconds = 0;   // the agent's, over busySeconds
    size_t names = 0;        // distinct files of the storm in dir_change lines (live or recovered)
    size_t checks = 0, dropped = 0, incidents = 0;
    double checksPerSecond = 0;  // content_check lines over the seconds they span
};

StormFigures MeasureStorm(const std::wstring& folder, int count, const std::string& extra, LogTail& tail,
                          const std::wstring& agentStat) {
    StormFigures f;
    std::vector<std::string> seen;
    tail.NewLines();
    const long long cpu0 = HostCpuTicks(agentStat);
    const DWORD t0 = GetTickCount();
    NativeStormResult storm;
    if (!RunStorm(folder, count, extra, storm)) return f;
    DrainUntilQuiet(tail, seen, 3000);
    f.ran = true;
    f.seconds = (storm.endNs - storm.startNs) / 1e9;
    f.busySeconds = (GetTickCount() - t0 - 3000) / 1000.0 - 1.0;  // less the quiet wait and the pause
    f.cpuSeconds = (HostCpuTicks(agentStat) - cpu0) / kHostTicksPerSecond;
    std::string firstTs, lastTs;
    const std::wstring name = folder.substr(folder.find_last_of(L'\\') + 1);
    const std::string prefix = JsonEscape(WideToUtf8(name + L"\\f"));
    std::set<std::string> names;
    for (const std::string& l : seen) {
        if (l.find("\"type\":\"dir_change\"") != std::string::npos && Member(l, "file").compare(0, prefix.size(), prefix) == 0)
            names.insert(Member(l, "file"));
        if (l.find("\"type\":\"content_check\"") != std::string::npos) {
            ++f.checks;
            if (firstTs.empty()) firstTs = Member(l, "ts");
            lastTs = Member(l, "ts");
        }
        if (l.find("\"type\":\"content_check_dropped\"") != std::string::npos) {
            const size_t at = l.find("\"count\":");
            if (at != std::string::npos) f.dropped += std::strtoull(l.c_str() + at + 8, nullptr, 10);
        }
        f.incidents += l.find("\"type\":\"incident_created\"") != std::string::npos;
    }
    f.names = names.size();
    if (f.checks > 1) {
        // Whole seconds of the log's time stamps: the span is counted inclusively.
        auto secondsOf = [](const std::string& ts) {
            return ts.size() < 19 ? 0 : std::atoi(ts.substr(11, 2).c_str()) * 3600 +
                                            std::atoi(ts.substr(14, 2).c_str()) * 60 + std::atoi(ts.substr(17, 2).c_str());
        };
        f.checksPerSecond = f.checks / static_cast<double>(secondsOf(lastTs) - secondsOf(firstTs) + 1);
    }
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::wstring exe = Utf8ToWide(argv[1]);
    const int count = argc > 2 ? std::atoi(argv[2]) : 5000;
    const std::wstring docs = ShellFolder(CSIDL_PERSONAL);
    const std::wstring data = ShellFolder(CSIDL_LOCAL_APPDATA) + L"\\Vellumgard";
    const std::string document = VG_SOURCE_DIR "/tests/corpora/content/report.docx";
    struct Storm {
        const char* what;
        std::string args;
    };
    const Storm storms[] = {
        {"copies of a real .docx (as claimed)", "--ext .docx --content \"" + document + "\""},
        {".docx files of 8 KiB random bytes (encrypted-like)", "--ext .docx --random 8192"},
    };
    double cpuOff[2] = {-1, -1};
    for (bool extended : {false, true}) {
        RemoveTree(data);
        EnsureDirectoryTree(data);
        // No burst or canary incidents; the content incidents may follow each other.
        WriteFileBytes(data + L"\\Vellumgard.config.json",
                       std::string("{\"enableProcessMonitor\": false, \"incidentRateLimitSeconds\": 1, "
                                   "\"burstThreshold\": 1000000, \"enableCanaryFiles\": false") +
                           (extended ? ", \"extendedDetection\": true}\n" : "}\n"));
        Agent agent;
        if (!StartAgent(exe, agent)) {
            std::printf("the agent did not start\n");
            StopAgent(agent);
            return 1;
        }
        LogTail tail;
        tail.path = data + L"\\Vellumgard.log.jsonl";
        const std::string started = DirMonitorStarted(docs);
        WaitUntil(
            [&] {
                for (const std::string& l : tail.NewLines())
                    if (l.find(started) != std::string::npos) return true;
                return false;
            },
            20000);
        Sleep(1000);
        const std::wstring agentStat = FindHostStat(exe);
        for (int s = 0; s < 2; ++s) {
            const std::wstring folder =
                docs + L"\\content_storm" + std::to_wstring(s) + (extended ? L"_on" : L"_off");
            const StormFigures f = MeasureStorm(folder, count, storms[s].args, tail, agentStat);
            if (!f.ran) {
                std::printf("setting %s, %s: the native storm did not run\n", extended ? "on" : "off", storms[s].what);
                continue;
            }
            std::printf("setting %s, %d %s in %.2f s: agent CPU %.2f s over %.1f s of storm and drain (%.3f ms per file)%s",
                        extended ? "on" : "off", count, storms[s].what, f.seconds, f.cpuSeconds, f.busySeconds,
                        f.cpuSeconds * 1000.0 / count, agentStat.empty() ? " (its /proc entry was not found)" : "");
            if (!extended) {
                cpuOff[s] = f.cpuSeconds;
            } else {
                // Each file the watcher reported was queued once; those dropped were never read.
                const size_t checked = f.names > f.dropped ? f.names - f.dropped : 0;
                if (cpuOff[s] >= 0 && checked > 0)
                    std::printf("; %zu files reported, %zu of them checked (less those dropped): %.3f ms of CPU "
                                "per checked file beyond the setting-off run",
                                f.names, checked, (f.cpuSeconds - cpuOff[s]) * 1000.0 / checked);
                std::printf("; %zu content_check lines", f.checks);
                if (f.checks > 1) std::printf(" (%.0f per second while they were written)", f.checksPerSecond);
                std::printf(", %zu checks dropped (content_check_dropped), %zu incidents", f.dropped, f.incidents);
            }
            std::printf("\n");
            std::fflush(stdout);
        }
        StopAgent(agent);
    }
    return 0;
}
