// The process monitor's fallback where WMI events are unavailable (setting
// extendedDetection): the native process list, every 250 ms. Each new process
// goes through HandleNewProcess, exactly like one delivered by WMI.
#pragma once

#include <wbemidl.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/handles.h"
#include "procmon/process_events.h"
#include "procmon/process_snapshot_diff.h"

constexpr DWORD kProcessPollPeriodMs = 250;

// The rest of the monitor thread after WMI failed: takes a first list (what
// runs then is not reported), logs "proc_mon_fallback" "Process monitor:
// polling the process list", then hands every process started since to
// HandleNewProcess, until StopRequested() (seen within one period). Logs
// "proc_mon_fallback" "Process monitor stopping" and returns exitCode.
uint32_t RunProcessPolling(uint32_t exitCode);

// The platform pieces, for tests and the benchmark.

// The watch on the processes of the last list (process_snapshot_diff.h):
// a handle to each one that could be opened, which is signalled when it ends,
// and the keys of those that cannot be opened.
struct ProcessWatch {
    std::vector<std::pair<ProcessKey, UniqueHandle>> handles;  // sorted by key
    std::vector<ProcessKey> unopenable;                        // sorted
    bool goneBeforeOpened = false;  // a listed process had ended before it could be opened
};

// Opens a process for the watch (SYNCHRONIZE and limited query access); on
// failure null with the error in GetLastError. The tests pass their own.
using OpenForWatchFn = HANDLE (*)(DWORD pid);
HANDLE OpenForWatch(DWORD pid);

// Moves the watch on to `list`: keeps the handles of processes still listed,
// opens each new one once. A process that opens, or whose opening is refused
// for any reason but "no such process", is known; pid 0 (the idle process,
// which no one can open and whose opening says "invalid parameter") is one
// that cannot be opened; a process gone before it could be opened (no such
// process, or its pid already names a later one) makes the next period take
// the list.
void WatchList(ProcessWatch& watch, const std::vector<ProcessListEntry>& list,
               OpenForWatchFn open = OpenForWatch);

// Every process of the last list that could be opened still runs, and none
// was gone before it could be opened. Processes that cannot be opened do not count.
bool EveryListedProcessRuns(const ProcessWatch& watch);

// The size the list query says a whole list needs now; 0 when it says nothing.
uint32_t AskProcessListSize();

// One whole list: pid, creation time and image name of every process, in one
// call. `buffer` is kept between calls and grows as needed. False when the
// query failed.
bool TakeProcessList(std::vector<uint8_t>& buffer, uint32_t sizeHint, std::vector<ProcessListEntry>& out);

// Where a command line came from (or "none"), for tests and the benchmark.
enum class CommandLineSource { None, NativeQuery, ProcessMemory, Wmi };

// The WMI connection of the last route below: made on first need, on the
// polling thread (which has entered COM), and kept; one failed attempt is
// not repeated.
struct WmiProcessQuery {
    ComPtr<IWbemServices> services;
    bool tried = false;
};

// What the monitor logs for one listed process: the list's name and pid, the
// full image path and the command line, each empty when it cannot be read.
// The command line comes from the native query (Windows 8.1 and later, needs
// only limited query access), else from the process parameters in the
// process's memory, else from WMI for that pid while the process still exists.
// A running process whose command line reads empty is read again, up to 5
// times 10 ms apart: one caught in its first milliseconds may not have it in
// place yet. Nothing is read from a later process that got the listed pid.
ProcessInfo ReadProcessDetails(const ProcessListEntry& entry, WmiProcessQuery& wmi,
                               CommandLineSource* source = nullptr);

// The command line of a process through each route on its own (empty and
// false when that route fails), for tests and the benchmark.
bool CommandLineFromNativeQuery(HANDLE limitedProcess, std::wstring& out);
bool CommandLineFromProcessMemory(HANDLE readableProcess, std::wstring& out);
bool DetailsFromWmi(DWORD pid, WmiProcessQuery& wmi, std::wstring& path, std::wstring& commandLine);
