// What an uninstall must not leave behind unasked: the programs the agent
// paused that still run (each is shown with the tray's end / resume / keep
// box; --quiet changes none of them and then refuses --purge), and the
// canary files it planted (--purge removes the ones still exactly as the
// agent wrote them; otherwise the result says where they are). Pure: the
// Windows work is in tray/uninstall_leftovers_win.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "procmon/pause_records.h"
#include "tray/command_line.h"

// The listed programs that still run: the process with that pid has the
// same creation time now (creationNow[i] for listed[i], 0 when it runs no
// more). Entries whose process has ended, or whose pid was given out again,
// do not count.
std::vector<PausedProgram> StillPausedPrograms(const std::vector<PausedProgram>& listed,
                                               const std::vector<int64_t>& creationNow);

// The purge step's outcome before anything is removed: Kept (not asked for),
// Absent (no data folder), InUse (agents use the folder), ProgramsPaused
// (paused programs that still run are listed in it: removing the list would
// leave them paused with nothing to resume them), else Done (go ahead).
StepResult PurgeGate(bool purge, bool dataDirExists, bool agentsUseIt, size_t stillPaused);

// Where the agent plants canaries: the names it may have planted (the
// configured ones and the default ones, plantable only, each once) and the
// extra folders of extraWatchDirs; the three known folders come on top.
struct CanarySearch {
    std::vector<std::wstring> names;
    std::vector<std::wstring> extraFolders;
};
// From the configuration file's content; the default text when there is none.
CanarySearch CanarySearchFromConfig(const std::string& configContent);

// The bytes the agent writes into every canary (kCanaryFileText as UTF-8).
std::string CanaryFileBytes();
// True only when a file holds exactly those bytes: anything else is the
// user's now and stays.
bool IsUnchangedCanary(const std::string& bytes);

// "path (process N)" for the result text.
std::wstring DescribePausedProgram(const PausedProgram& program);

// The result text's sentences for the PausedPrograms and Canaries steps and
// for a purge refused for paused programs (command_line's StepSentence).
std::wstring PausedProgramsSentence(StepResult result, const VerbReport& report);
std::wstring CanariesSentence(StepResult result, uint32_t error, const VerbReport& report);
std::wstring PurgeRefusedForPausedSentence(const VerbReport& report);
