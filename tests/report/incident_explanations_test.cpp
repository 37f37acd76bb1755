#include "report/incident_explanations.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

IncidentSummary Incident(const std::string& reason, int32_t severity) {
    IncidentSummary s;
    s.reason = reason;
    s.severity = severity;
    return s;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

size_t Count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

}  // namespace

// Only the exact, case-sensitive reason selects a row; anything else falls back.
TEST(IncidentTexts, ReasonSelectsItsRowAndAnythingElseFallsBack) {
    struct Case {
        const char* reason;
        const char* title;
        const char* description;  // prefix
        const char* cause;        // prefix
        const char* firstStep;    // prefix of the first list item, at severity 85
    } const cases[] = {
        {"canary_file_touched", "High-confidence alert: Canary file changed",
         "A protected canary file (a file", "A protected canary file changed",
         "<b>Disconnect from the internet</b> if you did not expect this (Wi"},
        {"file_burst", "Mass file changes detected (possible ransomware pattern)",
         "A large number of file changes", "A rapid wave of file changes", "If this wasn"},
        {"process_heuristic", "Suspicious process behavior detected", "A program launch matched",
         "A program launch matched", "Open Task Manager"},
        {"dir_file_heuristic", "Suspicious file pattern detected", "A filename or extension matched",
         "A suspicious filename/extension", "If you recognize the file"},
        {"encrypted_content", "Files overwritten with unreadable content (possible ransomware encryption)",
         "Files in a watched folder were rewritten", "Files were overwritten with encrypted-looking content",
         "If you did not encrypt these files yourself: <b>disconnect"},
        {"mass_rename", "Many files renamed to one new extension (possible ransomware encryption)",
         "Several of your documents, pictures or archives", "Several files were renamed to one new extension",
         "If you did not rename these files yourself: <b>disconnect"},
        {"Mass_Rename", "Security event detected", "Vellumgard detected behavior",
         "Suspicious behavior was detected.",
         "<b>Disconnect from the internet</b> if you did not expect this.</li>"},
        {"Encrypted_Content", "Security event detected", "Vellumgard detected behavior",
         "Suspicious behavior was detected.",
         "<b>Disconnect from the internet</b> if you did not expect this.</li>"},
        {"File_Burst", "Security event detected", "Vellumgard detected behavior",
         "Suspicious behavior was detected.",
         "<b>Disconnect from the internet</b> if you did not expect this.</li>"},
        {"", "Security event detected", "Vellumgard detected behavior", "Suspicious behavior was detected.",
         "<b>Disconnect from the internet</b> if you did not expect this.</li>"},
        {"file_burst ", "Security event detected", "Vellumgard detected behavior",
         "Suspicious behavior was detected.",
         "<b>Disconnect from the internet</b> if you did not expect this.</li>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("reason '") + c.reason + "'");
        const IncidentSummary inc = Incident(c.reason, 85);
        EXPECT_EQ(IncidentTitle(c.reason), c.title);
        EXPECT_TRUE(StartsWith(IncidentDescription(inc), c.description)) << IncidentDescription(inc);
        EXPECT_TRUE(StartsWith(LikelyCause(c.reason), c.cause)) << LikelyCause(c.reason);
        EXPECT_TRUE(StartsWith(IncidentStepsHtml(inc), std::string("<ul class=\"steps\"><li>") + c.firstStep))
            << IncidentStepsHtml(inc);
    }
    EXPECT_EQ(LikelyCause("other"), "Suspicious behavior was detected.");
    EXPECT_EQ(IncidentDescription(Incident("x", 99)),
              "Vellumgard detected behavior that may indicate a security issue.");
}

// The canary and encrypted-content advice ignore severity; every other reason is advised by severity alone.
TEST(IncidentTexts, AdviceFollowsSeverityForEveryReasonButTheCanary) {
    const char* kCanary = "If you did not change this file yourself:";
    const char* kEncrypted = "If you did not encrypt these files yourself:";
    const char* kRenamed = "If you did not rename these files yourself:";
    const char* kHigh = "If you did not expect this:";
    const char* kMedium = "Review what you were doing at that time.";
    const char* kLow = "Monitor for repeat alerts.";
    struct Case {
        const char* reason;
        int32_t severity;
        const char* advice;
    } const cases[] = {
        {"canary_file_touched", 10, kCanary},
        {"canary_file_touched", 100, kCanary},
        {"canary_file_touched", INT_MIN, kCanary},
        {"file_burst", 40, kLow},
        {"file_burst", 80, kHigh},
        {"process_heuristic", 79, kMedium},
        {"process_heuristic", 50, kMedium},
        {"dir_file_heuristic", 49, kLow},
        {"dir_file_heuristic", 90, kHigh},
        {"Canary_File_Touched", 10, kLow},
        {"encrypted_content", 10, kEncrypted},
        {"encrypted_content", 90, kEncrypted},
        {"encrypted_content", INT_MIN, kEncrypted},
        {"encrypted_content_", 90, kHigh},
        {"mass_rename", 10, kRenamed},
        {"mass_rename", 90, kRenamed},
        {"mass_rename ", 90, kHigh},
        {"unknown", INT_MAX, kHigh},
        {"unknown", -1, kLow},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.reason) + " " + std::to_string(c.severity));
        EXPECT_TRUE(StartsWith(IncidentAdvice(Incident(c.reason, c.severity)), c.advice));
    }
    // Severity does not move the named reasons off their own step lists.
    EXPECT_EQ(IncidentStepsHtml(Incident("canary_file_touched", 10)),
              IncidentStepsHtml(Incident("canary_file_touched", 95)));
    EXPECT_EQ(IncidentStepsHtml(Incident("file_burst", 40)), IncidentStepsHtml(Incident("file_burst", 80)));
    EXPECT_EQ(IncidentStepsHtml(Incident("encrypted_content", 1)),
              IncidentStepsHtml(Incident("encrypted_content", 90)));
    EXPECT_EQ(IncidentStepsHtml(Incident("mass_rename", 1)), IncidentStepsHtml(Incident("mass_rename", 90)));
}

TEST(IncidentTexts, FallbackStepsSwitchAtEighty) {
    const std::string at79 = IncidentStepsHtml(Incident("other", 79));
    const std::string at80 = IncidentStepsHtml(Incident("other", 80));
    EXPECT_TRUE(StartsWith(at79, "<ul class=\"steps\"><li>Monitor for repeat alerts.</li>"));
    EXPECT_EQ(Count(at79, "<li>"), 2u);
    EXPECT_TRUE(StartsWith(at80, "<ul class=\"steps\"><li><b>Disconnect from the internet</b>"));
    EXPECT_EQ(Count(at80, "<li>"), 3u);
}

// The lists carry three non-ASCII characters as raw UTF-8, never as entities.
TEST(IncidentTexts, StepListsHoldTheirUtf8CharactersByteForByte) {
    const std::string canary = IncidentStepsHtml(Incident("canary_file_touched", 90));
    const std::string burst = IncidentStepsHtml(Incident("file_burst", 80));
    const std::string process = IncidentStepsHtml(Incident("process_heuristic", 60));
    const std::string dirFile = IncidentStepsHtml(Incident("dir_file_heuristic", 65));
    const std::string encrypted = IncidentStepsHtml(Incident("encrypted_content", 90));
    EXPECT_NE(canary.find("(Wi\xE2\x80\x91"
                          "Fi / cable)"),
              std::string::npos);
    EXPECT_NE(burst.find("If this wasn\xE2\x80\x99t a big copy/unzip"), std::string::npos);
    EXPECT_NE(process.find("(Task Manager \xE2\x86\x92 Startup)"), std::string::npos);
    EXPECT_NE(dirFile.find("and it\xE2\x80\x99s expected"), std::string::npos);
    EXPECT_NE(dirFile.find("If it\xE2\x80\x99s unexpected"), std::string::npos);
    EXPECT_NE(encrypted.find("a password\xE2\x80\x91protected archive"), std::string::npos);

    struct Case {
        std::string html;
        size_t items;
    } const lists[] = {{canary, 5},
                       {burst, 4},
                       {process, 4},
                       {dirFile, 4},
                       {encrypted, 6},
                       {IncidentStepsHtml(Incident("x", 80)), 3},
                       {IncidentStepsHtml(Incident("x", 0)), 2},
                       {GeneralStepsHtml(), 4}};
    for (const Case& c : lists) {
        SCOPED_TRACE(c.html);
        EXPECT_TRUE(StartsWith(c.html, "<ul class=\"steps\"><li>"));
        EXPECT_EQ(c.html.substr(c.html.size() - 10), "</li></ul>");
        EXPECT_EQ(Count(c.html, "<li>"), c.items);
        EXPECT_EQ(Count(c.html, "</li>"), c.items);
        EXPECT_EQ(Count(c.html, "<b>"), Count(c.html, "</b>"));
        EXPECT_EQ(c.html.find_first_of("\n\r&'"), std::string::npos);
    }
    EXPECT_EQ(
        GeneralStepsHtml(),
        "<ul class=\"steps\"><li>Keep Vellumgard running in the tray.</li><li>Keep Windows and browsers up "
        "to "
        "date.</li><li>Maintain backups of important files.</li><li>Run periodic antivirus scans.</li></ul>");
}

// The high-severity advice carries an em dash between "ransomware" and "focus".
TEST(IncidentTexts, HighSeverityAdviceSeparatesItsSentencesWithAnEmDash) {
    const std::string advice = IncidentAdvice(Incident("file_burst", 80));
    EXPECT_NE(advice.find("if you suspect ransomware\xE2\x80\x94"
                          "focus on backup and scanning first."),
              std::string::npos)
        << advice;
    EXPECT_EQ(advice.find("ransomwarefocus"), std::string::npos);
    EXPECT_EQ(
        advice,
        "If you did not expect this: disconnect from the internet, close unfamiliar apps, run a full "
        "antivirus "
        "scan, and review recent downloads and email attachments. Avoid repeated reboots if you suspect "
        "ransomware\xE2\x80\x94"
        "focus on backup and scanning first.");
    EXPECT_EQ(IncidentAdvice(Incident("unknown", 99)), advice);
}

TEST(SeverityBand, BandsAreTestedFromTheTop) {
    struct Case {
        int32_t severity;
        const char* label;
        const char* styleClass;
    } const cases[] = {
        {INT_MAX, "Critical", "critical"},
        {100, "Critical", "critical"},
        {90, "Critical", "critical"},
        {89, "High", "high"},
        {80, "High", "high"},
        {79, "Medium", "med"},
        {50, "Medium", "med"},
        {49, "Low", "low"},
        {0, "Low", "low"},
        {-1, "Low", "low"},
        {INT_MIN, "Low", "low"},
    };
    for (const Case& c : cases) {
        const SeverityBandInfo band = SeverityBand(c.severity);
        EXPECT_STREQ(band.label, c.label) << c.severity;
        EXPECT_STREQ(band.styleClass, c.styleClass) << c.severity;
    }
}

TEST(TopIncident, EarliestOfTheHighestSeverityWinsAndIsCopiedWhole) {
    const std::vector<IncidentSummary> list = {
        {"2026-03-14T10:00:00", "file_burst", 85, "C:\\a", "", "a"},
        {"2026-03-14T09:00:00", "canary_file_touched", 92, "C:\\b", "c.txt", "b"},
        {"2026-03-14T08:00:00", "process_heuristic", 92, "", "", "c"},
        {"2026-03-14T07:00:00", "dir_file_heuristic", -5, "", "", "d"},
    };
    IncidentSummary top;
    ASSERT_TRUE(TopIncident(list, top));
    EXPECT_EQ(top.ts, "2026-03-14T09:00:00");
    EXPECT_EQ(top.reason, "canary_file_touched");
    EXPECT_EQ(top.severity, 92);
    EXPECT_EQ(top.folder, "C:\\b");
    EXPECT_EQ(top.file, "c.txt");
    EXPECT_EQ(top.incidentFolder, "b");

    const std::vector<IncidentSummary> negatives = {{"t1", "a", -7, "", "", ""}, {"t2", "b", -3, "", "", ""}};
    ASSERT_TRUE(TopIncident(negatives, top));
    EXPECT_EQ(top.ts, "t2");

    IncidentSummary untouched{"keep", "keep", 1, "keep", "keep", "keep"};
    EXPECT_FALSE(TopIncident({}, untouched));
    EXPECT_EQ(untouched.ts, "keep");
    EXPECT_EQ(untouched.file, "keep");
}
