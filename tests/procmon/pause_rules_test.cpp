// The pauser's decisions over the cases that make pausing unsafe: a program
// writing many files that are not damaged, a listing outside the window, a
// system process name used from a user folder, pids given out again.
#include "procmon/pause_rules.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/text.h"
#include "procmon/pause_records.h"

namespace {

constexpr int64_t kSec = 1000;
constexpr int64_t kT = 1700000000000LL;  // the trigger, in every case
const std::wstring kTree = L"C:\\Users\\ann\\Documents";
const std::wstring kDetection = kTree + L"\\report.docx";

constexpr uint32_t kRead = 0x00120089;             // FILE_GENERIC_READ
constexpr uint32_t kWrite = 0x00120116;            // FILE_GENERIC_WRITE (write and append data)
constexpr uint32_t kAppendOnly = 0x00100004;       // FILE_APPEND_DATA | SYNCHRONIZE
constexpr uint32_t kDeleteOnly = 0x00110080;       // DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES
constexpr uint32_t kWriteAttributes = 0x00100100;  // FILE_WRITE_ATTRIBUTES: not writing the content

EvidenceQuery Query() {
    EvidenceQuery q;
    q.triggerMs = kT;
    q.tree = kTree;
    q.detectionFile = kDetection;
    q.damaged = {{kTree + L"\\sub\\b.xlsx", kT - 30 * kSec},
                 {kTree + L"\\sub\\c.pdf", kT + 3 * kSec},
                 {kTree + L"\\sub\\edge.odt", kT + kSec - 60 * kSec},
                 {kTree + L"\\sub\\old.doc", kT - 70 * kSec},
                 {kTree + L"\\sub\\late.doc", kT + 7 * kSec},
                 {L"C:\\Users\\ann\\Desktop\\elsewhere.docx", kT}};
    return q;
}

}  // namespace

TEST(FindWriteEvidence, OnlyWriteAccessToADamagedFileInTheWindow) {
    struct Case {
        const char* what;
        std::vector<HandleSighting> sightings;
        const wchar_t* evidence;  // the file found, or nullptr
    } cases[] = {
        {"the detection's file, write data, 1 s after",
         {{kDetection, kWrite, kT + kSec}},
         kDetection.c_str()},
        {"append data only, at the window's end",
         {{kDetection, kAppendOnly, kT + 5 * kSec}},
         kDetection.c_str()},
        {"delete access only (a rename or delete)",
         {{kDetection, kDeleteOnly, kT + 2 * kSec}},
         kDetection.c_str()},
        {"read access is no evidence", {{kDetection, kRead, kT + kSec}}, nullptr},
        {"attributes are not the content", {{kDetection, kWriteAttributes, kT + kSec}}, nullptr},
        {"a listing after the window", {{kDetection, kWrite, kT + 5 * kSec + 1}}, nullptr},
        {"a listing before the trigger", {{kDetection, kWrite, kT - 500}}, nullptr},
        {"a damaged file logged 30 s before the listing",
         {{kTree + L"\\sub\\b.xlsx", kWrite, kT + kSec}},
         L"b.xlsx"},
        {"a file judged 2 s after the listing", {{kTree + L"\\sub\\c.pdf", kWrite, kT + kSec}}, L"c.pdf"},
        {"logged exactly 60 s before", {{kTree + L"\\sub\\edge.odt", kWrite, kT + kSec}}, L"edge.odt"},
        {"logged 71 s before the listing", {{kTree + L"\\sub\\old.doc", kWrite, kT + kSec}}, nullptr},
        {"logged 6 s after the listing", {{kTree + L"\\sub\\late.doc", kWrite, kT + kSec}}, nullptr},
        {"a damaged file of another tree",
         {{L"C:\\Users\\ann\\Desktop\\elsewhere.docx", kWrite, kT + kSec}},
         nullptr},
        {"a name that only starts like the detection's file",
         {{kDetection + L".tmp", kWrite, kT + kSec}},
         nullptr},
        {"another case and forward slashes are the same file",
         {{L"c:/users/ANN/documents/REPORT.docx", kWrite, kT + kSec}},
         L"REPORT.docx"},
        {"a sync client writing many undamaged files of the tree",
         {{kTree + L"\\a.docx", kWrite, kT + kSec},
          {kTree + L"\\sub\\d.xlsx", kWrite, kT + kSec},
          {kTree + L"\\.sync\\state.db", kWrite, kT + 2 * kSec},
          {kTree + L"\\sub\\b.xlsx", kRead, kT + 2 * kSec}},
         nullptr},
        {"among other handles, the one to the damaged file",
         {{kTree + L"\\a.docx", kWrite, kT + kSec}, {kTree + L"\\sub\\b.xlsx", kWrite, kT + 2 * kSec}},
         L"b.xlsx"},
    };
    for (const Case& c : cases) {
        const PauseEvidence e = FindWriteEvidence(Query(), c.sightings);
        EXPECT_EQ(e.found, c.evidence != nullptr) << c.what;
        if (c.evidence && e.found) {
            const std::wstring want(c.evidence);
            EXPECT_EQ(e.file.substr(e.file.size() - std::min(e.file.size(), want.size())), want) << c.what;
        }
    }

    // Without a file in the detection, only the logged damage counts.
    EvidenceQuery q = Query();
    q.detectionFile.clear();
    EXPECT_FALSE(FindWriteEvidence(q, {{kDetection, kWrite, kT + kSec}}).found);
    EXPECT_TRUE(FindWriteEvidence(q, {{kTree + L"\\sub\\b.xlsx", kWrite, kT + kSec}}).found);
}

TEST(FindWriteEvidence, DescribesTheFileAndTheAccess) {
    const PauseEvidence e = FindWriteEvidence(Query(), {{kDetection, kWrite | kAccessDelete, kT + kSec}});
    EXPECT_EQ(DescribeEvidence(e),
              "C:\\Users\\ann\\Documents\\report.docx (write data, append data, delete)");
    EXPECT_EQ(DescribeEvidence(PauseEvidence{}), "no open handle with write access to a damaged file");
}

TEST(IsPauseTrigger, ReasonsAndSeverity) {
    struct Case {
        const char* reason;
        int32_t severity;
        bool trigger;
    } cases[] = {
        {"canary_file_touched", 90, true},    {"canary_file_touched", 100, true},
        {"canary_file_touched", 89, false},   {"encrypted_content", 90, true},
        {"encrypted_content", 80, false},     {"mass_rename", 95, true},
        {"dir_file_heuristic", 100, false},   {"file_burst", 100, false},
        {"process_heuristic", 100, false},    {"", 100, false},
        {"canary_file_touched ", 100, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsPauseTrigger(c.reason, c.severity), c.trigger) << c.reason << c.severity;
}

TEST(PauseSettingsActive, AllThreeSettingsOn) {
    for (int bits = 0; bits < 8; ++bits)
        EXPECT_EQ(PauseSettingsActive(bits & 1, bits & 2, bits & 4), bits == 7) << bits;
}

TEST(NeverPauseReason, WhoIsNeverPaused) {
    const std::wstring win = L"C:\\Windows";
    auto at = [](int32_t pid, const std::wstring& path) {
        PauseTarget t;
        t.pid = pid;
        t.path = path;
        return t;
    };
    struct Case {
        const char* what;
        PauseTarget target;
        const char* list;
        const char* reason;  // part of the reason, or nullptr: may be paused
    } cases[] = {
        {"an encryptor in Downloads", at(900, L"C:\\Users\\ann\\Downloads\\invoice.exe"), "", nullptr},
        {"pid 0", at(0, L""), "", "kernel"},
        {"pid 4", at(4, L""), "", "kernel"},
        {"the service host in System32", at(700, L"C:\\Windows\\System32\\svchost.exe"), "", "of the system"},
        {"the service host from AppData", at(701, L"C:\\Users\\ann\\AppData\\Roaming\\svchost.exe"), "",
         nullptr},
        {"the service host one folder too deep", at(702, L"C:\\Windows\\System32\\drivers\\svchost.exe"), "",
         nullptr},
        {"a renamed copy in System32", at(703, L"C:\\Windows\\System32\\svchost32.exe"), "", nullptr},
        {"the shell in the Windows folder", at(704, L"c:\\windows\\EXPLORER.EXE"), "", "of the system"},
        {"the shell from Temp", at(705, L"C:\\Users\\ann\\AppData\\Local\\Temp\\explorer.exe"), "", nullptr},
        {"lsass in SysWOW64", at(706, L"C:\\Windows\\SysWOW64\\lsass.exe"), "", "of the system"},
        {"the window manager", at(707, L"C:\\Windows\\System32\\dwm.exe"), "", "of the system"},
        {"PowerShell in System32 is not exempt",
         at(708, L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe"), "", nullptr},
        {"cmd is not exempt", at(709, L"C:\\Windows\\System32\\cmd.exe"), "", nullptr},
        {"rundll32 is not exempt", at(710, L"C:\\Windows\\System32\\rundll32.exe"), "", nullptr},
        {"mshta and wscript are not exempt", at(711, L"C:\\Windows\\System32\\mshta.exe"), "", nullptr},
        {"listed by name", at(712, L"C:\\Program Files\\Backup\\backup.exe"), "foo.exe; Backup.EXE ;",
         "neverPause"},
        {"listed by full path", at(713, L"C:\\Tools\\sync.exe"), "c:\\tools\\sync.exe", "neverPause"},
        {"a name only containing a listed one", at(714, L"C:\\Tools\\mybackup.exe"), "backup.exe", nullptr},
        {"an empty list entry matches nothing", at(715, L"C:\\Tools\\x.exe"), ";;", nullptr},
    };
    for (const Case& c : cases) {
        const char* why = NeverPauseReason(c.target, win, Utf8ToWide(c.list));
        if (!c.reason) {
            EXPECT_EQ(why, nullptr) << c.what << ": " << why;
        } else {
            ASSERT_NE(why, nullptr) << c.what;
            EXPECT_NE(std::string(why).find(c.reason), std::string::npos) << c.what << ": " << why;
        }
    }

    // What the platform says about the process, before anything else.
    struct Flag {
        const char* what;
        bool PauseTarget::*field;
        bool value;
        const char* reason;
    } flags[] = {
        {"the agent itself", &PauseTarget::isSelf, true, "the agent"},
        {"another user", &PauseTarget::sameUser, false, "another user"},
        {"another session", &PauseTarget::sameSession, false, "another session"},
        {"cannot be opened", &PauseTarget::canSuspend, false, "cannot be opened"},
    };
    for (const Flag& f : flags) {
        PauseTarget t = at(900, L"C:\\Users\\ann\\Downloads\\invoice.exe");
        t.*f.field = f.value;
        const char* why = NeverPauseReason(t, win, L"");
        ASSERT_NE(why, nullptr) << f.what;
        EXPECT_NE(std::string(why).find(f.reason), std::string::npos) << f.what << ": " << why;
    }
}

TEST(ChildrenStartedAfter, ItsOwnLaterChildrenAndTheirs) {
    auto proc = [](int32_t pid, int32_t parent, int64_t started, int64_t ended = 0) {
        RememberedProcess p;
        p.pid = pid;
        p.parentPid = parent;
        p.startedMs = started;
        p.endedMs = ended;
        return p;
    };
    const RememberedProcess root = proc(100, 1, kT);
    const std::vector<RememberedProcess> recent = {
        proc(100, 1, kT),                          // the root itself
        proc(101, 100, kT + kSec),                 // its child
        proc(102, 101, kT + 2 * kSec),             // a grandchild
        proc(103, 100, kT - kSec),                 // a child of an earlier process with the root's pid
        proc(104, 100, kT + kSec, kT + 2 * kSec),  // ended
        proc(105, 100, 0),                         // no creation time
        proc(106, 200, kT + kSec),                 // someone else's
        proc(107, 102, kT + 3 * kSec),             // a great-grandchild
        proc(101, 107, kT + 4 * kSec),  // pid 101 given out again under 107: a loop by pid, not by process
    };
    std::vector<int32_t> pids;
    for (const RememberedProcess& c : ChildrenStartedAfter(root, recent)) pids.push_back(c.pid);
    EXPECT_EQ(pids, std::vector<int32_t>({101, 102, 107, 101}));

    RememberedProcess unknownStart = root;
    unknownStart.startedMs = 0;
    EXPECT_TRUE(ChildrenStartedAfter(unknownStart, recent).empty()) << "no start, no 'after'";
}

TEST(NormalizeHandlePath, PrefixesOfFinalPathNames) {
    EXPECT_EQ(NormalizeHandlePath(L"\\\\?\\C:\\Users\\a.txt"), L"C:\\Users\\a.txt");
    EXPECT_EQ(NormalizeHandlePath(L"\\\\?\\UNC\\srv\\share\\a.txt"), L"\\\\srv\\share\\a.txt");
    EXPECT_EQ(NormalizeHandlePath(L"C:\\a.txt"), L"C:\\a.txt");
    EXPECT_EQ(NormalizeHandlePath(L"\\\\?"), L"\\\\?");
    EXPECT_EQ(NormalizeHandlePath(L""), L"");
}

TEST(ResponseRecords, LineMembersAndResponseJson) {
    ResponseRecord r;
    r.action = kActionPaused;
    r.pid = 4242;
    r.image = L"C:\\Users\\ann\\Downloads\\in\"voice.exe";
    r.evidence = "C:\\Users\\ann\\Documents\\a.docx (write data)";
    r.incident = "20260314_120000_1";
    EXPECT_EQ(
        ResponseMembers(r),
        "\"action\":\"paused\",\"pid\":4242,\"image\":\"C:\\\\Users\\\\ann\\\\Downloads\\\\in\\\"voice.exe\","
        "\"evidence\":\"C:\\\\Users\\\\ann\\\\Documents\\\\a.docx (write data)\","
        "\"incident\":\"20260314_120000_1\"");
    ResponseRecord kept = r;
    kept.action = kActionKept;
    kept.incident.clear();
    EXPECT_EQ(ResponseMembers(kept).find("incident"), std::string::npos);

    const std::string text = BuildResponseJson("20260314_120000_1", {r, kept});
    ASSERT_EQ(text.back(), '\n');
    const nlohmann::json j = nlohmann::json::parse(text);
    EXPECT_EQ(j["incident"], "20260314_120000_1");
    ASSERT_EQ(j["responses"].size(), 2u);
    EXPECT_EQ(j["responses"][0]["image"], "C:\\Users\\ann\\Downloads\\in\"voice.exe");
    EXPECT_EQ(j["responses"][1]["action"], "kept");
    EXPECT_EQ(nlohmann::json::parse(BuildResponseJson("x", {}))["responses"].size(), 0u);
}

TEST(PausedList, RoundTripAndDamagedLines) {
    PausedProgram a;
    a.pid = 4242;
    a.startedMs = kT;
    a.pausedMs = kT + 3 * kSec;
    a.path = L"C:\\Users\\ann\\Downloads\\\u00e9t\u00e9.exe";
    a.evidence = "C:\\Users\\ann\\Documents\\a.docx (write data)\twith a tab\nand a line end";
    a.incident = "20260314_120000_1";
    PausedProgram b = a;
    b.pid = 77;
    b.incident.clear();
    const std::string text = FormatPausedList({a, b});
    const std::vector<PausedProgram> back = ParsePausedList(text);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].pid, 4242);
    EXPECT_EQ(back[0].startedMs, kT);
    EXPECT_EQ(back[0].pausedMs, kT + 3 * kSec);
    EXPECT_EQ(back[0].path, a.path);
    EXPECT_EQ(back[0].evidence, "C:\\Users\\ann\\Documents\\a.docx (write data) with a tab and a line end");
    EXPECT_EQ(back[0].incident, a.incident);
    EXPECT_EQ(back[1].pid, 77);
    EXPECT_EQ(back[1].incident, "");

    // Each damaged line is left out on its own; the good ones stay.
    const std::string good = "5\t1700000000000\t1700000001000\tC:\\x.exe\tev\tinc";
    const std::string damaged = "vellumgard-paused 1\r\n" + good + "\r\n" +
                                "0\t1700000000000\t1700000001000\tC:\\x.exe\tev\tinc\n"
                                "-5\t1700000000000\t1700000001000\tC:\\x.exe\tev\tinc\n"
                                "99999999999\t1700000000000\t1700000001000\tC:\\x.exe\tev\tinc\n"
                                "5\t\t1700000001000\tC:\\x.exe\tev\tinc\n"
                                "5\t17x\t1700000001000\tC:\\x.exe\tev\tinc\n"
                                "5\t1700000000000\t1700000001000\tC:\\x.exe\tev\n"
                                "5\t1700000000000\t1700000001000\tC:\\x.exe\tev\tinc\textra\n"
                                "\n" +
                                good;
    const std::vector<PausedProgram> kept = ParsePausedList(damaged);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].path, L"C:\\x.exe");
    EXPECT_EQ(kept[1].incident, "inc");
    EXPECT_TRUE(ParsePausedList("vellumgard-paused 2\n" + good + "\n").empty()) << "another format";
    EXPECT_TRUE(ParsePausedList("").empty());
    EXPECT_TRUE(ParsePausedList(FormatPausedList({})).empty());
}
