// The ranking of suspects over situations that mislead a naive rule: a
// harmless program started after the culprit, a culprit older than the
// memory, damage by an old trusted process, a holder of the file, equals.
#include "procmon/culprit_ranking.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr int64_t kSec = 1000;
constexpr int64_t kMin = 60 * kSec;
constexpr int64_t kDamage = 1700000000000LL;  // the first change, in every case
constexpr int64_t kNoEnd = 0;

const std::wstring kDownloads = L"C:\\users\\ann\\Downloads";
const std::wstring kTemp = L"C:\\users\\ann\\AppData\\Local\\Temp";
const std::wstring kProgramFiles = L"C:\\Program Files\\Vendor";
const std::wstring kSystem32 = L"C:\\Windows\\System32";

// A process started `startOffset` ms from the first change (negative: before).
RememberedProcess Proc(int32_t pid, const std::wstring& name, const std::wstring& folder, int64_t startOffset,
                       int64_t endOffset = kNoEnd, int32_t score = 0) {
    RememberedProcess p;
    p.pid = pid;
    p.name = name;
    p.path = folder + L"\\" + name;
    p.commandLine = L"\"" + p.path + L"\"";
    p.startedMs = kDamage + startOffset;
    p.seenMs = p.startedMs + 300;
    p.endedMs = endOffset == kNoEnd ? 0 : kDamage + endOffset;
    p.score = score;
    return p;
}

SuspectQuery Query(std::vector<RememberedProcess> recent) {
    SuspectQuery q;
    q.recent = std::move(recent);
    q.damageStartMs = kDamage;
    q.incidentMs = kDamage;
    q.memoryStartMs = kDamage - 60 * kMin;
    q.userWritableFolders = {kDownloads, kTemp, L"C:\\users\\ann\\AppData\\Roaming",
                             L"C:\\users\\ann\\Desktop"};
    q.systemFolder = L"C:\\Windows";
    return q;
}

std::vector<std::string> Names(const SuspectRanking& r) {
    std::vector<std::string> out;
    for (const Suspect& s : r.suspects) out.emplace_back(s.process.name.begin(), s.process.name.end());
    return out;
}

std::string AllWhy(const Suspect& s) {
    std::string out;
    for (const std::string& w : s.why) out += w + " | ";
    return out;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(RankSuspects, HardSituations) {
    struct Case {
        const char* what;
        SuspectQuery query;
        bool unknown;
        std::vector<std::string> names;   // the suspects, best first (all of them)
        std::vector<std::string> topWhy;  // parts of the top suspect's reasons, or of unknownWhy
        // The names come from start times and folders alone: with extendedDetection
        // (a second fact needed) nobody is named.
        bool timingAlone = false;
    };
    std::vector<Case> cases;

    cases.push_back(
        {"a harmless program from Downloads started after the culprit",
         Query({Proc(10, L"invoice_2024.exe", kDownloads, -20 * kSec),
                Proc(11, L"unzip_helper.exe", kDownloads, 5 * kSec)}),
         false,
         {"invoice_2024.exe"},
         {"started 20 s before the first change", "runs from Downloads", "named like a document"}});

    {
        // A burst: the first change lies somewhere in the 30 s before the incident.
        SuspectQuery q = Query({Proc(20, L"tool.exe", kDownloads, -20 * kSec),
                                Proc(21, L"viewer.exe", kDownloads, -10 * kSec),
                                Proc(22, L"late.exe", kDownloads, 15 * kSec)});
        q.damageStartMs = kDamage - 30 * kSec;
        q.incidentMs = kDamage;
        cases.push_back(
            {"a burst: both started inside its window, the earlier one first",
             q,
             false,
             {"tool.exe", "viewer.exe"},
             {"20 s before the incident, when the changes may already have begun", "level with viewer.exe"},
             true});
    }

    cases.push_back({"a culprit started long before the damage, still remembered",
                     Query({Proc(30, L"payment.exe", kTemp, -9 * kMin)}),
                     false,
                     {"payment.exe"},
                     {"started 9 min before the first change", "runs from Temp"}});

    {
        SuspectQuery q = Query({Proc(40, L"notepad.exe", kSystem32, -15 * kSec)});
        q.memoryStartMs = kDamage - 20 * kSec;
        cases.push_back({"the culprit predates the memory: a trusted start alone names nobody",
                         q,
                         true,
                         {},
                         {"notepad.exe", "remembered only from 20 s before the first change",
                          "may have started before that"}});
    }

    cases.push_back({"damage by an old trusted process: the recent starts are all weak",
                     Query({Proc(50, L"SearchProtocolHost.exe", kSystem32, -3 * kMin),
                            Proc(51, L"updater.exe", kProgramFiles, -6 * kMin)}),
                     true,
                     {},
                     {"Nothing points clearly at one program", "more than 10 min before the first change"}});

    {
        SuspectQuery q = Query({Proc(60, L"invoice.exe", kDownloads, -5 * kSec, kNoEnd, 90)});
        q.holdersKnown = true;
        RememberedProcess holder = Proc(61, L"backup.exe", kProgramFiles, -2 * 60 * kMin);
        q.holders = {holder};
        cases.push_back({"a holder of the file beats a start with more points",
                         q,
                         false,
                         {"backup.exe", "invoice.exe"},
                         {"holds the touched file open", "2 h before the first change"}});
    }

    {
        SuspectQuery q = Query({Proc(70, L"sync.exe", kProgramFiles, -30 * kSec)});
        q.holdersKnown = true;
        RememberedProcess holder;
        holder.pid = 70;
        holder.name = L"sync.exe";
        q.holders = {holder};
        cases.push_back({"a holder that is a remembered start is one suspect",
                         q,
                         false,
                         {"sync.exe"},
                         {"holds the touched file open", "started 30 s before the first change"}});
    }

    {
        // pid 80 ended before the damage; the holder with pid 80 is a later process.
        SuspectQuery q = Query({Proc(80, L"gone.exe", kDownloads, -50 * kSec, -40 * kSec)});
        q.holdersKnown = true;
        q.holders = {Proc(80, L"editor.exe", kProgramFiles, -10 * kSec)};
        cases.push_back({"a holder with a pid given out again is not the ended start",
                         q,
                         false,
                         {"editor.exe"},
                         {"holds the touched file open"}});
    }

    cases.push_back(
        {"several equal candidates: by start, then pid, and each says so",
         Query({Proc(30, L"a.exe", kProgramFiles, -40 * kSec), Proc(20, L"b.exe", kProgramFiles, -40 * kSec),
                Proc(10, L"c.exe", kProgramFiles, -35 * kSec)}),
         false,
         {"b.exe", "a.exe", "c.exe"},
         {"level with a.exe, c.exe"},
         true});

    {
        SuspectQuery q = Query({});
        cases.push_back({"nothing remembered",
                         q,
                         true,
                         {},
                         {"No program was seen starting in the 10 min before", "could not be listed here"}});
    }

    cases.push_back({"a program that ended before the first change is not the one",
                     Query({Proc(90, L"invoice.exe", kDownloads, -60 * kSec, -30 * kSec),
                            Proc(91, L"worker.exe", kProgramFiles, -50 * kSec)}),
                     false,
                     {"worker.exe"},
                     {"started 50 s before the first change", "is still running"},
                     true});

    {
        RememberedProcess unseen = Proc(95, L"quick.exe", kProgramFiles, 0);
        unseen.startedMs = 0;
        unseen.seenMs = kDamage - 5 * kSec;
        cases.push_back({"no creation time: when it was noticed is the latest it started",
                         Query({unseen}),
                         false,
                         {"quick.exe"},
                         {"was noticed starting 5 s before the first change"},
                         true});
    }

    {
        SuspectQuery q = Query({Proc(100, L"fresh.exe", kDownloads, -5 * kSec)});
        q.memoryStartMs = kDamage - 2 * kMin;
        cases.push_back(
            {"a named suspect says how far back the memory reaches",
             q,
             false,
             {"fresh.exe"},
             {"remembered only from 2 min before the first change", "an older program would not show here"},
             true});
    }

    for (const bool extended : {false, true}) {
        for (const Case& c : cases) {
            SuspectQuery query = c.query;
            query.needsSecondFact = extended;
            query.suspiciousScore = 60;
            const bool unknown = c.unknown || (extended && c.timingAlone);
            const std::string what = std::string(c.what) + (extended ? " (second fact needed)" : "");
            const SuspectRanking r = RankSuspects(query);
            EXPECT_EQ(r.unknown, unknown) << what << ": " << r.unknownWhy;
            EXPECT_EQ(Names(r), unknown ? std::vector<std::string>() : c.names) << what;
            const std::string why = r.unknown ? r.unknownWhy : r.suspects.empty() ? "" : AllWhy(r.suspects[0]);
            if (unknown == c.unknown) {
                for (const std::string& part : c.topWhy) EXPECT_TRUE(Contains(why, part)) << what << ": " << why;
            } else {
                EXPECT_TRUE(Contains(why, "name no program alone")) << what << ": " << why;
            }
            if (r.unknown) {
                EXPECT_TRUE(r.suspects.empty()) << what;
            } else {
                EXPECT_TRUE(r.unknownWhy.empty()) << what;
                for (const Suspect& s : r.suspects) EXPECT_FALSE(s.why.empty()) << what;
            }
        }
    }
}

// A per-user sync client started 40 s before the damage from AppData: its
// start and its folder give it 58 points, enough to be named on timing alone.
// With the second fact needed it is named only with one more fact.
TEST(RankSuspects, SyncClientNeedsASecondFact) {
    const std::wstring appDataLocal = L"C:\\users\\ann\\AppData\\Local";
    struct Case {
        const char* what;
        int32_t score;
        std::wstring name;
        bool holds, wrote;
        bool named;
    } cases[] = {
        {"start and user folder only", 10, L"SyncClient.exe", false, false, false},
        {"a score just below the threshold", 59, L"SyncClient.exe", false, false, false},
        {"a score at the threshold", 60, L"SyncClient.exe", false, false, true},
        {"a name posing as a document", 10, L"statement.pdf.exe", false, false, true},
        {"it holds the touched file", 10, L"SyncClient.exe", true, false, true},
        {"it held a damaged file for writing", 10, L"SyncClient.exe", false, true, true},
    };
    {
        // Without the second fact (extendedDetection off): named from timing alone.
        SuspectQuery q = Query({Proc(300, L"SyncClient.exe", appDataLocal + L"\\Sync", -40 * kSec, kNoEnd, 10)});
        q.userWritableFolders.push_back(appDataLocal);
        const SuspectRanking r = RankSuspects(q);
        ASSERT_FALSE(r.unknown);
        EXPECT_EQ(r.suspects[0].points, 58) << AllWhy(r.suspects[0]);
    }
    for (const Case& c : cases) {
        RememberedProcess sync = Proc(300, c.name, appDataLocal + L"\\Sync", -40 * kSec, kNoEnd, c.score);
        SuspectQuery q = Query({sync});
        q.userWritableFolders.push_back(appDataLocal);
        q.suspiciousScore = 60;
        if (c.holds) {
            q.holdersKnown = true;
            q.holders = {sync};
        }
        if (c.wrote) q.writers = {sync};

        q.needsSecondFact = true;
        const SuspectRanking r = RankSuspects(q);
        EXPECT_EQ(!r.unknown, c.named) << c.what << ": " << r.unknownWhy;
        if (c.named) {
            ASSERT_EQ(r.suspects.size(), 1u) << c.what;
            EXPECT_EQ(r.suspects[0].process.pid, 300) << c.what;
            if (c.wrote) {
                EXPECT_TRUE(Contains(AllWhy(r.suspects[0]), "damaged file open for writing"));
            }
        } else {
            EXPECT_TRUE(Contains(r.unknownWhy, "SyncClient.exe")) << r.unknownWhy;
            EXPECT_TRUE(Contains(r.unknownWhy, "name no program alone")) << r.unknownWhy;
        }
    }

    // A writer the memory does not hold (started before it) is named on its own
    // evidence, and the sync client beside it still is not.
    SuspectQuery q = Query({Proc(300, L"SyncClient.exe", appDataLocal + L"\\Sync", -40 * kSec, kNoEnd, 10)});
    q.userWritableFolders.push_back(appDataLocal);
    q.needsSecondFact = true;
    q.suspiciousScore = 60;
    q.writers = {Proc(310, L"tool.exe", kProgramFiles, -30 * kMin)};
    EXPECT_EQ(Names(RankSuspects(q)), std::vector<std::string>({"tool.exe"}));
}

// Weak evidence names nobody. Each row is one program from an ordinary folder
// (neither user-writable nor the Windows folder), still running.
TEST(RankSuspects, WeakEvidenceNamesNobody) {
    struct Case {
        const char* what;
        int64_t startOffset;
        int32_t score;
        bool unknown;
    } cases[] = {
        {"a start 9 s before", -9 * kSec, 0, false},
        {"a start 59 s before", -59 * kSec, 0, false},
        {"a start 61 s before", -61 * kSec, 0, true},
        {"a start 4 min before", -4 * kMin, 0, true},
        {"a start 2 min before with a score of 15: just enough", -2 * kMin, 15, false},
        {"a start 2 min before with a score of 12: just too little", -2 * kMin, 12, true},
        {"a start 12 min before and nothing else", -12 * kMin, 0, true},
        {"a start after the incident with a high score", 3 * kSec, 90, true},
    };
    for (const Case& c : cases) {
        const SuspectRanking r =
            RankSuspects(Query({Proc(5, L"app.exe", kProgramFiles, c.startOffset, kNoEnd, c.score)}));
        EXPECT_EQ(r.unknown, c.unknown) << c.what << ": " << r.unknownWhy;
        if (!r.unknown) {
            ASSERT_EQ(r.suspects.size(), 1u) << c.what;
            EXPECT_GE(r.suspects[0].points, kMinSuspectPoints) << c.what;
        }
    }
}

TEST(RankSuspects, NamesAtMostFiveBestFirstAndTheOrderIsStable) {
    // Seven starts from Downloads at different leads: the five with the most
    // points, equals by the earlier start.
    std::vector<RememberedProcess> recent;
    const int64_t leads[] = {9 * kMin, 4 * kMin, 8 * kSec, 50 * kSec, 6 * kMin, 3 * kSec, 30 * kSec};
    for (int i = 0; i < 7; ++i)
        recent.push_back(Proc(200 + i, L"p" + std::to_wstring(i) + L".exe", kDownloads, -leads[i]));
    const SuspectRanking r = RankSuspects(Query(recent));
    ASSERT_FALSE(r.unknown);
    EXPECT_EQ(Names(r), std::vector<std::string>({"p2.exe", "p5.exe", "p3.exe", "p6.exe", "p1.exe"}));
    for (size_t i = 1; i < r.suspects.size(); ++i) EXPECT_GE(r.suspects[i - 1].points, r.suspects[i].points);

    // The same starts in any order give the same ranking.
    std::vector<RememberedProcess> reversed(recent.rbegin(), recent.rend());
    EXPECT_EQ(Names(RankSuspects(Query(reversed))), Names(r));
}

TEST(LooksLikeDocumentName, DocumentsInDisguiseAndOrdinaryPrograms) {
    struct Case {
        std::wstring name;
        bool document;
        const char* how;  // part of the reason
    } cases[] = {
        {L"invoice_2024.exe", true, "named like a document (invoice)"},
        {L"Invoice 2024.EXE", true, "(invoice)"},
        {L"scan001.exe", true, "(scan)"},
        {L"Payments.exe", true, "(payments)"},
        {L"report.pdf.exe", true, "double extension (.pdf.exe)"},
        {L"photo.jpg     .scr", true, "double extension (.jpg.scr)"},
        {L"cod\u202Efdp.exe", true, "right-to-left mark"},
        {L"recorder.exe", false, ""},
        {L"scanner.exe", false, ""},
        {L"docker.exe", false, ""},
        {L"taxi.exe", false, ""},
        {L"notepad.exe", false, ""},
        {L"archive.tar.exe", false, ""},
        {L"invoice.pdf", false, ""},
        {L"invoice", false, ""},
        {L"", false, ""},
    };
    for (const Case& c : cases) {
        std::string how = "stale";
        const std::string name(c.name.begin(), c.name.end());
        EXPECT_EQ(LooksLikeDocumentName(c.name, how), c.document) << name;
        if (c.document)
            EXPECT_TRUE(Contains(how, c.how)) << name << ": " << how;
        else
            EXPECT_EQ(how, "") << name;
    }
}

TEST(DescribeDuration, SecondsMinutesHours) {
    struct Case {
        int64_t ms;
        const char* text;
    } cases[] = {
        {0, "less than a second"},
        {999, "less than a second"},
        {1000, "1 s"},
        {59999, "59 s"},
        {60000, "1 min"},
        {65000, "1 min 5 s"},
        {10 * 60000, "10 min"},
        {3600000, "1 h"},
        {3780000, "1 h 3 min"},
        {-4000, "4 s"},
    };
    for (const Case& c : cases) EXPECT_EQ(DescribeDuration(c.ms), c.text) << c.ms;
}
