#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <thread>
#include <vector>

#include "core/config.h"
#include "core/locks.h"
#include "fsmon/burst_detector.h"
#include "support/test_support.h"

namespace {

struct WindowCase {
    const char* what;
    std::vector<int64_t> before;
    int64_t now;
    int32_t window;
    std::vector<int64_t> after;
};

TEST(BurstWindow, AppendsPrunesAndKeepsOrder) {
    const WindowCase cases[] = {
        {"first batch", {}, 100, 30, {100}},
        {"exactly window old stays", {70, 71}, 100, 30, {70, 71, 100}},
        {"one second older goes", {69, 70}, 100, 30, {70, 100}},
        {"order kept, later times kept", {50, 120, 60, 90, 70}, 100, 30, {120, 90, 70, 100}},
        {"same second repeated", {100, 100}, 100, 1, {100, 100, 100}},
        {"everything aged out", {1, 2, 3}, 1000, 30, {1000}},
    };
    for (const WindowCase& c : cases) {
        std::vector<int64_t> times = c.before;
        EXPECT_EQ(AddBatchToWindow(times, c.now, c.window), c.after.size()) << c.what;
        EXPECT_EQ(times, c.after) << c.what;
    }
}

TEST(BurstWindow, ClockAtTheBottomOfTheRangeDoesNotOverflow) {
    std::vector<int64_t> times = {std::numeric_limits<int64_t>::min()};
    const int64_t now = std::numeric_limits<int64_t>::min() + 5;
    EXPECT_EQ(AddBatchToWindow(times, now, 30), 2u);
}

// The detector's window lives for the whole process; starting every test far
// beyond the previous one ages out whatever an earlier test left behind.
int64_t FreshEpoch() {
    static int64_t epoch = 2000000000;
    epoch += 100000000;
    return epoch;
}

struct Settings {
    int32_t window, threshold, severity;
};

void SetBurstSettings(const Settings& s) {
    gLiveConfig.burstWindowSeconds.store(s.window);
    gLiveConfig.burstThreshold.store(s.threshold);
    gLiveConfig.fileBurstIncidentSeverity.store(s.severity);
}

struct SettingsCase {
    const char* what;
    Settings configured;
    Settings effective;
};

TEST(BurstDetector, SettingsAtOrBelowZeroMeanTheDefaults) {
    FakeClock clock;
    CreateCoreLock(gBurstLock);
    const SettingsCase cases[] = {
        {"zeros", {0, 0, 0}, {30, 50, 80}},
        {"negatives", {-5, -1, -2147483647 - 1}, {30, 50, 80}},
        {"own values", {10, 5, 55}, {10, 5, 55}},
        {"window of one", {1, 4, 100}, {1, 4, 100}},
    };
    for (const SettingsCase& c : cases) {
        SCOPED_TRACE(c.what);
        SetBurstSettings(c.configured);
        const Settings e = c.effective;
        const int64_t base = FreshEpoch();
        FakeClock::seconds = base;
        int32_t severity = -1;
        for (int i = 1; i < e.threshold; ++i) ASSERT_FALSE(RecordChangeBatch(severity)) << "batch " << i;
        // Exactly one window later the first batches still count.
        FakeClock::seconds = base + e.window;
        ASSERT_TRUE(RecordChangeBatch(severity));
        EXPECT_EQ(severity, e.severity);
        // Nothing is reset by a burst: the next batch is one too.
        severity = -1;
        EXPECT_TRUE(RecordChangeBatch(severity));
        EXPECT_EQ(severity, e.severity);
        // One second later the first threshold-1 batches have aged out (3 left).
        FakeClock::seconds = base + e.window + 1;
        EXPECT_FALSE(RecordChangeBatch(severity));
    }
}

TEST(BurstDetector, ThresholdOfOneMakesEveryBatchABurst) {
    FakeClock clock;
    CreateCoreLock(gBurstLock);
    SetBurstSettings({30, 1, 0});
    FakeClock::seconds = FreshEpoch();
    for (int i = 0; i < 3; ++i) {
        int32_t severity = 0;
        EXPECT_TRUE(RecordChangeBatch(severity));
        EXPECT_EQ(severity, 80);
        FakeClock::seconds += 1000;
    }
}

TEST(BurstDetector, InertAndCountsNothingWhileTheLockDoesNotExist) {
    FakeClock clock;
    SetBurstSettings({30, 2, 0});
    FakeClock::seconds = FreshEpoch();
    DeleteCoreLock(gBurstLock);
    int32_t severity = 0;
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(RecordChangeBatch(severity));
    CreateCoreLock(gBurstLock);
    EXPECT_FALSE(RecordChangeBatch(severity));  // only one entry: the calls above left none
    EXPECT_TRUE(RecordChangeBatch(severity));
    DeleteCoreLock(gBurstLock);
    EXPECT_FALSE(RecordChangeBatch(severity));
}

TEST(BurstDetector, EntriesFromAClockSetBackKeepCounting) {
    FakeClock clock;
    CreateCoreLock(gBurstLock);
    SetBurstSettings({30, 3, 0});
    const int64_t base = FreshEpoch();
    FakeClock::seconds = base;
    int32_t severity = 0;
    EXPECT_FALSE(RecordChangeBatch(severity));
    EXPECT_FALSE(RecordChangeBatch(severity));
    FakeClock::seconds = base - 3600;
    EXPECT_TRUE(RecordChangeBatch(severity));
}

TEST(BurstDetector, ConcurrentBatchesAreEachCountedOnce) {
    FakeClock clock;
    CreateCoreLock(gBurstLock);
    constexpr int kThreads = 8, kBatches = 500;
    // With the threshold at the total, exactly the last batch in lock order
    // sees a burst; a lost or doubled append would make that zero or more.
    SetBurstSettings({30, kThreads * kBatches, 0});
    FakeClock::seconds = FreshEpoch();
    std::atomic<int> bursts{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&bursts] {
            for (int i = 0; i < kBatches; ++i) {
                int32_t severity = 0;
                if (RecordChangeBatch(severity)) ++bursts;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(bursts.load(), 1);
    int32_t severity = 0;
    EXPECT_TRUE(RecordChangeBatch(severity));  // the window still holds them all
}

}  // namespace
