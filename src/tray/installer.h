// The Windows side of the command-line verbs: install for this user (copy,
// sign-in entry, Start-menu shortcut, start), uninstall, and showing a
// verb's result. The decisions and texts are in tray/command_line.
#pragma once

#include <string>
#include <vector>

#include "tray/command_line.h"

// Stand-ins for what the platform reports, for tests of steps that Wine
// cannot bring about (it makes no junction or directory link). Null in the
// shipped program, which then makes the real call.
struct InstallerSeams {
    uint32_t (*fileAttributes)(const std::wstring& path) = nullptr;
    // Removes a link itself (folder: a junction or directory link); false
    // with error set on failure.
    bool (*removeLink)(const std::wstring& path, bool folder, uint32_t& error) = nullptr;
};
extern InstallerSeams gInstallerSeams;

// The arguments after the program's name, split as the platform splits them.
std::vector<std::wstring> ProgramArguments();

// Runs a verb other than RunAgent, shows its result (a message box unless
// quiet, and the console it was started from) and returns the exit code.
// The core is never started; only an install or uninstall writes to the data
// folder, to log its steps.
int RunVerb(const CommandLine& command);

// The purge of the data folder: a real folder goes with everything below it;
// a link at its place (junction, symbolic link) is removed as a link, so
// nothing outside the data folder is ever deleted.
StepOutcome PurgeDataFolder(const std::wstring& dataDir);

// Called by the agent at its start, before the core: holds the named
// mutexes that tell the verbs an agent runs from this path and uses this
// data folder, for the life of the process. Never refuses a start.
void HoldAgentMutexes();
// Called by the agent once it runs: an installed agent removes the helper
// copies that earlier uninstalls left in the temp folder.
void RemoveLeftoverHelpersIfInstalled();
