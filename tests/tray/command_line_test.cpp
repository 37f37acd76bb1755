// The command-line verbs' pure half: parsing, the install plan, exit codes,
// the "install" log members and the result texts.
#include "tray/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/text.h"
#include "support/test_support.h"
#include "tray/version.h"

namespace {

struct ParseCase {
    std::vector<std::wstring> args;
    Verb verb;
    bool purge;
    bool quiet;
    const wchar_t* errorPart;  // for Invalid: a part of the message
};

const char* VerbName(Verb v) {
    switch (v) {
        case Verb::RunAgent:
            return "RunAgent";
        case Verb::Install:
            return "Install";
        case Verb::Uninstall:
            return "Uninstall";
        case Verb::FinishUninstall:
            return "FinishUninstall";
        case Verb::Version:
            return "Version";
        case Verb::Help:
            return "Help";
        case Verb::Invalid:
            return "Invalid";
    }
    return "?";
}

std::string Joined(const std::vector<std::wstring>& args) {
    std::string out;
    for (const std::wstring& a : args) out += "[" + WideToUtf8(a) + "]";
    return out;
}

}  // namespace

TEST(CommandLine, ParsesVerbsAndOptions) {
    const ParseCase cases[] = {
        {{}, Verb::RunAgent, false, false, nullptr},
        {{L"--install"}, Verb::Install, false, false, nullptr},
        {{L"--Install"}, Verb::Install, false, false, nullptr},
        {{L"--INSTALL", L"--QUIET"}, Verb::Install, false, true, nullptr},
        {{L"--uninstall"}, Verb::Uninstall, false, false, nullptr},
        {{L"--uninstall", L"--purge"}, Verb::Uninstall, true, false, nullptr},
        {{L"--purge", L"--quiet", L"--uninstall"}, Verb::Uninstall, true, true, nullptr},
        {{L"--quiet", L"--quiet", L"--install"}, Verb::Install, false, true, nullptr},
        {{L"--version"}, Verb::Version, false, false, nullptr},
        {{L"--help"}, Verb::Help, false, false, nullptr},
        {{L"-h"}, Verb::Help, false, false, nullptr},
        {{L"/?"}, Verb::Help, false, false, nullptr},
        {{L"--version", L"--quiet"}, Verb::Version, false, true, nullptr},
        // Not understood: nothing is done, and --quiet still holds.
        {{L"--bogus"}, Verb::Invalid, false, false, L"Unknown argument \"--bogus\"."},
        {{L"--bogus", L"--quiet"}, Verb::Invalid, false, true, L"\"--bogus\""},
        {{L"--install", L"--bogus"}, Verb::Invalid, false, false, L"\"--bogus\""},
        {{L"install"}, Verb::Invalid, false, false, L"\"install\""},
        {{L"/install"}, Verb::Invalid, false, false, L"\"/install\""},
        {{L""}, Verb::Invalid, false, false, L"Unknown argument \"\"."},
        {{L"--install="}, Verb::Invalid, false, false, L"\"--install=\""},
        {{L"--install", L"--uninstall"}, Verb::Invalid, false, false, L"only one"},
        {{L"--install", L"--install"}, Verb::Invalid, false, false, L"only one"},
        {{L"--version", L"--help"}, Verb::Invalid, false, false, L"only one"},
        {{L"--purge"}, Verb::Invalid, true, false, L"go with a verb"},
        {{L"--quiet"}, Verb::Invalid, false, true, L"go with a verb"},
        {{L"--install", L"--purge"}, Verb::Invalid, true, false, L"--purge goes with --uninstall only"},
        {{L"--version", L"--purge"}, Verb::Invalid, true, false, L"--purge goes with --uninstall only"},
        {{L"--finish-uninstall=12:34", L"--purge"}, Verb::Invalid, true, false, L"--purge goes with"},
        {{L"--finish-uninstall=12:34", L"--install"}, Verb::Invalid, false, false, L"only one"},
        // --allow-elevated: only with the verbs that change the install.
        {{L"--install", L"--allow-elevated"}, Verb::Install, false, false, nullptr},
        {{L"--ALLOW-ELEVATED", L"--uninstall", L"--purge"}, Verb::Uninstall, true, false, nullptr},
        {{L"--allow-elevated"}, Verb::Invalid, false, false, L"--allow-elevated goes with --install or"},
        {{L"--version", L"--allow-elevated"}, Verb::Invalid, false, false, L"--allow-elevated goes with"},
        {{L"--finish-uninstall=12:34", L"--allow-elevated"},
         Verb::Invalid,
         false,
         false,
         L"--allow-elevated goes with"},
        {{L"--install", L"--uninstall", L"--allow-elevated"}, Verb::Invalid, false, false, L"only one"},
        {{L"--allow-elevated=1", L"--install"}, Verb::Invalid, false, false, L"Unknown argument"},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(Joined(c.args));
        const CommandLine got = ParseCommandLine(c.args);
        EXPECT_EQ(VerbName(got.verb), std::string(VerbName(c.verb)));
        EXPECT_EQ(got.purge, c.purge);
        EXPECT_EQ(got.quiet, c.quiet);
        EXPECT_EQ(got.parentPid, 0u);
        const bool allowed = std::find(c.args.begin(), c.args.end(), L"--allow-elevated") != c.args.end() ||
                             std::find(c.args.begin(), c.args.end(), L"--ALLOW-ELEVATED") != c.args.end();
        EXPECT_EQ(got.allowElevated, allowed);
        if (c.errorPart) {
            EXPECT_NE(got.error.find(c.errorPart), std::wstring::npos) << WideToUtf8(got.error);
        } else {
            EXPECT_TRUE(got.error.empty()) << WideToUtf8(got.error);
        }
    }
}

TEST(CommandLine, ProtectGoesWithInstallOnly) {
    struct Case {
        std::vector<std::wstring> args;
        Verb verb;
        bool protect;
    } cases[] = {
        {{L"--install", L"--protect"}, Verb::Install, true},
        {{L"--PROTECT", L"--quiet", L"--install"}, Verb::Install, true},
        {{L"--install"}, Verb::Install, false},
        {{L"--protect"}, Verb::Invalid, true},
        {{L"--uninstall", L"--protect"}, Verb::Invalid, true},
        {{L"--version", L"--protect"}, Verb::Invalid, true},
        {{L"--protect=yes", L"--install"}, Verb::Invalid, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Joined(c.args));
        const CommandLine got = ParseCommandLine(c.args);
        EXPECT_EQ(VerbName(got.verb), std::string(VerbName(c.verb)));
        EXPECT_EQ(got.protect, c.protect);
        if (got.verb == Verb::Invalid && c.protect && c.args.size() > 1) {
            EXPECT_NE(got.error.find(L"--protect goes with --install only"), std::wstring::npos)
                << WideToUtf8(got.error);
        }
    }
    EXPECT_NE(HelpText().find(L"--install [--protect]"), std::wstring::npos);
}

TEST(CommandLine, FinishUninstallNamesItsParentExactly) {
    struct Case {
        const wchar_t* arg;
        bool valid;
        uint32_t pid;
        uint64_t created;
    } cases[] = {
        {L"--finish-uninstall=12:34", true, 12, 34},
        {L"--FINISH-UNINSTALL=4294967295:18446744073709551615", true, 4294967295u, UINT64_MAX},
        {L"--finish-uninstall=4294967296:1", false, 0, 0},  // a process id has 32 bits
        {L"--finish-uninstall=1:18446744073709551616", false, 0, 0},
        {L"--finish-uninstall=0:34", false, 0, 0},
        {L"--finish-uninstall=12:0", false, 0, 0},
        {L"--finish-uninstall=12", false, 0, 0},
        {L"--finish-uninstall=:34", false, 0, 0},
        {L"--finish-uninstall=12:", false, 0, 0},
        {L"--finish-uninstall=12:34:56", false, 0, 0},
        {L"--finish-uninstall=-1:34", false, 0, 0},
        {L"--finish-uninstall=+1:34", false, 0, 0},
        {L"--finish-uninstall=1 :34", false, 0, 0},
        {L"--finish-uninstall=", false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.arg));
        const CommandLine got = ParseCommandLine({c.arg});
        if (c.valid) {
            EXPECT_EQ(got.verb, Verb::FinishUninstall);
            EXPECT_EQ(got.parentPid, c.pid);
            EXPECT_EQ(got.parentCreated, c.created);
        } else {
            EXPECT_EQ(got.verb, Verb::Invalid);
            EXPECT_NE(got.error.find(L"Malformed"), std::wstring::npos) << WideToUtf8(got.error);
            EXPECT_EQ(got.parentPid, 0u);
        }
    }
    // What the installed copy writes, the helper reads back.
    for (const auto& v : {std::make_pair(1u, uint64_t{1}), std::make_pair(4294967295u, UINT64_MAX),
                          std::make_pair(5128u, uint64_t{134000000000000000})}) {
        const CommandLine got = ParseCommandLine({FinishUninstallArgument(v.first, v.second), L"--quiet"});
        EXPECT_EQ(got.verb, Verb::FinishUninstall);
        EXPECT_EQ(got.parentPid, v.first);
        EXPECT_EQ(got.parentCreated, v.second);
        EXPECT_TRUE(got.quiet);
    }
}

TEST(CommandLine, InstallPlanCopiesOnlyOtherBytesAndNeverStartsASecondAgent) {
    struct Case {
        bool exists, same;
        size_t agents;
        bool stop, copy, start;
    } cases[] = {
        {false, false, 0, false, true, true},  // first install
        {true, true, 0, false, false, true},   // installed, not running: start it
        {true, true, 1, false, false, false},  // installed and running: nothing
        {true, true, 2, false, false, false},
        {true, false, 0, false, true, true},  // upgrade while not running
        {true, false, 1, true, true, true},   // upgrade: stop, replace, start the new one
        {true, false, 3, true, true, true},
        {false, false, 1, true, true, true},  // running, but its file is gone
        {false, true, 0, false, true, true},  // "same" without a file means nothing
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.exists) + std::to_string(c.same) + std::to_string(c.agents));
        InstallFacts f;
        f.installedExists = c.exists;
        f.sameBytes = c.same;
        f.installedAgents = c.agents;
        const InstallPlan p = PlanInstall(f);
        EXPECT_EQ(p.stopAgents, c.stop);
        EXPECT_EQ(p.copy, c.copy);
        EXPECT_EQ(p.startAgent, c.start);
    }
}

// --protect restarts a running installed agent only when it changed the settings.
TEST(CommandLine, PlanProtectedInstallRestartsARunningAgentForNewSettings) {
    struct Case {
        bool same;
        size_t agents;
        bool changed;
        bool stop, copy, start;
    } cases[] = {
        {true, 1, true, true, false, true},    // same bytes, running: restarted for the settings
        {true, 1, false, false, false, false}, // nothing changed: left alone
        {true, 0, true, false, false, true},   // not running: started
        {false, 2, true, true, true, true},    // another version: replaced and started as always
        {false, 0, false, false, true, true},
    };
    for (const Case& c : cases) {
        InstallFacts f;
        f.installedExists = true;
        f.sameBytes = c.same;
        f.installedAgents = c.agents;
        const InstallPlan p = PlanProtectedInstall(f, c.changed);
        EXPECT_EQ(p.stopAgents, c.stop) << c.same << c.agents << c.changed;
        EXPECT_EQ(p.copy, c.copy) << c.same << c.agents << c.changed;
        EXPECT_EQ(p.startAgent, c.start) << c.same << c.agents << c.changed;
    }
    VerbReport r;
    r.configFile = L"C:\\Users\\ann\\AppData\\Local\\Vellumgard\\Vellumgard.config.json";
    EXPECT_NE(StepSentence({InstallStep::Protect, StepResult::Done, 0}, r).find(r.configFile), std::wstring::npos);
    EXPECT_NE(StepSentence({InstallStep::Protect, StepResult::Failed, 5}, r).find(L"(error 5)"),
              std::wstring::npos);
    EXPECT_EQ(InstallLogMembers({InstallStep::Protect, StepResult::Unchanged, 0}),
              "\"step\":\"protect\",\"result\":\"unchanged\"");
}

TEST(CommandLine, ExitCodeIsThatOfTheFirstFailedStep) {
    using S = InstallStep;
    using R = StepResult;
    struct Case {
        std::vector<StepOutcome> steps;
        int code;
    } cases[] = {
        {{}, kExitOk},
        {{{S::Copy, R::Done},
          {S::RunKey, R::Repaired},
          {S::Shortcut, R::Unchanged},
          {S::StartAgent, R::Done}},
         kExitOk},
        {{{S::StopAgents, R::Absent},
          {S::RemoveRunKey, R::Absent},
          {S::Purge, R::Kept},
          {S::HandOff, R::Done}},
         kExitOk},
        {{{S::StopAgents, R::TimedOut}}, kExitAgentTimeout},
        // Not asked at all (access denied) is not a timeout: its own code.
        {{{S::StopAgents, R::Failed, 5}}, kExitAgentNotAsked},
        {{{S::StopAgents, R::Failed, 1400}}, kExitAgentNotAsked},
        {{{S::StartAgent, R::Exited, 1}}, kExitStartFailed},
        // A failed copy after a stop: the copy's code, whatever the restart did.
        {{{S::StopAgents, R::Done}, {S::Copy, R::Failed, 5}, {S::RestartAgent, R::Done}}, kExitCopyFailed},
        {{{S::StopAgents, R::Done}, {S::Copy, R::Failed, 5}, {S::RestartAgent, R::Exited, 1}},
         kExitCopyFailed},
        {{{S::RestartAgent, R::Failed, 2}}, kExitStartFailed},
        // The user's own choice to turn off the start at sign-in is no failure.
        {{{S::RunKey, R::Unchanged}, {S::StartupApproved, R::Disabled}, {S::StartAgent, R::Done}}, kExitOk},
        {{{S::Purge, R::LinkRemoved}}, kExitOk},
        {{{S::Copy, R::Failed, 5}}, kExitCopyFailed},
        {{{S::Copy, R::Done}, {S::RunKey, R::Failed, 5}, {S::Shortcut, R::Failed, 5}}, kExitRunKeyFailed},
        {{{S::Copy, R::Done}, {S::RunKey, R::Done}, {S::Shortcut, R::Failed, 5}}, kExitShortcutFailed},
        {{{S::StartAgent, R::Failed, 2}}, kExitStartFailed},
        {{{S::RemoveRunKey, R::Failed, 5}}, kExitRunKeyFailed},
        {{{S::RemoveShortcut, R::Failed, 5}}, kExitShortcutFailed},
        {{{S::RemoveCopy, R::Failed, 32}}, kExitRemoveFailed},
        {{{S::RemoveCopy, R::InUse}}, kExitRemoveFailed},
        {{{S::RemoveCopy, R::Done}, {S::Purge, R::InUse}}, kExitPurgeFailed},
        {{{S::Purge, R::Failed, 32}}, kExitPurgeFailed},
        {{{S::HandOff, R::Failed, 2}, {S::Purge, R::Failed, 32}}, kExitHandOffFailed},
        {{{S::Protect, R::Failed, 5}, {S::Copy, R::Failed, 5}}, kExitProtectFailed},
        {{{S::Protect, R::Unchanged}, {S::Copy, R::Done}}, kExitOk},
    };
    for (const auto& c : cases) EXPECT_EQ(ExitCodeFor(c.steps), c.code) << c.code;
}

TEST(CommandLine, InstallLogMembersAreValidJson) {
    struct Case {
        StepOutcome o;
        const char* members;
    } cases[] = {
        {{InstallStep::Copy, StepResult::Done, 0}, "\"step\":\"copy\",\"result\":\"done\""},
        {{InstallStep::StopAgents, StepResult::TimedOut, 0},
         "\"step\":\"stop_agents\",\"result\":\"timeout\""},
        {{InstallStep::RunKey, StepResult::Repaired, 0}, "\"step\":\"run_key\",\"result\":\"repaired\""},
        {{InstallStep::Shortcut, StepResult::Failed, 0x80070005u},
         "\"step\":\"shortcut\",\"result\":\"failed\",\"error\":2147942405"},
        {{InstallStep::StartAgent, StepResult::Unchanged, 0},
         "\"step\":\"start_agent\",\"result\":\"unchanged\""},
        {{InstallStep::RemoveRunKey, StepResult::Absent, 0},
         "\"step\":\"remove_run_key\",\"result\":\"absent\""},
        {{InstallStep::RemoveShortcut, StepResult::Done, 0},
         "\"step\":\"remove_shortcut\",\"result\":\"done\""},
        {{InstallStep::Purge, StepResult::InUse, 0}, "\"step\":\"purge\",\"result\":\"in_use\""},
        {{InstallStep::Purge, StepResult::Kept, 0}, "\"step\":\"purge\",\"result\":\"kept\""},
        {{InstallStep::HandOff, StepResult::Done, 0}, "\"step\":\"hand_off\",\"result\":\"done\""},
        {{InstallStep::RemoveCopy, StepResult::Failed, 32},
         "\"step\":\"remove_copy\",\"result\":\"failed\",\"error\":32"},
        {{InstallStep::Copy, StepResult::Replaced, 7}, "\"step\":\"copy\",\"result\":\"replaced\""},
        // An agent's exit code is not a platform error.
        {{InstallStep::StartAgent, StepResult::Exited, 1},
         "\"step\":\"start_agent\",\"result\":\"exited\",\"exit_code\":1"},
        {{InstallStep::RestartAgent, StepResult::Done, 0}, "\"step\":\"restart_agent\",\"result\":\"done\""},
        {{InstallStep::StartupApproved, StepResult::Disabled, 0},
         "\"step\":\"startup_approved\",\"result\":\"disabled\""},
        {{InstallStep::Purge, StepResult::LinkRemoved, 0}, "\"step\":\"purge\",\"result\":\"link_removed\""},
    };
    for (const auto& c : cases) {
        const std::string members = InstallLogMembers(c.o);
        EXPECT_EQ(members, c.members);
        EXPECT_TRUE(IsValidJson("{" + members + "}")) << members;
    }
}

TEST(CommandLine, EveryOutcomeTheInstallerReportsHasASentence) {
    using S = InstallStep;
    using R = StepResult;
    VerbReport r;
    r.installedExe = L"C:\\Users\\a\\AppData\\Local\\Programs\\Vellumgard\\Vellumgard.exe";
    r.shortcut = L"C:\\Users\\a\\Start Menu\\Programs\\Vellumgard.lnk";
    r.dataDir = L"C:\\Users\\a\\AppData\\Local\\Vellumgard";
    r.helperExe = L"C:\\Users\\a\\Temp\\Vellumgard-uninstall-77\\Vellumgard.exe";
    r.stopWaitSeconds = 20;
    struct Case {
        StepOutcome o;
        const wchar_t* part;  // the sentence holds this
    } cases[] = {
        {{S::StopAgents, R::Done}, L"it has ended"},
        {{S::StopAgents, R::Absent}, L"No installed agent"},
        {{S::StopAgents, R::TimedOut}, L"could not be asked to exit and nothing was changed"},
        {{S::StopAgents, R::Failed, 5}, L"exit: access denied. It runs with more rights"},
        {{S::StopAgents, R::Failed, 1400}, L"(error 1400); nothing was changed"},
        {{S::Copy, R::Done}, L"to C:\\Users\\a\\AppData\\Local\\Programs\\Vellumgard\\Vellumgard.exe."},
        {{S::Copy, R::Replaced}, L"Replaced"},
        {{S::Copy, R::Unchanged}, L"already holds this version"},
        {{S::Copy, R::Failed, 112}, L"(error 112)"},
        {{S::RunKey, R::Done}, L"start at every sign-in"},
        {{S::RunKey, R::Repaired}, L"Repaired"},
        {{S::RunKey, R::Unchanged}, L"already starts"},
        {{S::RunKey, R::Failed, 5}, L"(error 5)"},
        {{S::Shortcut, R::Done},
         L"Added the Start-menu shortcut C:\\Users\\a\\Start Menu\\Programs\\Vellumgard.lnk."},
        {{S::Shortcut, R::Repaired}, L"Repaired the Start-menu shortcut"},
        {{S::Shortcut, R::Unchanged}, L"in place"},
        {{S::Shortcut, R::Failed, 0x80070005u}, L"(error 0x80070005)"},
        {{S::StartAgent, R::Done}, L"notification area"},
        {{S::StartAgent, R::Unchanged}, L"no second one"},
        {{S::StartAgent, R::Failed, 2}, L"(error 2); no installed Vellumgard agent runs now"},
        {{S::StartAgent, R::Exited, 1}, L"ended at once with exit code 1; no installed"},
        {{S::RestartAgent, R::Done}, L"the version that was installed before); it runs now"},
        {{S::RestartAgent, R::Absent}, L"no installed Vellumgard agent runs now"},
        {{S::RestartAgent, R::Failed, 2}, L"again (error 2): no installed Vellumgard agent runs now"},
        {{S::RestartAgent, R::Exited, 1}, L"exit code 1: no installed"},
        {{S::StartupApproved, R::Disabled}, L"turned off in the system's start-up settings"},
        {{S::Purge, R::LinkRemoved}, L"Vellumgard was a link to another place: removed the link only"},
        {{S::RemoveRunKey, R::Done}, L"Removed its entry"},
        {{S::RemoveRunKey, R::Absent}, L"was not registered"},
        {{S::RemoveRunKey, R::Failed, 5}, L"(error 5)"},
        {{S::RemoveShortcut, R::Done}, L"Removed the Start-menu shortcut"},
        {{S::RemoveShortcut, R::Absent}, L"no Start-menu shortcut"},
        {{S::RemoveShortcut, R::Failed, 5}, L"(error 5)"},
        {{S::Purge, R::Done}, L"Removed the data folder C:\\Users\\a\\AppData\\Local\\Vellumgard."},
        {{S::Purge, R::Absent}, L"no data folder"},
        {{S::Purge, R::Kept}, L"--uninstall --purge removes it"},
        {{S::Purge, R::InUse}, L"agents from other places still use it"},
        {{S::Purge, R::Failed, 32}, L"completely (error 32)"},
        {{S::HandOff, R::Done}, L"Vellumgard-uninstall-77\\Vellumgard.exe, removes C:\\Users"},
        {{S::HandOff, R::Failed, 2}, L"(error 2)"},
        {{S::RemoveCopy, R::Done},
         L"Removed C:\\Users\\a\\AppData\\Local\\Programs\\Vellumgard\\Vellumgard.exe."},
        {{S::RemoveCopy, R::Absent}, L"no installed copy"},
        {{S::RemoveCopy, R::InUse}, L"again, so it was not removed"},
        {{S::RemoveCopy, R::Failed, 32}, L"(error 32)"},
    };
    for (const auto& c : cases) {
        const std::wstring s = StepSentence(c.o, r);
        SCOPED_TRACE(std::string(StepLogName(c.o.step)) + "/" + ResultLogName(c.o.result));
        EXPECT_NE(s.find(c.part), std::wstring::npos) << WideToUtf8(s);
        EXPECT_EQ(s.find(L'\n'), std::wstring::npos);
        // An agent's exit code never reads as a platform error.
        if (c.o.result == R::Exited) {
            EXPECT_EQ(s.find(L"(error"), std::wstring::npos) << WideToUtf8(s);
        }
    }
    // Agents asked to exit before the stop gave up are named as possibly still going.
    for (const StepOutcome& o :
         {StepOutcome{S::StopAgents, R::TimedOut, 0}, StepOutcome{S::StopAgents, R::Failed, 5}}) {
        r.agentsAsked = 0;
        EXPECT_EQ(StepSentence(o, r).find(L"may still"), std::wstring::npos);
        r.agentsAsked = 1;
        EXPECT_NE(StepSentence(o, r).find(L"The agent already asked to exit may still do so"),
                  std::wstring::npos);
        r.agentsAsked = 2;
        EXPECT_NE(StepSentence(o, r).find(L"The agents already asked"), std::wstring::npos);
    }
}

TEST(CommandLine, ReportTextHeadlineStepsAndAgentsLeftRunning) {
    VerbReport r;
    r.verb = Verb::Install;
    r.installedExe = L"C:\\P\\Vellumgard.exe";
    r.shortcut = L"C:\\S\\Vellumgard.lnk";
    r.steps = {{InstallStep::Copy, StepResult::Done, 0},
               {InstallStep::RunKey, StepResult::Done, 0},
               {InstallStep::Shortcut, StepResult::Done, 0},
               {InstallStep::StartAgent, StepResult::Done, 0}};
    r.otherAgents = {L"Z:\\dl\\Vellumgard.exe (process 40)"};
    EXPECT_EQ(ReportText(r), std::wstring(L"Vellumgard ") + VG_VERSION_WTEXT +
                                 L" is installed for this user and starts at every sign-in.\n\n"
                                 L"Copied the program to C:\\P\\Vellumgard.exe.\n"
                                 L"Registered it to start at every sign-in.\n"
                                 L"Added the Start-menu shortcut C:\\S\\Vellumgard.lnk.\n"
                                 L"Started the installed agent; its icon is in the notification area.\n"
                                 L"\nVellumgard agents running from other places were left alone:\n"
                                 L"  Z:\\dl\\Vellumgard.exe (process 40)\n");

    r.steps = {{InstallStep::StopAgents, StepResult::TimedOut, 0}};
    r.otherAgents.clear();
    r.stopWaitSeconds = 20;
    r.agentsAsked = 1;
    EXPECT_EQ(
        ReportText(r),
        L"Vellumgard was not installed completely (exit code 7).\n\n"
        L"The installed agent did not exit within 20 seconds, so nothing was changed. Exit it from its tray "
        L"menu and try again. The agent already asked to exit may still do so: if Vellumgard's icon leaves "
        L"the notification area, start it again from the Start menu.\n");
    // Seen by its mutex only: its window never came, so it was never asked.
    r.agentsAsked = 0;
    EXPECT_NE(ReportText(r).find(L"still starting: its window did not appear in time"), std::wstring::npos);
    r.agentsAsked = 1;

    r.steps = {{InstallStep::Copy, StepResult::Unchanged, 0},
               {InstallStep::RunKey, StepResult::Unchanged, 0},
               {InstallStep::StartupApproved, StepResult::Disabled, 0}};
    EXPECT_EQ(
        ReportText(r).rfind(std::wstring(L"Vellumgard ") + VG_VERSION_WTEXT +
                                L" is installed for this user, but its start at sign-in is turned off.\n\n",
                            0),
        0u);

    r.verb = Verb::Uninstall;
    r.steps = {{InstallStep::StopAgents, StepResult::Absent, 0},
               {InstallStep::RemoveCopy, StepResult::Failed, 5}};
    EXPECT_EQ(ReportText(r).rfind(L"Vellumgard was not uninstalled completely (exit code 9).\n\n", 0), 0u);
    r.steps.pop_back();
    EXPECT_EQ(ReportText(r).rfind(L"Vellumgard is uninstalled for this user.\n\n", 0), 0u);
}

TEST(CommandLine, VersionComesFromTheProjectVersion) {
    EXPECT_EQ(WideToUtf8(VersionText()), std::string("Vellumgard ") + VG_EXPECTED_VERSION);
    EXPECT_EQ(std::to_string(VG_VERSION_MAJOR) + "." + std::to_string(VG_VERSION_MINOR) + "." +
                  std::to_string(VG_VERSION_PATCH),
              VG_EXPECTED_VERSION);
    EXPECT_EQ(HelpText().rfind(VersionText() + L":", 0), 0u);
}

TEST(CommandLine, HelpListsEveryExitCodeOnce) {
    const std::wstring help = HelpText();
    for (int code = 0; code <= kExitProtectFailed; ++code) {
        const std::wstring line = L"\n  " + std::to_wstring(code) + L"  ";
        const size_t at = help.find(line);
        ASSERT_NE(at, std::wstring::npos) << code;
        EXPECT_EQ(help.find(line, at + 1), std::wstring::npos) << code;
    }
    EXPECT_EQ(help.find(L"\n  " + std::to_wstring(kExitProtectFailed + 1) + L"  "), std::wstring::npos);
    for (const wchar_t* verb :
         {L"--install", L"--uninstall", L"--purge", L"--version", L"--help", L"--quiet", L"--allow-elevated"})
        EXPECT_NE(help.find(verb), std::wstring::npos) << WideToUtf8(verb);
    // The internal helper's argument is not offered to users.
    EXPECT_EQ(help.find(L"finish"), std::wstring::npos);
}

TEST(CommandLine, PathsAndLineEnds) {
    EXPECT_EQ(InstalledExeBelow(L"C:\\Users\\a\\AppData\\Local"),
              L"C:\\Users\\a\\AppData\\Local\\Programs\\Vellumgard\\Vellumgard.exe");
    EXPECT_EQ(InstalledExeBelow(L"C:\\Users\\a\\AppData\\Local\\"),
              L"C:\\Users\\a\\AppData\\Local\\Programs\\Vellumgard\\Vellumgard.exe");
    EXPECT_EQ(InstallDirBelow(L"D:\\L"), L"D:\\L\\Programs\\Vellumgard");
    EXPECT_EQ(RunValueText(L"C:\\Program Files\\V\\Vellumgard.exe"),
              L"\"C:\\Program Files\\V\\Vellumgard.exe\"");
    const struct {
        const wchar_t* in;
        const wchar_t* out;
    } ends[] = {{L"", L""},
                {L"a", L"a"},
                {L"a\nb\n", L"a\r\nb\r\n"},
                {L"\n", L"\r\n"},
                {L"a\r\nb", L"a\r\nb"},
                {L"\n\n", L"\r\n\r\n"},
                {L"\r\n\n", L"\r\n\r\n"}};
    for (const auto& e : ends) EXPECT_EQ(WithCrLf(e.in), e.out) << WideToUtf8(e.in);
}
