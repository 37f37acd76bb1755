#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "core/text.h"
#include "incidents/incident_scanner.h"
#include "incidents/incident_store.h"

TEST(IncidentJson, GoldenBytes) {
    struct Case {
        const char* what;
        std::string reason;
        int32_t severity;
        bool admin;
        std::wstring folder;
        bool withFile;
        std::wstring file;
        std::string want;
    } cases[] = {
        {"canary hit, lite", "canary_file_touched", 90, false, L"C:\\Users\\user\\Desktop", true,
         L"vellumgard_do_not_touch.txt",
         "{\"ts\":\"2026-03-14T09:26:53\",\"product\":\"Vellumgard\",\"version\":\"Public v1\","
         "\"reason\":\"canary_file_touched\",\"severity\":90,\"mode\":\"lite\","
         "\"folder\":\"C:\\\\Users\\\\user\\\\Desktop\",\"file\":\"vellumgard_do_not_touch.txt\"}"},
        {"process incident, admin", "process_heuristic", 50, true, L"", false, L"",
         "{\"ts\":\"2026-03-14T09:26:53\",\"product\":\"Vellumgard\",\"version\":\"Public v1\","
         "\"reason\":\"process_heuristic\",\"severity\":50,\"mode\":\"admin\"}"},
        {"with file call but empty file", "dir_file_heuristic", 65, false, L"D:\\Work", true, L"",
         "{\"ts\":\"2026-03-14T09:26:53\",\"product\":\"Vellumgard\",\"version\":\"Public v1\","
         "\"reason\":\"dir_file_heuristic\",\"severity\":65,\"mode\":\"lite\",\"folder\":\"D:\\\\Work\"}"},
        {"burst: file ignored without the file variant", "file_burst", -7, false, L"E:\\x", false, L"ignored",
         "{\"ts\":\"2026-03-14T09:26:53\",\"product\":\"Vellumgard\",\"version\":\"Public v1\","
         "\"reason\":\"file_burst\",\"severity\":-7,\"mode\":\"lite\",\"folder\":\"E:\\\\x\"}"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BuildIncidentJson("2026-03-14T09:26:53", c.reason, c.severity, c.admin, c.folder, c.withFile, c.file),
                  c.want)
            << c.what;
    }
}

TEST(IncidentJson, HostileValuesRoundTripThroughTheReader) {
    const std::wstring folder = L"C:\\Odd \"quoted\"\\back\\\\slash\\tab\there\\nl\nx\\\x01\x1f\\caf\xe9\\\x65e5";
    const std::wstring file = L"sub\\\"q\".txt";
    const std::string reason = "weird \"reason\" \\ \n";
    const std::string text = BuildIncidentJson("2026-03-14T09:26:53", reason, 77, false, folder, true, file);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    const IncidentSummary s = ParseIncidentSummary(text);
    EXPECT_EQ(s.ts, "2026-03-14T09:26:53");
    EXPECT_EQ(s.reason, reason);
    EXPECT_EQ(s.severity, 77);
    EXPECT_EQ(s.folder, WideToUtf8(folder));
    EXPECT_EQ(s.file, WideToUtf8(file));
}

TEST(IncidentJson, SummaryFromDamagedFiles) {
    struct Case {
        std::string content;
        std::string ts;
        int32_t severity;
        std::string folder;
    } cases[] = {
        {"", "", 0, ""},
        {"{\"ts\":\"2026-01-01T00:00:00\",\"reason\":\"x\"", "2026-01-01T00:00:00", 0, ""},  // truncated
        {"{\"ts\":\"2026-01-01T00:0", "2026-01-01T00:0", 0, ""},                        // cut inside a string
        {std::string("\x00\xff\xfe{\"severity\":-12}", 18), "", -12, ""},
        {"{\"ts\":\"a\\u0041\\ud83d\\ude00\\uzz\\\"", "aA\xf0\x9f\x98\x80uzz\"", 0, ""},  // pairs, bad hex, no closing quote
        {"{\"severity\":99999999999}", "", 2147483647, ""},   // saturates
        {"{\"severity\":-99999999999}", "", -2147483647 - 1, ""},
        {"{\"folder\":\"C:\\\\Users\\\\user\\\\Desktop\"}", "", 0, "C:\\Users\\user\\Desktop"},
    };
    for (const Case& c : cases) {
        const IncidentSummary s = ParseIncidentSummary(c.content);
        EXPECT_EQ(s.ts, c.ts);
        EXPECT_EQ(s.severity, c.severity);
        EXPECT_EQ(s.folder, c.folder);
    }
}

TEST(ParseIncidentTime, AcceptsWhatTheScannerAccepts) {
    struct Case {
        const char* ts;
        bool ok;
    } cases[] = {
        {"2026-03-14T09:26:53", true},
        {"2026-03-14T09:26:53junk after", true},  // trailing text tolerated
        {" 2026-3-4T9:6:5", true},                // blanks and one-digit fields
        {"2026-13-01T00:00:00", true},            // normalised into the next year
        {"2026-03-14", false},                    // date only
        {"", false},
        {"garbage", false},
        {"26-03-14T09:26:53", false},  // year 26 lies before 1970
        {"-2147483647-01-01T00:00:00", false},  // no overflow on the way to the calendar record
        {"2026--2147483648-01T00:00:00", false},
    };
    for (const Case& c : cases) {
        int64_t t = 0;
        EXPECT_EQ(ParseIncidentTime(c.ts, t), c.ok) << c.ts;
    }
    int64_t a = 0, b = 0;
    ASSERT_TRUE(ParseIncidentTime("2026-03-14T09:26:53", a));
    ASSERT_TRUE(ParseIncidentTime("2026-03-14T09:27:53", b));
    EXPECT_EQ(b - a, 60);
    ASSERT_TRUE(ParseIncidentTime("2026-13-01T00:00:00", a));
    ASSERT_TRUE(ParseIncidentTime("2027-01-01T00:00:00", b));
    EXPECT_EQ(a, b);
}

namespace {
// The literal exchange sort, parsing at every comparison.
void LiteralSort(std::vector<IncidentSummary>& v) {
    for (size_t i = 0; i < v.size(); ++i)
        for (size_t j = i + 1; j < v.size(); ++j) {
            int64_t ti = 0, tj = 0;
            if (!ParseIncidentTime(v[i].ts, ti)) ti = 0;
            if (!ParseIncidentTime(v[j].ts, tj)) tj = 0;
            if (tj > ti) std::swap(v[i], v[j]);
        }
}
}  // namespace

TEST(SortIncidents, NewestFirstInTheExchangeSortOrderTiesIncluded) {
    std::vector<IncidentSummary> three(3);
    three[0].ts = "2026-03-14T10:00:00";
    three[1].ts = "2026-03-14T10:05:00";
    three[2].ts = "2026-03-14T09:55:00";
    SortIncidentsNewestFirst(three);
    EXPECT_EQ(three[0].ts, "2026-03-14T10:05:00");
    EXPECT_EQ(three[1].ts, "2026-03-14T10:00:00");
    EXPECT_EQ(three[2].ts, "2026-03-14T09:55:00");

    // Many equal times: records are told apart by their file, so any
    // difference from the literal algorithm's placement of ties shows.
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        std::vector<IncidentSummary> v(60);
        for (size_t i = 0; i < v.size(); ++i) {
            v[i].ts = "2026-03-14T10:0" + std::to_string(rng() % 4) + ":00";
            v[i].file = std::to_string(i);
        }
        std::vector<IncidentSummary> want = v;
        LiteralSort(want);
        SortIncidentsNewestFirst(v);
        for (size_t i = 0; i < v.size(); ++i) ASSERT_EQ(v[i].file, want[i].file) << "round " << round << " at " << i;
    }
}
