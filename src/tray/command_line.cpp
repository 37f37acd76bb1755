#include "tray/command_line.h"

#include "core/text.h"
#include "tray/uninstall_leftovers.h"
#include "tray/version.h"

namespace {

std::wstring AsciiLower(const std::wstring& text) {
    std::wstring out = text;
    for (wchar_t& c : out)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + (L'a' - L'A'));
    return out;
}

// Decimal digits only, no sign, at most `max`.
bool ParseDecimal(const std::wstring& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t v = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - L'0');
        if (v > (max - digit) / 10) return false;
        v = v * 10 + digit;
    }
    value = v;
    return true;
}

constexpr wchar_t kFinishPrefix[] = L"--finish-uninstall=";

// "PID:CREATED", both above zero.
bool ParseFinishValue(const std::wstring& value, uint32_t& pid, uint64_t& created) {
    const size_t colon = value.find(L':');
    if (colon == std::wstring::npos) return false;
    uint64_t p = 0, c = 0;
    if (!ParseDecimal(value.substr(0, colon), 0xFFFFFFFFull, p) ||
        !ParseDecimal(value.substr(colon + 1), UINT64_MAX, c) || p == 0 || c == 0) {
        return false;
    }
    pid = static_cast<uint32_t>(p);
    created = c;
    return true;
}

// Platform codes as they are documented: small ones in decimal, HRESULTs in hex.
std::wstring ErrorSuffix(uint32_t error) {
    if (error < 0x80000000u) return L" (error " + std::to_wstring(error) + L")";
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring hex = L"0x";
    for (int shift = 28; shift >= 0; shift -= 4) hex += kHex[(error >> shift) & 0xF];
    return L" (error " + hex + L")";
}

constexpr uint32_t kAccessDenied = 5;  // ERROR_ACCESS_DENIED

// Exit was posted to some agents before the stop gave up: they may still go.
std::wstring StillMayExit(const VerbReport& r) {
    if (r.agentsAsked == 0) return std::wstring();
    return L" The agent" + std::wstring(r.agentsAsked > 1 ? L"s" : L"") +
           L" already asked to exit may still do so: if Vellumgard's icon leaves the notification area, "
           L"start it again from the Start menu.";
}

bool SignInTurnedOff(const VerbReport& r) {
    for (const StepOutcome& s : r.steps)
        if (s.step == InstallStep::StartupApproved && s.result == StepResult::Disabled) return true;
    return false;
}

const wchar_t kUsageLines[] =
    L"Usage:\n"
    L"  Vellumgard.exe  runs the agent in the notification area\n"
    L"  Vellumgard.exe --install [--protect]  installs it for this user and starts it\n"
    L"    (--protect: also switches on extended detection and the pausing of a program\n"
    L"    caught encrypting your files, in the settings file)\n"
    L"  Vellumgard.exe --uninstall [--purge]  removes it (--purge: its data too)\n"
    L"  Vellumgard.exe --version | --help\n"
    L"Add --quiet to show no message box (for deployment tools).\n"
    L"From an elevated prompt --install and --uninstall refuse to run unless --allow-elevated is added.\n";

struct ExitCodeLine {
    int code;
    const wchar_t* meaning;
};
const ExitCodeLine kExitCodeLines[] = {
    {kExitOk, L"done"},
    {1, L"the agent could not start"},
    {kExitUsage, L"unknown or conflicting arguments; nothing changed"},
    {kExitNoFolders, L"the per-user folders are unknown"},
    {kExitCopyFailed, L"the program could not be copied"},
    {kExitRunKeyFailed, L"the sign-in entry could not be written or removed"},
    {kExitShortcutFailed, L"the Start-menu shortcut could not be written or removed"},
    {kExitAgentTimeout, L"the installed agent did not exit in time; nothing changed"},
    {kExitStartFailed, L"the installed agent could not be started"},
    {kExitRemoveFailed, L"the installed copy could not be removed"},
    {kExitPurgeFailed, L"the data folder could not be removed, or other agents use it"},
    {kExitBusy, L"another install or uninstall is running"},
    {kExitHandOffFailed, L"the installed copy could not start its removal helper"},
    {kExitAgentNotAsked, L"the installed agent could not be asked to exit (access denied); nothing changed"},
    {kExitElevated, L"started elevated without --allow-elevated; nothing changed"},
    {kExitProgramsPaused,
     L"--purge refused: programs Vellumgard paused still run; the data folder with their list stays"},
    {kExitProtectFailed, L"--protect: the settings file could not be written"},
};

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::wstring>& args) {
    CommandLine c;
    if (args.empty()) return c;

    std::wstring unknown, malformed;
    bool haveUnknown = false, haveMalformed = false;
    size_t verbs = 0;
    Verb verb = Verb::RunAgent;
    for (const std::wstring& arg : args) {
        const std::wstring lower = AsciiLower(arg);
        Verb named = Verb::RunAgent;
        if (lower == L"--install") {
            named = Verb::Install;
        } else if (lower == L"--uninstall") {
            named = Verb::Uninstall;
        } else if (lower == L"--version") {
            named = Verb::Version;
        } else if (lower == L"--help" || lower == L"-h" || lower == L"/?") {
            named = Verb::Help;
        } else if (lower == L"--purge") {
            c.purge = true;
        } else if (lower == L"--quiet") {
            c.quiet = true;
        } else if (lower == L"--allow-elevated") {
            c.allowElevated = true;
        } else if (lower == L"--protect") {
            c.protect = true;
        } else if (lower.compare(0, std::char_traits<wchar_t>::length(kFinishPrefix), kFinishPrefix) == 0) {
            named = Verb::FinishUninstall;
            if (!ParseFinishValue(arg.substr(std::char_traits<wchar_t>::length(kFinishPrefix)), c.parentPid,
                                  c.parentCreated) &&
                !haveMalformed) {
                haveMalformed = true;
                malformed = arg;
            }
        } else if (!haveUnknown) {
            haveUnknown = true;
            unknown = arg;
        }
        if (named != Verb::RunAgent) {
            ++verbs;
            verb = named;
        }
    }

    c.verb = Verb::Invalid;
    if (haveUnknown) {
        c.error = L"Unknown argument \"" + unknown + L"\".";
    } else if (haveMalformed) {
        c.error = L"Malformed argument \"" + malformed + L"\".";
    } else if (c.allowElevated && verbs <= 1 && verb != Verb::Install && verb != Verb::Uninstall) {
        c.error = L"--allow-elevated goes with --install or --uninstall only.";
    } else if (verbs > 1) {
        c.error = L"Give only one of --install, --uninstall, --version and --help.";
    } else if (verbs == 0) {
        c.error = L"--purge and --quiet go with a verb such as --install or --uninstall.";
    } else if (c.purge && verb != Verb::Uninstall) {
        c.error = L"--purge goes with --uninstall only.";
    } else if (c.protect && verb != Verb::Install) {
        c.error = L"--protect goes with --install only.";
    } else {
        c.verb = verb;
    }
    if (c.verb != Verb::FinishUninstall) {
        c.parentPid = 0;
        c.parentCreated = 0;
    }
    return c;
}

std::wstring FinishUninstallArgument(uint32_t parentPid, uint64_t parentCreated) {
    return kFinishPrefix + std::to_wstring(parentPid) + L":" + std::to_wstring(parentCreated);
}

const char* StepLogName(InstallStep step) {
    switch (step) {
        case InstallStep::StopAgents:
            return "stop_agents";
        case InstallStep::Copy:
            return "copy";
        case InstallStep::RunKey:
            return "run_key";
        case InstallStep::Shortcut:
            return "shortcut";
        case InstallStep::StartAgent:
            return "start_agent";
        case InstallStep::RemoveRunKey:
            return "remove_run_key";
        case InstallStep::RemoveShortcut:
            return "remove_shortcut";
        case InstallStep::Purge:
            return "purge";
        case InstallStep::HandOff:
            return "hand_off";
        case InstallStep::RemoveCopy:
            return "remove_copy";
        case InstallStep::RestartAgent:
            return "restart_agent";
        case InstallStep::StartupApproved:
            return "startup_approved";
        case InstallStep::PausedPrograms:
            return "paused_programs";
        case InstallStep::Canaries:
            return "canaries";
        case InstallStep::Protect:
            return "protect";
    }
    return "unknown";
}

const char* ResultLogName(StepResult result) {
    switch (result) {
        case StepResult::Done:
            return "done";
        case StepResult::Replaced:
            return "replaced";
        case StepResult::Repaired:
            return "repaired";
        case StepResult::Unchanged:
            return "unchanged";
        case StepResult::Absent:
            return "absent";
        case StepResult::Kept:
            return "kept";
        case StepResult::InUse:
            return "in_use";
        case StepResult::TimedOut:
            return "timeout";
        case StepResult::Failed:
            return "failed";
        case StepResult::LinkRemoved:
            return "link_removed";
        case StepResult::Exited:
            return "exited";
        case StepResult::Disabled:
            return "disabled";
        case StepResult::ProgramsPaused:
            return "programs_paused";
    }
    return "unknown";
}

std::string InstallLogMembers(const StepOutcome& outcome) {
    std::string m = "\"step\":\"";
    m += StepLogName(outcome.step);
    m += "\",\"result\":\"";
    m += ResultLogName(outcome.result);
    m += '"';
    if (outcome.result == StepResult::Failed && outcome.error != 0)
        m += ",\"error\":" + std::to_string(outcome.error);
    if (outcome.result == StepResult::Exited) m += ",\"exit_code\":" + std::to_string(outcome.error);
    return m;
}

InstallPlan PlanInstall(const InstallFacts& facts) {
    InstallPlan plan;
    plan.copy = !facts.installedExists || !facts.sameBytes;
    plan.stopAgents = plan.copy && facts.installedAgents > 0;
    plan.startAgent = plan.copy || facts.installedAgents == 0;
    return plan;
}

InstallPlan PlanProtectedInstall(const InstallFacts& facts, bool settingsChanged) {
    InstallPlan plan = PlanInstall(facts);
    if (settingsChanged && facts.installedAgents > 0) {
        plan.stopAgents = true;
        plan.startAgent = true;
    }
    return plan;
}

int ExitCodeFor(const std::vector<StepOutcome>& steps) {
    for (const StepOutcome& s : steps) {
        if (StepSucceeded(s.result)) continue;
        switch (s.step) {
            case InstallStep::StopAgents:
                return s.result == StepResult::Failed ? kExitAgentNotAsked : kExitAgentTimeout;
            case InstallStep::Copy:
                return kExitCopyFailed;
            case InstallStep::RunKey:
            case InstallStep::RemoveRunKey:
                return kExitRunKeyFailed;
            case InstallStep::Shortcut:
            case InstallStep::RemoveShortcut:
                return kExitShortcutFailed;
            case InstallStep::StartAgent:
            case InstallStep::RestartAgent:
                return kExitStartFailed;
            case InstallStep::StartupApproved:
            case InstallStep::PausedPrograms:
            case InstallStep::Canaries:
                break;
            case InstallStep::Purge:
                return s.result == StepResult::ProgramsPaused ? kExitProgramsPaused : kExitPurgeFailed;
            case InstallStep::HandOff:
                return kExitHandOffFailed;
            case InstallStep::RemoveCopy:
                return kExitRemoveFailed;
            case InstallStep::Protect:
                return kExitProtectFailed;
        }
    }
    return kExitOk;
}

std::wstring StepSentence(const StepOutcome& o, const VerbReport& r) {
    const std::wstring err = ErrorSuffix(o.error);
    const StepResult x = o.result;
    switch (o.step) {
        case InstallStep::StopAgents:
            if (x == StepResult::Done) return L"Asked the installed agent to exit; it has ended.";
            if (x == StepResult::Absent) return L"No installed agent was running.";
            if (x == StepResult::TimedOut && r.agentsAsked == 0)
                return L"An installed agent is still starting: its window did not appear in time, so it "
                       L"could "
                       L"not be asked to exit and nothing was changed. Try again in a minute.";
            if (x == StepResult::TimedOut)
                return L"The installed agent did not exit within " + std::to_wstring(r.stopWaitSeconds) +
                       L" seconds, so nothing was changed. Exit it from its tray menu and try again." +
                       StillMayExit(r);
            if (x == StepResult::Failed && o.error == kAccessDenied)
                return L"Could not ask the installed agent to exit: access denied. It runs with more rights "
                       L"than this program (for example started from an elevated prompt, or as another "
                       L"user), so nothing was changed. Exit it from its tray menu and try again." +
                       StillMayExit(r);
            if (x == StepResult::Failed)
                return L"Could not ask the installed agent to exit" + err + L"; nothing was changed." +
                       StillMayExit(r);
            break;
        case InstallStep::Copy:
            if (x == StepResult::Done) return L"Copied the program to " + r.installedExe + L".";
            if (x == StepResult::Replaced)
                return L"Replaced the program at " + r.installedExe + L" with this version.";
            if (x == StepResult::Unchanged) return r.installedExe + L" already holds this version.";
            if (x == StepResult::Failed)
                return L"Could not copy the program to " + r.installedExe + err + L".";
            break;
        case InstallStep::RunKey:
            if (x == StepResult::Done) return L"Registered it to start at every sign-in.";
            if (x == StepResult::Repaired) return L"Repaired its entry for starting at sign-in.";
            if (x == StepResult::Unchanged) return L"It already starts at every sign-in.";
            if (x == StepResult::Failed) return L"Could not register it to start at sign-in" + err + L".";
            break;
        case InstallStep::Shortcut:
            if (x == StepResult::Done) return L"Added the Start-menu shortcut " + r.shortcut + L".";
            if (x == StepResult::Repaired) return L"Repaired the Start-menu shortcut " + r.shortcut + L".";
            if (x == StepResult::Unchanged) return L"The Start-menu shortcut is in place.";
            if (x == StepResult::Failed)
                return L"Could not write the Start-menu shortcut " + r.shortcut + err + L".";
            break;
        case InstallStep::StartAgent:
            if (x == StepResult::Done)
                return L"Started the installed agent; its icon is in the notification area.";
            if (x == StepResult::Unchanged)
                return L"The installed agent already runs; no second one was started.";
            if (x == StepResult::Failed)
                return L"Could not start the installed agent" + err +
                       L"; no installed Vellumgard agent runs now.";
            if (x == StepResult::Exited)
                return L"The installed agent started but ended at once with exit code " +
                       std::to_wstring(o.error) +
                       L"; no installed Vellumgard agent runs now. Its log is in " + r.dataDir + L".";
            break;
        case InstallStep::RemoveRunKey:
            if (x == StepResult::Done) return L"Removed its entry for starting at sign-in.";
            if (x == StepResult::Absent) return L"It was not registered to start at sign-in.";
            if (x == StepResult::Failed)
                return L"Could not remove its entry for starting at sign-in" + err + L".";
            break;
        case InstallStep::RemoveShortcut:
            if (x == StepResult::Done) return L"Removed the Start-menu shortcut " + r.shortcut + L".";
            if (x == StepResult::Absent) return L"There was no Start-menu shortcut.";
            if (x == StepResult::Failed)
                return L"Could not remove the Start-menu shortcut " + r.shortcut + err + L".";
            break;
        case InstallStep::Purge:
            if (x == StepResult::Done) return L"Removed the data folder " + r.dataDir + L".";
            if (x == StepResult::Absent) return L"There was no data folder.";
            if (x == StepResult::Kept)
                return L"Kept the data folder " + r.dataDir +
                       L" (log, settings and incidents); --uninstall --purge removes it.";
            if (x == StepResult::InUse)
                return L"Kept the data folder " + r.dataDir +
                       L": Vellumgard agents from other places still use it. Exit them and run "
                       L"--uninstall --purge again.";
            if (x == StepResult::Failed)
                return L"Could not remove the data folder " + r.dataDir + L" completely" + err + L".";
            if (x == StepResult::ProgramsPaused) return PurgeRefusedForPausedSentence(r);
            if (x == StepResult::LinkRemoved)
                return L"The data folder " + r.dataDir +
                       L" was a link to another place: removed the link only, and nothing it pointed to.";
            break;
        case InstallStep::HandOff:
            if (x == StepResult::Done)
                return L"This program is the installed copy and cannot remove its own file while it runs: a "
                       L"helper copy, " +
                       r.helperExe + L", removes " + r.installedExe + L" as soon as this program has ended.";
            if (x == StepResult::Failed)
                return L"Could not start a helper to remove the installed copy" + err + L"; " +
                       r.installedExe + L" stays.";
            break;
        case InstallStep::Protect:
            if (x == StepResult::Done)
                return L"Switched on extended detection and the pausing of a program caught encrypting your "
                       L"files in " + r.configFile + L".";
            if (x == StepResult::Unchanged)
                return L"Extended detection and pausing were already on in " + r.configFile + L".";
            if (x == StepResult::Failed)
                return L"Could not write the settings file " + r.configFile + err + L"; nothing else was changed.";
            break;
        case InstallStep::RemoveCopy:
            if (x == StepResult::Done) return L"Removed " + r.installedExe + L".";
            if (x == StepResult::Absent) return L"There was no installed copy at " + r.installedExe + L".";
            if (x == StepResult::InUse)
                return L"An agent runs from " + r.installedExe + L" again, so it was not removed.";
            if (x == StepResult::Failed) return L"Could not remove " + r.installedExe + err + L".";
            break;
        case InstallStep::RestartAgent:
            if (x == StepResult::Done)
                return L"Started the installed copy again (the version that was installed before); it runs "
                       L"now.";
            if (x == StepResult::Absent)
                return L"There is no installed copy to start again: no installed Vellumgard agent runs now.";
            if (x == StepResult::Failed)
                return L"Could not start the installed copy again" + err +
                       L": no installed Vellumgard agent runs now. Start it from the Start menu.";
            if (x == StepResult::Exited)
                return L"The installed copy started again but ended at once with exit code " +
                       std::to_wstring(o.error) + L": no installed Vellumgard agent runs now.";
            break;
        case InstallStep::StartupApproved:
            if (x == StepResult::Disabled)
                return L"Its start at sign-in is turned off in the system's start-up settings (Task Manager, "
                       L"Startup); that choice was left as it is. Turn it on there to have Vellumgard start "
                       L"at "
                       L"every sign-in.";
            break;
        case InstallStep::PausedPrograms:
            return PausedProgramsSentence(x, r);
        case InstallStep::Canaries:
            return CanariesSentence(x, o.error, r);
    }
    return std::wstring();
}

std::wstring ReportText(const VerbReport& r) {
    const int code = ExitCodeFor(r.steps);
    const std::wstring codeText = L" (exit code " + std::to_wstring(code) + L").";
    std::wstring text;
    switch (r.verb) {
        case Verb::Install:
            text =
                code != kExitOk ? L"Vellumgard was not installed completely" + codeText
                : SignInTurnedOff(r)
                    ? VersionText() + L" is installed for this user, but its start at sign-in is turned off."
                    : VersionText() + L" is installed for this user and starts at every sign-in.";
            break;
        case Verb::Uninstall:
            text = code == kExitOk ? std::wstring(L"Vellumgard is uninstalled for this user.")
                                   : L"Vellumgard was not uninstalled completely" + codeText;
            break;
        case Verb::FinishUninstall:
            text = code == kExitOk ? std::wstring(L"The installed copy of Vellumgard is removed.")
                                   : L"The installed copy of Vellumgard was not removed" + codeText;
            break;
        default:
            break;
    }
    text += L"\n\n";
    for (const StepOutcome& s : r.steps) {
        const std::wstring sentence = StepSentence(s, r);
        if (!sentence.empty()) text += sentence + L"\n";
    }
    if (!r.otherAgents.empty()) {
        text += L"\nVellumgard agents running from other places were left alone:\n";
        for (const std::wstring& a : r.otherAgents) text += L"  " + a + L"\n";
    }
    return text;
}

std::wstring VersionText() {
    return std::wstring(L"Vellumgard ") + VG_VERSION_WTEXT;
}

std::wstring HelpText() {
    std::wstring text = VersionText() + L": a behaviour guard for this Windows user.\n\n";
    text += kUsageLines;
    text +=
        L"\n--install copies the program to %LOCALAPPDATA%\\Programs\\Vellumgard, starts it at every "
        L"sign-in and adds a Start-menu shortcut. --uninstall stops the installed agent and removes the "
        L"copy, the sign-in entry and the shortcut; the data folder %LOCALAPPDATA%\\Vellumgard (log, "
        L"settings, incidents) stays unless --purge is given.\n\n"
        L"Programs Vellumgard paused that still run are shown one by one by --uninstall, to end them, let "
        L"them run again or keep them paused; with --quiet they stay paused and --purge is refused "
        L"(exit code 15). --purge also removes the canary files Vellumgard planted that are still exactly "
        L"as it wrote them; without it, the result names where they are.\n\nExit codes:\n";
    for (const ExitCodeLine& line : kExitCodeLines)
        text += L"  " + std::to_wstring(line.code) + L"  " + line.meaning + L"\n";
    return text;
}

std::wstring UsageErrorText(const std::wstring& error) {
    return error + L" Nothing was changed.\n\n" + kUsageLines;
}

std::wstring NoFoldersText() {
    return L"Vellumgard cannot find this user's local application data folder or Start menu, so it can "
           L"neither install nor uninstall (exit code 3).";
}

std::wstring BusyText() {
    return L"Another Vellumgard install or uninstall is running; nothing was changed (exit code 11).";
}

std::wstring ElevatedText() {
    return L"Vellumgard was started elevated (\"Run as administrator\"). Installed from there, its agent "
           L"would run elevated, so a later --install or --uninstall from a normal prompt could not ask it "
           L"to "
           L"exit; and elevated with another administrator's account, it would install for that account. Run "
           L"the command again from a normal Command Prompt, or add --allow-elevated if this is really "
           L"meant. "
           L"Nothing was changed (exit code 14).";
}

std::wstring RelativeFolderText(const std::wstring& localAppData) {
    return L"This user's local application data folder is given as \"" + localAppData +
           L"\", which is not an absolute path, so Vellumgard can neither install nor uninstall. Nothing was "
           L"changed (exit code 3).";
}

std::wstring InstallDirBelow(const std::wstring& localAppData) {
    return JoinPath(JoinPath(localAppData, L"Programs"), L"Vellumgard");
}

std::wstring InstalledExeBelow(const std::wstring& localAppData) {
    return JoinPath(InstallDirBelow(localAppData), L"Vellumgard.exe");
}

std::wstring RunValueText(const std::wstring& exePath) {
    return L"\"" + exePath + L"\"";
}

std::wstring WithCrLf(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size() + text.size() / 16);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r')) out += L'\r';
        out += text[i];
    }
    return out;
}
