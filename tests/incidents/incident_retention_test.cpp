// The pure retention rules: the store's exact folder-name shape, and which
// folders a pass removes, in which order.
#include "incidents/incident_retention.h"

#include <gtest/gtest.h>

TEST(IncidentRetention, OnlyTheStoresExactFolderNameShape) {
    struct Case {
        const wchar_t* name;
        bool ours;
    } const cases[] = {
        {L"20260101_120000_1", true},
        {L"20260101_120000_4294967295", true},  // ten digits: the largest tick
        {L"20260101_120000_0", true},
        {L"20260101_120000_123_2", true},
        {L"20260101_120000_123_999", true},
        {L"20260101_120000_12345678901", false},  // eleven digits
        {L"20260101_120000_", false},
        {L"20260101_120000_123_1", false},     // the store's suffixes start at 2
        {L"20260101_120000_123_1000", false},  // and end at 999
        {L"20260101_120000_123_02", false},
        {L"20260101_120000_123_", false},
        {L"20260101_120000_123_2_2", false},
        {L"20260101_120000_123x", false},
        {L"2026010_120000_123", false},
        {L"20260101-120000_123", false},
        {L"20260101_12000_123", false},
        {L"2026010a_120000_123", false},
        {L"bench_0001", false},
        {L"My Photos", false},
        {L".vgsync", false},
        {L"", false},
        {L"20260101_120000_\x0661", false},  // a non-ASCII digit
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsStoreIncidentFolderName(c.name), c.ours) << std::wstring(c.name).size();
}

TEST(IncidentRetention, ChoosesOldReadableStoreFoldersOldestFirst) {
    const int64_t now = 1800000000;
    const int64_t day = 86400;
    auto ours = [](const wchar_t* name, int64_t time) {
        RetentionCandidate c;
        c.name = name;
        c.plainFolder = c.readable = c.timeOk = true;
        c.time = time;
        return c;
    };
    std::vector<RetentionCandidate> all = {
        ours(L"20260101_000000_5", now - 100 * day),
        ours(L"20260101_000000_3", now - 200 * day),
        ours(L"20260101_000000_4", now - 100 * day),     // same time: by name
        ours(L"20260101_000000_6", now - 90 * day + 1),  // just inside 90 days
        ours(L"20260101_000000_7", now - 90 * day),      // exactly 90 days: kept
        ours(L"20260101_000000_8", now - 91 * day),
        ours(L"20260101_000000_9", now + 500 * day),  // stamped in the future
        ours(L"not_ours", now - 300 * day),
    };
    RetentionCandidate unreadable = ours(L"20260101_000000_10", now - 300 * day);
    unreadable.readable = false;
    RetentionCandidate badTime = ours(L"20260101_000000_11", now - 300 * day);
    badTime.timeOk = false;
    RetentionCandidate link = ours(L"20260101_000000_12", now - 300 * day);
    link.plainFolder = false;
    all.push_back(unreadable);
    all.push_back(badTime);
    all.push_back(link);

    EXPECT_EQ(ChooseIncidentsToPrune(all, now, 90),
              std::vector<std::wstring>(
                  {L"20260101_000000_3", L"20260101_000000_4", L"20260101_000000_5", L"20260101_000000_8"}));
    EXPECT_TRUE(ChooseIncidentsToPrune(all, now, 0).empty());
    EXPECT_TRUE(ChooseIncidentsToPrune(all, now, -3).empty());
    EXPECT_EQ(ChooseIncidentsToPrune(all, now, 150), std::vector<std::wstring>({L"20260101_000000_3"}));

    // One day is the shortest setting; the last 24 hours always stay.
    const std::vector<RetentionCandidate> recent = {ours(L"20260101_000000_1", now - day + 60),
                                                    ours(L"20260101_000000_2", now - day - 60)};
    EXPECT_EQ(ChooseIncidentsToPrune(recent, now, 1), std::vector<std::wstring>({L"20260101_000000_2"}));
    EXPECT_EQ(IncidentsPrunedMembers(12), "\"count\":12");
}
