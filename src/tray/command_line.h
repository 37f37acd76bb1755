// The program's command-line verbs (--install, --uninstall, --version,
// --help): parsing the arguments into a plain record, the exit codes, the
// decisions of an install and every text a verb shows or logs. Pure: the
// Windows work is in tray/installer.cpp, which hands plain facts in here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class Verb {
    RunAgent,  // no arguments: the tray agent, exactly as always
    Install,
    Uninstall,
    FinishUninstall,  // internal: the temp helper that removes the installed copy
    Version,
    Help,
    Invalid,  // the arguments are not understood; nothing is done
};

struct CommandLine {
    Verb verb = Verb::RunAgent;
    bool purge = false;  // with Uninstall: remove the data folder too
    bool quiet = false;  // no message box
    bool allowElevated = false;  // with Install, Uninstall: accept an elevated token
    bool protect = false;  // with Install: switch on extendedDetection and pauseSuspectPrograms (tray/protect_config.h)
    // FinishUninstall: the process that handed over, named by its id and its
    // creation time (100 ns units), so a reused id is never mistaken for it.
    uint32_t parentPid = 0;
    uint64_t parentCreated = 0;
    std::wstring error;  // Invalid: what is wrong, for the user
};

// The arguments after the program's name. ASCII letters match in either
// case; at most one verb; --purge only with --uninstall; --quiet with a verb;
// --allow-elevated only with --install or --uninstall.
CommandLine ParseCommandLine(const std::vector<std::wstring>& args);

// The hidden argument that starts the helper copy.
std::wstring FinishUninstallArgument(uint32_t parentPid, uint64_t parentCreated);

// Exit codes of the verbs. 1 stays the agent's own start-up failure.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 2,           // unknown or conflicting arguments; nothing changed
    kExitNoFolders = 3,       // the per-user folders (local app data, Start menu) are unknown
    kExitCopyFailed = 4,      // the program could not be copied to the install folder
    kExitRunKeyFailed = 5,    // the sign-in entry could not be written or removed
    kExitShortcutFailed = 6,  // the Start-menu shortcut could not be written or removed
    kExitAgentTimeout = 7,    // a running installed agent did not exit in time; nothing changed
    kExitStartFailed = 8,     // the installed agent could not be started
    kExitRemoveFailed = 9,    // the installed copy could not be removed
    kExitPurgeFailed = 10,    // the data folder could not be removed, or agents still use it
    kExitBusy = 11,           // another install or uninstall is running
    kExitHandOffFailed = 12,  // the installed copy could not start its removal helper
    kExitAgentNotAsked = 13,  // a running installed agent could not be asked to exit; nothing changed
    kExitElevated = 14,       // refused to run elevated without --allow-elevated; nothing changed
    // --purge refused: programs the agent paused still run; the data folder stays.
    kExitProgramsPaused = 15,
    kExitProtectFailed = 16,  // --protect: the settings file could not be written
};

// One step of an install or uninstall, and what came of it. Each is logged
// as an "install" line.
enum class InstallStep {
    StopAgents,  // ask the agents running from the installed path to exit
    Copy,        // the program into the install folder
    RunKey,      // the per-user sign-in entry
    Shortcut,    // the Start-menu shortcut
    StartAgent,  // the installed copy
    RemoveRunKey,
    RemoveShortcut,
    Purge,            // the data folder
    HandOff,          // the installed copy starts a helper copy that removes it
    RemoveCopy,       // the installed copy and its folder
    RestartAgent,     // after a failure that followed a stop: the installed copy again
    StartupApproved,  // the system's start-up switch for the sign-in entry (shown when off)
    PausedPrograms,   // the programs the agent paused that still run (tray/uninstall_leftovers.h)
    Canaries,         // the canary files the agent planted
    Protect,          // --protect: the two settings in the user's settings file
};

enum class StepResult {
    Done,         // did what the step does
    Replaced,     // Copy: another version was replaced
    Repaired,     // RunKey, Shortcut: was there but wrong, rewritten
    Unchanged,    // already as it should be; nothing written
    Absent,       // nothing to stop or remove
    Kept,         // Purge: not asked for
    InUse,        // Purge: other agents use the folder; RemoveCopy: an agent runs from it again
    TimedOut,     // StopAgents: an agent did not end in time
    Failed,       // the platform refused; error holds its code
    LinkRemoved,  // Purge: the data folder was a link; only the link went
    Exited,       // StartAgent, RestartAgent: it started and ended at once; error holds its exit code
    Disabled,     // StartupApproved: the user turned the entry off; left so
    // Purge: refused while paused programs that still run are listed in the folder.
    ProgramsPaused,
};

struct StepOutcome {
    InstallStep step = InstallStep::Copy;
    StepResult result = StepResult::Done;
    uint32_t error = 0;  // the platform's error code when Failed
};

inline bool StepSucceeded(StepResult r) {
    return r != StepResult::Failed && r != StepResult::TimedOut && r != StepResult::InUse &&
           r != StepResult::Exited && r != StepResult::ProgramsPaused;
}

const char* StepLogName(InstallStep step);
const char* ResultLogName(StepResult result);
// The members of the "install" line: "step":"..","result":".." and, when
// the step failed with a platform code, "error":N.
std::string InstallLogMembers(const StepOutcome& outcome);

// What an install finds before it changes anything.
struct InstallFacts {
    bool installedExists = false;  // a file is at the install path
    bool sameBytes = false;        // it holds exactly this program's bytes
    size_t installedAgents = 0;    // agents running from the install path
};
struct InstallPlan {
    bool stopAgents = false;  // before the copy, so the file can be replaced
    bool copy = false;
    bool startAgent = false;
};
// Copy only when the bytes differ; stop the installed agents only to replace
// their file; start the installed copy unless one of its agents keeps running.
InstallPlan PlanInstall(const InstallFacts& facts);
// With --protect having changed the settings, an installed agent that runs
// is restarted so they take effect.
InstallPlan PlanProtectedInstall(const InstallFacts& facts, bool settingsChanged);

// The code a finished verb exits with: that of its first failed step.
int ExitCodeFor(const std::vector<StepOutcome>& steps);

// Everything a result text names.
struct VerbReport {
    Verb verb = Verb::Install;
    std::vector<StepOutcome> steps;
    std::wstring installedExe;
    std::wstring shortcut;
    std::wstring dataDir;
    std::wstring helperExe;  // HandOff: the helper copy in the temp folder
    std::wstring configFile; // Protect: the settings file
    // Agents from other paths, left running: "path (process N)".
    std::vector<std::wstring> otherAgents;
    uint32_t stopWaitSeconds = 0;  // the bound of the StopAgents wait
    uint32_t agentsAsked = 0;      // StopAgents: how many were asked to exit before it failed or timed out
    // PausedPrograms: those still paused afterwards ("path (process N)") and their list file.
    std::vector<std::wstring> pausedLeft;
    std::wstring pausedList;
    // Canaries: left in place (no purge), removed, and changed since planted (kept).
    std::vector<std::wstring> canariesLeft;
    std::vector<std::wstring> canariesRemoved;
    std::vector<std::wstring> canariesChanged;
    std::wstring canaryFailed;  // Failed: the one that could not be removed
};

// One sentence for a step's outcome (empty for none).
std::wstring StepSentence(const StepOutcome& outcome, const VerbReport& report);
// The whole result: a headline, one line per step, the agents left running.
std::wstring ReportText(const VerbReport& report);

std::wstring VersionText();  // "Vellumgard 1.1.0"
std::wstring HelpText();     // usage, verbs and exit codes
// The message for arguments that are not understood.
std::wstring UsageErrorText(const std::wstring& error);
std::wstring NoFoldersText();
std::wstring BusyText();
// The refusal of an elevated token (exit code 14).
std::wstring ElevatedText();
// The local application data folder is not an absolute path (exit code 3).
std::wstring RelativeFolderText(const std::wstring& localAppData);

// The install folder's files below the local application data folder, and
// the text of the sign-in entry (the quoted path).
std::wstring InstallDirBelow(const std::wstring& localAppData);
std::wstring InstalledExeBelow(const std::wstring& localAppData);
std::wstring RunValueText(const std::wstring& exePath);
// Windows text with CRLF line ends, for the console.
std::wstring WithCrLf(const std::wstring& text);

constexpr wchar_t kRunValueName[] = L"Vellumgard";
constexpr wchar_t kShortcutName[] = L"Vellumgard.lnk";
// Helper copies live in <temp>\Vellumgard-uninstall-<process id>.
constexpr wchar_t kHelperFolderPrefix[] = L"Vellumgard-uninstall-";
