// What an uninstall leaves behind: which paused programs count, when the
// purge is refused, where canaries are looked for and which are removed,
// and the result texts and exit codes.
#include "tray/uninstall_leftovers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/config.h"
#include "core/text.h"
#include "fsmon/canary_names.h"

namespace {

PausedProgram Paused(int32_t pid, int64_t startedMs,
                     const wchar_t* path = L"C:\\Users\\u\\Downloads\\x.exe") {
    PausedProgram p;
    p.pid = pid;
    p.startedMs = startedMs;
    p.pausedMs = startedMs + 5000;
    p.path = path;
    return p;
}

bool Has(const std::wstring& text, const std::wstring& part) {
    return text.find(part) != std::wstring::npos;
}

}  // namespace

// Only an entry whose pid runs now with the very creation time it was
// paused with counts; an ended process, a pid given out again, a process
// that cannot be queried (0) and a repeated line do not.
TEST(UninstallLeftovers, OnlyProgramsStillRunningAsPausedCount) {
    const std::vector<PausedProgram> listed = {Paused(100, 1700000000000), Paused(200, 1700000001000),
                                               Paused(300, 1700000002000), Paused(100, 1700000000000),
                                               Paused(400, 1700000003000)};
    const std::vector<int64_t> now = {1700000000000, 0, 1700000099000, 1700000000000, 1700000003000};
    const std::vector<PausedProgram> still = StillPausedPrograms(listed, now);
    ASSERT_EQ(still.size(), 2u);
    EXPECT_EQ(still[0].pid, 100);
    EXPECT_EQ(still[1].pid, 400);

    EXPECT_TRUE(StillPausedPrograms({}, {}).empty());
    EXPECT_TRUE(StillPausedPrograms(listed, {}).empty()) << "no creation time known: nothing counts";
    // A parsed list never holds a zero time; should one come, a process that cannot be queried is not it.
    EXPECT_TRUE(StillPausedPrograms({Paused(7, 0)}, {0}).empty());
}

TEST(UninstallLeftovers, PurgeGate) {
    struct Case {
        bool purge, exists, agents;
        size_t paused;
        StepResult expected;
    };
    const Case cases[] = {
        {false, true, false, 0, StepResult::Kept},
        {false, true, true, 2, StepResult::Kept},  // no purge asked: paused programs change nothing
        {false, false, false, 0, StepResult::Absent},
        {true, false, false, 0, StepResult::Absent},
        {true, true, true, 0, StepResult::InUse},
        {true, true, true, 1, StepResult::InUse},  // agents first: they may still change the list
        {true, true, false, 1, StepResult::ProgramsPaused},
        {true, true, false, 0, StepResult::Done},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.purge) + std::to_string(c.exists) + std::to_string(c.agents) +
                     std::to_string(c.paused));
        EXPECT_EQ(PurgeGate(c.purge, c.exists, c.agents, c.paused), c.expected);
    }
}

// The refused purge has its own exit code, listed in --help, and fails the
// verb; the kept paused programs and the canaries never change the code.
TEST(UninstallLeftovers, RefusedPurgeExitsWithItsOwnCode) {
    EXPECT_FALSE(StepSucceeded(StepResult::ProgramsPaused));
    const std::vector<StepOutcome> refused = {{InstallStep::StopAgents, StepResult::Done, 0},
                                              {InstallStep::PausedPrograms, StepResult::Kept, 0},
                                              {InstallStep::RemoveCopy, StepResult::Done, 0},
                                              {InstallStep::Canaries, StepResult::Kept, 0},
                                              {InstallStep::Purge, StepResult::ProgramsPaused, 0}};
    EXPECT_EQ(ExitCodeFor(refused), kExitProgramsPaused);
    EXPECT_NE(kExitProgramsPaused, kExitPurgeFailed);
    EXPECT_EQ(ExitCodeFor({{InstallStep::Purge, StepResult::InUse, 0}}), kExitPurgeFailed);
    EXPECT_EQ(ExitCodeFor({{InstallStep::PausedPrograms, StepResult::Kept, 0},
                           {InstallStep::Canaries, StepResult::Failed, 32},
                           {InstallStep::Purge, StepResult::Done, 0}}),
              kExitOk);
    EXPECT_NE(HelpText().find(L"\n  15  --purge refused"), std::wstring::npos);
    EXPECT_EQ(InstallLogMembers({InstallStep::Purge, StepResult::ProgramsPaused, 0}),
              "\"step\":\"purge\",\"result\":\"programs_paused\"");
    EXPECT_EQ(InstallLogMembers({InstallStep::PausedPrograms, StepResult::Kept, 0}),
              "\"step\":\"paused_programs\",\"result\":\"kept\"");
}

// The configured names and the default ones (an earlier configuration may
// have planted those), each once, never one that cannot be a plain file;
// the extra folders as the agent parses them. No file: the default text.
TEST(UninstallLeftovers, CanarySearchFollowsTheSettings) {
    struct Case {
        std::string config;
        std::vector<std::wstring> names;
        std::vector<std::wstring> extra;
    };
    const std::wstring d0 = L"vellumgard_do_not_touch.txt", d1 = L"important_backup_do_not_delete.txt";
    const Case cases[] = {
        {"", {d0, d1}, {}},
        {"{\"enableCanaryFiles\": true}", {d0, d1}, {}},
        {"{\"canaryFileNames\": \"Keep_Me.txt|..\\\\up.txt|NUL|VELLUMGARD_do_not_touch.txt\",\n"
         " \"extraWatchDirs\": \" D:/Work/ ; \\\"E:\\\\Photos\\\" ; d:\\\\work \"}",
         {L"keep_me.txt", d0, d1},
         {L"D:\\Work", L"E:\\Photos"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        const CanarySearch s = CanarySearchFromConfig(c.config);
        EXPECT_EQ(s.names, c.names);
        EXPECT_EQ(s.extraFolders, c.extra);
    }
}

// Only the exact bytes the agent writes are a canary it may remove.
TEST(UninstallLeftovers, OnlyAnUnchangedCanaryIsRemoved) {
    const std::string planted = WideToUtf8(kCanaryFileText);
    ASSERT_EQ(planted.size(), 150u);
    EXPECT_EQ(CanaryFileBytes(), planted);
    const std::string crlf = [&] {
        std::string s;
        for (char c : planted) s += c == '\n' ? std::string("\r\n") : std::string(1, c);
        return s;
    }();
    const struct {
        std::string bytes;
        bool unchanged;
    } cases[] = {
        {planted, true},
        {"", false},
        {planted.substr(0, planted.size() - 1), false},
        {planted + "\n", false},
        {crlf, false},
        {"\xEF\xBB\xBF" + planted, false},
        {std::string(planted).replace(0, 1, "v"), false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsUnchangedCanary(c.bytes), c.unchanged) << c.bytes.size();
}

// The result names what stays paused and where its list is, where the
// canaries are, what went and what was left because it changed.
TEST(UninstallLeftovers, ResultTextsNameWhatStaysAndWhere) {
    VerbReport r;
    r.verb = Verb::Uninstall;
    r.dataDir = L"C:\\Users\\u\\AppData\\Local\\Vellumgard";
    r.pausedList = r.dataDir + L"\\paused_programs.txt";
    r.pausedLeft = {DescribePausedProgram(Paused(4242, 1, L"C:\\Users\\u\\Downloads\\invoice.exe"))};
    r.canariesLeft = {L"C:\\Users\\u\\Desktop\\vellumgard_do_not_touch.txt", L"D:\\Work\\keep_me.txt"};
    r.canariesChanged = {L"C:\\Users\\u\\Documents\\vellumgard_do_not_touch.txt"};
    r.steps = {{InstallStep::StopAgents, StepResult::Done, 0},
               {InstallStep::PausedPrograms, StepResult::Kept, 0},
               {InstallStep::RemoveCopy, StepResult::Done, 0},
               {InstallStep::Canaries, StepResult::Kept, 0},
               {InstallStep::Purge, StepResult::ProgramsPaused, 0}};
    const std::wstring text = ReportText(r);
    EXPECT_EQ(text.rfind(L"Vellumgard was not uninstalled completely (exit code 15).", 0), 0u)
        << WideToUtf8(text);
    EXPECT_TRUE(Has(text, L"\n  C:\\Users\\u\\Downloads\\invoice.exe (process 4242)"));
    EXPECT_TRUE(Has(text, L"Their list stays in " + r.pausedList));
    EXPECT_TRUE(Has(text, L"Kept the data folder " + r.dataDir + L": it lists programs Vellumgard paused"));
    EXPECT_TRUE(
        Has(text, L"\n  C:\\Users\\u\\Desktop\\vellumgard_do_not_touch.txt\n  D:\\Work\\keep_me.txt"));
    EXPECT_TRUE(Has(text,
                    L"changed since Vellumgard wrote them, so they were left alone:\n  "
                    L"C:\\Users\\u\\Documents\\vellumgard_do_not_touch.txt"));

    // Purged: the removed ones are named, a failure with its code; all answered.
    VerbReport p;
    p.verb = Verb::Uninstall;
    p.canariesRemoved = {L"C:\\Users\\u\\Desktop\\vellumgard_do_not_touch.txt"};
    p.canaryFailed = L"D:\\Work\\keep_me.txt";
    EXPECT_EQ(CanariesSentence(StepResult::Done, 0, p),
              L"Removed the canary files Vellumgard planted:\n  "
              L"C:\\Users\\u\\Desktop\\vellumgard_do_not_touch.txt");
    EXPECT_TRUE(Has(CanariesSentence(StepResult::Failed, 32, p),
                    L"\nCould not remove the canary file D:\\Work\\keep_me.txt (error 32)"));
    EXPECT_TRUE(CanariesSentence(StepResult::Absent, 0, VerbReport()).empty());
    EXPECT_TRUE(CanariesSentence(StepResult::Kept, 0, VerbReport()).empty());
    EXPECT_TRUE(Has(PausedProgramsSentence(StepResult::Done, p), L"ended or let run again"));
    EXPECT_TRUE(PausedProgramsSentence(StepResult::Kept, p).empty()) << "nothing left: nothing to say";
}
