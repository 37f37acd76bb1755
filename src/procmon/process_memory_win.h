// The platform side of the memory of process starts: what the monitor paths
// call to record a start (only with extendedDetection on), and the check of
// remembered processes that may have ended unnoticed (the WMI path sees
// starts only).
#pragma once

#include <wbemidl.h>
#include <windows.h>

#include <cstdint>

#include "core/clock.h"  // NowUnixMs
#include "procmon/process_events.h"
#include "procmon/process_memory.h"


// The monitor thread's start: forgets what an earlier run remembered and,
// with the setting on, begins remembering now.
void BeginProcessMemory();

// With extendedDetection on, remembers a new process with the score the
// monitor gives it (the extended score); with it off, records nothing and
// stops remembering. Call before HandleNewProcess, so an incident that
// process raises already finds it.
void RememberStartedProcess(const ProcessInfo& info, const ProcessOrigin& origin);

// ParentProcessId and CreationDate of a Win32_Process instance, each left
// unknown when missing or not of the expected type.
ProcessOrigin ExtractProcessOrigin(IWbemClassObject* instance);

// Marks as ended each remembered process that no longer runs: its pid is
// gone, names a process created later, or the process has exited. Opens one
// process at a time with limited query access and closes it at once; a
// process it may not open is left as it is.
void RefreshProcessEnds(int64_t nowMs);
