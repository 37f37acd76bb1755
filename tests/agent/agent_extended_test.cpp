// The extended name rules on the real agent: the same actions with the
// setting on and with it absent. With it absent the agent gives exactly what
// the basic rules give.
#include <windows.h>

#include "agent_fixture.h"

namespace {

std::string QuickConfig(bool extended) {
    return std::string("{\n  \"enableProcessMonitor\": false,\n  \"canaryWarmupSeconds\": 1,\n"
                       "  \"incidentRateLimitSeconds\": 1") +
           (extended ? ",\n  \"extendedDetection\": true" : "") + "\n}\n";
}

// The "reason" of every dir_file_heuristic line for that file since the mark.
std::vector<std::string> HeuristicReasons(const LogMark& mark, const std::string& file) {
    std::vector<std::string> reasons;
    for (const std::string& line : LogLinesSince(mark))
        if (JsonMember(line, "type") == "dir_file_heuristic" && JsonMember(line, "file") == file)
            reasons.push_back(JsonMember(line, "reason"));
    return reasons;
}

bool SawChange(const LogMark& mark, const std::string& file) {
    return WaitForLogLine(
        mark, [&](const std::string& l) { return JsonMember(l, "type") == "dir_change" && JsonMember(l, "file") == file; },
        10000);
}

class ExtendedAgentTest : public AgentTest, public ::testing::WithParamInterface<bool> {
protected:
    // A document renamed with one more, short extension; then the same note
    // dropped into three new folders (made after start: Wine only watches
    // folders that appear while the watch runs).
    void PlayRenameAndNotes(const LogMark& mark) {
        const std::wstring budget = TestFile(profile.documents, L"budget.xlsx");
        ASSERT_TRUE(WriteFileBytes(budget, "PK\x03\x04 a workbook"));
        ASSERT_TRUE(SawChange(mark, WideToUtf8(kTestFilePrefix) + "budget.xlsx"));
        ASSERT_TRUE(MoveFileW(budget.c_str(), (budget + L".ryk").c_str()));
        ASSERT_TRUE(SawChange(mark, WideToUtf8(kTestFilePrefix) + "budget.xlsx.ryk"));
        Sleep(1200);  // past the one-second rate limit, so each finding gets its incident
        for (const wchar_t* sub : {L"A", L"B", L"C"}) {
            const std::wstring folder = TestFile(profile.documents, sub);
            ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
            ASSERT_TRUE(SawChange(mark, WideToUtf8(kTestFilePrefix + std::wstring(sub))));
            ASSERT_TRUE(WriteFileBytes(JoinPath(folder, L"@Please_Read_Me@.txt"), "your files are encrypted\n"));
            ASSERT_TRUE(SawChange(mark, WideToUtf8(kTestFilePrefix + std::wstring(sub) + L"\\@Please_Read_Me@.txt")));
        }
        Sleep(1500);  // let the last records and incidents settle
    }
};

}  // namespace

TEST_P(ExtendedAgentTest, RenamesAndNotesTheBasicRulesMiss) {
    const bool extended = GetParam();
    ASSERT_NO_FATAL_FAILURE(Start(QuickConfig(extended)));
    const LogMark mark = MarkLog(profile.logFile);
    ASSERT_NO_FATAL_FAILURE(PlayRenameAndNotes(mark));

    const std::string renamed = WideToUtf8(kTestFilePrefix) + "budget.xlsx.ryk";
    const std::string lastNote = WideToUtf8(kTestFilePrefix) + "C\\@Please_Read_Me@.txt";
    const std::string firstNote = WideToUtf8(kTestFilePrefix) + "A\\@Please_Read_Me@.txt";
    const std::vector<std::string> lines = LogLinesSince(mark);
    if (extended) {
        EXPECT_EQ(HeuristicReasons(mark, renamed), std::vector<std::string>({"appended_extension"}));
        EXPECT_FALSE(HeuristicReasons(mark, lastNote).empty());
        for (const std::string& r : HeuristicReasons(mark, lastNote)) EXPECT_EQ(r, "ransom_note_like_name");
        EXPECT_TRUE(HeuristicReasons(mark, firstNote).empty());  // one note alone is no drop
        EXPECT_GE(CountType(lines, "incident_created"), 2u);
        size_t nameIncidents = 0;
        for (const std::string& text : ReadIncidentFiles(profile.incidentsDir))
            nameIncidents += JsonMember(text, "reason") == "dir_file_heuristic";
        EXPECT_GE(nameIncidents, 2u);
    } else {
        // The basic rules: a four-letter extension is no encryptor's, and the
        // separators hide the note's words.
        EXPECT_EQ(CountType(lines, "dir_file_heuristic"), 0u);
        EXPECT_EQ(CountType(lines, "incident_created"), 0u);
        EXPECT_TRUE(ReadIncidentFiles(profile.incidentsDir).empty());
    }
    ExpectCleanExit();
}

INSTANTIATE_TEST_SUITE_P(Setting, ExtendedAgentTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "On" : "Absent"; });
