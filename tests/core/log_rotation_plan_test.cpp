// The pure decisions of log rotation: settings, when, names and the plan of
// renames (which must never overwrite a file nor jump a gap).
#include <gtest/gtest.h>

#include "core/log_rotation.h"

TEST(LogRotationPlan, SettingsAndWhenToRotate) {
    EXPECT_EQ(LogRotationFrom(0, 0).maxBytes, 0u);
    EXPECT_EQ(LogRotationFrom(-5, 0).maxBytes, 0u);
    EXPECT_EQ(LogRotationFrom(50, 0).maxBytes, 50ull << 20);
    EXPECT_EQ(LogRotationFrom(4096, 0).maxBytes, 4096ull << 20);  // no 32-bit overflow
    EXPECT_EQ(LogRotationFrom(50, 0).keepFiles, 4);
    EXPECT_EQ(LogRotationFrom(50, -1).keepFiles, 4);
    EXPECT_EQ(LogRotationFrom(50, 1).keepFiles, 1);
    EXPECT_EQ(LogRotationFrom(50, 100000).keepFiles, 999);

    struct Case {
        uint64_t max, current, append;
        bool due;
    } const cases[] = {
        {0, 1ull << 40, 100, false},  // never rotated
        {1000, 0, 5000, false},       // an empty log takes even an oversized line
        {1000, 900, 100, false},      // exactly at the bound
        {1000, 900, 101, true},      {1000, 1000, 1, true},
        {1000, 5000, 1, true},  // already past it (the bound was lowered)
    };
    for (const Case& c : cases) {
        LogRotationSettings s;
        s.maxBytes = c.max;
        EXPECT_EQ(LogRotationDue(s, c.current, c.append), c.due)
            << c.max << " " << c.current << " " << c.append;
    }
}

TEST(LogRotationPlan, ClosedFilesAreNamedBesideTheLog) {
    EXPECT_EQ(RotatedLogPath(L"C:\\d\\Vellumgard.log.jsonl", 1), L"C:\\d\\Vellumgard.log.1.jsonl");
    EXPECT_EQ(RotatedLogPath(L"C:\\d\\Vellumgard.log.jsonl", 12), L"C:\\d\\Vellumgard.log.12.jsonl");
    EXPECT_EQ(RotatedLogPath(L"log", 2), L"log.2");
    EXPECT_EQ(LogFileNameOf(L"C:\\d\\Vellumgard.log.1.jsonl"), L"Vellumgard.log.1.jsonl");
    EXPECT_EQ(LogFileNameOf(L"plain"), L"plain");
}

TEST(LogRotationPlan, ShiftsTheUnbrokenRunAndDropsWhatPassesTheKeep) {
    using Steps = std::vector<std::pair<int, int>>;
    struct Case {
        int keep;
        std::vector<bool> exists;
        Steps steps;
    } const cases[] = {
        {4, {false, false, false, false}, {{0, 1}}},
        {4, {true, false, false, false}, {{1, 2}, {0, 1}}},
        {4, {true, true, true, false}, {{3, 4}, {2, 3}, {1, 2}, {0, 1}}},
        {4, {true, true, true, true}, {{4, 0}, {3, 4}, {2, 3}, {1, 2}, {0, 1}}},
        // A gap (an earlier rotation stopped half-way): files past it stay.
        {4, {false, true, true, true}, {{0, 1}}},
        {4, {true, false, true, true}, {{1, 2}, {0, 1}}},
        {1, {true}, {{1, 0}, {0, 1}}},
        {1, {false}, {{0, 1}}},
    };
    for (const Case& c : cases) {
        Steps got;
        for (const LogRotationStep& s : PlanLogRotation(c.keep, c.exists)) got.push_back({s.from, s.to});
        EXPECT_EQ(got, c.steps) << "keep " << c.keep;
    }
}
