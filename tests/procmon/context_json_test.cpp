#include "procmon/context_json.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "report/report_compose.h"
#include "support/test_support.h"

namespace {

// A fixed, zone-free stand-in for the local-time formatter.
std::string FakeTime(int64_t ms) {
    return "T" + std::to_string(ms);
}

Suspect MakeSuspect(const std::wstring& name, const std::wstring& path, int32_t pid, int32_t points) {
    Suspect s;
    s.process.pid = pid;
    s.process.name = name;
    s.process.path = path;
    s.points = points;
    return s;
}

// Names and paths a hostile program can choose, with their UTF-8 spelling.
struct Hostile {
    const char* label;
    std::wstring wide;
    std::string utf8;
};
const Hostile kHostile[] = {
    {"quote and backslash", L"a\"b\\c.exe", "a\"b\\c.exe"},
    {"control characters", L"x\x01y\tz\n.exe", "x\x01y\tz\n.exe"},
    {"markup", L"</script><b>.exe", "</script><b>.exe"},
    {"accents", L"r\u00e9sum\u00e9.exe", "r\xc3\xa9sum\xc3\xa9.exe"},
    {"outside the BMP", L"\U0001F600.exe", "\xf0\x9f\x98\x80.exe"},
    {"device-style path", L"\\\\?\\C:\\Users\\a\\Downloads\\x.exe", "\\\\?\\C:\\Users\\a\\Downloads\\x.exe"},
};

}  // namespace

// Every member of context.json as a real parser reads it: the suspects in
// rank order (at most five of those given), their evidence, times through
// the formatter ("" for unknown ones), and hostile names and paths intact.
TEST(ContextJson, EveryMemberReadsBackThroughARealParser) {
    SuspectRanking ranking;
    for (size_t i = 0; i < std::size(kHostile); ++i) {
        Suspect s = MakeSuspect(kHostile[i].wide, L"C:\\p\\" + kHostile[i].wide,
                                100 + static_cast<int32_t>(i), 60 - static_cast<int32_t>(i));
        s.process.commandLine = L"\"" + kHostile[i].wide + L"\" --x \"a b\"";
        s.process.startedMs = i == 1 ? 0 : 1000 + static_cast<int64_t>(i);
        s.process.endedMs = i == 2 ? 5000 : 0;
        s.process.score = static_cast<int32_t>(i) * 10;
        s.holdsFile = i == 0;
        s.why = {"why " + kHostile[i].utf8, "second"};
        ranking.suspects.push_back(s);
    }
    const std::string text = BuildContextJson("20260314_120000_77", true, ranking, FakeTime);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line";
    const nlohmann::json doc = nlohmann::json::parse(text);

    EXPECT_EQ(doc["incident"], "20260314_120000_77");
    EXPECT_EQ(doc["unknown"], false);
    EXPECT_EQ(doc["why"], "");
    EXPECT_EQ(doc["holdersKnown"], true);
    ASSERT_EQ(doc["suspects"].size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        const nlohmann::json& s = doc["suspects"][i];
        const std::string& utf8 = kHostile[i].utf8;
        SCOPED_TRACE(kHostile[i].label);
        EXPECT_EQ(s["rank"], i + 1);
        EXPECT_EQ(s["name"], utf8);
        EXPECT_EQ(s["pid"], 100 + i);
        EXPECT_EQ(s["path"], "C:\\p\\" + utf8);
        EXPECT_EQ(s["commandLine"], "\"" + utf8 + "\" --x \"a b\"");
        EXPECT_EQ(s["started"], i == 1 ? std::string() : "T" + std::to_string(1000 + i));
        EXPECT_EQ(s["ended"], i == 2 ? std::string("T5000") : std::string());
        EXPECT_EQ(s["score"], i * 10);
        EXPECT_EQ(s["points"], 60 - static_cast<int>(i));
        EXPECT_EQ(s["holdsFile"], i == 0);
        EXPECT_EQ(s["why"], nlohmann::json::array({"why " + utf8, "second"}));
    }
}

// "unknown": no suspects listed, the reason at the top, whatever the
// ranking left in its list; an empty list counts as unknown too.
TEST(ContextJson, UnknownNamesNobodyAndSaysWhy) {
    struct Case {
        const char* label;
        bool unknown;
        size_t suspects;
        std::string why;
    } const cases[] = {
        {"flagged unknown", true, 0, "no process started in the 10 minutes before the damage"},
        {"flagged unknown with leftovers", true, 2, "only long-running system programs \"svchost\""},
        {"empty list", false, 0, ""},
    };
    for (const Case& c : cases) {
        SuspectRanking ranking;
        ranking.unknown = c.unknown;
        ranking.unknownWhy = c.why;
        for (size_t i = 0; i < c.suspects; ++i)
            ranking.suspects.push_back(MakeSuspect(L"svchost.exe", L"", 4, 1));
        const nlohmann::json doc = nlohmann::json::parse(BuildContextJson("n", false, ranking, FakeTime));
        EXPECT_EQ(doc["unknown"], true) << c.label;
        EXPECT_EQ(doc["why"], c.why) << c.label;
        EXPECT_EQ(doc["holdersKnown"], false) << c.label;
        EXPECT_TRUE(doc["suspects"].empty()) << c.label;

        const std::string members = IncidentContextMembers("n", ranking);
        EXPECT_EQ(members, "\"incident\":\"n\",\"unknown\":true,\"why\":" + nlohmann::json(c.why).dump())
            << c.label;
    }
}

// The members of the "incident_context" line, exactly, and as JSON.
TEST(ContextJson, LogLineMembers) {
    SuspectRanking named;
    named.suspects = {
        MakeSuspect(L"invoice_2024.exe", L"C:\\Users\\a\\Downloads\\invoice_2024.exe", 4242, 70),
        MakeSuspect(L"other.exe", L"C:\\o.exe", 1, 1)};
    SuspectRanking hostile;
    hostile.suspects = {MakeSuspect(L"a\"b.exe", L"C:\\x\ty\\a\"b.exe", 7, 1)};
    struct Case {
        const char* label;
        std::string members;
        std::string expected;
    } const cases[] = {
        {"top suspect", IncidentContextMembers("20260314_1", named),
         "\"incident\":\"20260314_1\",\"name\":\"invoice_2024.exe\",\"pid\":4242,"
         "\"path\":\"C:\\\\Users\\\\a\\\\Downloads\\\\invoice_2024.exe\""},
        {"hostile top suspect", IncidentContextMembers("i\"1", hostile),
         "\"incident\":\"i\\\"1\",\"name\":\"a\\\"b.exe\",\"pid\":7,\"path\":\"C:\\\\x\\ty\\\\a\\\"b.exe\""},
        {"error", IncidentContextErrorMembers("20260314_1", "context.json could not be written"),
         "\"incident\":\"20260314_1\",\"error\":\"context.json could not be written\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.members, c.expected) << c.label;
        EXPECT_TRUE(IsValidJson("{" + c.members + "}")) << c.label;
    }
}

// What the report reads back is what the worker wrote, hostile text included.
TEST(ContextJson, TheReportReadsTheTopSuspectBack) {
    for (const Hostile& h : kHostile) {
        SuspectRanking ranking;
        Suspect top = MakeSuspect(h.wide, L"D:\\" + h.wide, 9, 50);
        top.why = {"started 3 s before the first change", h.utf8};
        ranking.suspects = {top, MakeSuspect(L"second.exe", L"C:\\second.exe", 10, 20)};
        LikelySource source;
        ASSERT_TRUE(ParseLikelySource(BuildContextJson("n", false, ranking, FakeTime), source)) << h.label;
        EXPECT_FALSE(source.unknown) << h.label;
        EXPECT_EQ(source.name, h.utf8) << h.label;
        EXPECT_EQ(source.path, "D:\\" + h.utf8) << h.label;
        EXPECT_EQ(source.why, std::vector<std::string>({"started 3 s before the first change", h.utf8}))
            << h.label;
    }
    SuspectRanking unknown;
    unknown.unknown = true;
    unknown.unknownWhy = "nothing started recently";
    LikelySource source;
    ASSERT_TRUE(ParseLikelySource(BuildContextJson("n", true, unknown, FakeTime), source));
    EXPECT_TRUE(source.unknown);
    EXPECT_EQ(source.why, std::vector<std::string>({"nothing started recently"}));
}

TEST(ContextJson, DamageStartsWhereTheReasonSays) {
    struct Case {
        const char* reason;
        int32_t burstWindowSeconds;
        int64_t expected;
    } const cases[] = {
        {"file_burst", 30, 1'000'000 - 30'000},  {"file_burst", 5, 1'000'000 - 5'000},
        {"file_burst", 0, 1'000'000 - 30'000},  // 0 or below: the default window
        {"file_burst", -4, 1'000'000 - 30'000},  {"encrypted_content", 30, 1'000'000 - 60'000},
        {"mass_rename", 30, 1'000'000 - 60'000}, {"canary_file_touched", 30, 1'000'000},
        {"dir_file_heuristic", 30, 1'000'000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DamageStartMs(c.reason, 1'000'000, c.burstWindowSeconds), c.expected)
            << c.reason << " " << c.burstWindowSeconds;
}

TEST(ContextJson, FolderNamesAndUserFolders) {
    struct NameCase {
        std::wstring path, name;
    } const names[] = {
        {L"C:\\Data\\Incidents\\20260314_120000_77", L"20260314_120000_77"},
        {L"C:\\Data\\Incidents\\20260314_120000_77_2\\", L"20260314_120000_77_2"},
        {L"D:/x/y", L"y"},
        {L"plain", L"plain"},
        {L"", L""},
    };
    for (const NameCase& c : names) EXPECT_EQ(LastPathComponent(c.path), c.name);

    const std::vector<std::wstring> folders =
        UserWritableFolders({L"C:\\Users\\a\\Downloads", L"", L"C:\\Users\\a\\AppData\\Local\\Temp\\",
                             L"c:\\users\\A\\downloads\\", L"C:\\Users\\a\\AppData\\Local\\Temp", L"C:\\",
                             L"C:\\Users\\a\\Desktop//"});
    EXPECT_EQ(folders,
              std::vector<std::wstring>({L"C:\\Users\\a\\Downloads", L"C:\\Users\\a\\AppData\\Local\\Temp",
                                         L"C:\\", L"C:\\Users\\a\\Desktop"}));
}
