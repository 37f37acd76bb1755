// The uninstall's leftovers under Wine, in-process: paused copies of the
// stand-in program (suspended by the pauser itself) answered through the
// tray's box seam, or left alone when quiet; canaries planted by the agent's
// own planting code in sandbox folders, found, and removed only while still
// exactly as planted.
#include "tray/uninstall_cleanup.h"

#include <windows.h>
// The shell headers need windows.h first.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "core/clock.h"
#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/paths.h"
#include "core/seams.h"
#include "core/text.h"
#include "fsmon/canary_files.h"
#include "fsmon/canary_names.h"
#include "procmon/pause_worker.h"
#include "procmon/process_pauser.h"
#include "support/stand_in.h"
#include "support/test_support.h"
#include "tray/pause_texts.h"
#include "tray/tray_seams.h"
#include "tray/uninstall_leftovers.h"

namespace {

// The box seam: records each text and answers by the program's name in it.
struct BoxRecord {
    std::vector<std::wstring> texts;
    std::vector<UINT> flags;
};
BoxRecord gBoxes;
int AnswerByName(HWND, const wchar_t* text, const wchar_t*, UINT flags) {
    gBoxes.texts.push_back(text);
    gBoxes.flags.push_back(flags);
    const std::wstring t = text;
    if (t.find(L"vg_end_me.exe") != std::wstring::npos) return IDYES;
    if (t.find(L"vg_resume_me.exe") != std::wstring::npos) return IDNO;
    return IDCANCEL;
}

struct PausedStandIns {
    TempDir dir;
    StandIn end, resume, keep;
    std::vector<PausedProgram> listed;

    bool Start() {
        const std::wstring program = StandInProgram(VG_SLEEPER_EXE);
        SetEnvironmentVariableW(L"VG_SLEEP_MS", L"60000");
        for (StandIn* s : {&end, &resume, &keep}) {
            const std::wstring name = s == &end      ? L"vg_end_me.exe"
                                      : s == &resume ? L"vg_resume_me.exe"
                                                     : L"vg_keep_me.exe";
            const std::wstring exe = dir.Sub(name);
            if (!StartStandIn(program, exe, L"\"" + exe + L"\"", 60000, *s)) return false;
            const int64_t started = FileTimeToUnixMs(s->created);
            uint32_t error = 0;
            if (SuspendProcessExactly(s->pid, started, error) != PauseResult::Done) return false;
            PausedProgram p;
            p.pid = s->pid;
            p.startedMs = started;
            p.pausedMs = NowUnixMs();
            p.path = exe;
            p.evidence = "wrote C:\\Users\\u\\Documents\\report.docx.locked";
            p.incident = "2026-12-11_13-00-00_canary";
            listed.push_back(p);
        }
        // One that has ended since: listed, but it does not count.
        PausedProgram gone = listed.front();
        gone.pid = 0x7FFFFFF0;
        listed.push_back(gone);
        return true;
    }
};

std::vector<std::string> ResponseActions(const std::string& log) {
    std::vector<std::string> actions;
    size_t at = 0;
    while ((at = log.find("\"type\":\"response\"", at)) != std::string::npos) {
        const size_t a = log.find("\"action\":\"", at) + 10;
        actions.push_back(log.substr(a, log.find('"', a) - a));
        at = a;
    }
    return actions;
}

}  // namespace

// Quiet: nothing is shown or changed, the list keeps every line, and all
// three still-running programs are named (the ended one is not). Then with
// boxes: one box each, answered end / resume / keep; one "response" line
// each; only the kept one stays listed and named.
TEST(UninstallCleanup, PausedProgramsAreAnsweredWithTheTrayBoxOrLeftAloneWhenQuiet) {
    TempDir base;
    UseDataPathsBelow(base.path);
    PausedStandIns s;
    ASSERT_TRUE(s.Start());
    const std::string listText = FormatPausedList(s.listed);
    ASSERT_TRUE(WriteFileBytes(PausedListPath(), listText));
    ASSERT_EQ(ListedStillPaused().size(), 3u);
    gTraySeams.messageBox = AnswerByName;

    VerbReport quiet;
    StepOutcome o = AnswerPausedPrograms(true, quiet);
    EXPECT_EQ(o.step, InstallStep::PausedPrograms);
    EXPECT_EQ(o.result, StepResult::Kept);
    EXPECT_TRUE(gBoxes.texts.empty());
    EXPECT_EQ(ReadFileBytes(PausedListPath()), listText) << "the list stays as it was";
    ASSERT_EQ(quiet.pausedLeft.size(), 3u);
    EXPECT_EQ(quiet.pausedLeft[0], DescribePausedProgram(s.listed[0]));
    EXPECT_EQ(quiet.pausedList, PausedListPath());
    EXPECT_TRUE(ResponseActions(ReadFileBytes(gDataPaths.logFile)).empty());
    for (StandIn* p : {&s.end, &s.resume, &s.keep})
        EXPECT_NE(WaitForSingleObject(p->process.get(), 0), WAIT_OBJECT_0);

    VerbReport asked;
    o = AnswerPausedPrograms(false, asked);
    EXPECT_EQ(o.result, StepResult::Kept);
    ASSERT_EQ(gBoxes.texts.size(), 3u) << "one box per running paused program";
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(gBoxes.texts[i],
                  PausedBoxText(s.listed[i].path,
                                gBoxes.texts[i].substr(gBoxes.texts[i].find(L"Started: ") + 9, 19),
                                Utf8ToWide(s.listed[i].evidence)));
        EXPECT_EQ(gBoxes.flags[i] & MB_TYPEMASK, static_cast<UINT>(MB_YESNOCANCEL));
    }
    EXPECT_EQ(WaitForSingleObject(s.end.process.get(), 5000), WAIT_OBJECT_0) << "Yes ends it";
    EXPECT_NE(WaitForSingleObject(s.resume.process.get(), 0), WAIT_OBJECT_0);
    EXPECT_NE(WaitForSingleObject(s.keep.process.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(ResponseActions(ReadFileBytes(gDataPaths.logFile)),
              (std::vector<std::string>{"ended", "resumed", "kept"}));
    const std::vector<PausedProgram> left = ListedStillPaused();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].pid, s.keep.pid);
    ASSERT_EQ(asked.pausedLeft.size(), 1u);
    EXPECT_EQ(asked.pausedLeft[0], DescribePausedProgram(s.listed[2]));

    // Answered at last: nothing stays, and nothing more is shown after.
    gBoxes = BoxRecord();
    gTraySeams.messageBox = [](HWND, const wchar_t*, const wchar_t*, UINT) { return IDNO; };
    VerbReport last;
    EXPECT_EQ(AnswerPausedPrograms(false, last).result, StepResult::Done);
    EXPECT_TRUE(last.pausedLeft.empty());
    EXPECT_EQ(AnswerPausedPrograms(false, last).result, StepResult::Absent);
    gTraySeams.messageBox = nullptr;
}

namespace {

TempDir* gKnown = nullptr;
bool SandboxFolder(int csidl, std::wstring& out) {
    const wchar_t* name = csidl == CSIDL_DESKTOPDIRECTORY ? L"Desktop"
                          : csidl == CSIDL_PERSONAL       ? L"Documents"
                                                          : nullptr;
    if (!name) return false;
    out = gKnown->Sub(name);
    return true;
}
bool SandboxDownloads(std::wstring& out) {
    out = gKnown->Sub(L"Downloads");
    return true;
}

}  // namespace

// Planted by the agent's own code in Desktop, Documents, Downloads and an
// extra folder; one changed, one held open by another program, one deleted:
// the rest are named without purge, then removed; the changed and the held
// one stay, the held one reported with its error.
TEST(UninstallCleanup, PurgeRemovesOnlyTheCanariesStillAsPlanted) {
    TempDir base, known, extra;
    gKnown = &known;
    gSeams.shellFolder = SandboxFolder;
    gSeams.downloadsFolder = SandboxDownloads;
    UseDataPathsBelow(base.path);
    for (const wchar_t* f : {L"Desktop", L"Documents", L"Downloads"})
        CreateDirectoryW(known.Sub(f).c_str(), nullptr);
    const std::string config =
        "{\n  \"canaryFileNames\": \"Keep_Out.txt|Ledger_DO_NOT_DELETE.txt\",\n  \"extraWatchDirs\": \"" +
        JsonEscape(WideToUtf8(extra.path)) + "\"\n}\n";
    ASSERT_TRUE(WriteFileBytes(gDataPaths.configFile, config));
    Config settings;
    SetConfigDefaults(settings);
    settings.canaryFileNames = L"Keep_Out.txt|Ledger_DO_NOT_DELETE.txt";
    RebuildCanaryNames(settings);
    const std::vector<std::wstring> folders = {known.Sub(L"Desktop"), known.Sub(L"Documents"),
                                               known.Sub(L"Downloads"), extra.path};
    for (const std::wstring& f : folders) PlantCanaries(f, settings);
    // An earlier configuration's default-named canary, and a look-alike the user wrote.
    ASSERT_TRUE(WriteNewTextFile(JoinPath(folders[0], L"vellumgard_do_not_touch.txt"), kCanaryFileText));
    ASSERT_TRUE(
        WriteFileBytes(JoinPath(folders[1], L"important_backup_do_not_delete.txt"), "my own notes\n"));

    const std::wstring changed = JoinPath(folders[1], L"keep_out.txt");
    const std::wstring held = JoinPath(folders[2], L"ledger_do_not_delete.txt");
    ASSERT_TRUE(WriteFileBytes(changed, WideToUtf8(kCanaryFileText) + "edited\n"));
    ASSERT_TRUE(DeleteFileW(JoinPath(extra.path, L"keep_out.txt").c_str()));

    VerbReport where;
    StepOutcome o = LocateCanaries(where);
    EXPECT_EQ(o.result, StepResult::Kept);
    EXPECT_EQ(where.canariesLeft.size(), 7u);  // 3 + 1 + 2 + 1 unchanged
    EXPECT_EQ(where.canariesChanged.size(), 2u);
    const std::wstring text = CanariesSentence(o.result, o.error, where);
    EXPECT_NE(text.find(JoinPath(extra.path, L"ledger_do_not_delete.txt")), std::wstring::npos)
        << WideToUtf8(text);
    for (const std::wstring& f : folders) EXPECT_NE(text.find(f), std::wstring::npos);

    {
        UniqueHandle holder(
            CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder);
        VerbReport purge;
        o = RemoveUnchangedCanaries(purge);
        EXPECT_EQ(o.result, StepResult::Failed);
        EXPECT_EQ(o.error, static_cast<uint32_t>(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(purge.canaryFailed, held);
        EXPECT_EQ(purge.canariesRemoved.size(), 6u);
        EXPECT_EQ(purge.canariesChanged.size(), 2u);
    }
    EXPECT_TRUE(PathExists(changed));
    EXPECT_EQ(ReadFileBytes(JoinPath(folders[1], L"important_backup_do_not_delete.txt")), "my own notes\n");
    EXPECT_FALSE(PathExists(JoinPath(folders[0], L"keep_out.txt")));
    EXPECT_FALSE(PathExists(JoinPath(folders[0], L"vellumgard_do_not_touch.txt")));

    VerbReport again;
    o = RemoveUnchangedCanaries(again);
    EXPECT_EQ(o.result, StepResult::Done);
    EXPECT_EQ(again.canariesRemoved, (std::vector<std::wstring>{held}));
    EXPECT_EQ(again.canariesChanged.size(), 2u);
    gSeams = Seams();
}
