#include "tray/tray_texts.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <iterator>

#include "core/text.h"

namespace {

DataPaths SamplePaths() {
    DataPaths p;
    p.dataDir = L"C:\\Users\\a\\AppData\\Local\\Vellumgard";
    p.logFile = L"C:\\Users\\a\\AppData\\Local\\Vellumgard\\Vellumgard.log.jsonl";
    p.configFile = L"C:\\Users\\a\\AppData\\Local\\Vellumgard\\Vellumgard.config.json";
    p.reportFile = L"C:\\Users\\a\\AppData\\Local\\Vellumgard\\report.html";
    p.incidentsDir = L"C:\\Users\\a\\AppData\\Local\\Vellumgard\\Incidents";
    return p;
}

const wchar_t kConfigStatus[] =
    L"Config: loaded (681 bytes, burstWindow=30, burstThreshold=50, procScoreThresh=60)";

IncidentSummary Incident(const std::string& ts, const std::string& reason, int32_t severity,
                         const std::string& folder = "", const std::string& file = "") {
    IncidentSummary s;
    s.ts = ts;
    s.reason = reason;
    s.severity = severity;
    s.folder = folder;
    s.file = file;
    return s;
}

}  // namespace

TEST(TrayTexts, TooltipsFollowTheMode) {
    EXPECT_EQ(AddedTipText(true), L"Vellumgard - Admin mode");
    EXPECT_EQ(AddedTipText(false), L"Vellumgard - Lite mode");
    EXPECT_EQ(NormalTipText(true), L"Vellumgard (Elevated)");
    EXPECT_EQ(NormalTipText(false), L"Vellumgard (Lite)");
}

TEST(TrayTexts, StatusTextsLineByLine) {
    const DataPaths p = SamplePaths();
    struct Case {
        bool isAdmin;
        const wchar_t* mode;
    } cases[] = {{true, L"Elevated (admin)"}, {false, L"Lite (non-admin)"}};
    for (const Case& c : cases) {
        const std::wstring tail = L"Data dir:\n" + p.dataDir + L"\n\nLog file:\n" + p.logFile +
                                  L"\n\nConfig:\n" + p.configFile + L"\n\n" + kConfigStatus + L"\n";
        const std::wstring head =
            std::wstring(L"Vellumgard status\n--------------------\nMode: ") + c.mode + L"\n";
        EXPECT_EQ(StatusText(c.isAdmin, p, kConfigStatus), head + L"\n" + tail);
        // The double-click box only lacks the blank line after Mode.
        EXPECT_EQ(DoubleClickStatusText(c.isAdmin, p, kConfigStatus), head + tail);
    }
}

TEST(TrayTexts, StatusWithUnresolvedPathsShowsEmptyLines) {
    EXPECT_EQ(
        StatusText(false, DataPaths(), L""),
        L"Vellumgard status\n--------------------\nMode: Lite (non-admin)\n\nData dir:\n\n\nLog file:\n\n\n"
        L"Config:\n\n\n\n");
}

TEST(TrayTexts, SelfTestLinesAndOutcome) {
    const DataPaths p = SamplePaths();
    const std::wstring header = L"Vellumgard self-test\n--------------------\nRoot dir: " + p.dataDir +
                                L"\nLog file: " + p.logFile + L"\nConfig:   " + p.configFile +
                                L"\nReport:   " + p.reportFile + L"\nIncidents: " + p.incidentsDir + L"\n";
    const std::wstring wmi =
        L"[~] Process monitor uses WMI; if you see 'proc_mon_error' in the log, check WMI permissions.\n";
    struct Case {
        bool isAdmin, dataOk, logOk, procMon;
        const wchar_t* checks;
        bool passed;
    } cases[] = {
        {true, true, true, true,
         L"Mode:     Elevated (admin)\n\n[+] Data directory OK.\n[+] Log file exists and appears "
         L"writeable.\n",
         true},
        {false, true, true, false,
         L"Mode:     Lite (non-admin)\n\n[+] Data directory OK.\n[+] Log file exists and appears "
         L"writeable.\n",
         true},
        {false, false, false, true,
         L"Mode:     Lite (non-admin)\n\n[x] Failed to create data directory.\n"
         L"[x] Log file does not exist after write attempt.\n",
         false},
        {true, true, false, false,
         L"Mode:     Elevated (admin)\n\n[+] Data directory OK.\n[x] Log file does not exist after write "
         L"attempt.\n",
         false},
        {true, false, true, false,
         L"Mode:     Elevated (admin)\n\n[x] Failed to create data directory.\n"
         L"[+] Log file exists and appears writeable.\n",
         false},
    };
    for (const Case& c : cases) {
        SelfTestFacts facts;
        facts.isAdmin = c.isAdmin;
        facts.paths = p;
        facts.dataDirOk = c.dataOk;
        facts.logFileOk = c.logOk;
        facts.configStatus = L"Config: failed to open (using defaults)";
        facts.processMonitorEnabled = c.procMon;
        // The configuration line carries "[+]" whatever it says.
        const std::wstring want =
            header + c.checks + L"[+] Config: failed to open (using defaults)\n" + (c.procMon ? wmi : L"");
        EXPECT_EQ(SelfTestText(facts), want) << c.isAdmin << c.dataOk << c.logOk << c.procMon;
        EXPECT_EQ(SelfTestPassed(facts), c.passed);
        size_t lines = 0;
        for (wchar_t ch : want) lines += ch == L'\n';
        EXPECT_EQ(lines, c.procMon ? 13u : 12u);
    }
}

TEST(TrayTexts, SelfTestLabelsLineUp) {
    SelfTestFacts facts;
    facts.paths = SamplePaths();
    const std::wstring text = SelfTestText(facts);
    // Every label but "Incidents: " is ten characters wide.
    for (const wchar_t* label : {L"Root dir: ", L"Log file: ", L"Config:   ", L"Report:   ", L"Mode:     "}) {
        EXPECT_EQ(wcslen(label), 10u);
        EXPECT_NE(text.find(std::wstring(L"\n") + label), std::wstring::npos) << label;
    }
}

TEST(AlertTexts, ChoosesTheLatestCriticalByTimeStamp) {
    struct Case {
        const char* name;
        std::vector<IncidentSummary> list;
        bool found;
        const char* ts;
        int32_t severity;
    } cases[] = {
        {"empty", {}, false, "", 0},
        {"89 is not critical", {Incident("2026-03-14T09:00:00", "file_burst", 89)}, false, "", 0},
        {"90 is", {Incident("2026-03-14T09:00:00", "file_burst", 90)}, true, "2026-03-14T09:00:00", 90},
        // The later time stamp wins even against a higher severity, wherever it stands.
        {"later beats more severe",
         {Incident("2026-03-14T08:00:00", "file_burst", 100), Incident("2026-03-14T09:00:00", "x", 90)},
         true,
         "2026-03-14T09:00:00",
         90},
        {"later first",
         {Incident("2026-03-14T09:00:00", "x", 95), Incident("2026-03-14T08:00:00", "y", 100),
          Incident("2026-03-14T10:00:00", "z", 50)},
         true,
         "2026-03-14T09:00:00",
         95},
        {"equal keeps the earlier",
         {Incident("2026-03-14T09:00:00", "a", 91), Incident("2026-03-14T09:00:00", "b", 99)},
         true,
         "2026-03-14T09:00:00",
         91},
        // A proper prefix counts as smaller.
        {"prefix is smaller",
         {Incident("2026-03-14T09:00:00Z", "a", 90), Incident("2026-03-14T09:00:00", "b", 92)},
         true,
         "2026-03-14T09:00:00Z",
         90},
        {"negative", {Incident("2026-03-14T09:00:00", "a", -5)}, false, "", 0},
    };
    for (const Case& c : cases) {
        IncidentSummary choice = Incident("untouched", "", 0);
        EXPECT_EQ(ChooseLatestCritical(c.list, choice), c.found) << c.name;
        if (c.found) {
            EXPECT_EQ(choice.ts, c.ts) << c.name;
            EXPECT_EQ(choice.severity, c.severity) << c.name;
        } else {
            EXPECT_EQ(choice.ts, "untouched") << c.name;
        }
    }
}

TEST(AlertTexts, AlertTextNamesTitleAndDetail) {
    struct Case {
        IncidentSummary incident;
        const wchar_t* want;
    } cases[] = {
        {Incident("t", "file_burst", 95, "C:\\Users\\a\\Documents"),
         L"Mass file changes detected (possible ransomware pattern) - C:\\Users\\a\\Documents"},
        // The file wins over the folder.
        {Incident("t", "canary_file_touched", 90, "C:\\d", "Vellumgard_DO_NOT_TOUCH.txt"),
         L"High-confidence alert: Canary file changed - Vellumgard_DO_NOT_TOUCH.txt"},
        {Incident("t", "canary_file_touched", 90), L"High-confidence alert: Canary file changed"},
        {Incident("t", "", 90, "", "f"), L"Security event detected - f"},
    };
    for (const Case& c : cases) EXPECT_EQ(AlertText(c.incident), c.want);
}

TEST(AlertTexts, AlertTextIsCutTo120BytesBeforeConversion) {
    // "Suspicious file pattern detected - " is 35 bytes; the rest comes from the file.
    const std::string title = "Suspicious file pattern detected - ";
    const std::string longName(200, 'n');
    EXPECT_EQ(AlertText(Incident("t", "dir_file_heuristic", 90, "", longName)),
              Utf8ToWide(title + std::string(120 - title.size(), 'n')));

    // A two-byte character cut in half becomes one replacement character.
    const std::string split = std::string(120 - title.size() - 1, 'a') + "\xC3\xA9" + "tail";
    const std::wstring got = AlertText(Incident("t", "dir_file_heuristic", 90, "", split));
    ASSERT_EQ(got.size(), 120u);
    EXPECT_EQ(got.back(), L'\xFFFD');

    // Multi-byte text that fits is converted whole.
    EXPECT_EQ(AlertText(Incident("t", "dir_file_heuristic", 90, "", "r\xC3\xA9sum\xC3\xA9.docx")),
              L"Suspicious file pattern detected - r\u00E9sum\u00E9.docx");
}

TEST(AlertTexts, TooltipAndBalloonCuts) {
    const std::wstring prefix = L"Vellumgard - CRITICAL: ";
    struct Case {
        size_t alertUnits;
        size_t tipUnits;
        size_t balloonAlertUnits;
    } cases[] = {{10, 33, 10}, {97, 120, 97}, {98, 120, 98}, {120, 120, 120}, {230, 120, 220}};
    for (const Case& c : cases) {
        std::wstring alert;
        for (size_t i = 0; i < c.alertUnits; ++i) alert += static_cast<wchar_t>(L'a' + i % 26);
        const std::wstring tip = AlertTipText(alert);
        EXPECT_EQ(tip.size(), c.tipUnits) << c.alertUnits;
        EXPECT_EQ(tip, (prefix + alert).substr(0, 120)) << c.alertUnits;
        EXPECT_EQ(BalloonBodyText(alert),
                  alert.substr(0, c.balloonAlertUnits) + L"\nRun Report for details.");
    }
    EXPECT_EQ(BalloonTitleText(), L"Vellumgard - Critical alert");
}

TEST(AlertTexts, CopyTruncatedAlwaysTerminates) {
    struct Case {
        const wchar_t* text;
        size_t capacity;
        const wchar_t* want;
    } cases[] = {{L"abc", 8, L"abc"},
                 {L"abcdefgh", 8, L"abcdefg"},
                 {L"abcdefg", 8, L"abcdefg"},
                 {L"abc", 1, L""},
                 {L"", 4, L""}};
    for (const Case& c : cases) {
        wchar_t buf[8];
        wmemset(buf, L'#', 8);
        CopyTruncated(buf, c.capacity, c.text);
        EXPECT_STREQ(buf, c.want);
        // Nothing past the buffer's capacity is touched.
        for (size_t i = c.capacity; i < 8; ++i) EXPECT_EQ(buf[i], L'#');
    }
    wchar_t untouched[2] = {L'#', L'#'};
    CopyTruncated(untouched, 0, L"abc");
    EXPECT_EQ(untouched[0], L'#');
}

TEST(TrayMenu, SevenCommandsThenExitAfterOneSeparator) {
    struct Want {
        uint32_t flags, id;
        const wchar_t* text;
    } want[] = {{0x400, 1001, L"Status"},
                {0x400, 1002, L"Run report"},
                {0x400, 1003, L"Reload config"},
                {0x400, 1004, L"Open log file"},
                {0x400, 1005, L"Open data folder"},
                {0x400, 1006, L"Run self-test"},
                {0xC00, 0, nullptr},
                {0x400, 1007, L"Exit"}};
    ASSERT_EQ(kTrayMenuItemCount, std::size(want));
    for (size_t i = 0; i < kTrayMenuItemCount; ++i) {
        EXPECT_EQ(kTrayMenuItems[i].flags, want[i].flags) << i;
        EXPECT_EQ(kTrayMenuItems[i].id, want[i].id) << i;
        if (want[i].text) {
            EXPECT_STREQ(kTrayMenuItems[i].text, want[i].text) << i;
        } else {
            EXPECT_EQ(kTrayMenuItems[i].text, nullptr) << i;
        }
    }
}
