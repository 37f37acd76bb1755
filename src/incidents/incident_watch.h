// The change watch on the Incidents folder that keeps the incident index
// current. Internal to the scanner: it writes nothing to the log and is none
// of the folder watchers. One watch at a time, started and stopped only by
// the scanner (under its lock).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "incidents/incident_index.h"

// Test seams. completedBytes replaces the byte count of every completed
// change request before it is looked at (returning 0 makes the batch an
// overflow; it runs on the watch thread, so a sleep in it delays batches).
// censusStarted runs on the census's thread before it lists the folder.
struct IncidentWatchSeams {
    uint32_t (*completedBytes)(uint32_t bytes) = nullptr;
    void (*censusStarted)() = nullptr;
};
extern IncidentWatchSeams gIncidentWatchSeams;

// The stamp of a file; false when it is missing or a folder.
bool StatIncidentFile(const std::wstring& jsonPath, FileStamp& stamp);

// The folder below the Incidents folder where the scanner's sync markers
// come and go; its name begins with a dot, so it is never an incident.
std::wstring SyncFolderName();

// Starts the watch thread for `dir`, posting under `generation`, and waits
// until its first change request is outstanding (and its sync folder is
// watched). False when the folder cannot be watched.
bool StartIncidentWatch(const std::wstring& dir, uint64_t generation);
// Signals the thread and waits for it, boundedly; then forgets it.
void StopIncidentWatch();
// The thread is still running.
bool IncidentWatchRunning();
// Asks for a census of the folder, which runs on a thread of its own while
// the watch goes on (posted with PostCensus). A request while one runs is
// answered by that one.
void RequestIncidentCensus();

// Provided by the scanner: where the watch thread hands over what it saw.
// Posts of a generation the scanner no longer expects are dropped.
void PostWatchNames(uint64_t generation, std::vector<std::wstring> relativeNames);
void PostWatchOverflow(uint64_t generation);
void PostWatchEnded(uint64_t generation);
// complete: the listing ran to its end. Called on the census's thread, which
// it keeps while comparing the census with the index; it gives up once
// `cancel` (an event) is set.
void PostCensus(uint64_t generation, std::vector<CensusEntry> census, uint32_t costMs, bool complete,
                void* cancel);
