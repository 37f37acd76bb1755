// The incident context as text: context.json beside incident.json, the
// members of the "incident_context" log line, and the decisions the context
// worker takes before it ranks (when the damage began, what it may queue).
// Pure: the worker (incident_context.cpp) gathers the values and writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "procmon/culprit_ranking.h"

// At most this many suspects go into context.json.
constexpr size_t kContextSuspects = 5;

// Turns ms since 1970 UTC into the local "YYYY-MM-DDTHH:MM:SS" the log uses.
using FormatTimeFn = std::string (*)(int64_t ms);

// context.json: one JSON object on one line, then LF. `incidentName` is the
// incident's folder name; times of 0 are written as "".
std::string BuildContextJson(const std::string& incidentName, bool holdersKnown,
                             const SuspectRanking& ranking, FormatTimeFn formatTime);

// The members after the usual ones of "incident_context": the incident, then
// the top suspect's name, pid and path, or "unknown":true and why.
std::string IncidentContextMembers(const std::string& incidentName, const SuspectRanking& ranking);
// The same line when no context could be gathered: the incident and "error".
std::string IncidentContextErrorMembers(const std::string& incidentName, const std::string& why);

// When the damage began, as far as the incident tells: a burst counts the
// changes of the whole window before it, content found encrypted was written
// up to a minute before it was read, a mass rename's files came within the
// minute before it, the other reasons name the change itself.
int64_t DamageStartMs(const std::string& reason, int64_t incidentMs, int32_t burstWindowSeconds);

// The last component of a path (either separator); the path itself when it has none.
std::wstring LastPathComponent(const std::wstring& path);

// The user-writable folders of a query: the given ones without empty entries,
// without trailing separators and without repeats (compared ignoring ASCII case).
std::vector<std::wstring> UserWritableFolders(const std::vector<std::wstring>& candidates);
