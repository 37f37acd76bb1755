// The Windows side of tray/uninstall_leftovers: the paused programs shown
// with the tray's box and answered through the pause worker, and the canary
// files looked for in the known folders and the extra folders. The data
// folder's paths (core/paths.h) are set before these run.
#pragma once

#include <string>
#include <vector>

#include "procmon/pause_records.h"
#include "tray/command_line.h"

// The paused list in the data folder, only the entries still running.
std::vector<PausedProgram> ListedStillPaused();

// After the installed agents have stopped. Quiet: changes nothing and keeps
// the list. Else each program still paused is shown with the end (Yes) /
// resume (No) / keep (Cancel) box and answered as the tray answers it (one
// "response" line each). Fills report.pausedLeft and report.pausedList;
// Absent when nothing is paused, Done when nothing stays paused, else Kept.
StepOutcome AnswerPausedPrograms(bool quiet, VerbReport& report);

// Where the canaries are, changing nothing: Kept (some found, listed in the
// report) or Absent.
StepOutcome LocateCanaries(VerbReport& report);
// Removes each canary that holds exactly what the agent wrote; a changed
// one stays (listed). Done, Absent (none found), or Failed with the first
// file that could not be removed.
StepOutcome RemoveUnchangedCanaries(VerbReport& report);
