// Reads the incidents of the last 24 hours back from disk, newest first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/paths.h"

struct IncidentSummary {
    std::string ts;
    std::string reason;
    int32_t severity = 0;
    std::string folder;
    std::string file;
};

// Every problem (missing folder, unreadable or malformed files) only makes
// the list shorter.
std::vector<IncidentSummary> ScanIncidents(const DataPaths& paths);

// The string value of the first "key" in the content (empty when missing),
// found like the configuration's keys and decoded as a JSON string.
std::string ReadJsonStringValue(const std::string& content, const std::string& key);

// Fills a summary from incident.json bytes by key scanning.
IncidentSummary ParseIncidentSummary(const std::string& content);

// "YYYY-MM-DDTHH:MM:SS" (as sscanf accepts it) -> seconds since 1970 through
// the C runtime's local-time conversion. False when fewer than six fields
// scan or the conversion fails.
bool ParseIncidentTime(const std::string& ts, int64_t& time);

// Newest first, exactly in the order of a plain exchange sort on the times
// (ties keep the order that sort leaves them in).
void SortIncidentsNewestFirst(std::vector<IncidentSummary>& list);

// Files larger than this are not incidents and are never read whole.
constexpr uint64_t kMaxIncidentJsonBytes = 1024 * 1024;
