// What the tools that drive the real agent from outside share: the sandbox's
// known folders, starting the agent and finding its tray window, asking it to
// exit, waiting for a condition, the incidents it wrote, its log, and its CPU
// time as the Linux host counts it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The tray window's Exit command.
constexpr UINT kTrayCmdExit = 1007;

std::wstring ShellFolder(int csidl);

// The user's Downloads folder (a known folder without a CSIDL).
std::wstring DownloadsFolder();

// The current time as a file time (100 ns since 1601, UTC).
int64_t NowFileTime();

// Polls `cond` every stepMs until it holds or timeoutMs passed; its last answer.
bool WaitUntil(const std::function<bool()>& cond, int timeoutMs, int stepMs = 50);

// The agent's tray window (class VellumgardTrayClass) in process `pid`, or null.
HWND FindTrayWindow(DWORD pid);

struct Agent {
    PROCESS_INFORMATION pi{};
    HWND window = nullptr;
};

// Starts the agent and waits up to 30 s for its tray window. False when the
// process did not start (pi.hProcess stays null) or showed no window.
bool StartAgent(const std::wstring& exe, Agent& agent);

// Posts Exit to the tray window, waits up to 30 s (then terminates it with
// 98), closes the handles; the process's exit code.
DWORD StopAgent(Agent& agent);

// Every incident folder holding an incident.json, oldest first (by the
// creation time of its incident.json).
struct IncidentFolder {
    std::wstring name;
    int64_t created = 0;  // file time of incident.json
};
std::vector<IncidentFolder> ListIncidents(const std::wstring& incidentsDir);
size_t CountIncidents(const std::wstring& incidentsDir);

// The log text saying the watch on `folder` runs (the path escaped as in the log).
std::string DirMonitorStarted(const std::wstring& folder);

std::vector<std::string> LogLinesOf(const std::wstring& logFile);
bool LogHas(const std::wstring& logFile, const std::string& needle);

// A string member of one JSON line ("" when absent), still escaped.
std::string Member(const std::string& line, const char* key);

// The log read incrementally: only what was appended since the last call.
struct LogTail {
    std::wstring path;
    uint64_t offset = 0;
    std::string partial;
    std::vector<std::string> NewLines();
};

// Waits until the log has not grown for quietMs, keeping every new line.
void DrainUntilQuiet(LogTail& tail, std::vector<std::string>& into, int quietMs, int timeoutMs = 180000);

double Percentile(std::vector<double> v, double p);

// --- a process's CPU time as the host counts it --------------------------
// Under Wine GetProcessTimes does not follow another process's real CPU time
// (a spinning child showed 0.03 s after 1.5 s), so it is read from the host's
// /proc through drive Z:.

constexpr double kHostTicksPerSecond = 100.0;  // USER_HZ of the Linux host

// A host file by its Unix path ("" when unreadable).
std::string HostFile(const std::string& unixPath);

// Z:\proc\<pid>\stat of the host process started with the command line
// `exe` (its first word); "" when none is found.
std::wstring FindHostStat(const std::wstring& exe);

// utime + stime of a /proc/<pid>/stat, in ticks; -1 when it cannot be read.
long long HostCpuTicks(const std::wstring& stat);
