// Benchmark of the polling process monitor (extendedDetection on; under Wine
// the WMI subscription always fails, so the agent polls), driven from outside
// the running agent:
//  - the cost of one whole native process list and of asking its size, with
//    150 more processes running;
//  - the agent's CPU over 30 s with those 150 processes running, without the
//    process monitor and with polling; read from the host's /proc through
//    drive Z: (under Wine GetProcessTimes does not follow a process's real
//    CPU time), the prefix's wineserver alongside;
//  - the share of processes caught among those living 100 ms, 300 ms and 1 s,
//    50 launches each at random phases of the polling period.
// Usage: process_bench.exe <Vellumgard.exe> <sleeper.exe>. Prints figures only.
#include <shlobj.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "core/paths.h"
#include "core/text.h"
#include "procmon/process_poller.h"
#include "support/test_support.h"
#include "tool_support.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point from) {
    return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

// --- the host's view of this prefix's processes --------------------------

// utime + stime of a host process, in ticks; -1 when it cannot be read.
long long HostPidCpuTicks(const std::string& pid) {
    return HostCpuTicks(Utf8ToWide("Z:\\proc\\" + pid + "\\stat"));
}

// The host pid of a process of this prefix whose program (the first word of
// its command line) or, with inCommandLine false, whose command name holds
// `needle`, lower case; empty when none.
std::string FindHostProcess(const std::string& needle, bool inCommandLine) {
    char prefix[1024] = {};
    GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof prefix);
    const std::string ours = std::string("WINEPREFIX=") + prefix;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(L"Z:\\proc\\*", &fd);
    if (h == INVALID_HANDLE_VALUE) return std::string();
    std::string found;
    do {
        const std::string pid = WideToUtf8(fd.cFileName);
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string what = HostFile("/proc/" + pid + (inCommandLine ? "/cmdline" : "/comm"));
        what = what.substr(0, what.find('\0'));  // the program, not its arguments
        for (char& c : what) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (what.find(needle) == std::string::npos) continue;
        std::string env = HostFile("/proc/" + pid + "/environ");
        for (char& c : env)
            if (c == '\0') c = '\n';
        if (prefix[0] && ("\n" + env + "\n").find("\n" + ours + "\n") == std::string::npos) continue;
        found = pid;
        break;
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return found;
}

// --- the agent ---------------------------------------------------------------

HANDLE Launch(const std::wstring& exe, const std::wstring& commandLine, DWORD sleepMs, DWORD* pid) {
    SetEnvironmentVariableW(L"VG_SLEEP_MS", std::to_wstring(sleepMs).c_str());
    std::wstring cmd = commandLine;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    if (pid) *pid = pi.dwProcessId;
    return pi.hProcess;
}

// The agent's and the wineserver's CPU over `seconds`, in % of one core.
void MeasureIdle(const char* what, const std::string& agentPid, const std::string& serverPid, int seconds) {
    const long long a0 = HostPidCpuTicks(agentPid), s0 = serverPid.empty() ? -1 : HostPidCpuTicks(serverPid);
    Sleep(seconds * 1000);
    const long long a1 = HostPidCpuTicks(agentPid), s1 = serverPid.empty() ? -1 : HostPidCpuTicks(serverPid);
    if (a0 < 0 || a1 < 0) {
        std::printf("%s: the agent's host process could not be read\n", what);
        return;
    }
    std::printf("%s: agent CPU %.2f%% of one core over %d s (target under 1%%)", what,
                (a1 - a0) / kHostTicksPerSecond / seconds * 100.0, seconds);
    if (s0 >= 0 && s1 >= 0)
        std::printf("; the prefix's wineserver %.2f%% (it serves every process of the prefix)",
                    (s1 - s0) / kHostTicksPerSecond / seconds * 100.0);
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::wstring exe = Utf8ToWide(argv[1]);
    const std::wstring sleeper = Utf8ToWide(argv[2]);
    const std::wstring data = ShellFolder(CSIDL_LOCAL_APPDATA) + L"\\Vellumgard";
    const std::wstring log = data + L"\\Vellumgard.log.jsonl";
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring work = JoinPath(temp, L"vg_process_bench");
    RemoveTree(work);
    EnsureDirectoryTree(work);

    // 150 processes that stay for the whole run.
    const std::wstring idleExe = work + L"\\idle_worker.exe";
    CopyFileW(sleeper.c_str(), idleExe.c_str(), FALSE);
    std::vector<HANDLE> idle;
    for (int i = 0; i < 150; ++i) {
        HANDLE h = Launch(idleExe, L"idle_worker.exe", 900000, nullptr);
        if (h) idle.push_back(h);
    }
    Sleep(3000);
    std::printf("%zu extra processes running\n", idle.size());

    {
        std::vector<uint8_t> buffer;
        std::vector<ProcessListEntry> list;
        const std::string self = FindHostProcess("process_bench.exe", true);
        const long long c0 = HostPidCpuTicks(self);
        const auto t0 = Clock::now();
        const int lists = 40;
        for (int i = 0; i < lists; ++i) TakeProcessList(buffer, AskProcessListSize(), list);
        const double listMs = Ms(t0) / lists;
        const long long c1 = HostPidCpuTicks(self);
        const auto t1 = Clock::now();
        const int asks = 400;
        uint32_t size = 0;
        for (int i = 0; i < asks; ++i) size = AskProcessListSize();
        const double askMs = Ms(t1) / asks;
        const long long c2 = HostPidCpuTicks(self);
        std::printf(
            "whole process list (%zu processes, %u bytes asked): %.2f ms per list, %.2f ms CPU; "
            "asking its size: %.3f ms, %.3f ms CPU\n",
            list.size(), size, listMs, (c1 - c0) * 1000.0 / kHostTicksPerSecond / lists, askMs,
            (c2 - c1) * 1000.0 / kHostTicksPerSecond / asks);
        std::printf("  a whole list every 250 ms would cost %.1f%% of one core\n",
                    (c1 - c0) * 1000.0 / kHostTicksPerSecond / lists / 250.0 * 100.0);
    }

    const std::string serverPid = FindHostProcess("wineserver", false);
    const char* configs[] = {
        "{\"enableProcessMonitor\": false, \"enableDirMonitorDesktop\": false, "
        "\"enableDirMonitorDocuments\": false,"
        " \"enableDirMonitorDownloads\": false, \"enableCanaryFiles\": false}\n",
        "{\"enableProcessMonitor\": true, \"extendedDetection\": true, \"enableDirMonitorDesktop\": false,"
        " \"enableDirMonitorDocuments\": false, \"enableDirMonitorDownloads\": false, \"enableCanaryFiles\": "
        "false,"
        " \"incidentRateLimitSeconds\": 1}\n",
    };
    for (int phase = 0; phase < 2; ++phase) {
        RemoveTree(data);
        EnsureDirectoryTree(data);
        WriteFileBytes(data + L"\\Vellumgard.config.json", configs[phase]);
        Agent agent;
        if (!StartAgent(exe, agent)) {
            std::printf("the agent did not start\n");
            return 1;
        }
        if (phase == 1 &&
            !WaitUntil(
                [&] { return ReadFileBytes(log).find("polling the process list") != std::string::npos; },
                60000)) {
            std::printf("the agent did not start polling\n");
            StopAgent(agent);
            return 1;
        }
        Sleep(5000);
        const std::string agentPid = FindHostProcess("vellumgard.exe", true);
        MeasureIdle(phase == 0 ? "idle, no process monitor" : "idle, polling", agentPid, serverPid, 30);

        if (phase == 1) {
            // Capture: sequential launches, each after a pseudo-random pause so
            // starts fall at every phase of the 250 ms period.
            uint32_t seed = 12345;
            for (DWORD lifetime : {100u, 300u, 1000u}) {
                const std::wstring name = L"life" + std::to_wstring(lifetime) + L".exe";
                CopyFileW(sleeper.c_str(), (work + L"\\" + name).c_str(), FALSE);
                std::set<DWORD> pids;
                std::vector<double> lived;
                for (int i = 0; i < 50; ++i) {
                    seed = seed * 1103515245u + 12345u;
                    Sleep((seed >> 16) % 250);
                    DWORD pid = 0;
                    const auto t0 = Clock::now();
                    HANDLE h = Launch(work + L"\\" + name, name + L" run", lifetime, &pid);
                    if (!h) continue;
                    WaitForSingleObject(h, 30000);
                    lived.push_back(Ms(t0));
                    CloseHandle(h);
                    pids.insert(pid);
                }
                Sleep(1500);
                // Distinct pids: Wine gives a pid out again quickly, and two launches
                // sharing one must count once, as they do in `pids`.
                std::set<DWORD> caughtPids;
                const std::string wanted = "\"type\":\"proc_start\",\"name\":\"" + WideToUtf8(name) + "\"";
                for (const std::string& line : SplitLines(ReadFileBytes(log))) {
                    if (line.find(wanted) == std::string::npos) continue;
                    const size_t at = line.find("\"pid\":");
                    if (at == std::string::npos) continue;
                    const DWORD pid = static_cast<DWORD>(std::stoul(line.substr(at + 6)));
                    if (pids.count(pid)) caughtPids.insert(pid);
                }
                const size_t caught = caughtPids.size();
                std::sort(lived.begin(), lived.end());
                std::printf(
                    "processes sleeping %lu ms (launch to exit: median %.0f ms, shortest %.0f ms): "
                    "%zu of %zu caught (%.2f)\n",
                    lifetime, lived.empty() ? 0.0 : lived[lived.size() / 2], lived.empty() ? 0.0 : lived[0],
                    caught, pids.size(), pids.empty() ? 0.0 : static_cast<double>(caught) / pids.size());
                std::fflush(stdout);
            }
        }
        StopAgent(agent);
    }

    for (HANDLE h : idle) {
        TerminateProcess(h, 0);
        CloseHandle(h);
    }
    RemoveTree(work);
    return 0;
}
