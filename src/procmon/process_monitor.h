// The process monitor: one worker thread subscribed to WMI process-creation
// events. Each new process is logged ("proc_start"), scored, and when the
// score reaches the configured threshold logged again ("proc_suspicious")
// and turned into a "process_heuristic" incident.
#pragma once

#include <wbemidl.h>
#include <windows.h>

#include <cstdint>

#include "procmon/process_events.h"

// Thread procedure (WorkerMainFn); arg is unused. 0 after an orderly stop,
// 1 when setting up the WMI subscription failed ("proc_mon_error" logged).
// With extendedDetection on when it starts, a failed set-up or an enumerator
// that keeps failing is followed by polling (process_poller.h) until the stop.
uint32_t ProcessMonitorMain(void* arg);

// With extendedDetection on, this many failed Next calls in a row (each
// followed by a 500 ms pause, so about 5 s of a broken enumerator) make the
// monitor poll the process list instead.
constexpr int kFailedNextsBeforePolling = 10;

// Handles events until StopRequested(), then logs "Process monitor stopping"
// and returns true. With failuresBeforeGivingUp above 0 it returns false,
// logging nothing, after that many failed Next calls in a row (a timeout or
// an event in between starts the count again).
bool RunProcessEventLoop(IEnumWbemClassObject* events, int failuresBeforeGivingUp = 0);

// One __InstanceCreationEvent: its TargetInstance, if it is a usable object,
// goes through ExtractProcessInfo (with extendedDetection, AddImageVersionNames
// too) and HandleNewProcess; otherwise it is skipped.
void HandleProcessEvent(IWbemClassObject* event);

// Name, ExecutablePath, CommandLine and ProcessId of a Win32_Process
// instance. Missing or non-text values give empty strings, a ProcessId that
// is not a VT_I4 gives 0.
ProcessInfo ExtractProcessInfo(IWbemClassObject* instance);

// Logs "proc_start" and, with the current settings, scores the process and
// raises "proc_suspicious" and an incident when it reaches the threshold.
void HandleNewProcess(const ProcessInfo& info);
