// The incident context: which program may have caused a file incident.
//
// With extendedDetection on, every incident with a folder is queued here by
// the store (gIncidentCreated); one worker thread takes them in turn, asks
// the Restart Manager which processes hold the touched file open, ranks the
// remembered process starts (culprit_ranking.h), writes context.json beside
// incident.json and logs one "incident_context" line.
//
// Time bound: the worker first waits at most kFreshListWaitMs (1 s) for the
// process monitor to have looked at the process list after the incident (a
// program started just before the damage is otherwise not yet remembered).
// The Restart Manager's calls cannot be cancelled, so they run on a thread of
// their own that the worker waits for at most kHolderWaitMs (2 s); the rest (a
// copy of the process memory, the ranking, one small file) takes
// milliseconds, so an incident's context is written within about 3.5 s of its
// turn. A query that did not answer in time is abandoned: its thread owns
// everything it uses, and while kMaxStuckHolderQueries are still running no
// new one starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "incidents/incident_store.h"
#include "procmon/process_memory.h"

constexpr uint32_t kFreshListWaitMs = 1000;
constexpr uint32_t kHolderWaitMs = 2000;
constexpr size_t kMaxStuckHolderQueries = 2;
// Incidents waiting for their context beyond this many are logged as lost.
constexpr size_t kContextQueueLimit = 16;
// CoreStop waits this long for the worker (one holder wait and the rest).
constexpr uint32_t kContextStopWaitMs = 4000;

// gIncidentCreated: queues the incident (with the setting on) and returns.
void QueueIncidentContext(const IncidentCreatedInfo& info);

// gStopIncidentContext: incidents still queued are logged with an error,
// the worker ends (waited for at most kContextStopWaitMs); a later queue
// starts a new one.
void StopIncidentContext();

// The Restart Manager asked, off the caller's thread, which processes hold a
// file open, for callers that must not wait on it (the pausing worker). The
// query runs on a thread of its own, under the same cap on stuck queries as
// the context's; null when none could start.
struct HolderQuery;
std::shared_ptr<HolderQuery> StartHolderQuery(const std::wstring& file);
// Whether the query has answered (never waits); holders is then what the
// platform named, and stays empty where it cannot tell (under Wine it never
// can).
bool HolderQueryAnswered(const std::shared_ptr<HolderQuery>& query, std::vector<RememberedProcess>& holders);
