// The memory of process starts: what it keeps and for how long, in which
// order it answers, which start an end belongs to, and the same under threads
// writing and reading at once.
#include "procmon/process_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr int64_t kNow = 50LL * 24 * 3600 * 1000;  // any time well after 1970

RememberedProcess P(int32_t pid, int64_t startedMs, int64_t seenMs, const std::wstring& name = L"p.exe") {
    RememberedProcess p;
    p.pid = pid;
    p.startedMs = startedMs;
    p.seenMs = seenMs;
    p.name = name;
    return p;
}

std::vector<int32_t> Pids(const std::vector<RememberedProcess>& list) {
    std::vector<int32_t> out;
    for (const RememberedProcess& p : list) out.push_back(p.pid);
    return out;
}

int64_t StartOrSeen(const RememberedProcess& p) {
    return p.startedMs != 0 ? p.startedMs : p.seenMs;
}

}  // namespace

// Each case remembers starts (each told at its own seen time) and then asks at `askAt`.
TEST(ProcessMemory, AnswersTheStartsOfTheLastTenMinutesNewestFirst) {
    constexpr int64_t kMemory = kProcessMemoryMs;
    struct Case {
        const char* what;
        std::vector<RememberedProcess> starts;
        int64_t askAt;
        std::vector<int32_t> pids;
    } cases[] = {
        {"newest start first; one with no creation time counts from when it was seen",
         {P(1, kNow - 9000, kNow - 8500), P(2, 0, kNow - 7000), P(3, kNow - 8000, kNow - 6500)},
         kNow,
         {2, 3, 1}},
        {"equal starts: the one seen later first, then the higher pid",
         {P(4, kNow - 100, kNow - 50), P(5, kNow - 100, kNow - 50), P(6, kNow - 100, kNow - 40)},
         kNow,
         {6, 5, 4}},
        {"exactly ten minutes old is still remembered, a millisecond more is not",
         {P(7, kNow - kMemory - 1, kNow - kMemory - 1), P(8, kNow - kMemory, kNow - kMemory)},
         kNow,
         {8}},
        {"created long ago but noticed within ten minutes is remembered",
         {P(9, kNow - 3 * kMemory, kNow - 1000)},
         kNow,
         {9}},
        {"the same pid and creation time told twice is one process",
         {P(10, kNow - 500, kNow - 400), P(10, kNow - 500, kNow - 300)},
         kNow,
         {10}},
        {"a pid given out again is another process",
         {P(11, kNow - 900, kNow - 800), P(11, kNow - 500, kNow - 400)},
         kNow,
         {11, 11}},
        {"asked later, the old ones have gone",
         {P(12, kNow - 5000, kNow - 5000), P(13, kNow, kNow)},
         kNow + kMemory - 2000,
         {13}},
    };
    for (const Case& c : cases) {
        ResetProcessMemory();
        for (const RememberedProcess& p : c.starts) RememberProcessStart(p, p.seenMs);
        EXPECT_EQ(Pids(RecentProcesses(c.askAt)), c.pids) << c.what;
    }
    ResetProcessMemory();
    EXPECT_TRUE(RecentProcesses(kNow).empty()) << "a reset forgets everything";
}

TEST(ProcessMemory, KeepsAtMostTheLimitDroppingTheOldest) {
    ResetProcessMemory();
    const int32_t extra = 10;
    const int32_t total = static_cast<int32_t>(kProcessMemoryLimit) + extra;
    for (int32_t i = 0; i < total; ++i) RememberProcessStart(P(1000 + i, kNow + i, kNow + i), kNow + i);
    const std::vector<RememberedProcess> recent = RecentProcesses(kNow + total);
    ASSERT_EQ(recent.size(), kProcessMemoryLimit);
    EXPECT_EQ(recent.front().pid, 1000 + total - 1);
    EXPECT_EQ(recent.back().pid, 1000 + extra) << "the oldest went first";
    // A process told again does not take a second place.
    RememberProcessStart(P(1000 + total - 1, kNow + total - 1, kNow + total), kNow + total);
    EXPECT_EQ(RecentProcesses(kNow + total).size(), kProcessMemoryLimit);
}

// Each case remembers starts, then tells ends; what each start's end is then.
TEST(ProcessMemory, AnEndBelongsToItsOwnStart) {
    struct End {
        int32_t pid;
        int64_t startedMs, endedMs;
    };
    struct Case {
        const char* what;
        std::vector<RememberedProcess> starts;
        std::vector<End> ends;
        std::vector<int64_t> endedMs;  // per start, in the order given
    } cases[] = {
        {"pid and creation time", {P(7, 100, 110), P(8, 100, 110)}, {{7, 100, 500}}, {500, 0}},
        {"the later process with the reused pid runs on",
         {P(7, 100, 110), P(7, 900, 910)},
         {{7, 100, 800}},
         {800, 0}},
        {"no creation time: only a start noticed before the end",
         {P(7, 0, 110), P(7, 0, 910)},
         {{7, 0, 800}},
         {800, 0}},
        {"no creation time: a start noticed exactly at the end", {P(7, 0, 800)}, {{7, 0, 800}}, {800}},
        {"an end with a creation time leaves a start without one alone",
         {P(7, 0, 110)},
         {{7, 100, 800}},
         {0}},
        {"the first end noticed stays", {P(7, 100, 110)}, {{7, 100, 500}, {7, 100, 600}}, {500}},
        {"an unknown pid changes nothing", {P(7, 100, 110)}, {{9, 100, 500}, {9, 0, 500}}, {0}},
    };
    for (const Case& c : cases) {
        ResetProcessMemory();
        for (const RememberedProcess& p : c.starts) RememberProcessStart(p, p.seenMs);
        for (const End& e : c.ends) RememberProcessEnd(e.pid, e.startedMs, e.endedMs);
        const std::vector<RememberedProcess> recent = RecentProcesses(1000);
        ASSERT_EQ(recent.size(), c.starts.size()) << c.what;
        for (size_t i = 0; i < c.starts.size(); ++i) {
            const RememberedProcess& wanted = c.starts[i];
            const auto found = std::find_if(recent.begin(), recent.end(), [&](const RememberedProcess& p) {
                return p.pid == wanted.pid && p.startedMs == wanted.startedMs && p.seenMs == wanted.seenMs;
            });
            ASSERT_NE(found, recent.end()) << c.what;
            EXPECT_EQ(found->endedMs, c.endedMs[i]) << c.what << ", start " << i;
        }
    }
}

TEST(ProcessMemory, RemembersFromWhenItWasSwitchedOn) {
    ResetProcessMemory();
    EXPECT_EQ(ProcessMemoryStartMs(), 0);
    EXPECT_FALSE(ProcessMemoryOn());
    SetProcessMemoryOn(true, 1000);
    SetProcessMemoryOn(true, 2000);
    EXPECT_EQ(ProcessMemoryStartMs(), 1000) << "staying on keeps the start";
    RememberProcessStart(P(3, 1500, 1500), 1500);
    SetProcessMemoryOn(false, 2500);
    EXPECT_FALSE(ProcessMemoryOn());
    EXPECT_EQ(Pids(RecentProcesses(3000)), std::vector<int32_t>({3})) << "switching off forgets nothing";
    SetProcessMemoryOn(true, 3000);
    EXPECT_EQ(ProcessMemoryStartMs(), 3000) << "after a gap the memory starts again";
    ResetProcessMemory();
    EXPECT_EQ(ProcessMemoryStartMs(), 0);
    EXPECT_FALSE(ProcessMemoryOn());
}

// Writers remember and end processes while readers copy the memory out; every
// copy must be whole: within the bound, newest first, each process once, each
// end the one its writer gave. Run under ThreadSanitizer too.
// A creation time from after the start was noticed (garbage a gone process
// can leave in the list) is kept as unknown, so the ranking falls back on
// when it was seen instead of placing the start thousands of years away.
TEST(ProcessMemory, AnImpossibleCreationTimeIsKeptAsUnknown) {
    struct Case {
        int64_t startedMs;
        int64_t kept;
    } cases[] = {
        {kNow - 5000, kNow - 5000},                                            // ordinary
        {kNow + kCreationAfterSeenLimitMs, kNow + kCreationAfterSeenLimitMs},  // clocks a little apart
        {kNow + kCreationAfterSeenLimitMs + 1, 0},
        {600000000000000LL, 0},
        {-1, 0},
    };
    for (const Case& c : cases) {
        ResetProcessMemory();
        RememberProcessStart(P(7, c.startedMs, kNow), kNow);
        const std::vector<RememberedProcess> recent = RecentProcesses(kNow);
        ASSERT_EQ(recent.size(), 1u) << c.startedMs;
        EXPECT_EQ(recent[0].startedMs, c.kept) << c.startedMs;
    }
}

// The moment the memory is complete up to never moves back, and a reset forgets it.
TEST(ProcessMemory, TheListLookOnlyMovesForward) {
    ResetProcessMemory();
    EXPECT_EQ(ProcessListCurrentMs(), 0);
    NoteProcessListCurrent(kNow);
    NoteProcessListCurrent(kNow - 250);
    EXPECT_EQ(ProcessListCurrentMs(), kNow);
    NoteProcessListCurrent(kNow + 250);
    EXPECT_EQ(ProcessListCurrentMs(), kNow + 250);
    ResetProcessMemory();
    EXPECT_EQ(ProcessListCurrentMs(), 0);
}

TEST(ProcessMemory, WritersAndReadersAtOnceSeeAWholeMemory) {
    ResetProcessMemory();
    constexpr int kWriters = 3;
    constexpr int kStartsEach = 600;
    std::atomic<int> writersLeft{kWriters};
    std::atomic<int> badCopies{0};
    std::atomic<int> copies{0};
    auto endOf = [](int64_t startedMs) { return startedMs + 7; };

    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < kStartsEach; ++i) {
                const int32_t pid = w * 100000 + i;
                const int64_t started = kNow + i * kWriters + w;
                RememberProcessStart(P(pid, started, started + 1), started + 1);
                if (i % 2 == 0) RememberProcessEnd(pid, started, endOf(started));
            }
            --writersLeft;
        });
    }
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            do {
                const std::vector<RememberedProcess> copy = RecentProcesses(kNow + kWriters * kStartsEach);
                bool whole = copy.size() <= kProcessMemoryLimit;
                std::set<std::pair<int32_t, int64_t>> seen;
                for (size_t i = 0; i < copy.size(); ++i) {
                    if (i > 0 && StartOrSeen(copy[i]) > StartOrSeen(copy[i - 1])) whole = false;
                    if (!seen.insert({copy[i].pid, copy[i].startedMs}).second) whole = false;
                    if (copy[i].endedMs != 0 && copy[i].endedMs != endOf(copy[i].startedMs)) whole = false;
                }
                badCopies += whole ? 0 : 1;
                ++copies;
            } while (writersLeft.load() > 0);
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(badCopies.load(), 0) << "of " << copies.load() << " copies";

    const std::vector<RememberedProcess> last = RecentProcesses(kNow + kWriters * kStartsEach);
    ASSERT_EQ(last.size(), kProcessMemoryLimit);
    // The oldest went first, so each writer's share is the tail of what it
    // wrote, and each start it ended carries that end.
    for (int w = 0; w < kWriters; ++w) {
        std::vector<int> kept;
        for (const RememberedProcess& p : last)
            if (p.pid / 100000 == w) kept.push_back(p.pid % 100000);
        std::sort(kept.begin(), kept.end());
        for (size_t k = 0; k < kept.size(); ++k)
            EXPECT_EQ(kept[k], kStartsEach - static_cast<int>(kept.size()) + static_cast<int>(k))
                << "writer " << w;
    }
    for (const RememberedProcess& p : last)
        EXPECT_EQ(p.endedMs, (p.pid % 100000) % 2 == 0 ? endOf(p.startedMs) : 0) << p.pid;
}

TEST(ProcessMemoryConversions, CreationTimes) {
    // 2024-02-29 11:00:00 UTC, as `date -u -d @1709204400` confirms.
    constexpr int64_t kLeapDayUtcMs = 1709204400LL * 1000;
    constexpr int64_t kFileTimePerMs = 10000;
    constexpr int64_t kLeapDayFileTime = 133536780000000000LL;  // the same instant, 100-ns units since 1601
    EXPECT_EQ(FileTimeToUnixMs(kLeapDayFileTime), kLeapDayUtcMs);
    EXPECT_EQ(FileTimeToUnixMs(kLeapDayFileTime + 5 * kFileTimePerMs + 9999), kLeapDayUtcMs + 5)
        << "parts of a millisecond are cut off";
    EXPECT_EQ(FileTimeToUnixMs(0), 0);
    EXPECT_EQ(FileTimeToUnixMs(116444736000000000LL - 1), 0) << "before 1970";

    struct Case {
        const wchar_t* text;
        int64_t ms;  // 0: not a date
    } cases[] = {
        {L"20240229110000.000000+000", kLeapDayUtcMs},
        {L"20240229120000.000000+060", kLeapDayUtcMs},
        {L"20240229060000.000000-300", kLeapDayUtcMs},
        {L"20240229053000.000000-330", kLeapDayUtcMs},
        {L"20240229110000.123456+000", kLeapDayUtcMs + 123},
        // 00:30 on 1 March at UTC+11:30 is 13:00 on 29 February UTC.
        {L"20240301003000.000000+690", kLeapDayUtcMs + 2 * 3600 * 1000},
        {L"20240229110000.000000", 0},
        {L"20240229110000.000000+00", 0},
        {L"2024022911000.0000000+000", 0},
        {L"20240229110000.******+000", 0},
        {L"********110000.000000+000", 0},
        {L"20230229110000.000000+000", 0},
        {L"20241301110000.000000+000", 0},
        {L"20240229250000.000000+000", 0},
        {L"20240229110000,000000+000", 0},
        {L"20240229110000.000000*000", 0},
        {L"", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CimDateTimeToUnixMs(c.text), c.ms) << std::string(c.text, c.text + wcslen(c.text));
}

TEST(ProcessMemoryConversions, SignalNamesFromAScoreFragment) {
    struct Case {
        const char* fragment;
        const char* names;
    } cases[] = {
        {"\"score\":65,\"signals\":[\"encoded_command\",\"user_space_location\"]",
         "encoded_command, user_space_location"},
        {"\"score\":40,\"signals\":[\"backup_deletion\"]", "backup_deletion"},
        {"\"score\":0", ""},
        {"", ""},
        {"\"score\":5,\"signals\":[\"cut", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(SignalNames(c.fragment), c.names) << c.fragment;
}
