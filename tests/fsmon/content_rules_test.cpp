#include "fsmon/content_rules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/text.h"
#include "support/test_support.h"

namespace {

// FILE_ACTION_* values.
constexpr uint32_t kAdded = 1, kRemoved = 2, kModified = 3, kRenamedOld = 4, kRenamedNew = 5;

ContentWork Work(const std::wstring& name, const std::wstring& tree = L"c:\\users\\u\\documents") {
    ContentWork w;
    w.folder = L"C:\\Users\\u\\Documents";
    w.tree = tree;
    w.name = name;
    return w;
}

std::vector<std::wstring> TakeAll(ContentQueue& queue, uint64_t nowMs) {
    std::vector<std::wstring> names;
    ContentWork w;
    while (TakeContentWork(queue, nowMs, w)) names.push_back(w.name);
    return names;
}

}  // namespace

TEST(ContentCheckAction, OnlyAddedModifiedAndTheNewNameOfARename) {
    const struct {
        uint32_t action;
        bool checked;
    } cases[] = {{0, false},           {kAdded, true},      {kRemoved, false}, {kModified, true},
                 {kRenamedOld, false}, {kRenamedNew, true}, {6, false}};
    for (const auto& c : cases) EXPECT_EQ(IsContentCheckAction(c.action), c.checked) << c.action;
}

// Each file of a batch once, judged by its last record, in the order first named.
TEST(ContentCheckNames, EachFileOnceAndOnlyWhatIsStillThere) {
    const struct {
        const char* what;
        std::vector<BatchRecordName> records;
        std::vector<std::wstring> names;
    } cases[] = {
        {"written in several records",
         {{L"a.docx", kAdded}, {L"a.docx", kModified}, {L"a.docx", kModified}},
         {L"a.docx"}},
        {"case differs, the first spelling stays",
         {{L"Sub\\Report.PDF", kModified}, {L"sub\\report.pdf", kModified}},
         {L"Sub\\Report.PDF"}},
        {"two files keep their order",
         {{L"b.pdf", kModified}, {L"a.pdf", kAdded}, {L"b.pdf", kModified}},
         {L"b.pdf", L"a.pdf"}},
        {"created and deleted within the batch", {{L"x.docx", kAdded}, {L"x.docx", kRemoved}}, {}},
        {"renamed away",
         {{L"x.docx", kModified}, {L"x.docx", kRenamedOld}, {L"x.docx.ryk", kRenamedNew}},
         {L"x.docx.ryk"}},
        {"deleted, then written again", {{L"x.docx", kRemoved}, {L"x.docx", kAdded}}, {L"x.docx"}},
        // An office save: the document goes to a backup name, the temporary
        // file takes its name, the backup goes.
        {"save through a temporary file and a rename",
         {{L"~WRD0001.tmp", kAdded},
          {L"~WRD0001.tmp", kModified},
          {L"Thesis.docx", kRenamedOld},
          {L"~WRL0002.tmp", kRenamedNew},
          {L"~WRD0001.tmp", kRenamedOld},
          {L"Thesis.docx", kRenamedNew},
          {L"~WRL0002.tmp", kRemoved}},
         {L"Thesis.docx"}},
        {"only removals", {{L"a.pdf", kRemoved}, {L"b.pdf", kRenamedOld}}, {}},
        {"empty batch", {}, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::wstring> names;
        for (const ContentCheckItem& item : ContentCheckNames(c.records))
            if (item.kind == ContentItemKind::kCheck) names.push_back(item.name);
        EXPECT_EQ(names, c.names) << c.what;
    }
}

// A renamed or replaced user file is judged against its old name's format,
// whatever the new name; files with neither a checked name nor such an old
// name are not read.
TEST(ContentCheckNames, RenamedAndReplacedFilesKeepTheirOldClaim) {
    const struct {
        const char* what;
        std::vector<BatchRecordName> records;
        std::vector<ContentCheckItem> items;
    } cases[] = {
        {"extension added",
         {{L"a.docx", kRenamedOld}, {L"a.docx.locked", kRenamedNew}},
         {{L"a.docx.locked", L"a.docx"}}},
        {"extension replaced, any case",
         {{L"Sub\\A.PDF", kRenamedOld}, {L"Sub\\A.x7Kq2z", kRenamedNew}},
         {{L"Sub\\A.x7Kq2z", L"Sub\\A.PDF"}}},
        {"an everyday extension",
         {{L"b.xlsx", kRenamedOld}, {L"b.xlsx.bak", kRenamedNew}},
         {{L"b.xlsx.bak", L"b.xlsx"}}},
        {"a checked new name still keeps the old claim",
         {{L"c.jpg", kRenamedOld},
          {L"c.jpg.1", kRenamedNew},
          {L"d.png", kRenamedOld},
          {L"d.pdf", kRenamedNew}},
         {{L"c.jpg.1", L"c.jpg"}, {L"d.pdf", L"d.png"}}},
        {"renamed from an unchecked name: its own",
         {{L"~tmp1.tmp", kRenamedOld}, {L"e.docx", kRenamedNew}},
         {{L"e.docx", L""}}},
        {"case-only rename: its own (first spelling)",
         {{L"f.pdf", kRenamedOld}, {L"F.PDF", kRenamedNew}},
         {{L"f.pdf", L""}}},
        {"unchecked rename of unchecked names", {{L"g.tmp", kRenamedOld}, {L"g.bin", kRenamedNew}}, {}},
        {"written beside, original deleted (appended)",
         {{L"h.docx.ryk", kAdded}, {L"h.docx.ryk", kModified}, {L"h.docx", kRemoved}},
         {{L"h.docx.ryk", L"h.docx"}}},
        {"written beside, original deleted (replaced)",
         {{L"Sub\\i.jpg", kRemoved}, {L"Sub\\i.old", kAdded}},
         {{L"Sub\\i.old", L"Sub\\i.jpg"}}},
        {"a deleted file in another folder is no original",
         {{L"One\\j.docx", kRemoved}, {L"Two\\j.docx.ryk", kAdded}},
         {}},
        {"an unrelated new file is not read", {{L"k.docx", kRemoved}, {L"notes.bin", kAdded}}, {}},
        {"a new name for a file that is gone again",
         {{L"l.docx", kRenamedOld}, {L"l.docx.ryk", kRenamedNew}, {L"l.docx.ryk", kRemoved}},
         {}},
    };
    for (const auto& c : cases) {
        std::vector<ContentCheckItem> got;
        for (const ContentCheckItem& item : ContentCheckNames(c.records))
            if (item.kind == ContentItemKind::kCheck) got.push_back(item);
        EXPECT_EQ(got.size(), c.items.size()) << c.what;
        for (size_t i = 0; i < got.size() && i < c.items.size(); ++i) {
            EXPECT_EQ(WideToUtf8(got[i].name), WideToUtf8(c.items[i].name)) << c.what;
            EXPECT_EQ(WideToUtf8(got[i].claim), WideToUtf8(c.items[i].claim)) << c.what;
        }
    }
}

TEST(ContentQueue, BeyondTheLimitTheOldestGoesAndIsCounted) {
    ContentQueue queue;
    for (int i = 0; i < 7; ++i)
        EXPECT_TRUE(PushContentWork(queue, Work(L"f" + std::to_wstring(i) + L".pdf"), 3));
    EXPECT_EQ(queue.dropped, 4u);
    // The dropped files no longer count as waiting: they may be queued again.
    EXPECT_TRUE(PushContentWork(queue, Work(L"f0.pdf"), 3));
    EXPECT_EQ(queue.dropped, 5u);
    EXPECT_EQ(TakeAll(queue, 0), (std::vector<std::wstring>{L"f5.pdf", L"f6.pdf", L"f0.pdf"}));
    EXPECT_EQ(queue.waiting.size(), 0u);
}

TEST(ContentQueue, AFileAlreadyWaitingIsNotQueuedTwice) {
    const struct {
        const char* what;
        std::wstring tree2, name2;
        bool added;
    } cases[] = {
        {"same tree, same name", L"c:\\users\\u\\documents", L"a.pdf", false},
        {"same file, other case", L"C:\\Users\\U\\Documents", L"A.PDF", false},
        {"same name, other tree", L"c:\\users\\u\\desktop", L"a.pdf", true},
        {"other name", L"c:\\users\\u\\documents", L"b.pdf", true},
    };
    for (const auto& c : cases) {
        ContentQueue queue;
        ASSERT_TRUE(PushContentWork(queue, Work(L"a.pdf"), 10));
        EXPECT_EQ(PushContentWork(queue, Work(c.name2, c.tree2), 10), c.added) << c.what;
        EXPECT_EQ(TakeAll(queue, 0).size(), c.added ? 2u : 1u) << c.what;
    }
    // Once taken, a file may wait again (a later batch changed it again).
    ContentQueue queue;
    ASSERT_TRUE(PushContentWork(queue, Work(L"a.pdf"), 10));
    EXPECT_EQ(TakeAll(queue, 0).size(), 1u);
    EXPECT_TRUE(PushContentWork(queue, Work(L"a.pdf"), 10));
}

TEST(ContentQueue, ARetryWaitsItsDelayThenGoesFirst) {
    ContentQueue queue;
    ContentWork locked = Work(L"locked.docx");
    locked.attempts = 1;
    PushContentRetry(queue, locked, 1000, kContentRetryDelayMs, 10);
    EXPECT_EQ(MsUntilContentWork(queue, 1000), static_cast<int64_t>(kContentRetryDelayMs));
    ContentWork w;
    EXPECT_FALSE(TakeContentWork(queue, 1000 + kContentRetryDelayMs - 1, w));
    ASSERT_TRUE(PushContentWork(queue, Work(L"fresh.pdf"), 10));
    EXPECT_EQ(MsUntilContentWork(queue, 1000), 0);
    // Before the delay only the fresh file; after it the retry comes first.
    ASSERT_TRUE(TakeContentWork(queue, 1000, w));
    EXPECT_EQ(w.name, L"fresh.pdf");
    ASSERT_TRUE(PushContentWork(queue, Work(L"later.pdf"), 10));
    ASSERT_TRUE(TakeContentWork(queue, 1000 + kContentRetryDelayMs, w));
    EXPECT_EQ(w.name, L"locked.docx");
    EXPECT_EQ(w.attempts, 1u);
    EXPECT_EQ(TakeAll(queue, 1000 + kContentRetryDelayMs), std::vector<std::wstring>{L"later.pdf"});
    EXPECT_EQ(MsUntilContentWork(queue, 5000), -1);
}

TEST(ContentQueue, RetriesCountAgainstTheLimit) {
    ContentQueue queue;
    ASSERT_TRUE(PushContentWork(queue, Work(L"a.pdf"), 2));
    PushContentRetry(queue, Work(L"r1.pdf"), 0, kContentRetryDelayMs, 2);
    PushContentRetry(queue, Work(L"r2.pdf"), 0, kContentRetryDelayMs, 2);  // the fresh file goes first
    EXPECT_EQ(queue.dropped, 1u);
    PushContentRetry(queue, Work(L"r3.pdf"), 0, kContentRetryDelayMs, 2);  // then the oldest retry
    EXPECT_EQ(queue.dropped, 2u);
    EXPECT_EQ(TakeAll(queue, kContentRetryDelayMs), (std::vector<std::wstring>{L"r2.pdf", L"r3.pdf"}));
}

// One report per storm: nothing while work still waits, the whole count once
// the queue has run empty, then nothing until the next drop.
TEST(ContentQueue, DropsAreReportedOncePerStorm) {
    ContentQueue queue;
    EXPECT_EQ(TakeDropReport(queue, false), 0u);
    for (int i = 0; i < 10; ++i) PushContentWork(queue, Work(L"f" + std::to_wstring(i) + L".pdf"), 4);
    EXPECT_EQ(TakeDropReport(queue, false), 0u);  // the storm is still being worked off
    ContentWork w;
    ASSERT_TRUE(TakeContentWork(queue, 0, w));
    for (int i = 10; i < 13; ++i) PushContentWork(queue, Work(L"f" + std::to_wstring(i) + L".pdf"), 4);
    EXPECT_EQ(TakeDropReport(queue, false), 0u);
    TakeAll(queue, 0);
    EXPECT_EQ(TakeDropReport(queue, false), 8u);
    EXPECT_EQ(TakeDropReport(queue, false), 0u);
    // A stop reports what a storm still under way dropped.
    for (int i = 0; i < 6; ++i) PushContentWork(queue, Work(L"g" + std::to_wstring(i) + L".pdf"), 4);
    EXPECT_EQ(TakeDropReport(queue, true), 2u);
    EXPECT_EQ(TakeDropReport(queue, true), 0u);
}

TEST(ContentReadFailure, ALockedFileIsTriedOnceMoreAndNothingElseIs) {
    const struct {
        uint32_t error;
        ReadFailure failure;
    } errors[] = {{32, ReadFailure::Locked},  // sharing violation: opened without read sharing
                  {33, ReadFailure::Locked},  // a locked range
                  {2, ReadFailure::Gone},    {3, ReadFailure::Gone},
                  {303, ReadFailure::Gone},  // delete pending
                  {5, ReadFailure::Other},   // access denied
                  {0, ReadFailure::Other}};
    for (const auto& e : errors) EXPECT_EQ(ReadFailureOf(e.error), e.failure) << e.error;

    const struct {
        ReadFailure failure;
        uint32_t attempts;
        bool retry;
    } steps[] = {{ReadFailure::Locked, 1, true},
                 {ReadFailure::Locked, 2, false},
                 {ReadFailure::Locked, 3, false},
                 {ReadFailure::Gone, 1, false},
                 {ReadFailure::Other, 1, false}};
    for (const auto& s : steps)
        EXPECT_EQ(RetryContentRead(s.failure, s.attempts), s.retry)
            << static_cast<int>(s.failure) << " after " << s.attempts;
}

// Sequences of encrypted-like files; `incident` marks the file that makes one.
TEST(EncryptedTracker, TwoDistinctFilesOfOneTreeWithinAMinute) {
    struct Step {
        const wchar_t* tree;
        const wchar_t* name;
        uint64_t ms;
        bool incident;
    };
    const wchar_t* D = L"c:\\users\\u\\documents";
    const wchar_t* K = L"c:\\users\\u\\desktop";
    const struct {
        const char* what;
        std::vector<Step> steps;
    } cases[] = {
        {"two files", {{D, L"a.docx", 0, false}, {D, L"b.pdf", 700, true}}},
        {"the same file again counts once",
         {{D, L"a.docx", 0, false},
          {D, L"A.DOCX", 700, false},
          {D, L"a.docx", 1400, false},
          {D, L"b.pdf", 2100, true}}},
        {"a minute apart exactly", {{D, L"a.docx", 0, false}, {D, L"b.pdf", kEncryptedPairWindowMs, true}}},
        {"more than a minute apart",
         {{D, L"a.docx", 0, false},
          {D, L"b.pdf", kEncryptedPairWindowMs + 1, false},
          {D, L"c.xlsx", kEncryptedPairWindowMs + 2, true}}},
        {"after an incident the count starts again",
         {{D, L"a.docx", 0, false},
          {D, L"b.pdf", 700, true},
          {D, L"c.xlsx", 1400, false},
          {D, L"b.pdf", 2100, true}}},
        {"one file in each of two trees",
         {{D, L"a.docx", 0, false},
          {K, L"a.docx", 700, false},
          {K, L"b.docx", 1400, true},
          {D, L"c.docx", 2100, true}}},
        {"a file seen again counts from its latest sighting",
         {{D, L"a.docx", 0, false}, {D, L"a.docx", 50000, false}, {D, L"b.pdf", 100000, true}}},
    };
    for (const auto& c : cases) {
        EncryptedTracker tracker;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& s = c.steps[i];
            EXPECT_EQ(NoteEncryptedLike(tracker, s.tree, s.name, 1000000 + s.ms), s.incident)
                << c.what << ", file " << i;
        }
    }
}

// A new file and the deletion of the user file it replaces, in different
// batches: the later batch pairs them, within ten seconds, in the same tree.
TEST(ContentCheckNames, ReplacedFilesPairAcrossBatches) {
    using K = ContentItemKind;
    // What a batch leaves unpaired.
    const std::vector<ContentCheckItem> left = ContentCheckNames({{L"a.docx.ryk", kAdded},
                                                                  {L"tmp1.tmp", kModified},
                                                                  {L"b.pdf", kRemoved},
                                                                  {L"c.pdf", kRemoved},
                                                                  {L"c.pdf", kAdded},
                                                                  {L"d.txt", kRemoved},
                                                                  {L"d.txt.enc", kAdded}});
    const std::vector<ContentCheckItem> want = {{L"a.docx.ryk", L"", K::kUnpairedNew},
                                                {L"tmp1.tmp", L"", K::kUnpairedNew},
                                                {L"c.pdf", L"", K::kCheck},
                                                {L"d.txt.enc", L"d.txt", K::kCheck},
                                                {L"b.pdf", L"", K::kUnpairedRemoved}};
    EXPECT_TRUE(left == want);

    const wchar_t* T = L"c:\\users\\u\\documents";
    const wchar_t* U = L"c:\\users\\u\\desktop";
    const struct Step {
        const wchar_t* tree;
        std::vector<BatchRecordName> records;
        uint64_t ms;
        std::vector<ContentCheckItem> checks;
    } steps[] = {
        // Written in one batch, the original deleted in the next.
        {T, {{L"Sub\\a.docx.ryk", kAdded}}, 0, {}},
        {T, {{L"Sub\\a.docx.ryk", kModified}}, 500, {}},
        {T, {{L"Sub\\a.docx", kRemoved}}, 1000, {{L"Sub\\a.docx.ryk", L"Sub\\a.docx", K::kCheck}}},
        // Deleted first, the new file later; and the pair is used once.
        {T, {{L"b.xlsx", kRemoved}}, 2000, {}},
        {T, {{L"b.xlsx.locked", kAdded}}, 2500, {{L"b.xlsx.locked", L"b.xlsx", K::kCheck}}},
        {T, {{L"b.xlsx.locked", kModified}}, 2600, {}},
        // Another tree's deletion is no original.
        {U, {{L"c.pdf", kRemoved}}, 3000, {}},
        {T, {{L"c.pdf.ryk", kAdded}}, 3100, {}},
        // Beyond ten seconds the memory is gone.
        {T, {{L"e.jpg.ryk", kAdded}}, 4000, {}},
        {T, {{L"e.jpg", kRemoved}}, 4000 + kReplacedPairWindowMs + 1, {}},
    };
    ReplacedMemory memory;
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        const Step& s = steps[i];
        const std::vector<ContentCheckItem> got =
            PairAcrossBatches(memory, s.tree, ContentCheckNames(s.records), 1000000 + s.ms);
        EXPECT_TRUE(got == s.checks) << "step " << i << ": " << got.size() << " checks";
    }
    for (int i = 0; i < 1000; ++i)
        PairAcrossBatches(memory, T, {{L"f" + std::to_wstring(i) + L".tmp", L"", K::kUnpairedNew}}, 2000000);
    EXPECT_EQ(memory.added.size(), kReplacedMemoryLimit);
}

// The slow rule: three distinct files anywhere within ten minutes.
TEST(EncryptedTracker, ThreeFilesAnywhereWithinTenMinutes) {
    const wchar_t* D = L"c:\\users\\u\\documents";
    const wchar_t* K = L"c:\\users\\u\\desktop";
    const wchar_t* W = L"c:\\users\\u\\downloads";
    struct Step {
        const wchar_t* tree;
        const wchar_t* name;
        uint64_t ms;
        bool incident;
    };
    const uint64_t kMin = 60 * 1000;
    const struct {
        const char* what;
        std::vector<Step> steps;
    } cases[] = {
        {"one file every 61 s in one tree",
         {{D, L"a.docx", 0, false}, {D, L"b.docx", 61000, false}, {D, L"c.docx", 122000, true}}},
        {"spread over three trees",
         {{D, L"a.docx", 0, false}, {K, L"b.pdf", 5000, false}, {W, L"c.jpg", 9000, true}}},
        {"ten minutes exactly",
         {{D, L"a.docx", 0, false}, {K, L"b.pdf", 5 * kMin, false}, {W, L"c.jpg", 10 * kMin, true}}},
        {"the first has left the window",
         {{D, L"a.docx", 0, false},
          {K, L"b.pdf", 5 * kMin, false},
          {W, L"c.jpg", 10 * kMin + 1, false},
          {D, L"d.xlsx", 11 * kMin, true}}},
        {"the same file three times counts once",
         {{D, L"a.docx", 0, false}, {D, L"a.docx", 2 * kMin, false}, {D, L"a.docx", 4 * kMin, false}}},
        {"the same name in two trees is two files",
         {{D, L"a.docx", 0, false}, {K, L"a.docx", 2 * kMin, false}, {W, L"a.docx", 4 * kMin, true}}},
        {"after a tree's pair its files no longer count",
         {{D, L"a.docx", 0, false},
          {D, L"b.docx", 1000, true},
          {K, L"c.pdf", 2 * kMin, false},
          {W, L"d.pdf", 4 * kMin, false},
          {D, L"e.pdf", 6 * kMin, true}}},
        {"after the slow incident all starts again",
         {{D, L"a.docx", 0, false},
          {K, L"b.pdf", 2 * kMin, false},
          {W, L"c.jpg", 4 * kMin, true},
          {D, L"d.docx", 6 * kMin, false},
          {K, L"e.pdf", 8 * kMin, false}}},
    };
    for (const auto& c : cases) {
        EncryptedTracker tracker;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& s = c.steps[i];
            EXPECT_EQ(NoteEncryptedLike(tracker, s.tree, s.name, 1000000 + s.ms), s.incident)
                << c.what << ", file " << i;
        }
    }
}

TEST(EncryptedTracker, TheAgentWideMemoryIsBounded) {
    EncryptedTracker tracker;
    // One new file every 61 s in its own tree, never a pair: the slow rule fires
    // on every third, so the memory never holds more than two.
    size_t incidents = 0;
    for (int i = 0; i < 300; ++i)
        incidents += NoteEncryptedLike(tracker, L"tree" + std::to_wstring(i), L"a.pdf", uint64_t(i) * 61000);
    EXPECT_EQ(incidents, 100u);
    EXPECT_LE(tracker.anywhere.size(), kEncryptedSlowMemory);
}

// A verdict that rests on the end waits for 2 s of quiet, at most three times.
TEST(TrailerRecheck, WaitsForQuietThenJudges) {
    const struct {
        bool trailerOnly;
        uint64_t quietMs;
        uint32_t rechecks;
        int64_t want;
    } cases[] = {
        {false, 0, 0, 0},      // the head or middle decided: at once
        {true, 2000, 0, 0},    // quiet long enough
        {true, 50000, 3, 0},   //
        {true, 0, 0, 2000},    // just written
        {true, 1500, 1, 500},  //
        {true, 1999, 2, 1},    //
        {true, 100, 3, -1},    // still being written after three checks: left
    };
    for (const auto& c : cases)
        EXPECT_EQ(TrailerRecheckMs(c.trailerOnly, c.quietMs, c.rechecks), c.want)
            << c.trailerOnly << " " << c.quietMs << " " << c.rechecks;
}

TEST(EncryptedTracker, TreesWithNothingRecentAreForgotten) {
    EncryptedTracker tracker;
    NoteEncryptedLike(tracker, L"tree0", L"a.pdf", 0);
    NoteEncryptedLike(tracker, L"tree1", L"a.pdf", 30000);
    EXPECT_EQ(tracker.trees.size(), 2u);
    NoteEncryptedLike(tracker, L"tree2", L"a.pdf", 61000);  // the third within ten minutes: all goes
    EXPECT_EQ(tracker.trees.size(), 0u);
    NoteEncryptedLike(tracker, L"tree3", L"a.pdf", 20 * 60000);
    NoteEncryptedLike(tracker, L"tree4", L"a.pdf", 20 * 60000 + 61000);
    EXPECT_EQ(tracker.trees.size(), 1u);  // tree3's minute is over
}

TEST(ContentCheckLine, EntropyWithTwoDecimalsWithinItsRange) {
    const struct {
        double value;
        const char* text;
    } cases[] = {{7.9521, "7.95"},
                 {7.996, "8.00"},
                 {3.5, "3.50"},
                 {0.006, "0.01"},
                 {0.004, "0.00"},
                 {0, "0.00"},
                 {-1, "0.00"},
                 {8.7, "8.00"},
                 {std::numeric_limits<double>::quiet_NaN(), "0.00"},
                 {std::numeric_limits<double>::infinity(), "8.00"}};
    for (const auto& c : cases) EXPECT_EQ(FormatEntropy(c.value), c.text) << c.value;
}

TEST(ContentCheckLine, MembersInTheirOrderAndEscaped) {
    ContentEvidence e;
    e.verdict = ContentVerdict::kEncryptedLike;
    e.expected = "zip PK\\x03\\x04";
    e.found = "no \"signature\"";
    e.headEntropy = 7.9543;
    e.middleEntropy = 7.95;
    const std::string members = ContentCheckMembers("C:\\\\Users\\\\u\\\\Documents", "Sub\\\\a.docx", e);
    EXPECT_EQ(members,
              "\"folder\":\"C:\\\\Users\\\\u\\\\Documents\",\"file\":\"Sub\\\\a.docx\",\"verdict\":"
              "\"encrypted_like\",\"expected\":\"zip PK\\\\x03\\\\x04\",\"found\":\"no \\\"signature\\\"\","
              "\"entropy\":7.95");
    EXPECT_TRUE(IsValidJson("{" + members + "}"));
    // A renamed file: the old name it was judged against comes last.
    const std::string renamed = ContentCheckMembers("D", "a.docx.ryk", e, "a.docx");
    EXPECT_EQ(renamed.substr(renamed.size() - 38), "\"entropy\":7.95,\"claimed_from\":\"a.docx\"");
    EXPECT_TRUE(IsValidJson("{" + renamed + "}"));
}
