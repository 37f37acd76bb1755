// The decisions of a watcher's reconciliation: how a completion is read,
// which listed entries are recovered and how, the bounded memories, and how
// passes follow each other.
#include "fsmon/change_recovery.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

namespace {

constexpr uint64_t kSecond = kFileTimeTicksPerSecond;
constexpr uint64_t kWindow = 13'000'000'000 * kSecond / 1000;  // some file time

TEST(ChangeRecovery, CompletionsTellBatchesOverflowsAndFailures) {
    struct Case {
        bool ok;
        uint32_t error, bytes;
        CompletionKind want;
    } cases[] = {
        {true, 0, 120, CompletionKind::Batch},
        {true, 0, 0, CompletionKind::Overflow},                     // Windows: success, nothing kept
        {false, kErrorNotifyEnumDir, 0, CompletionKind::Overflow},  // Wine: ERROR_NOTIFY_ENUM_DIR
        {false, 5, 0, CompletionKind::Failed},                      // access denied
        {false, 995, 0, CompletionKind::Failed},                    // cancelled
    };
    for (const Case& c : cases)
        EXPECT_EQ(ClassifyCompletion(c.ok, c.error, c.bytes), c.want)
            << c.ok << " " << c.error << " " << c.bytes;
}

TEST(ChangeRecovery, TheMarginFollowsTheVolume) {
    struct Case {
        const wchar_t* fileSystem;
        bool remote;
        uint64_t want;
    } cases[] = {
        {L"NTFS", false, kLocalMarginTicks},
        {L"ReFS", false, kLocalMarginTicks},
        {L"exFAT", false, kLocalMarginTicks},
        {L"FAT32", false, kCoarseMarginTicks},  // write times kept to 2 s
        {L"FAT", false, kCoarseMarginTicks},
        {L"", false, kCoarseMarginTicks},  // could not ask
        {L"UDF", false, kCoarseMarginTicks},
        {L"NTFS", true, kRemoteMarginTicks},  // the server's clock
    };
    for (const Case& c : cases)
        EXPECT_EQ(RecoveryMarginTicks(c.fileSystem, c.remote), c.want)
            << std::string(c.fileSystem, c.fileSystem + wcslen(c.fileSystem));
}

TEST(ChangeRecovery, ListedEntriesAreRecoveredByTheirLatestTimeAndWhatWasReported) {
    // The FAT margin: 2 s either side.
    const uint64_t old = kWindow - 3600 * kSecond;
    struct Case {
        const char* what;
        ListedEntry entry;
        uint64_t reportedAt;  // 0: never reported
        Recovery want;
    } cases[] = {
        {"untouched since long before", {L"a.txt", false, false, old, old, old}, 0, Recovery::None},
        {"made in the window",
         {L"a.txt", false, false, kWindow + kSecond, kWindow + kSecond, kWindow + kSecond},
         0,
         Recovery::Added},
        {"renamed in the window: only the change time moves",
         {L"a.locked", false, false, old, old, kWindow + kSecond},
         0,
         Recovery::Modified},
        {"copied keeping its write time",
         {L"a.txt", false, false, kWindow + kSecond, old, kWindow + kSecond},
         0,
         Recovery::Added},
        {"no change time (FAT): the write time tells",
         {L"a.txt", false, false, old, kWindow + kSecond, 0},
         0,
         Recovery::Modified},
        {"changed within the margin before the window",
         {L"a.txt", false, false, old, old, kWindow - kSecond},
         0,
         Recovery::Modified},
        {"reported after its change",
         {L"a.txt", false, false, old, old, kWindow + kSecond},
         kWindow + 2 * kSecond,
         Recovery::None},
        {"reported, then changed again later",
         {L"a.txt", false, false, old, old, kWindow + 10 * kSecond},
         kWindow + kSecond,
         Recovery::Modified},
        {"reported just before its change (within the margin)",
         {L"a.txt", false, false, old, old, kWindow + 2 * kSecond},
         kWindow + kSecond,
         Recovery::None},
        {"a folder is never a record",
         {L"sub", true, false, kWindow + kSecond, kWindow + kSecond, kWindow + kSecond},
         0,
         Recovery::None},
    };
    for (const Case& c : cases) {
        ReportedNames reported;
        if (c.reportedAt) NoteReportedName(reported, c.entry.name, c.reportedAt);
        EXPECT_EQ(JudgeListedEntry(c.entry, kWindow, kCoarseMarginTicks, reported), c.want) << c.what;
    }
}

TEST(ChangeRecovery, ReportedNamesFoldCaseAndSeparatorsAndStayBounded) {
    ReportedNames names;
    NoteReportedName(names, L"Storm\\Budget.XLSX", 100);
    EXPECT_TRUE(ReportedSince(names, L"storm/budget.xlsx", 100));
    EXPECT_FALSE(ReportedSince(names, L"storm/budget.xlsx", 101));
    EXPECT_FALSE(ReportedSince(names, L"storm/budget.xls", 0));
    NoteReportedName(names, L"storm\\budget.xlsx", 90);  // an older time never moves it back
    EXPECT_TRUE(ReportedSince(names, L"storm\\budget.xlsx", 100));

    for (size_t i = 0; i < kReportedNamesLimit + 5000; ++i)
        NoteReportedName(names, L"f" + std::to_wstring(i), 200 + i);
    EXPECT_EQ(ReportedNameCount(names), kReportedNamesLimit);
    EXPECT_TRUE(ReportedSince(names, L"f" + std::to_wstring(kReportedNamesLimit + 4999), 0));
    EXPECT_TRUE(ReportedSince(names, L"f5000", 0));
    EXPECT_FALSE(ReportedSince(names, L"f4999", 0));  // the oldest are forgotten first
    EXPECT_FALSE(ReportedSince(names, L"storm\\budget.xlsx", 0));
}

TEST(ChangeRecovery, NamesNoWindowCanAskAboutAreForgotten) {
    const PendingAdded none;
    RescanPlan idle;
    EXPECT_EQ(ReportedNamesHorizon(idle, none, kWindow, kLocalMarginTicks), kWindow - 2 * kLocalMarginTicks);
    RescanPlan running;
    PlanWholeTree(running, kWindow - 60 * kSecond);  // a pass still judging an older window
    EXPECT_EQ(ReportedNamesHorizon(running, none, kWindow, kLocalMarginTicks),
              kWindow - 60 * kSecond - 2 * kLocalMarginTicks);
    // A new folder still waiting to be listed is judged by its batch's window.
    PendingAdded waiting;
    ASSERT_TRUE(NoteAddedName(waiting, L"later", 0, kWindow - 5 * kSecond));
    ASSERT_TRUE(NoteAddedName(waiting, L"new folder", 0, kWindow - 20 * kSecond));
    EXPECT_EQ(ReportedNamesHorizon(idle, waiting, kWindow, kLocalMarginTicks),
              kWindow - 20 * kSecond - 2 * kLocalMarginTicks);

    ReportedNames names;
    NoteReportedName(names, L"early.txt", kWindow - 10 * kSecond);
    NoteReportedName(names, L"again.txt", kWindow - 10 * kSecond);
    NoteReportedName(names, L"late.txt", kWindow - kSecond);
    NoteReportedName(names, L"again.txt", kWindow);
    ForgetReportedBefore(names, ReportedNamesHorizon(idle, none, kWindow, kCoarseMarginTicks));
    EXPECT_FALSE(ReportedSince(names, L"early.txt", 0));
    EXPECT_TRUE(ReportedSince(names, L"late.txt", 0));
    EXPECT_TRUE(ReportedSince(names, L"again.txt", kWindow)) << "its later handling keeps it";
    ForgetReportedBefore(names, kWindow + kSecond);
    EXPECT_EQ(ReportedNameCount(names), 0u);
}

TEST(ChangeRecovery, OverflowsDuringAPassAskForOneFollowUpFromTheEarliestWindow) {
    RescanPlan plan;
    PlanWholeTree(plan, kWindow);
    ASSERT_TRUE(plan.running);
    ASSERT_EQ(plan.dirs.size(), 1u);
    EXPECT_EQ(plan.dirs.front().dir, L"");
    EXPECT_EQ(plan.dirs.front().windowStart, kWindow);

    plan.dirs.pop_front();  // the walk is under way
    PlanWholeTree(plan, kWindow + 5 * kSecond);
    PlanWholeTree(plan, kWindow + 3 * kSecond);
    EXPECT_TRUE(plan.dirs.empty()) << "no second walk while one runs";
    ASSERT_TRUE(EndPass(plan));
    ASSERT_EQ(plan.dirs.size(), 1u);
    EXPECT_EQ(plan.dirs.front().windowStart, kWindow + 3 * kSecond);
    EXPECT_FALSE(EndPass(plan));
    EXPECT_FALSE(plan.running);
}

TEST(ChangeRecovery, AWholeTreePassAbsorbsTheSubfoldersItCovers) {
    RescanPlan plan;
    PlanSubtree(plan, L"early", kWindow - 10 * kSecond);
    PlanSubtree(plan, L"late", kWindow + 10 * kSecond);
    EXPECT_TRUE(plan.running);
    EXPECT_FALSE(plan.wholeTree);
    PlanWholeTree(plan, kWindow);
    ASSERT_EQ(plan.dirs.size(), 2u);
    EXPECT_EQ(plan.dirs[0].dir, L"");
    EXPECT_EQ(plan.dirs[1].dir, L"early");  // its window reaches further back than the tree's

    // Folders that changed in the window are listed first.
    RescanItem parent;
    parent.windowStart = kWindow;
    PlanChildFolder(plan, L"quiet", kWindow - 3600 * kSecond, parent, kLocalMarginTicks);
    PlanChildFolder(plan, L"busy", kWindow + kSecond, parent, kLocalMarginTicks);
    EXPECT_EQ(plan.dirs.front().dir, L"busy");
    EXPECT_EQ(plan.dirs.back().dir, L"quiet");

    EXPECT_FALSE(CountListed(plan, 60, 100));
    EXPECT_TRUE(CountListed(plan, 40, 100));
}

TEST(ChangeRecovery, AddedNamesWaitTheirTurnUnlessARecordSettlesThem) {
    PendingAdded pending;
    ASSERT_TRUE(NoteAddedName(pending, L"new folder", 1000, kWindow));
    ASSERT_TRUE(NoteAddedName(pending, L"file.txt", 1000, kWindow));
    ASSERT_TRUE(NoteAddedName(pending, L"quiet", 1100, kWindow));
    EXPECT_EQ(MsUntilNextDue(pending, 1000), static_cast<int64_t>(kPendingAddedDelayMs));

    SettleByRecord(pending, L"file.txt", 3);                // written: a file
    SettleByRecord(pending, L"New Folder\\inside.txt", 1);  // something below it: a folder
    PendingAdded::Name due;
    EXPECT_FALSE(TakeDueName(pending, 1000, due));
    ASSERT_TRUE(TakeDueName(pending, 1000 + kPendingAddedDelayMs, due));
    EXPECT_EQ(due.name, L"new folder");
    EXPECT_TRUE(due.knownFolder);
    EXPECT_FALSE(TakeDueName(pending, 1000 + kPendingAddedDelayMs, due)) << "file.txt was settled";
    ASSERT_TRUE(TakeDueName(pending, 1100 + kPendingAddedDelayMs, due));
    EXPECT_EQ(due.name, L"quiet");
    EXPECT_FALSE(due.knownFolder);
    EXPECT_EQ(MsUntilNextDue(pending, 5000), -1);

    for (size_t i = 0; i < kPendingAddedLimit; ++i)
        ASSERT_TRUE(NoteAddedName(pending, L"n" + std::to_wstring(i), 0, 0));
    EXPECT_FALSE(NoteAddedName(pending, L"one too many", 0, 0));
    EXPECT_TRUE(NoteAddedName(pending, L"n0", 0, 0)) << "a name already waiting is kept once";
}

TEST(ChangeRecovery, ACompletedRequestsWindowStartsAtTheIssueOfTheOneBeforeIt) {
    // Requests issued at these times; the watcher issues the next one as soon
    // as it wakes for a completion, then handles the batch (here: for a second).
    RequestTimes times = StartRequestTimes(kWindow);
    NoteRequestIssued(times, kWindow + kSecond / 10);  // A
    EXPECT_EQ(CompletedWindowStart(times), kWindow) << "the first request: from the start";
    NoteRequestIssued(times, kWindow + 2 * kSecond / 10);  // B, issued when A completed
    // A's batch takes a second to handle; B completes meanwhile and the system
    // keeps collecting for C, which is issued only when the watcher wakes.
    NoteRequestIssued(times, kWindow + 12 * kSecond / 10);  // C
    // C overflows: what it lost began when B completed, right after B's issue,
    // not at the wake-up 1 s later.
    EXPECT_EQ(CompletedWindowStart(times), kWindow + 2 * kSecond / 10);
}

TEST(ChangeRecovery, WhatTheOutstandingRequestWillReportIsNotRecoveredTwice) {
    const uint64_t lastCompletion = kWindow + 5 * kSecond;
    struct Case {
        const char* what;
        uint64_t changed, margin;
        bool liveCovered;
        Recovery want;
    } cases[] = {
        {"changed in the window, before the last completion", lastCompletion - kSecond, kLocalMarginTicks,
         true, Recovery::Modified},
        {"changed after it: its live record is still to come", lastCompletion + 1, kLocalMarginTicks, true,
         Recovery::None},
        {"right at it", lastCompletion, kLocalMarginTicks, true, Recovery::None},
        {"a new folder's listing may not be watched (Wine)", lastCompletion + kSecond, kLocalMarginTicks,
         false, Recovery::Modified},
        {"a coarse volume may stamp a change late", lastCompletion + kSecond, kCoarseMarginTicks, true,
         Recovery::Modified},
        {"even there, later than the margin", lastCompletion + 3 * kSecond, kCoarseMarginTicks, true,
         Recovery::None},
    };
    for (const Case& c : cases) {
        const ListedEntry entry{L"a.txt", false, false, kWindow - 3600 * kSecond, c.changed, c.changed};
        const uint64_t liveFrom = c.liveCovered ? LiveFrom(lastCompletion, c.margin) : kNothingLive;
        EXPECT_EQ(JudgeListedEntry(entry, kWindow, c.margin, ReportedNames(), liveFrom), c.want) << c.what;
    }
}

TEST(ChangeRecovery, BackToBackOverflowsMakeOnePassEachCountedOnce) {
    RescanPlan plan;
    struct Step {
        const char* what;
        bool listRoot;  // the pass takes its first folder before this overflow
        bool endPass;   // the running pass ends before this overflow
        uint64_t window;
        bool wantCounted;
        bool wantFollowUp;
    } steps[] = {
        {"the first starts a pass", false, false, kWindow, true, false},
        {"another before anything is listed merges into it", false, false, kWindow + kSecond, false, false},
        {"once listing, the next asks for a follow-up", true, false, kWindow + 2 * kSecond, true, true},
        {"more merge into the follow-up", false, false, kWindow + 3 * kSecond, false, true},
        {"and again", false, false, kWindow + 4 * kSecond, false, true},
        {"the follow-up runs: one before it lists merges", false, true, kWindow + 5 * kSecond, false, false},
        {"then a new follow-up is counted", true, false, kWindow + 6 * kSecond, true, true},
    };
    for (const Step& s : steps) {
        if (s.listRoot) plan.dirs.pop_front();
        if (s.endPass) EndPass(plan);
        EXPECT_EQ(PlanOverflow(plan, s.window), s.wantCounted) << s.what;
        EXPECT_EQ(plan.followUp, s.wantFollowUp) << s.what;
        EXPECT_TRUE(plan.running) << s.what;
    }
    // The merged windows: the first pass from the first overflow, the follow-up from the earliest merged.
    RescanPlan merged;
    PlanOverflow(merged, kWindow + kSecond);
    PlanOverflow(merged, kWindow);  // a window reaching further back widens the waiting pass
    EXPECT_EQ(merged.dirs.front().windowStart, kWindow);
    merged.dirs.pop_front();
    PlanOverflow(merged, kWindow + 3 * kSecond);
    PlanOverflow(merged, kWindow + 2 * kSecond);
    EXPECT_EQ(merged.followUpStart, kWindow + 2 * kSecond);

    const uint32_t inARow[] = {0, 1, 2, 3, 50};
    const uint64_t pause[] = {0, 0, kOverflowPauseMs, kOverflowPauseMs, kOverflowPauseMs};
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(ReissuePauseMs(inARow[i]), pause[i]) << inARow[i];
}

TEST(ChangeRecovery, TooManyAddedNamesListTheirFoldersWithoutDescending) {
    struct Case {
        const wchar_t* name;
        const wchar_t* parent;
    } cases[] = {
        {L"a.txt", L""}, {L"in\\a.txt", L"in"}, {L"x/y\\z.doc", L"x/y"}, {L"deep\\er\\f", L"deep\\er"}};
    for (const Case& c : cases) EXPECT_EQ(ParentOf(c.name), c.parent);

    RescanPlan plan;
    PlanParentFolder(plan, L"moved1.txt", kWindow);
    PlanParentFolder(plan, L"moved2.txt", kWindow + kSecond);  // the same folder, queued once
    PlanParentFolder(plan, L"Sub\\moved3.txt", kWindow);
    PlanParentFolder(plan, L"sub\\moved4.txt", kWindow);
    ASSERT_EQ(plan.dirs.size(), 2u);
    EXPECT_FALSE(plan.wholeTree);
    for (const RescanItem& item : plan.dirs) {
        EXPECT_TRUE(item.shallow);
        EXPECT_FALSE(item.liveCovered);
    }
    // Below a shallow folder: only a subfolder that changed in the window
    // (it may be new) is listed, and it is listed whole.
    const RescanItem root = plan.dirs.front();
    plan.dirs.clear();
    PlanChildFolder(plan, L"old archive", kWindow - 3600 * kSecond, root, kLocalMarginTicks);
    EXPECT_TRUE(plan.dirs.empty());
    PlanChildFolder(plan, L"new folder", kWindow + kSecond, root, kLocalMarginTicks);
    ASSERT_EQ(plan.dirs.size(), 1u);
    EXPECT_FALSE(plan.dirs.front().shallow);
}

}  // namespace
