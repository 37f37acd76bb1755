// Removing old incident folders, by choice (incidentRetentionDays). The
// decisions are pure: which names are the store's own folders, which of
// them are old enough, in which order, and when the next pass runs. The pass
// itself (incident_retention_win.cpp) lists, reads and removes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Exactly the shape of the folders the store makes:
// YYYYMMDD_hhmmss_<tick> (eight digits, '_', six digits, '_', one to ten
// digits), optionally followed by '_' and 2..999 (no leading zero), the
// suffix the store adds when a name is taken. Anything else is not ours.
bool IsStoreIncidentFolderName(const std::wstring& name);

// A folder below Incidents as a pass found it.
struct RetentionCandidate {
    std::wstring name;
    bool plainFolder = false;  // a directory, not a link or junction
    bool readable = false;     // its incident.json was read in full
    bool timeOk = false;       // and its "ts" converted
    int64_t time = 0;          // seconds since 1970
};

// The names to remove, oldest first (equal times by name): the store's own
// plain folders whose readable incident.json is older than `retentionDays`
// days, and never one of the last 24 hours. retentionDays 0 or below: none.
std::vector<std::wstring> ChooseIncidentsToPrune(std::vector<RetentionCandidate> candidates, int64_t now,
                                                 int32_t retentionDays);

// The first pass waits this long after start; the next ones a day.
constexpr uint32_t kFirstPruneDelayMs = 30 * 1000;
constexpr uint32_t kPrunePeriodMs = 24u * 60 * 60 * 1000;

// The incidents_pruned line's extra members: "count":N.
std::string IncidentsPrunedMembers(size_t count);
