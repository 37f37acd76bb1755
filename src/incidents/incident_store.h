// Turns a detection into an incident folder holding one incident.json, under
// one global rate limit shared by every reason and every thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "incidents/rate_limit.h"

struct CensusEntry;  // incidents/incident_index.h

// The last incident created (time and severity, incidents/rate_limit.h);
// kNoIncidentYet until one has passed. 64-bit times, so 2038 is no limit.
extern std::atomic<IncidentReference> gIncidentReference;

// Incident reasons written by this program.
constexpr const char kReasonCanary[] = "canary_file_touched";
constexpr const char kReasonBurst[] = "file_burst";
constexpr const char kReasonProcess[] = "process_heuristic";
constexpr const char kReasonDirFile[] = "dir_file_heuristic";
// Extended detection: files whose content no longer matches their type, two
// in one watched tree within a minute or three anywhere within ten minutes
// (fsmon/content_check.h).
constexpr const char kReasonEncryptedContent[] = "encrypted_content";
// Extended detection: one new extension given to several user files in any
// watched tree (fsmon/name_evidence_pool.h).
constexpr const char kReasonMassRename[] = "mass_rename";

void CreateIncident(const std::string& reason, int32_t severity, const std::wstring& folder);
void CreateIncidentWithFile(const std::string& reason, int32_t severity, const std::wstring& folder,
                            const std::wstring& file);

// The incident.json text (one line, no trailing LF). withFile false leaves out
// "file" whatever `file` holds; empty folder or file leave out their member.
std::string BuildIncidentJson(const std::string& ts, const std::string& reason, int32_t severity, bool isAdmin,
                              const std::wstring& folder, bool withFile, const std::wstring& file);

// True only when every byte reached the file (core/event_log.h WriteTextFile).
bool WriteIncidentJson(const std::wstring& incidentFolder, const std::string& text);

// What the store tells gIncidentCreated about an incident it has just created.
struct IncidentCreatedInfo {
    std::wstring incidentFolder;  // full path of the incident's own folder
    std::string reason;
    int32_t severity = 0;
    std::wstring folder, file;  // as in incident.json; file empty when it has none
    int64_t timeMs = 0;         // ms since 1970 UTC
};
// Called after incidentFolder\incident.json was written in full and
// incident_created logged, for every incident with a folder; the callee must
// not block (it queues). Null: nothing happens. Installed by the agent
// (tray/agent_hooks.cpp).
using IncidentCreatedFn = void (*)(const IncidentCreatedInfo& info);
extern IncidentCreatedFn gIncidentCreated;

// Temporary files a failed incident write could not remove (a scanner held
// them past the retries). The start-up clean-up looks only into the newest
// incident folders, so each census also sweeps some of the others, on the
// watch thread: every folder without an incident.json (where a lost write
// leaves its file), then a slice of the rest in turn, so a long history is
// covered over several censuses at a bounded cost each.
constexpr size_t kLeftoverSweepSlice = 256;

// The census entries one sweep visits, as indices: those without an
// incident.json, then `slice` others from `cursor` on (wrapping), each once;
// the cursor moves past them.
std::vector<size_t> PickLeftoverSweep(const std::vector<CensusEntry>& census, size_t slice, size_t& cursor);

// Removes the leftovers in the named folders below incidentsDir (this
// process's own only once they have aged); returns how many went.
size_t RemoveLeftoverTempFiles(const std::wstring& incidentsDir,
                               const std::vector<std::wstring>& folderNames);

// The census's call: picks with the process-wide cursor and removes.
size_t SweepLeftoverTempFiles(const std::wstring& incidentsDir, const std::vector<CensusEntry>& census);
// Called for every detection with a folder after the store has dealt with
// it, whether it became an incident (incidentFolder set) or was rate limited
// or lost (incidentFolder empty); timeMs is when it was asked for. The callee
// must not block (it queues). Null: nothing happens. Installed by the agent.
extern IncidentCreatedFn gIncidentRequested;
