// The incident index's decisions as tables: the enumeration order model,
// merging, the 24-hour cut, the order of the result, change records and when
// to look at the disk.
#include "incidents/incident_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>

namespace {

std::string Iso(int minute, int second) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "2026-03-14T10:%02d:%02d", minute, second);
    return buf;
}

// An incident.json text whose file member tells the entries apart.
std::string Json(const std::string& ts, const std::string& file) {
    return "{\"ts\":\"" + ts + "\",\"reason\":\"file_burst\",\"severity\":80,\"file\":\"" + file + "\"}";
}

IndexedIncident Entry(const std::string& ts, const std::string& file, uint64_t lastWrite = 1) {
    const std::string text = Json(ts, file);
    return ReadIncident(text, FileStamp{text.size(), lastWrite});
}

std::vector<std::string> Files(const std::vector<IncidentSummary>& list) {
    std::vector<std::string> files;
    for (const auto& s : list) files.push_back(s.file);
    return files;
}

// What the specified scan gives for folders enumerated in `order`.
std::vector<std::string> LiteralResult(const std::vector<std::pair<std::wstring, std::string>>& order,
                                       int64_t cutoff) {
    std::vector<IncidentSummary> list;
    for (const auto& f : order) {
        IncidentSummary s = ParseIncidentSummary(Json(f.second, std::string(f.first.begin(), f.first.end())));
        int64_t t = 0;
        if (ParseIncidentTime(s.ts, t) && t >= cutoff) list.push_back(s);
    }
    SortIncidentsNewestFirst(list);
    return Files(list);
}

int64_t Time(const std::string& ts) {
    int64_t t = 0;
    EXPECT_TRUE(ParseIncidentTime(ts, t));
    return t;
}

}  // namespace

// The order NTFS and Wine enumerate in (the list below is what Wine returned
// for these names, checked by hand), for ASCII names.
TEST(FolderNameOrder, MatchesTheFileSystemsEnumeration) {
    const std::vector<std::wstring> sorted = {L"10", L"9", L"a", L"a.b", L"Ab", L"aB", L"ab", L"AC",
                                              L"a_", L"I", L"J", L"zA",  L"Zz", L"_x", L"~"};
    for (size_t i = 0; i + 1 < sorted.size(); ++i) {
        EXPECT_LT(CompareFolderNames(sorted[i], sorted[i + 1]), 0) << i;
        EXPECT_GT(CompareFolderNames(sorted[i + 1], sorted[i]), 0) << i;
    }
    // The store's names: a suffix _2 sorts after a longer tick ('_' is above the digits).
    EXPECT_LT(CompareFolderNames(L"20260314_100000_5", L"20260314_100000_50"), 0);
    EXPECT_LT(CompareFolderNames(L"20260314_100000_50", L"20260314_100000_5_2"), 0);
    EXPECT_EQ(CompareFolderNames(L"same", L"same"), 0);

    EXPECT_TRUE(IsAsciiName(L"20260314_100000_5"));
    EXPECT_FALSE(IsAsciiName(L"caf\xe9"));
    EXPECT_TRUE(IsIncidentFolderName(L"x"));
    EXPECT_FALSE(IsIncidentFolderName(L".vgsync-12"));
    EXPECT_FALSE(IsIncidentFolderName(L""));
}

TEST(ExchangeSort, SameOrderAsTheStoreOfSummariesTiesIncluded) {
    std::mt19937 rng(11);
    for (int round = 0; round < 50; ++round) {
        const size_t n = rng() % 40;
        std::vector<IncidentSummary> list(n);
        std::vector<int64_t> times(n);
        for (size_t i = 0; i < n; ++i) {
            list[i].ts = Iso(static_cast<int>(rng() % 3), 0);
            list[i].file = std::to_string(i);
            times[i] = Time(list[i].ts);
        }
        std::vector<IncidentSummary> want = list;
        SortIncidentsNewestFirst(want);
        std::vector<IncidentSummary> got;
        for (size_t i : ExchangeSortOrder(times)) got.push_back(list[i]);
        ASSERT_EQ(Files(got), Files(want)) << "round " << round;
    }
}

TEST(IndexEntries, PutReplaceRemoveAndWhenToRead) {
    IncidentIndex index;
    IndexPut(index, L"a", Entry(Iso(1, 0), "a1", 5));
    IndexKeepOnly(index, {L"a"});
    EXPECT_EQ(index.entries.at(L"a").rank, 0u);

    const FileStamp same = index.entries.at(L"a").stamp;
    struct Case {
        const char* what;
        FileStamp stamp;
        bool read;
    } cases[] = {
        {"unchanged", same, false},
        {"same size, new write time", FileStamp{same.size, same.lastWrite + 1}, true},
        {"new size", FileStamp{same.size + 1, same.lastWrite}, true},
    };
    for (const Case& c : cases) EXPECT_EQ(IndexNeedsRead(index, L"a", c.stamp), c.read) << c.what;
    EXPECT_TRUE(IndexNeedsRead(index, L"unknown", same));

    // Replacing keeps the enumeration position and moves the time.
    IndexPut(index, L"a", Entry(Iso(2, 0), "a2", 6));
    EXPECT_EQ(index.entries.at(L"a").rank, 0u);
    ASSERT_EQ(index.byTime.size(), 1u);
    EXPECT_EQ(index.byTime.begin()->first, Time(Iso(2, 0)));

    // Read short, or only noted by the store: read again whatever the stamp.
    const std::string text = Json(Iso(3, 0), "b");
    IndexPut(index, L"b", ReadIncident(text.substr(0, 10), FileStamp{text.size(), 9}));
    EXPECT_EQ(index.entries.at(L"b").state, EntryState::Short);
    EXPECT_TRUE(IndexNeedsRead(index, L"b", FileStamp{text.size(), 9}));
    EXPECT_EQ(ShortEntries(index), std::vector<std::wstring>({L"b"}));
    IndexPut(index, L"c", NotedIncident(Json(Iso(4, 0), "c")));
    EXPECT_EQ(index.entries.at(L"c").summary->file, "c");
    EXPECT_TRUE(IndexNeedsRead(index, L"c", index.entries.at(L"c").stamp));

    // A file without a parsable time is known (it counts as an incident file)
    // but never listed.
    IndexPut(index, L"d", ReadIncident("{}", FileStamp{2, 1}));
    EXPECT_EQ(index.entries.size(), 4u);
    EXPECT_EQ(index.byTime.size(), 2u);  // a and c; b read short has no time either

    IndexRemove(index, L"a");
    IndexRemove(index, L"never");
    EXPECT_EQ(index.entries.count(L"a"), 0u);
    EXPECT_EQ(index.byTime.size(), 1u);
    IndexPut(index, L"b", ReadIncident(text, FileStamp{text.size(), 10}));  // read again, in full
    EXPECT_TRUE(ShortEntries(index).empty());
    EXPECT_EQ(index.byTime.size(), 2u);

    IndexKeepOnly(index, {L"d"});
    EXPECT_EQ(index.entries.size(), 1u);
    EXPECT_TRUE(index.byTime.empty());
}

TEST(IndexEntries, EnumerationOrderIsVerifiedOnAsciiNames) {
    struct Case {
        const char* what;
        std::vector<std::wstring> enumerated;
        bool verified;
    } cases[] = {
        {"sorted", {L"a", L"B", L"c"}, true},
        {"sorted with other names between", {L"a", L"\x65e5", L"B", L"caf\xe9", L"c"}, true},
        {"out of order", {L"b", L"a", L"c"}, false},
        {"one name proves nothing", {L"a"}, false},
        {"none", {}, false},
    };
    for (const Case& c : cases) {
        IncidentIndex index;
        for (const auto& n : c.enumerated) IndexPut(index, n, Entry(Iso(1, 0), "x"));
        IndexPut(index, L"later", Entry(Iso(1, 0), "x"));
        ApplyEnumerationOrder(index, c.enumerated);
        EXPECT_EQ(index.asciiOrderVerified, c.verified) << c.what;
        for (size_t i = 0; i < c.enumerated.size(); ++i)
            EXPECT_EQ(index.entries.at(c.enumerated[i]).rank, i) << c.what;
        EXPECT_EQ(index.entries.at(L"later").rank, kUnranked) << c.what;
    }
}

// The result must be what the specified scan gives over the enumeration, for
// any names, times (with many ties) and cut; entries added after the last
// enumeration are placed by name where that is known to be safe.
TEST(CollectRecent, EqualsTheSpecifiedScanOverTheEnumeration) {
    std::mt19937 rng(3);
    const std::vector<std::wstring> pool = {L"20260314_100000_1",
                                            L"20260314_100000_12",
                                            L"20260314_100000_1_2",
                                            L"a",
                                            L"B",
                                            L"c_d",
                                            L"C.d",
                                            L"zz",
                                            L"Zz",
                                            L"~x",
                                            L"caf\xe9",
                                            L"\x65e5"};
    int needed = 0, ok = 0;
    for (int round = 0; round < 300; ++round) {
        // A folder set, each with a time among a few minutes, some ties.
        std::vector<std::pair<std::wstring, std::string>> folders;
        for (const auto& name : pool)
            if (rng() % 3) folders.emplace_back(name, Iso(static_cast<int>(rng() % 4), 0));
        std::sort(folders.begin(), folders.end(),
                  [](const auto& a, const auto& b) { return CompareFolderNames(a.first, b.first) < 0; });
        // Some were already there at the last enumeration, the others came after.
        IncidentIndex index;
        std::vector<std::wstring> enumerated;
        std::vector<std::pair<std::wstring, std::string>> later;
        for (const auto& f : folders) {
            if (rng() % 4) {
                IndexPut(index, f.first, Entry(f.second, std::string(f.first.begin(), f.first.end())));
                enumerated.push_back(f.first);
            } else {
                later.push_back(f);
            }
        }
        IndexKeepOnly(index, enumerated);
        for (const auto& f : later)
            IndexPut(index, f.first, Entry(f.second, std::string(f.first.begin(), f.first.end())));

        const int64_t cutoff = Time(Iso(static_cast<int>(rng() % 3), 0));
        std::vector<IncidentSummary> out;
        const RecentResult r = CollectRecent(index, cutoff, out);
        if (r == RecentResult::NeedsEnumeration) {
            ++needed;
            // After a new enumeration the answer is always there.
            std::vector<std::wstring> all;
            for (const auto& f : folders) all.push_back(f.first);
            IndexKeepOnly(index, all);
            ASSERT_EQ(CollectRecent(index, cutoff, out), RecentResult::Ok);
        } else {
            ++ok;
        }
        // The entries' file member holds the folder name (narrowed).
        std::vector<std::pair<std::wstring, std::string>> literal;
        for (const auto& f : folders) literal.push_back(f);
        std::vector<std::string> want = LiteralResult(literal, cutoff);
        std::vector<std::string> got = Files(out);
        ASSERT_EQ(got, want) << "round " << round;
    }
    // Both paths were taken.
    EXPECT_GT(needed, 0);
    EXPECT_GT(ok, 0);
}

TEST(CollectRecent, WhenTheOrderIsUnknown) {
    const std::string t = Iso(1, 0);
    struct Case {
        const char* what;
        std::vector<std::wstring> enumerated;  // the last enumeration
        std::vector<std::wstring> later;       // added since
        std::string laterTime;
        RecentResult result;
    } cases[] = {
        {"no tie: any order will do", {L"b"}, {L"\x65e5"}, Iso(2, 0), RecentResult::Ok},
        {"tie, all from the enumeration, order not by name", {L"b", L"a"}, {}, t, RecentResult::Ok},
        {"tie with a new ASCII name, name order verified", {L"a", L"c"}, {L"b"}, t, RecentResult::Ok},
        {"tie with a new ASCII name, name order not verified",
         {L"c", L"a"},
         {L"b"},
         t,
         RecentResult::NeedsEnumeration},
        {"tie with a new non-ASCII name", {L"a", L"c"}, {L"\x65e5"}, t, RecentResult::NeedsEnumeration},
    };
    for (const Case& c : cases) {
        IncidentIndex index;
        for (const auto& n : c.enumerated) IndexPut(index, n, Entry(t, "x"));
        ApplyEnumerationOrder(index, c.enumerated);
        for (const auto& n : c.later) IndexPut(index, n, Entry(c.laterTime, "y"));
        std::vector<IncidentSummary> out;
        EXPECT_EQ(CollectRecent(index, 0, out), c.result) << c.what;
    }

    // Not by name: the enumeration's positions decide the order of ties.
    IncidentIndex index;
    IndexPut(index, L"b", Entry(t, "b"));
    IndexPut(index, L"a", Entry(t, "a"));
    IndexPut(index, L"z", Entry(Iso(2, 0), "z"));
    ApplyEnumerationOrder(index, {L"b", L"a", L"z"});
    std::vector<IncidentSummary> out;
    ASSERT_EQ(CollectRecent(index, 0, out), RecentResult::Ok);
    // Exchange sort of b, a, z: z swaps with b, then b stays behind a.
    EXPECT_EQ(Files(out), std::vector<std::string>({"z", "a", "b"}));
}

TEST(TheCut, InclusiveAndTheFutureKept) {
    IncidentIndex index;
    IndexPut(index, L"at", Entry(Iso(0, 0), "at"));
    IndexPut(index, L"before", Entry("2026-03-14T09:59:59", "before"));
    IndexPut(index, L"future", Entry("2027-01-01T00:00:00", "future"));
    std::vector<IncidentSummary> out;
    ASSERT_EQ(CollectRecent(index, Time(Iso(0, 0)), out), RecentResult::Ok);
    EXPECT_EQ(Files(out), std::vector<std::string>({"future", "at"}));
}

TEST(TheCut, OldEntriesDropTheirSummaryAndComeBackWhenTheClockGoesBack) {
    IncidentIndex index;
    for (int m = 0; m < 6; ++m)
        IndexPut(index, std::wstring(1, L'a' + m), Entry(Iso(m, 0), std::string(1, 'a' + m)));

    EXPECT_TRUE(MoveCut(index, Time(Iso(3, 0))).empty());
    for (int m = 0; m < 6; ++m)
        EXPECT_EQ(index.entries.at(std::wstring(1, L'a' + m)).summary != nullptr, m >= 3) << m;
    // Put behind the cut: no summary kept either.
    IndexPut(index, L"old", Entry(Iso(1, 30), "old"));
    EXPECT_FALSE(index.entries.at(L"old").summary);
    std::vector<IncidentSummary> out;
    ASSERT_EQ(CollectRecent(index, Time(Iso(3, 0)), out), RecentResult::Ok);
    EXPECT_EQ(Files(out), std::vector<std::string>({"f", "e", "d"}));

    // Forward again: nothing to read.
    EXPECT_TRUE(MoveCut(index, Time(Iso(4, 0))).empty());
    EXPECT_FALSE(index.entries.at(L"d").summary);

    // Back: exactly the entries between the new and the old cut are read again.
    std::vector<std::wstring> reload = MoveCut(index, Time(Iso(1, 0)));
    std::sort(reload.begin(), reload.end());
    EXPECT_EQ(reload, std::vector<std::wstring>({L"b", L"c", L"d", L"old"}));
    const std::map<std::wstring, std::string> onDisk = {
        {L"b", Iso(1, 0)}, {L"c", Iso(2, 0)}, {L"d", Iso(3, 0)}, {L"old", Iso(1, 30)}};
    for (const auto& name : reload)
        IndexPut(index, name, Entry(onDisk.at(name), std::string(name.begin(), name.end())));
    ASSERT_EQ(CollectRecent(index, Time(Iso(1, 0)), out), RecentResult::Ok);
    EXPECT_EQ(Files(out), std::vector<std::string>({"f", "e", "d", "c", "old", "b"}));
}

TEST(Census, DifferencesToLookAtAgain) {
    IncidentIndex index;
    for (const wchar_t* n : {L"same", L"edited", L"lost_file", L"gone", L"grew", L"moved"})
        IndexPut(index, n, Entry(Iso(1, 0), "x", 1));
    ApplyEnumerationOrder(index, {L"same", L"edited", L"lost_file", L"gone", L"grew", L"moved"});
    auto stamp = [&](const wchar_t* n) { return index.entries.at(n).stamp; };

    const std::vector<CensusEntry> census = {
        {L"same", true, stamp(L"same")},    {L"edited", true, FileStamp{stamp(L"edited").size, 2}},
        {L"lost_file", false, FileStamp{}}, {L"grew", true, FileStamp{kMaxIncidentJsonBytes + 1, 1}},
        {L"new", true, FileStamp{10, 1}},   {L"empty_new", false, FileStamp{}},
        {L"moved", true, stamp(L"moved")},
    };
    // The same differences whether compared at once or a slice at a time.
    for (size_t slice : {census.size(), size_t{1}, size_t{3}}) {
        IncidentIndex copy;
        for (const auto& e : index.entries) IndexPut(copy, e.first, Entry(Iso(1, 0), "x", 1));
        ApplyEnumerationOrder(copy, {L"same", L"edited", L"lost_file", L"gone", L"grew", L"moved"});
        CensusDiff d;
        for (size_t b = 0; b < census.size(); b += slice)
            CompareCensusSlice(copy, census, b, std::min(census.size(), b + slice), 7, d);
        CompareUnlisted(copy, 7, d);
        std::sort(d.relook.begin(), d.relook.end());
        EXPECT_EQ(d.relook, std::vector<std::wstring>({L"edited", L"gone", L"grew", L"lost_file", L"new"}))
            << slice;
        // Positions that moved: new (4) and moved (6, was 5) by the census; gone unlisted.
        std::sort(d.ranks.begin(), d.ranks.end());
        EXPECT_EQ(d.ranks, (std::vector<std::pair<std::wstring, uint64_t>>{
                               {L"gone", kUnranked}, {L"grew", 3}, {L"moved", 6}, {L"new", 4}}))
            << slice;
    }
}

// The census is compared a slice at a time while scans change the index in
// between; what it applies afterwards costs the differences, and positions
// from an enumeration newer than the comparison win.
TEST(Census, ComparedInSlicesAndAppliedAsDifferences) {
    IncidentIndex index;
    IndexPut(index, L"a", Entry(Iso(1, 0), "a", 1));
    IndexPut(index, L"c", Entry(Iso(1, 0), "c", 1));
    ApplyEnumerationOrder(index, {L"a", L"c"});
    const std::vector<CensusEntry> census = {{L"a", true, index.entries.at(L"a").stamp},
                                             {L"b", true, FileStamp{5, 1}},
                                             {L"c", true, index.entries.at(L"c").stamp}};
    CensusDiff d;
    CompareCensusSlice(index, census, 0, 2, 1, d);
    // A scan between the slices: b is read (after the census listed it), and
    // a later folder appears that the census did not see.
    IndexPut(index, L"b", Entry(Iso(1, 0), "b", 1));
    IndexPut(index, L"d", Entry(Iso(1, 0), "d", 1));
    CompareCensusSlice(index, census, 2, 3, 1, d);
    CompareUnlisted(index, 1, d);
    d.asciiOrderVerified = true;
    // b (new to the census, and unmarked since: read once more, harmless),
    // d because the census never listed it.
    EXPECT_EQ(std::set<std::wstring>(d.relook.begin(), d.relook.end()), std::set<std::wstring>({L"b", L"d"}));

    IncidentIndex later;  // the same index with a full enumeration since
    for (const wchar_t* n : {L"a", L"b", L"c", L"d"}) IndexPut(later, n, Entry(Iso(1, 0), "x", 1));
    later.enumerations = index.enumerations;
    ApplyEnumerationOrder(later, {L"d", L"c", L"b", L"a"});
    ApplyCensusRanks(later, d);
    EXPECT_EQ(later.entries.at(L"d").rank, 0u);
    EXPECT_FALSE(later.asciiOrderVerified);

    ApplyCensusRanks(index, d);
    EXPECT_EQ(index.entries.at(L"a").rank, 0u);
    EXPECT_EQ(index.entries.at(L"b").rank, 1u);
    EXPECT_EQ(index.entries.at(L"c").rank, 2u);
    EXPECT_EQ(index.entries.at(L"d").rank, kUnranked);
    EXPECT_TRUE(index.asciiOrderVerified);
}

// A listing that failed or was cut short drops nothing and keeps the
// positions; a complete one drops what it did not list.
TEST(IndexEntries, WhatAListingDrops) {
    struct Case {
        const char* what;
        std::vector<std::wstring> present;
        bool complete;
        std::vector<std::wstring> kept;
        uint64_t rankOfB;
    } cases[] = {
        {"complete", {L"b"}, true, {L"b"}, 0},
        {"failed at once", {}, false, {L"a", L"b", L"c"}, 1},
        {"cut short", {L"a"}, false, {L"a", L"b", L"c"}, 1},
    };
    for (const Case& c : cases) {
        IncidentIndex index;
        for (const wchar_t* n : {L"a", L"b", L"c"}) IndexPut(index, n, Entry(Iso(1, 0), "x", 1));
        ApplyEnumerationOrder(index, {L"a", L"b", L"c"});
        IndexAfterListing(index, c.present, c.complete);
        std::vector<std::wstring> kept;
        for (const auto& e : index.entries) kept.push_back(e.first);
        std::sort(kept.begin(), kept.end());
        EXPECT_EQ(kept, c.kept) << c.what;
        EXPECT_EQ(index.entries.at(L"b").rank, c.rankOfB) << c.what;
    }
}

TEST(ReadRetries, KeptForAFewScansThenDropped) {
    ReadRetries r;
    EXPECT_TRUE(RetryRead(r, L"a"));  // first failure: kept, read again next scan
    EXPECT_TRUE(RetryRead(r, L"b"));
    EXPECT_EQ(ReadsToRetry(r), std::vector<std::wstring>({L"a", L"b"}));
    for (uint32_t i = 2; i < kMaxReadAttempts; ++i) EXPECT_TRUE(RetryRead(r, L"a"));
    EXPECT_FALSE(RetryRead(r, L"a"));  // unreadable for good: dropped, as a fresh scan would
    EXPECT_EQ(ReadsToRetry(r), std::vector<std::wstring>({L"b"}));
    ForgetRetry(r, L"b");  // read at last
    EXPECT_TRUE(ReadsToRetry(r).empty());
    EXPECT_TRUE(RetryRead(r, L"a"));  // counted afresh after that

    for (size_t i = 0; r.failures.size() < kMaxReadRetries; ++i) RetryRead(r, std::to_wstring(i));
    EXPECT_FALSE(RetryRead(r, L"one too many"));
    EXPECT_TRUE(RetryRead(r, L"a"));  // already in: still counted
}

namespace {

// One change record, laid out as the system writes it.
void AppendRecord(std::vector<uint8_t>& buf, uint32_t action, const std::wstring& name, bool last,
                  uint32_t claimedBytes = UINT32_MAX) {
    const uint32_t nameBytes = static_cast<uint32_t>(name.size() * 2);
    const uint32_t size = (12 + nameBytes + 3) & ~3u;
    const uint32_t next = last ? 0 : size;
    const uint32_t claimed = claimedBytes == UINT32_MAX ? nameBytes : claimedBytes;
    const size_t at = buf.size();
    buf.resize(at + size, 0);
    std::memcpy(&buf[at], &next, 4);
    std::memcpy(&buf[at + 4], &action, 4);
    std::memcpy(&buf[at + 8], &claimed, 4);
    for (size_t i = 0; i < name.size(); ++i) {
        const uint16_t unit = static_cast<uint16_t>(name[i]);
        std::memcpy(&buf[at + 12 + 2 * i], &unit, 2);
    }
}

std::vector<std::wstring> Names(const std::vector<ChangeRecord>& records) {
    std::vector<std::wstring> names;
    for (const auto& r : records) names.push_back(r.name);
    return names;
}

}  // namespace

TEST(ChangeRecords, NamesAndTheirFolders) {
    std::vector<uint8_t> buf;
    AppendRecord(buf, 1, L"20260314_100000_5", false);
    AppendRecord(buf, 3, L"20260314_100000_5\\incident.json", false);
    AppendRecord(buf, 4, L"caf\xe9\\x", true);
    const std::vector<ChangeRecord> records = ParseChangeRecords(buf.data(), buf.size());
    EXPECT_EQ(Names(records),
              std::vector<std::wstring>(
                  {L"20260314_100000_5", L"20260314_100000_5\\incident.json", L"caf\xe9\\x"}));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].action, 1u);
    EXPECT_EQ(records[2].action, 4u);

    // A name claiming more bytes than there are is cut at the end; a header
    // that does not fit ends the walk; nothing is read outside the buffer.
    std::vector<uint8_t> cut;
    AppendRecord(cut, 1, L"abcd", true, 400);
    EXPECT_EQ(Names(ParseChangeRecords(cut.data(), cut.size())), std::vector<std::wstring>({L"abcd"}));
    EXPECT_TRUE(ParseChangeRecords(buf.data(), 11).empty());
    EXPECT_TRUE(ParseChangeRecords(nullptr, 0).empty());
    std::vector<uint8_t> loop;
    AppendRecord(loop, 1, L"a", false);
    const uint32_t pastEnd = 4096;
    std::memcpy(&loop[0], &pastEnd, 4);
    EXPECT_EQ(Names(ParseChangeRecords(loop.data(), loop.size())), std::vector<std::wstring>({L"a"}));

    // The sync folder going away, and only that, ends the watch.
    struct Removal {
        uint32_t action;
        std::wstring name;
        bool removes;
    } removals[] = {{2, L".vgsync-7", true},  {4, L".vgsync-7", true},   {1, L".vgsync-7", false},
                    {5, L".vgsync-7", false}, {2, L".vgsync-70", false}, {2, L".vgsync-7\\m1", false}};
    for (const Removal& r : removals)
        EXPECT_EQ(RecordsRemove({ChangeRecord{r.action, r.name}}, L".vgsync-7"), r.removes) << r.action;

    struct Case {
        std::wstring relative, top;
    } cases[] = {{L"x", L"x"},
                 {L"x\\incident.json", L"x"},
                 {L"x\\a\\b", L"x"},
                 {L".vgsync-1\\m3", L".vgsync-1"},
                 {L"", L""}};
    for (const Case& c : cases) EXPECT_EQ(TopLevelName(c.relative), c.top);
}

TEST(ScanPlan, HowMuchOfTheDiskToLookAt) {
    struct Case {
        bool built, alive, overflow;
        ScanWork work;
    } cases[] = {
        {false, true, false, ScanWork::FullRefresh},  // first scan under this watch, or a listing failed
        {true, false, false, ScanWork::FullRefresh},  // no watch
        {true, true, true, ScanWork::FullRefresh},    // records lost
        {true, true, false, ScanWork::Barrier},       // edits in place included
    };
    for (const Case& c : cases)
        EXPECT_EQ(ChooseScanWork(c.built, c.alive, c.overflow), c.work) << c.built << c.alive << c.overflow;

    struct Period {
        uint32_t costMs, periodMs;
    } periods[] = {
        {0, kMinCensusPeriodMs}, {3000, kMinCensusPeriodMs}, {4000, 400000}, {100000000, kMaxCensusPeriodMs}};
    for (const Period& p : periods) EXPECT_EQ(CensusPeriodMs(p.costMs), p.periodMs) << p.costMs;

    EXPECT_FALSE(CensusDue(1000, 1000, 5000));
    EXPECT_TRUE(CensusDue(6000, 1000, 5000));
    EXPECT_TRUE(CensusDue(2000, 0xFFFFF000u, 5000));  // across the tick wrap
    EXPECT_FALSE(CensusDue(100, 0xFFFFF000u, 5000));
}

TEST(YoungFolders, LookedAtForAWhileThenForgotten) {
    YoungFolders young;
    MarkYoung(young, L"a", 1000);
    MarkYoung(young, L"b", 20000);
    MarkYoung(young, L"a", 25000);  // keeps its first time
    EXPECT_EQ(YoungToRecheck(young, 30999), std::vector<std::wstring>({L"a", L"b"}));
    EXPECT_EQ(YoungToRecheck(young, 31000), std::vector<std::wstring>({L"b"}));
    ForgetYoung(young, L"b");
    EXPECT_TRUE(YoungToRecheck(young, 31000).empty());

    for (size_t i = 0; i < kMaxYoungFolders + 10; ++i) MarkYoung(young, std::to_wstring(i), 0);
    EXPECT_EQ(young.since.size(), kMaxYoungFolders);
}
