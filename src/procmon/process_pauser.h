// Suspending, resuming and ending one process, named by its pid and its
// creation time together: a pid given out again is never touched. Suspension
// is NtSuspendProcess (the target keeps running when the agent goes away);
// a debugger attach is never used, since its target dies when the debugger
// leaves. Nothing here ends a process on its own: End is for the user's
// answer only.
#pragma once

#include <cstdint>
#include <string>

#include "procmon/pause_rules.h"

enum class PauseResult {
    Done,
    Gone,    // no process with that pid and creation time any more
    Failed,  // the platform refused; error holds its code
};

// startedMs: creation time in ms since 1970 UTC, as the process memory keeps it.
PauseResult SuspendProcessExactly(int32_t pid, int64_t startedMs, uint32_t& error);
PauseResult ResumeProcessExactly(int32_t pid, int64_t startedMs, uint32_t& error);
PauseResult EndProcessExactly(int32_t pid, int64_t startedMs, uint32_t& error);

// What NeverPauseReason needs to know about a process: whether it is this
// process, its user and session against this process's, whether it can be
// opened for suspension, and its image path. startedMs is filled in (0 when
// the process cannot be queried).
PauseTarget DescribePauseTarget(int32_t pid, int64_t& startedMs);

// The creation time of a running process (ms since 1970 UTC); 0 when unknown
// or when the process has ended.
int64_t ProcessCreationMs(int32_t pid);

// The Windows folder (C:\Windows).
std::wstring WindowsFolderPath();
