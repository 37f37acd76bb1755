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
    RescanPlan idle;
    EXPECT_EQ(ReportedNamesHorizon(idle, kWindow, kLocalMarginTicks), kWindow - 2 * kLocalMarginTicks);
    RescanPlan running;
    PlanWholeTree(running, kWindow - 60 * kSecond);  // a pass still judging an older window
    EXPECT_EQ(ReportedNamesHorizon(running, kWindow, kLocalMarginTicks),
              kWindow - 60 * kSecond - 2 * kLocalMarginTicks);

    ReportedNames names;
    NoteReportedName(names, L"early.txt", kWindow - 10 * kSecond);
    NoteReportedName(names, L"again.txt", kWindow - 10 * kSecond);
    NoteReportedName(names, L"late.txt", kWindow - kSecond);
    NoteReportedName(names, L"again.txt", kWindow);
    ForgetReportedBefore(names, ReportedNamesHorizon(idle, kWindow, kCoarseMarginTicks));
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
    PlanChildFolder(plan, L"quiet", kWindow - 3600 * kSecond, kWindow, kLocalMarginTicks);
    PlanChildFolder(plan, L"busy", kWindow + kSecond, kWindow, kLocalMarginTicks);
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

}  // namespace
