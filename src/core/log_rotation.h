// Rotation of the event log, by choice (logMaxMegabytes): the decisions as
// pure functions; the renames run in log_rotation_win.cpp, called by the
// append while it holds the log's cross-process lock.
//
// The current log is Vellumgard.log.jsonl; closed ones are
// Vellumgard.log.1.jsonl (the newest) up to Vellumgard.log.<keep>.jsonl.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct LogRotationSettings {
    uint64_t maxBytes = 0;  // 0: never rotated
    int keepFiles = 4;      // closed files kept beside the current one
};

constexpr int32_t kDefaultLogKeepFiles = 4;
constexpr int32_t kMaxLogKeepFiles = 999;

// From the settings: logMaxMegabytes absent, 0 or below: never rotated;
// logKeepFiles absent, 0 or below: 4 (at most 999).
LogRotationSettings LogRotationFrom(int32_t logMaxMegabytes, int32_t logKeepFiles);

// True when appending `appendBytes` to a log of `currentBytes` would pass the
// bound. An empty log is never rotated, so a single line larger than the
// bound still goes somewhere.
bool LogRotationDue(const LogRotationSettings& settings, uint64_t currentBytes, uint64_t appendBytes);

// The path of closed file n (1 = newest): "...\Vellumgard.log.jsonl" gives
// "...\Vellumgard.log.<n>.jsonl". A path not ending in ".jsonl" gets ".<n>".
std::wstring RotatedLogPath(const std::wstring& logPath, int n);

// One rename (from -> to) or, with to == 0, the removal of `from`. File 0 is
// the current log, n > 0 the closed file n.
struct LogRotationStep {
    int from = 0;
    int to = 0;
};

// The steps that close the current log, given which closed files exist
// (closedExists[n - 1] for file n). Only the unbroken run 1, 2, ... is
// shifted up, so a rotation that stopped half-way (a file held open) and is
// tried again later never pushes files past a gap; the file that would go
// beyond `keepFiles` is removed first. Every rename targets a name that is
// free by then: the executor renames without replacing and stops at the
// first failure.
std::vector<LogRotationStep> PlanLogRotation(int keepFiles, const std::vector<bool>& closedExists);

// The file name (no folder) of a path, as the log_rotated line names it.
std::wstring LogFileNameOf(const std::wstring& path);

// Windows (log_rotation_win.cpp). Called by the append only while it holds
// the log's cross-process lock. When logMaxMegabytes is set and appending
// `appendBytes` would pass it, closes the current log by the plan above and
// returns the log_rotated line (ending in LF) that must open the new file.
// Returns "" when no rotation is due, and when a rename failed (a reader
// holds a file without delete sharing): the append then goes on to the
// current file and a later append tries again.
std::string RotateLogIfDue(const std::wstring& logPath, uint64_t appendBytes);
