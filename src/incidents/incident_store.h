// Turns a detection into an incident folder holding one incident.json, under
// one global rate limit shared by every reason and every thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "incidents/rate_limit.h"

// The last incident created (time and severity, incidents/rate_limit.h);
// kNoIncidentYet until one has passed. 64-bit times, so 2038 is no limit.
extern std::atomic<IncidentReference> gIncidentReference;

// Incident reasons written by this program.
constexpr const char kReasonCanary[] = "canary_file_touched";
constexpr const char kReasonBurst[] = "file_burst";
constexpr const char kReasonProcess[] = "process_heuristic";
constexpr const char kReasonDirFile[] = "dir_file_heuristic";

void CreateIncident(const std::string& reason, int32_t severity, const std::wstring& folder);
void CreateIncidentWithFile(const std::string& reason, int32_t severity, const std::wstring& folder,
                            const std::wstring& file);

// The incident.json text (one line, no trailing LF). withFile false leaves out
// "file" whatever `file` holds; empty folder or file leave out their member.
std::string BuildIncidentJson(const std::string& ts, const std::string& reason, int32_t severity, bool isAdmin,
                              const std::wstring& folder, bool withFile, const std::wstring& file);

// True only when every byte reached the file (core/event_log.h WriteTextFile).
bool WriteIncidentJson(const std::wstring& incidentFolder, const std::string& text);
