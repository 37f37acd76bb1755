#include "procmon/process_snapshot_diff.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

ProcessListEntry E(uint32_t pid, int64_t created, const std::wstring& name = L"p.exe") {
    ProcessListEntry e;
    e.pid = pid;
    e.createTime = created;
    e.name = name;
    return e;
}

std::vector<uint32_t> Pids(const std::vector<ProcessListEntry>& list) {
    std::vector<uint32_t> out;
    for (const ProcessListEntry& e : list) out.push_back(e.pid);
    return out;
}

}  // namespace

// Each case: a first list, then a second one; what the second reports.
TEST(NewProcesses, APidAndItsCreationTimeNameAProcess) {
    struct Case {
        const char* what;
        std::vector<ProcessListEntry> first, second;
        std::vector<uint32_t> reported;
    } cases[] = {
        {"nothing changed", {E(4, 1), E(8, 2)}, {E(8, 2), E(4, 1)}, {}},
        {"one started", {E(4, 1), E(8, 2)}, {E(4, 1), E(8, 2), E(12, 3)}, {12}},
        {"one ended, none started", {E(4, 1), E(8, 2)}, {E(4, 1)}, {}},
        {"a pid given out again is a new process", {E(4, 1), E(8, 2)}, {E(4, 1), E(8, 9)}, {8}},
        {"same creation time, other pid", {E(4, 1)}, {E(4, 1), E(5, 1)}, {5}},
        {"reported in start order, then by pid",
         {E(4, 1)},
         {E(4, 1), E(40, 7), E(30, 5), E(20, 7), E(10, 6)},
         {30, 10, 20, 40}},
        {"a key listed twice is reported once", {E(4, 1)}, {E(4, 1), E(9, 3), E(9, 3)}, {9}},
        {"an empty list after a full one", {E(4, 1)}, {}, {}},
        {"everything new after an empty list", {}, {E(4, 1), E(8, 2)}, {4, 8}},
    };
    for (const Case& c : cases) {
        ProcessSnapshotState state;
        EXPECT_TRUE(NewProcesses(c.first, state).empty()) << c.what << ": the first list reports nothing";
        EXPECT_EQ(Pids(NewProcesses(c.second, state)), c.reported) << c.what;
        // The second list is now what is known: taking it again reports nothing.
        EXPECT_TRUE(NewProcesses(c.second, state).empty()) << c.what;
    }
}

TEST(NewProcesses, EntriesKeepTheirNameAndAnEndedProcessIsForgotten) {
    ProcessSnapshotState state;
    NewProcesses({E(4, 1, L"System")}, state);
    const std::vector<ProcessListEntry> fresh =
        NewProcesses({E(4, 1, L"System"), E(77, 5, L"vssadmin.exe")}, state);
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_EQ(fresh[0].pid, 77u);
    EXPECT_EQ(fresh[0].createTime, 5);
    EXPECT_EQ(fresh[0].name, L"vssadmin.exe");
    // 77 ends; the same key seen again later (a list that missed it) is reported again.
    EXPECT_TRUE(NewProcesses({E(4, 1)}, state).empty());
    EXPECT_EQ(Pids(NewProcesses({E(4, 1), E(77, 5)}, state)), std::vector<uint32_t>({77}));
}

TEST(ShouldTakeList, TheSizeMovedAProcessEndedOrTheListIsDue) {
    ListGate taken;
    NoteListTaken(taken, 5000, 10000);
    struct Case {
        const char* what;
        ListGate gate;
        uint32_t size;
        bool allRun;
        int64_t now;
        bool take;
    } cases[] = {
        {"no list yet", ListGate(), 5000, true, 10000, true},
        {"no list yet, size unknown", ListGate(), 0, true, 10000, true},
        {"same size, all run, just taken", taken, 5000, true, 10000, false},
        {"same size, all run, one period later", taken, 5000, true, 10250, false},
        {"same size, all run, just before the backstop", taken, 5000, true, 10000 + kWholeListEveryMs - 1,
         false},
        {"same size, all run, backstop", taken, 5000, true, 10000 + kWholeListEveryMs, true},
        {"same size, one ended (a start made up for it)", taken, 5000, false, 10250, true},
        {"grew", taken, 5001, true, 10250, true},
        {"shrank", taken, 4999, true, 10250, true},
        {"size unknown", taken, 0, true, 10250, true},
        {"clock went back", taken, 5000, true, 9999, true},
    };
    for (const Case& c : cases) EXPECT_EQ(ShouldTakeList(c.gate, c.size, c.allRun, c.now), c.take) << c.what;
}

TEST(ShouldTakeList, EachListResetsWhatTheNextSizeIsComparedWith) {
    ListGate gate;
    ASSERT_TRUE(ShouldTakeList(gate, 100, true, 0));
    NoteListTaken(gate, 100, 0);
    ASSERT_TRUE(ShouldTakeList(gate, 120, true, 250));
    NoteListTaken(gate, 120, 250);
    EXPECT_FALSE(ShouldTakeList(gate, 120, true, 500));
    EXPECT_TRUE(ShouldTakeList(gate, 100, true, 500)) << "back to an older size is still a change";
    EXPECT_TRUE(ShouldTakeList(gate, 120, true, 250 + kWholeListEveryMs));
    EXPECT_EQ(kWholeListEveryMs, 2000);
}

// What the previous list held and this one does not: the ends the memory of
// process starts is told about. A reused pid is the old process's end.
TEST(EndedProcesses, KeysOfThePreviousListThatAreGone) {
    using Key = std::pair<uint32_t, int64_t>;
    struct Case {
        const char* what;
        std::vector<ProcessListEntry> first, second;
        std::vector<Key> ended;
    } cases[] = {
        {"nothing changed", {E(4, 1), E(8, 2)}, {E(8, 2), E(4, 1)}, {}},
        {"one started", {E(4, 1)}, {E(4, 1), E(8, 2)}, {}},
        {"two ended, in key order", {E(9, 3), E(4, 1), E(8, 2)}, {E(4, 1)}, {{8, 2}, {9, 3}}},
        {"a pid given out again: the old process ended", {E(4, 1), E(8, 2)}, {E(4, 1), E(8, 9)}, {{8, 2}}},
        {"an empty list after a full one", {E(4, 1), E(8, 2)}, {}, {{4, 1}, {8, 2}}},
        {"a key listed twice ends once", {E(4, 1), E(4, 1)}, {}, {{4, 1}}},
    };
    for (const Case& c : cases) {
        ProcessSnapshotState state;
        EXPECT_TRUE(EndedProcesses(c.first, state).empty()) << c.what << ": nothing ends before a first list";
        NewProcesses(c.first, state);
        EXPECT_EQ(EndedProcesses(c.second, state), c.ended) << c.what;
        NewProcesses(c.second, state);
        EXPECT_TRUE(EndedProcesses(c.second, state).empty()) << c.what;
    }
}

// Which keys of a new list the watch tries to open: not those it holds, not
// those that would not open before while they stay listed; a key that left
// the list is forgotten, so its pid with a new creation time is tried again.
TEST(KeysToOpen, NewKeysOnlyAndUnopenableOnesForgottenOnceUnlisted) {
    using Keys = std::vector<ProcessKey>;
    const struct {
        const char* what;
        Keys listed, held, unopenable;
        Keys open, unopenableAfter;
    } cases[] = {
        {"first list", {{4, 1}, {8, 2}}, {}, {}, {{4, 1}, {8, 2}}, {}},
        {"held ones stay held", {{4, 1}, {8, 2}}, {{4, 1}}, {}, {{8, 2}}, {}},
        {"unopenable ones are not tried again",
         {{0, 0}, {4, 1}, {8, 2}},
         {{8, 2}},
         {{0, 0}, {4, 1}},
         {},
         {{0, 0}, {4, 1}}},
        {"an unlisted one is forgotten", {{8, 2}}, {{8, 2}}, {{4, 1}}, {}, {}},
        {"a reused pid is a new key", {{4, 9}, {8, 2}}, {{8, 2}}, {{4, 1}}, {{4, 9}}, {}},
        {"empty list", {}, {{8, 2}}, {{4, 1}}, {}, {}},
    };
    for (const auto& c : cases) {
        Keys unopenable = c.unopenable;
        EXPECT_EQ(KeysToOpen(c.listed, c.held, unopenable), c.open) << c.what;
        EXPECT_EQ(unopenable, c.unopenableAfter) << c.what;
    }
}
