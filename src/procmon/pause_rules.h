// Pausing the program caught encrypting the user's files: every decision the
// pauser takes, pure, so each case is a row of a table test. The platform
// side (handle listings, suspension) hands plain values in.
//
// The chain: a triggering detection (IsPauseTrigger) starts handle listings
// of the candidate processes for up to kEvidenceWindowMs; a process seen
// holding a damaged file with write or delete access (FindWriteEvidence) is
// paused unless it is one never to pause (NeverPauseReason), and so are the
// processes it started after its own start (ChildrenStartedAfter).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "procmon/process_memory.h"

constexpr int32_t kPauseTriggerSeverity = 90;
// Listings are taken from the trigger for this long; only they count.
constexpr int64_t kEvidenceWindowMs = 5000;
// A file of the tree counts as damaged when its damage was logged this long
// before a listing, or this long after it (an encryptor holds the next file
// while the last one is reported; it is judged a moment later).
constexpr int64_t kDamageBeforeListingMs = 60000;
constexpr int64_t kDamageAfterListingMs = 5000;

// The access bits that make a handle evidence (winnt.h values).
constexpr uint32_t kAccessWriteData = 0x0002;   // FILE_WRITE_DATA
constexpr uint32_t kAccessAppendData = 0x0004;  // FILE_APPEND_DATA
constexpr uint32_t kAccessDelete = 0x00010000;  // DELETE

// pauseSuspectPrograms acts only with extendedDetection and
// enableProcessMonitor on (the process memory is empty without the monitor).
bool PauseSettingsActive(bool pauseSuspectPrograms, bool extendedDetection, bool enableProcessMonitor);

// canary_file_touched, encrypted_content or mass_rename at severity 90 or
// more; never dir_file_heuristic, file_burst or a process incident.
bool IsPauseTrigger(const std::string& reason, int32_t severity);

// One open file handle of one process, as a listing saw it.
struct HandleSighting {
    std::wstring path;     // full path, as NormalizeHandlePath gives it
    uint32_t access = 0;   // the granted access
    int64_t listedMs = 0;  // when the listing was taken (ms since 1970 UTC)
};

// A file of the tree logged as damaged: content_check encrypted-like, or
// flagged by a rename rule.
struct DamagedFile {
    std::wstring path;
    int64_t loggedMs = 0;
};

struct EvidenceQuery {
    int64_t triggerMs = 0;
    std::wstring tree;           // the detection's folder
    std::wstring detectionFile;  // full path of the detection's file; empty when it names none
    std::vector<DamagedFile> damaged;
};

struct PauseEvidence {
    bool found = false;
    std::wstring file;
    uint32_t access = 0;
    int64_t listedMs = 0;
};

// The first sighting that is direct evidence: write or delete access, a
// listing within kEvidenceWindowMs after the trigger, and the detection's
// file or a damaged file of the tree logged within the window around that
// listing. Any other file, however many, is never evidence.
PauseEvidence FindWriteEvidence(const EvidenceQuery& query, const std::vector<HandleSighting>& sightings);

// "C:\Users\ann\Documents\a.docx (write data, delete)", UTF-8.
std::string DescribeEvidence(const PauseEvidence& evidence);

// A name from GetFinalPathNameByHandleW as a plain path: "\\?\C:\x" is
// "C:\x", "\\?\UNC\srv\share\x" is "\\srv\share\x".
std::wstring NormalizeHandlePath(const std::wstring& finalPath);

// What the platform says about a process that is about to be paused.
struct PauseTarget {
    int32_t pid = 0;
    std::wstring path;        // full image path; empty when it could not be read
    bool isSelf = false;      // the agent itself
    bool sameUser = true;     // runs as the agent's user
    bool sameSession = true;  // in the agent's session
    bool canSuspend = true;   // could be opened with PROCESS_SUSPEND_RESUME
};

// nullptr when the process may be paused, otherwise why not (in words, for
// the "skipped" response line). System processes are exempt only when their
// image lies in the Windows folder or its System32/SysWOW64 under its own
// name; neverPausePrograms holds image names (or full paths) separated by ';'.
// Script hosts and shells are not exempt.
const char* NeverPauseReason(const PauseTarget& target, const std::wstring& windowsFolder,
                             const std::wstring& neverPausePrograms);

// The processes `parent` started after its own start, and theirs in turn, as
// the process memory holds them (still running, a known creation time not
// before the parent's).
std::vector<RememberedProcess> ChildrenStartedAfter(const RememberedProcess& parent,
                                                    const std::vector<RememberedProcess>& recent);
