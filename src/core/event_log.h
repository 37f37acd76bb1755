// The event log: one JSON object per line, appended to gDataPaths.logFile.
//
// A line is {"ts":"...","product":"Vellumgard","version":"Public v1",
// "type":"..."[,extra members]} followed by one LF. Every append opens the
// file, writes the whole line in one append-mode write and closes it, so
// lines from several threads, or from two agents, never interleave.
#pragma once

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
// Failures drop the line silently.
void AppendLogLine(const std::string& line);

// Creates or truncates the file and writes the content unchanged, then, while
// the file is still open, synchronises the extra folders. True only when the
// file was opened and every byte was written.
bool WriteTextFile(const std::wstring& path, const std::string& content);

// Reads the whole file in binary. After a successful read the extra folders
// are synchronised, as after a write.
bool ReadWholeFile(const std::wstring& path, std::string& bytes);
