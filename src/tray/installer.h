// The Windows side of the command-line verbs: install for this user (copy,
// sign-in entry, Start-menu shortcut, start), uninstall, and showing a
// verb's result. The decisions and texts are in tray/command_line.
#pragma once

#include <string>
#include <vector>

#include "tray/command_line.h"

// The arguments after the program's name, split as the platform splits them.
std::vector<std::wstring> ProgramArguments();

// Runs a verb other than RunAgent, shows its result (a message box unless
// quiet, and the console it was started from) and returns the exit code.
// The core is never started; only an install or uninstall writes to the data
// folder, to log its steps.
int RunVerb(const CommandLine& command);
