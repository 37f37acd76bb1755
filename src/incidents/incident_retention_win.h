// The retention pass on disk and the thread that runs it: some seconds after
// start, then once a day, while incidentRetentionDays is above 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One pass over incidentsDir at `now` (seconds since 1970): removes whole the
// folders ChooseIncidentsToPrune names, oldest first, without following
// links, tells the incident index and logs one incidents_pruned line with
// the count. Returns that count. Nothing at all when retentionDays <= 0.
size_t PruneIncidentsOnce(const std::wstring& incidentsDir, int32_t retentionDays, int64_t now);

// Starts the pruning thread (once); its first pass waits kFirstPruneDelayMs.
// Never prunes on the caller's thread.
void StartIncidentPruning();
// Stops it: a pass under way ends after the folder it is removing.
void StopIncidentPruning();
