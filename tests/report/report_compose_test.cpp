#include "report/report_compose.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "report/incident_explanations.h"
#include "report_sample.h"

namespace {

size_t Count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// A strict reading of the page: tags nest and close in order (meta is the only
// void element used), no '<' or '>' stands outside a tag, every '&' starts one
// of the entities the page uses. Returns the first problem, or "".
std::string CheckMarkup(const std::string& doc) {
    static const char* const kEntities[] = {"&quot;", "&amp;", "&#39;", "&lt;", "&gt;", "&nbsp;"};
    std::vector<std::string> open;
    size_t i = 0;
    if (doc.compare(0, 16, "<!doctype html>\n") != 0) return "no doctype";
    i = 16;
    while (i < doc.size()) {
        const char c = doc[i];
        if (c == '&') {
            bool known = false;
            for (const char* e : kEntities) known = known || doc.compare(i, std::strlen(e), e) == 0;
            if (!known) return "bare ampersand at " + std::to_string(i);
        } else if (c == '>') {
            return "stray > at " + std::to_string(i);
        } else if (c == '<') {
            const size_t close = doc.find('>', i);
            if (close == std::string::npos) return "unterminated tag at " + std::to_string(i);
            const std::string tag = doc.substr(i + 1, close - i - 1);
            if (tag.find('<') != std::string::npos) return "< inside tag at " + std::to_string(i);
            if (Count(tag, "\"") % 2 != 0) return "unbalanced quotes in <" + tag + ">";
            if (tag[0] == '/') {
                if (open.empty() || open.back() != tag.substr(1))
                    return "mismatched </" + tag.substr(1) + ">";
                open.pop_back();
            } else {
                const std::string name = tag.substr(0, tag.find_first_of(" /"));
                if (name.empty() ||
                    name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789") != std::string::npos)
                    return "bad tag <" + tag + ">";
                if (name != "meta") open.push_back(name);
            }
            i = close + 1;
            if (tag == "style") {  // raw text up to its end tag
                i = doc.find("</style>", i);
                if (i == std::string::npos) return "unterminated style";
            }
            continue;
        }
        ++i;
    }
    if (!open.empty()) return "unclosed <" + open.back() + ">";
    return "";
}

IncidentSummary Incident(int32_t severity, const std::string& reason = "file_burst") {
    return {"2026-03-14T10:00:00", reason, severity, "", "", ""};
}

// The status card's badge and counts line as the page spells them.
std::string StatusLines(const char* cls, const char* label, int c, int h, int m, int l) {
    return std::string("<span class=\"badge ") + cls + "\">" + label +
           "</span>\n<span class=\"small\">Critical: " + std::to_string(c) +
           " &nbsp; High: " + std::to_string(h) + " &nbsp; Medium: " + std::to_string(m) +
           " &nbsp; Low: " + std::to_string(l) + "</span>\n";
}

const char kNoIncidents[] =
    "<div class=\"small\" style=\"margin-top:10px;\">No incidents recorded in the last 24 hours.</div>\n";

}  // namespace

TEST(HtmlEscape, ReplacesFiveCharactersAndCopiesEveryOtherByte) {
    struct Case {
        std::string in, out;
    } const cases[] = {
        {"", ""},
        {"\"&'<>", "&quot;&amp;&#39;&lt;&gt;"},
        {"&amp;", "&amp;amp;"},
        {"<script>alert('x')</script>", "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"},
        {std::string("a\0b\x01\t\r\n\x7f", 8), std::string("a\0b\x01\t\r\n\x7f", 8)},
        {"Wi\xE2\x80\x91"
         "Fi \xC3\xA9 \xFF\xFE",
         "Wi\xE2\x80\x91"
         "Fi \xC3\xA9 \xFF\xFE"},
    };
    for (const Case& c : cases) EXPECT_EQ(HtmlEscape(c.in), c.out);
}

// Chunk boundaries must not matter: every case is fed whole, split at every
// position, and byte by byte.
TEST(LogTail, SplitsLinesTheSameWhereverTheChunksEnd) {
    using Lines = std::vector<std::string>;
    struct Case {
        std::string bytes;
        Lines lines;
    } const cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\n", {"a"}},
        {"\n", {""}},
        {"\n\n", {"", ""}},
        {"a\r\n\r\nb\r", {"a", "", "b"}},
        {"a\r\r\n", {"a\r"}},
        {"x\ry\nz", {"x\ry", "z"}},
        {"\r", {""}},
        {"{\"t\":\"<a & b>\"}\r\nlast", {"{\"t\":\"<a & b>\"}", "last"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.bytes));
        for (size_t split = 0; split <= c.bytes.size(); ++split) {
            LogTailCollector collector;
            FeedLogTail(collector, c.bytes.data(), split);
            FeedLogTail(collector, c.bytes.data() + split, c.bytes.size() - split);
            EXPECT_EQ(FinishLogTail(collector), c.lines) << "split at " << split;
        }
        LogTailCollector bytewise;
        for (char ch : c.bytes) FeedLogTail(bytewise, &ch, 1);
        EXPECT_EQ(FinishLogTail(bytewise), c.lines);
    }
}

TEST(LogTail, KeepsTheNewest200InFileOrderWhileHoldingAtMost600) {
    for (const int total : {5, 200, 201, 600, 601, 1000, 4321}) {
        SCOPED_TRACE(total);
        LogTailCollector collector;
        size_t most = 0;
        for (int i = 0; i < total; ++i) {
            const std::string line = "line " + std::to_string(i) + "\r\n";
            FeedLogTail(collector, line.data(), line.size());
            most = std::max(most, collector.lines.size());
        }
        EXPECT_LE(most, 600u);
        const std::vector<std::string> tail = FinishLogTail(collector);
        const int first = std::max(0, total - 200);
        ASSERT_EQ(tail.size(), size_t(total - first));
        for (size_t k = 0; k < tail.size(); ++k) EXPECT_EQ(tail[k], "line " + std::to_string(first + int(k)));
    }
}

TEST(ReportLocation, JoinsFolderAndFileWithOneBackslash) {
    struct Case {
        const char* folder;
        const char* file;
        const char* location;
    } const cases[] = {
        {"C:\\Users\\a\\Documents", "x.txt", "C:\\Users\\a\\Documents\\x.txt"},
        {"C:\\Users\\a\\Documents\\", "x.txt", "C:\\Users\\a\\Documents\\x.txt"},
        {"D:/share/", "x.txt", "D:/share/x.txt"},
        {"", "x.txt", "x.txt"},
        {"C:\\Users\\a", "", "C:\\Users\\a"},
        {"", "", ""},
        {"C:\\a", "sub\\x.txt", "C:\\a\\sub\\x.txt"},
    };
    for (const Case& c : cases) {
        const IncidentSummary inc{"t", "r", 1, c.folder, c.file, ""};
        EXPECT_EQ(IncidentLocation(inc), c.location);
    }
    ReportInputs in;
    in.incidents = {{"2026-03-14T10:00:00", "file_burst", 80, "", "", ""}};
    EXPECT_EQ(ComposeReport(in).find("Location:"), std::string::npos);
}

TEST(ComposeReport, StatusFollowsTheMostSevereBandPresent) {
    struct Case {
        std::vector<int32_t> severities;
        std::string status;
    } const cases[] = {
        {{}, StatusLines("ok", "All clear", 0, 0, 0, 0)},
        {{10, 49, -3}, StatusLines("ok", "All clear", 0, 0, 0, 3)},
        {{50, 79, 0}, StatusLines("med", "Warnings", 0, 0, 2, 1)},
        {{60, 85, 89}, StatusLines("high", "Attention needed", 0, 2, 1, 0)},
        {{85, 95}, StatusLines("critical", "Critical alerts", 1, 1, 0, 0)},
        {{90, 90, 80, 50, 49}, StatusLines("critical", "Critical alerts", 2, 1, 1, 1)},
    };
    for (const Case& c : cases) {
        ReportInputs in;
        for (int32_t s : c.severities) in.incidents.push_back(Incident(s));
        const std::string doc = ComposeReport(in);
        EXPECT_NE(doc.find(c.status), std::string::npos) << ::testing::PrintToString(c.severities);
        EXPECT_EQ(Count(doc, "<div class=\"card icard\""), c.severities.size());
    }
}

TEST(ComposeReport, EmptyDayShowsGeneralStepsAndNoLog) {
    ReportInputs in;
    in.generated = "2026-03-14T18:30:05";
    const std::string doc = ComposeReport(in);
    EXPECT_EQ(Count(doc, kNoIncidents), 2u);
    EXPECT_NE(doc.find("<b>Recommended next steps:</b></div>\n" + GeneralStepsHtml() + "\n</div>\n"),
              std::string::npos);
    EXPECT_EQ(doc.find("Most likely cause"), std::string::npos);
    EXPECT_NE(doc.find("<div class=\"k\">Recent log lines</div>\n<div class=\"sub\">No log entries "
                       "yet.</div>\n</div>\n"),
              std::string::npos);
    EXPECT_EQ(doc.find("<pre>"), std::string::npos);
    EXPECT_NE(
        doc.find(
            "Generated: 2026-03-14T18:30:05 &nbsp; Version: Public v1 &nbsp; Mode: Lite (non-admin)</div>"),
        std::string::npos);
    in.isAdmin = true;
    EXPECT_NE(ComposeReport(in).find("&nbsp; Mode: Elevated (admin)</div>"), std::string::npos);
    EXPECT_EQ(CheckMarkup(doc), "");
}

TEST(ComposeReport, StatusCardExplainsTheTopIncident) {
    ReportInputs in;
    in.incidents = {Incident(85, "process_heuristic"), Incident(95, "canary_file_touched"),
                    Incident(95, "file_burst")};
    const std::string doc = ComposeReport(in);
    EXPECT_NE(doc.find("<b>Most likely cause:</b> " + LikelyCause("canary_file_touched") + "</div>\n"),
              std::string::npos);
    EXPECT_NE(doc.find("<b>Recommended next steps:</b></div>\n" + IncidentStepsHtml(in.incidents[1]) +
                       "\n</div>\n"),
              std::string::npos);
    EXPECT_EQ(Count(doc, kNoIncidents), 0u);
    // Cards keep list order.
    const size_t process = doc.find("<h3>Suspicious process behavior detected</h3>");
    const size_t canary = doc.find("<h3>High-confidence alert: Canary file changed</h3>");
    const size_t burst = doc.find("<h3>Mass file changes detected (possible ransomware pattern)</h3>");
    EXPECT_LT(process, canary);
    EXPECT_LT(canary, burst);
    EXPECT_NE(burst, std::string::npos);
    EXPECT_NE(doc.find("<span class=\"badge high\">High (85)</span>"), std::string::npos);
}

TEST(ComposeReport, LogCardAlwaysSays200AndShowsEachLineEscaped) {
    ReportInputs in;
    in.logTail = {"{\"a\":\"<b>\"}", "", "x & y"};
    const std::string doc = ComposeReport(in);
    EXPECT_NE(
        doc.find("<summary>Show last 200 lines</summary>\n"
                 "<div class=\"sub\" style=\"margin-top:6px;\">From <code>Vellumgard.log.jsonl</code></div>\n"
                 "<pre>{&quot;a&quot;:&quot;&lt;b&gt;&quot;}\n\nx &amp; y\n</pre>\n</details>\n</div>\n"),
        std::string::npos);
    EXPECT_EQ(doc.find("No log entries yet."), std::string::npos);
}

// A tail that spans the previous and the current log names both; a half-named
// pair falls back to the usual label.
TEST(ComposeReport, LogCardNamesBothFilesWhenTheTailSpansTwo) {
    ReportInputs in;
    in.logTail = {"old", "new"};
    in.logTailFiles = {"Vellumgard.log.1.jsonl", "Vellumgard.log.jsonl"};
    EXPECT_NE(ComposeReport(in).find("From <code>Vellumgard.log.1.jsonl</code> and "
                                     "<code>Vellumgard.log.jsonl</code></div>\n<pre>old\nnew\n</pre>"),
              std::string::npos);
    in.logTailFiles = {"", ""};
    EXPECT_NE(ComposeReport(in).find("From <code>Vellumgard.log.jsonl</code></div>\n<pre>old\nnew\n</pre>"),
              std::string::npos);
}

// Every text that comes from outside is escaped wherever it enters the page.
TEST(ComposeReport, OutsideTextIsEscapedEverywhere) {
    const std::string hostile = "<script>\"'&</script>";
    const std::string escaped = "&lt;script&gt;&quot;&#39;&amp;&lt;/script&gt;";
    ReportInputs in;
    in.generated = "G" + hostile;
    in.incidents = {{"T" + hostile, "R" + hostile, 50, "D" + hostile, "F" + hostile, ""}};
    in.logTail = {"L" + hostile};
    in.dataDir = "P" + hostile;
    in.logFile = "Q" + hostile;
    in.configFile = "S" + hostile;
    const std::string doc = ComposeReport(in);
    EXPECT_EQ(doc.find("<script"), std::string::npos);
    EXPECT_EQ(doc.find('\''), std::string::npos);
    struct Case {
        const char* marker;
        size_t times;
    } const cases[] = {
        {"G", 1}, {"T", 1}, {"R", 1}, {"L", 1},
        {"P", 1}, {"Q", 1}, {"S", 1}, {"D", 2},  // Location and Folder row
        {"F", 2},                                // Location and File row
    };
    for (const Case& c : cases) EXPECT_EQ(Count(doc, c.marker + escaped), c.times) << c.marker;
    EXPECT_NE(doc.find("Location: <code>D" + escaped + "\\F" + escaped + "</code>"), std::string::npos);
    EXPECT_EQ(CheckMarkup(doc), "");
}

// The whole page for a fixed day, byte for byte. Regenerate the golden file
// with report_sample (tests/report) after an intended change, and review it.
TEST(ComposeReport, SampleDayMatchesTheGoldenFile) {
    std::ifstream file("golden/report_sample.html", std::ios::binary);
    ASSERT_TRUE(file.is_open()) << "golden/report_sample.html next to the test program";
    std::stringstream golden;
    golden << file.rdbuf();
    const std::string doc = ComposeReport(SampleReportInputs());
    EXPECT_EQ(doc, golden.str());
    EXPECT_EQ(CheckMarkup(doc), "");
    EXPECT_EQ(doc.find('\r'), std::string::npos);
    EXPECT_EQ(doc.back(), '\n');
}

// What the report reads back from an incident's context.json: the top suspect
// (the first of the list, whatever order the members come in), or "unknown"
// with its reason; anything cut short, malformed or naming neither is refused.
TEST(LikelySource, ReadsTheTopSuspectOrUnknownAndRefusesAnythingElse) {
    struct Read {
        const char* label;
        std::string json;
        bool unknown;
        std::string name, path;
        std::vector<std::string> why;
    } const reads[] = {
        {"top of two",
         "{\"incident\":\"x\",\"unknown\":false,\"why\":\"\",\"holdersKnown\":false,\"suspects\":["
         "{\"rank\":1,\"name\":\"invoice_2024.exe\",\"pid\":7,"
         "\"path\":\"C:\\\\Users\\\\a\\\\Downloads\\\\invoice_2024.exe\","
         "\"why\":[\"started 4 s before the first change\",\"runs from Downloads\"]},"
         "{\"rank\":2,\"name\":\"other.exe\",\"path\":\"C:\\\\other.exe\",\"why\":[\"x\"]}]}\n",
         false,
         "invoice_2024.exe",
         "C:\\Users\\a\\Downloads\\invoice_2024.exe",
         {"started 4 s before the first change", "runs from Downloads"}},
        {"escapes and a surrogate pair",
         "{\"unknown\":false,\"suspects\":[{\"name\":\"a\\\"b\\u00e9\\ud83d\\ude00\\/\","
         "\"path\":\"\\\\\\\\?\\\\x\\ty\",\"why\":[]}]}",
         false,
         "a\"b\xc3\xa9\xf0\x9f\x98\x80/",
         "\\\\?\\x\ty",
         {}},
        {"suspects before unknown, unknown members skipped",
         " {\"suspects\" : [ {\"extra\":{\"a\":[1,-2.5e3,{\"b\":null}],\"c\":true},\"name\":\"n.exe\","
         "\"path\":\"\"} ] , \"unknown\" : false } ",
         false,
         "n.exe",
         "",
         {}},
        {"unknown with its reason",
         "{\"incident\":\"x\",\"unknown\":true,"
         "\"why\":\"nothing started in the last 10 minutes\",\"suspects\":[]}",
         true,
         "",
         "",
         {"nothing started in the last 10 minutes"}},
        {"unknown without a reason", "{\"unknown\":true,\"suspects\":[]}", true, "", "", {}},
    };
    for (const Read& r : reads) {
        LikelySource source;
        ASSERT_TRUE(ParseLikelySource(r.json, source)) << r.label;
        EXPECT_EQ(source.unknown, r.unknown) << r.label;
        EXPECT_EQ(source.name, r.name) << r.label;
        EXPECT_EQ(source.path, r.path) << r.label;
        EXPECT_EQ(source.why, r.why) << r.label;
    }

    struct Refused {
        const char* label;
        std::string json;
    } const refused[] = {
        {"neither a suspect nor unknown", "{\"unknown\":false,\"why\":\"\",\"suspects\":[]}"},
        {"no unknown member", "{\"suspects\":[{\"name\":\"a.exe\",\"path\":\"p\",\"why\":[]}]}"},
        {"a suspect with neither name nor path", "{\"unknown\":false,\"suspects\":[{\"pid\":3}]}"},
        {"cut short inside a string", "{\"unknown\":false,\"suspects\":[{\"name\":\"inv"},
        {"cut short after the list", "{\"unknown\":false,\"suspects\":[{\"name\":\"a\"}]"},
        {"bad escape", "{\"unknown\":true,\"why\":\"\\u12G4\",\"suspects\":[]}"},
        {"trailing garbage", "{\"unknown\":true,\"suspects\":[]}x"},
        {"why not an array of strings", "{\"unknown\":false,\"suspects\":[{\"name\":\"a\",\"why\":[1]}]}"},
        {"too deep", "{\"unknown\":true,\"x\":" + std::string(40, '[') + std::string(40, ']') + "}"},
        {"an array", "[]"},
        {"empty", ""},
    };
    for (const Refused& r : refused) {
        LikelySource source;
        source.name = "untouched";
        EXPECT_FALSE(ParseLikelySource(r.json, source)) << r.label;
        EXPECT_EQ(source.name, "untouched") << r.label;
    }
}

// The "Likely source" row: exactly for the incidents the inputs hold a source
// for (by folder name), last among the technical details, escaped; an
// incident without one (no context.json yet, or the setting off) has no row.
TEST(ComposeReport, LikelySourceRowOnlyWhereAContextWasRead) {
    std::vector<IncidentSummary> incidents = {
        {"2026-03-14T12:00:03", "canary_file_touched", 90, "C:\\Docs", "vellumgard_do_not_touch.txt",
         "inc_a"},
        {"2026-03-14T12:00:02", "file_burst", 80, "C:\\Docs", "", "inc_b"},
        {"2026-03-14T12:00:01", "dir_file_heuristic", 65, "C:\\Docs", "READ<ME>.txt", "inc_c"},
        {"2026-03-14T12:00:00", "process_heuristic", 75, "", "", ""},
    };
    ReportInputs in;
    in.incidents = incidents;
    const std::string without = ComposeReport(in);
    EXPECT_EQ(without.find("Likely source"), std::string::npos);

    LikelySource named;
    named.name = "invoice_2024.exe";
    named.path = "C:\\Users\\Ana & <Co>\\Downloads\\invoice_2024.exe";
    named.why = {"started 2 s before the first change", "runs from a user folder"};
    LikelySource unknown;
    unknown.unknown = true;
    unknown.why = {"only long-running system programs"};
    in.likelySources = {{"inc_a", named}, {"inc_c", unknown}, {"", named}, {"gone", named}};
    const std::string doc = ComposeReport(in);
    EXPECT_EQ(CheckMarkup(doc), "");

    struct Row {
        size_t incident;
        std::string row;  // "" for none
    } const rows[] = {
        {0,
         "<div class=\"k\">Likely source</div><div class=\"v\">invoice_2024.exe (C:\\Users\\Ana &amp; "
         "&lt;Co&gt;"
         "\\Downloads\\invoice_2024.exe): started 2 s before the first change; runs from a user "
         "folder</div>\n"},
        {1, ""},
        {2,
         "<div class=\"k\">Likely source</div><div class=\"v\">unknown: only long-running system "
         "programs</div>\n"},
        {3, ""},
    };
    size_t from = 0;
    for (const Row& r : rows) {
        const size_t card = doc.find("Time: " + incidents[r.incident].ts, from);
        ASSERT_NE(card, std::string::npos) << r.incident;
        const size_t end = doc.find("</details>", card);
        const std::string details = doc.substr(card, end - card);
        from = end;
        if (r.row.empty()) {
            EXPECT_EQ(details.find("Likely source"), std::string::npos) << r.incident;
            continue;
        }
        // Last row: right before the end of the key-value grid.
        EXPECT_EQ(details.size() - details.rfind(r.row), r.row.size() + std::strlen("</div>\n")) << details;
    }
    // Apart from the two rows, the page is the one without sources.
    std::string stripped = doc;
    for (const Row& r : rows)
        if (!r.row.empty()) stripped.erase(stripped.find(r.row), r.row.size());
    EXPECT_EQ(stripped, without);
}
