// A short memory of process starts: what started in the last ten minutes, so
// a file incident can ask which program may have caused it. Both monitor
// paths (WMI and polling) feed it, only with extendedDetection on.
//
// A process is its pid and its creation time together: pids are given out
// again, so an end is matched to a start by both whenever both are known.
// Pure (no Windows headers); thread-safe: each call takes one short lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct RememberedProcess {
    int32_t pid = 0;
    int32_t parentPid = -1;      // -1: the platform did not say
    int64_t startedMs = 0;       // creation time, ms since 1970 UTC; 0: unknown
    int64_t seenMs = 0;          // when the monitor noticed the start (ms since 1970 UTC)
    int64_t endedMs = 0;         // 0: running, or its end not noticed yet
    std::wstring name, path, commandLine;
    int32_t score = 0;           // the process score as computed by the monitor
    std::string signals;         // the matched rules, as the proc_start/heuristic line names them (UTF-8)
};

constexpr int64_t kProcessMemoryMs = 10 * 60 * 1000;  // starts remembered for 10 minutes
constexpr size_t kProcessMemoryLimit = 1024;          // and at most this many (oldest go first)

// The process-wide memory. Every call takes its own lock for a short copy; never blocks on I/O.
void RememberProcessStart(const RememberedProcess& process, int64_t nowMs);
void RememberProcessEnd(int32_t pid, int64_t startedMs, int64_t endedMs);  // startedMs 0: match by pid only
std::vector<RememberedProcess> RecentProcesses(int64_t nowMs);  // started/seen within kProcessMemoryMs, newest first
int64_t ProcessMemoryStartMs();   // when remembering began (the monitor's start); 0 if never
void ResetProcessMemory();        // tests, and the core's start

// The details of the calls above. A start told again (same pid and creation
// time) replaces the first, keeping its end. An end marks the still-running
// starts of that process: with a creation time, those with that pid and that
// time; with 0, those with that pid noticed no later than the end (a start
// noticed after it belongs to a later process given the same pid). The first
// end noticed stays. Newest first is by creation time, else by when noticed.

// Whether starts are being remembered (extendedDetection, as the monitor
// sees it). Switching on when off makes now the memory's start; switching
// off keeps what is remembered but records nothing until switched on again.
void SetProcessMemoryOn(bool on, int64_t nowMs);
bool ProcessMemoryOn();

// Up to when the memory is known to hold every start: the polling monitor's
// last look at the process list (ms since 1970 UTC), never moving back; 0
// before the first look, and always on the WMI path, whose events come late
// by up to a second. A context gathered right after an incident waits for a
// look that began after it, so that a program started just before the damage
// is not missed.
void NoteProcessListCurrent(int64_t asOfMs);
int64_t ProcessListCurrentMs();

// A creation time later than this after the start was noticed is not one (a
// process already gone can leave garbage in the list): it is kept as unknown.
constexpr int64_t kCreationAfterSeenLimitMs = 60 * 1000;

// What the platform says about a start besides name, path and command line.
struct ProcessOrigin {
    int32_t parentPid = -1;  // -1: not said
    int64_t startedMs = 0;   // ms since 1970 UTC; 0: not said
};

// The conversions the monitor paths need, pure so they are tested anywhere.

// 100-ns units since 1601 (a creation time) to ms since 1970 UTC; 0 for 0
// or a time before 1970.
int64_t FileTimeToUnixMs(int64_t fileTime);

// A CIM date and time, "yyyymmddHHMMSS.mmmmmmsUUU" (local time, then its
// offset from UTC in minutes, sign first), to ms since 1970 UTC; 0 when the
// text is not one (wildcards, wrong length, a field out of range).
int64_t CimDateTimeToUnixMs(const std::wstring& text);

// The names of the "signals" member of a score fragment ("score":N,
// "signals":["a","b"]), joined by ", "; empty when it has none.
std::string SignalNames(const std::string& fragment);
