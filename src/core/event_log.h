// The event log: one JSON object per line, appended to gDataPaths.logFile.
//
// A line is {"ts":"...","product":"Vellumgard","version":"Public v1",
// "type":"..."[,extra members]} followed by one LF. Every append opens the
// file, writes the whole line in one append-mode write and closes it, so
// lines from several threads, or from two agents, never interleave.
#pragma once

#include <cstddef>
#include <string>

constexpr const char kProductName[] = "Vellumgard";
constexpr const char kVersionText[] = "Public v1";

// extraMembers: caller-built members ("key":value,...), values already
// JSON-escaped; empty for none.
void LogEvent(const std::string& type, const std::string& extraMembers);
// A message event: extra members are exactly "msg":"<escaped message>".
// A null message is written as an empty string.
void LogMessage(const std::string& type, const char* message);
void LogMessage(const std::string& type, const std::string& message);

// Builds the line LogEvent appends (without the LF), for a given time stamp.
std::string BuildEventLine(const std::string& ts, const std::string& type, const std::string& extraMembers);

// Appends the line and one LF to the log; a no-op before the paths exist.
// Failures drop the line silently. With logMaxMegabytes set, an append that
// holds the cross-process lock may first close the log (core/log_rotation.h).
void AppendLogLine(const std::string& line);

// Appends several whole lines, each already ending in LF, in one write under
// the same locks as AppendLogLine (a watcher gathers its lines per batch).
// A no-op for empty text or before the paths exist.
void AppendLogLines(const std::string& linesEachEndingInLF);

// Writes the whole content to a sibling temporary file and moves it over the
// target, then synchronises the extra folders. True only when every byte
// reached the target; on failure the old file is left intact and no
// temporary file remains; nor is there a synchronisation then.
bool WriteTextFile(const std::wstring& path, const std::string& content);

// Removes the temporary files WriteTextFile left in the folder when a process
// ended half-way (those of running processes stay). Returns how many went.
// At start every file carrying this process's id is an earlier process's;
// while running (whileRunning) one of this process's files is removed only
// once untouched for kOwnTempFileAgeSeconds, as a write may have it in hand.
constexpr uint64_t kOwnTempFileAgeSeconds = 60;
size_t RemoveStaleTempFiles(const std::wstring& folder, bool whileRunning = false);

// The name of the mutex that serialises appends to this log between
// processes. It is waited for about a second at most; after a timeout the
// line is written anyway and the lock is only tried, not waited for, until a
// try succeeds.
std::wstring LogMutexName(const std::wstring& logPath);

// Reads the whole file in binary. After a successful read the extra folders
// are synchronised, as after a write.
bool ReadWholeFile(const std::wstring& path, std::string& bytes);
