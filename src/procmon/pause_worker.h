// The pausing worker: on each triggering detection (procmon/pause_rules.h),
// with pauseSuspectPrograms, extendedDetection and enableProcessMonitor on,
// it looks for direct evidence in listings of the candidates' open handles
// (the same user's processes remembered as started in the last ten minutes)
// taken from the trigger for kEvidenceWindowMs, pauses each process caught
// writing a damaged file and the processes it started after it, logs one
// "response" line per process, writes the incident's response.json whole,
// and keeps the paused list in the data folder (paused_programs.txt).
//
// One worker thread, started on the first request; requests beyond
// kPauseQueueLimit are dropped (the detections go on and queue again). The
// agent never ends a process on its own decision: only the user's answer
// (AnswerPausedProgram) does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "incidents/incident_store.h"
#include "procmon/pause_records.h"

constexpr size_t kPauseQueueLimit = 16;
constexpr uint32_t kPauseStopWaitMs = 8000;  // one evidence window and its last look
// After the window, one last look at the damage logged meanwhile.
constexpr uint32_t kLateDamageWaitMs = 1000;

// gIncidentRequested: checks the settings and the trigger, queues, returns.
void QueuePauseDecision(const IncidentCreatedInfo& info);

// Told (on the worker thread) when a program was paused; must not block.
using ProgramPausedFn = void (*)(const PausedProgram& program);
extern ProgramPausedFn gProgramPaused;

std::wstring PausedListPath();  // <data folder>\paused_programs.txt
// The programs paused now, oldest first.
std::vector<PausedProgram> PausedPrograms();
// At start: the list from the data folder, keeping only the processes still
// running with the same creation time; the file is written back.
void LoadPausedList();

enum class PausedDecision { End, Resume, Keep };
// The user's answer for one paused program: ends it, resumes it, or keeps
// it paused; one "response" line. The program leaves the list unless kept.
void AnswerPausedProgram(const PausedProgram& program, PausedDecision decision);

// The agent's stop: the worker ends (waited for at most kPauseStopWaitMs),
// and each program still paused gets one "response" line "kept" (quitting
// never resumes a program).
void StopPauseWorker();
