// Pausing under Wine with the real agent: a copy of the stand-in writer
// started from Downloads encrypts real-format documents in a subfolder of
// Documents with ChaCha20, one every 0.6 s, while another copy writes
// exports beside them. The content check's encrypted_content detection
// triggers the decision: the encryptor is paused (one "response" line), the
// exporter is not; quitting keeps it paused; a restarted agent lists it
// again, and the menu's box lets it run again.
#include <windows.h>

#include <string>
#include <vector>

#include "agent_fixture.h"
#include "core/paths.h"
#include "support/stand_in.h"
#include "tray/pause_texts.h"

namespace {

const std::string kPauseConfig =
    "{\n  \"enableProcessMonitor\": true,\n  \"extendedDetection\": true,\n  \"pauseSuspectPrograms\": "
    "true,\n"
    "  \"canaryWarmupSeconds\": 1,\n  \"incidentRateLimitSeconds\": 1\n}\n";
const wchar_t* const kFormats[] = {L"brochure.pdf", L"budget.xlsx", L"chart.png",     L"minutes.odt",
                                   L"letter.rtf",   L"backup.7z",   L"documents.zip", L"banner.gif"};

std::wstring ContentCorpus(const wchar_t* name) {
    return JoinPath(StandInProgram(VG_SOURCE_DIR "/tests/corpora/content"), name);
}

}  // namespace

class AgentPauseTest : public AgentTest {
protected:
    // 16 documents, half of them in a subfolder, with their original bytes.
    void PlantDocuments() {
        docs = TestFile(profile.documents, L"pause");
        CreateDirectoryW(docs.c_str(), nullptr);
        CreateDirectoryW(JoinPath(docs, L"older").c_str(), nullptr);
        for (int copy = 0; copy < 2; ++copy) {
            for (const wchar_t* name : kFormats) {
                std::string bytes;
                ASSERT_TRUE(ReadFileBytes(ContentCorpus(name), bytes)) << WideToUtf8(name);
                const std::wstring file = JoinPath(copy ? JoinPath(docs, L"older") : docs, name);
                ASSERT_TRUE(WriteFileBytes(file, bytes));
                originals.push_back({file, bytes});
            }
        }
    }

    size_t Damaged() const {
        size_t n = 0;
        for (const auto& o : originals) n += ReadFileBytes(o.first) != o.second;
        return n;
    }

    std::vector<std::string> Responses(const LogMark& mark) {
        std::vector<std::string> out;
        for (const std::string& l : LogLinesSince(mark))
            if (JsonMember(l, "type") == "response") out.push_back(l);
        return out;
    }

    std::wstring docs;
    std::vector<std::pair<std::wstring, std::string>> originals;
};

TEST_F(AgentPauseTest, TheEncryptorIsPausedTheExporterIsNotAndBothSurviveARestart) {
    ASSERT_NO_FATAL_FAILURE(Start(kPauseConfig));
    ASSERT_TRUE(WaitForLogType(LogMark{profile.logFile, 0}, "proc_mon_fallback", 30000));
    ASSERT_NO_FATAL_FAILURE(PlantDocuments());
    const std::wstring exports = TestFile(profile.documents, L"exports");
    CreateDirectoryW(exports.c_str(), nullptr);
    Sleep(1500);  // the planted files are old news
    const LogMark mark = MarkLog(profile.logFile);

    StandIn exporter, encryptor;
    exporter.removeExe = encryptor.removeExe = true;
    const std::wstring exporterExe = JoinPath(profile.downloads, L"vg_e2e_exporter.exe");
    ASSERT_TRUE(StartStandIn(StandInProgram(VG_WRITER_EXE), exporterExe,
                             L"\"" + exporterExe + L"\" everyday \"" + exports + L"\" 300", 0, exporter));
    const std::wstring lockerExe = JoinPath(profile.downloads, L"vg_e2e_locker.exe");
    ASSERT_TRUE(StartStandIn(StandInProgram(VG_WRITER_EXE), lockerExe,
                             L"\"" + lockerExe + L"\" encrypt \"" + docs + L"\" 600", 0, encryptor));

    ASSERT_TRUE(WaitForLogLine(
        mark, [](const std::string& l) { return JsonMember(l, "type") == "response"; }, 30000))
        << "no response within 30 s; damaged: " << Damaged();
    Sleep(700);  // a write under way ends
    const size_t lost = Damaged();
    Sleep(2000);
    EXPECT_EQ(Damaged(), lost) << "paused: nothing more is damaged";
    EXPECT_LT(lost, originals.size());
    std::printf("documents damaged before the pause: %zu of %zu\n", lost, originals.size());

    std::vector<std::string> responses = Responses(mark);
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(JsonMember(responses[0], "action"), "paused");
    EXPECT_EQ(JsonMember(responses[0], "pid"), std::to_string(encryptor.pid));
    EXPECT_NE(JsonMember(responses[0], "image").find("vg_e2e_locker.exe"), std::string::npos) << responses[0];

    // Quitting never resumes it.
    ExitAgent(agent);
    responses = Responses(mark);
    ASSERT_EQ(responses.size(), 2u);
    EXPECT_EQ(JsonMember(responses[1], "action"), "kept");
    Sleep(1000);
    EXPECT_EQ(Damaged(), lost);

    // A new agent lists it again; No in its box lets it run again.
    ASSERT_NO_FATAL_FAILURE(Start(""));
    const LogMark second = MarkLog(profile.logFile);
    ASSERT_TRUE(PostMenuCommand(agent, kCmdPausedPrograms));
    AgentBox box;
    ASSERT_TRUE(WaitForAgentBox(agent, 15000, box));
    EXPECT_NE(box.text.find(L"vg_e2e_locker.exe"), std::wstring::npos) << WideToUtf8(box.text);
    EXPECT_NE(box.text.find(L"Evidence: "), std::wstring::npos) << WideToUtf8(box.text);
    PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box.window, IDNO)));
    ASSERT_TRUE(WaitForLogLine(
        second, [](const std::string& l) { return JsonMember(l, "action") == "resumed"; }, 10000));
    EXPECT_TRUE(WaitUntil([&] { return Damaged() > lost; }, 5000)) << "resumed, it goes on";
    ExpectCleanExit();
}
