// What the pauser writes: the "response" log line's members, the incident's
// response.json, and the paused list kept in the data folder so that a
// restarted agent lists the paused programs again. Pure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The actions a "response" line records.
constexpr const char kActionPaused[] = "paused";
constexpr const char kActionResumed[] = "resumed";
constexpr const char kActionEnded[] = "ended";
constexpr const char kActionKept[] = "kept";
constexpr const char kActionSkipped[] = "skipped";
constexpr const char kActionFailed[] = "failed";

struct ResponseRecord {
    std::string action;  // one of the kAction* above
    int32_t pid = 0;
    std::wstring image;    // full image path, or the name when the path is unknown
    std::string evidence;  // the file and access, or why it was skipped (UTF-8)
    std::string incident;  // the incident folder's name; empty when there is none
};

// "action":"paused","pid":N,"image":"..","evidence":".."[,"incident":".."],
// no whitespace, escaped.
std::string ResponseMembers(const ResponseRecord& record);

// response.json: {"incident":"..","responses":[{members},...]} and one LF.
std::string BuildResponseJson(const std::string& incident, const std::vector<ResponseRecord>& records);

// One paused program, as the data folder keeps it.
struct PausedProgram {
    int32_t pid = 0;
    int64_t startedMs = 0;  // creation time, ms since 1970 UTC: with the pid, the process
    int64_t pausedMs = 0;
    std::wstring path;
    std::string evidence;  // UTF-8
    std::string incident;  // UTF-8
};

// The file: a first line "vellumgard-paused 1", then one line per program,
// its fields separated by tabs (pid, creation time, pause time, path,
// evidence, incident; tabs and line ends inside a field become spaces).
std::string FormatPausedList(const std::vector<PausedProgram>& programs);
// Lines that are not one program (a wrong field count, a pid or time that
// is not a positive number) are left out; another first line gives nothing.
std::vector<PausedProgram> ParsePausedList(const std::string& text);
