// Reads the incidents of the last 24 hours back from disk, newest first.
//
// The result is always that of enumerating the Incidents folder and reading
// every incident.json afresh; the scanner gets there through an index of
// every incident, kept current between scans (incidents/incident_index.h).
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
    std::string incidentFolder;  // the name of its folder below Incidents (UTF-8), filled by the scanner
};

// Every problem (missing folder, unreadable or malformed files) only makes
// the list shorter. The first call reads every incident.json; later calls
// look only at what the store and the change watch on the Incidents folder
// named since, plus a re-enumeration when the watch lost track and every
// few minutes. A call that finds at least one incident file (of any age)
// synchronises the extra folders once.
std::vector<IncidentSummary> ScanIncidents(const DataPaths& paths);

// Called by the store after it wrote incidentFolder\incident.json in full,
// with the text it wrote: the next scan knows the incident without reading
// it. Never blocks on a scan.
void NoteIncidentWritten(const std::wstring& incidentFolder, const std::string& text);

// Called by the retention pass after it removed these folders (names below
// incidentsDir): the next scan drops them from the index without waiting for
// the watch, which under Wine does not report folders older than itself.
void NoteIncidentFoldersRemoved(const std::wstring& incidentsDir, const std::vector<std::wstring>& names);

// Stops the change watch and forgets the index; the next scan starts afresh.
// The tray calls it after CoreStop. Never called on the watch's own thread.
void StopIncidentIndex();

// For tests and benchmarks: what the index has done so far.
struct IncidentIndexCounters {
    uint64_t fullRefreshes = 0;  // enumerations of the whole folder by a scan
    uint64_t filesRead = 0;      // incident.json files opened and read
    uint64_t barriers = 0;       // scans that waited for the watch to catch up
    uint64_t censuses = 0;       // periodic re-enumerations merged
    uint64_t watchStarts = 0;
    uint64_t watchBatches = 0;    // change-record batches the watch delivered
    uint64_t watchOverflows = 0;  // batches it lost
    uint64_t lastCensusMs = 0;    // what the last census cost the watch thread
};
IncidentIndexCounters GetIncidentIndexCounters();
// True while a folder name the watch reported waits for the next scan.
bool IncidentIndexAwaits(const std::wstring& folderName);

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
