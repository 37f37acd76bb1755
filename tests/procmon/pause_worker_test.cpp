// The pausing worker on its own under Wine, against real writers: copies of
// the stand-in writer, one encrypting the documents of a folder and one
// writing exports beside them. A content check is played by the test: it
// notes each document found encrypted, as the agent's does.
#include "procmon/pause_worker.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/config.h"
#include "core/paths.h"
#include "core/text.h"
#include "fsmon/damaged_files.h"
#include "procmon/process_memory.h"
#include "support/stand_in.h"
#include "support/test_support.h"

namespace {

const std::string kPlain = [] {
    std::string text;
    while (text.size() < 16 * 1024) text += "Minutes of the meeting: budget, schedule and the next steps.\n";
    return text;
}();

class PauseWorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        UseDataPathsBelow(dir.path);
        EnsureDirectoryTree(gDataPaths.incidentsDir);
        docs = JoinPath(dir.path, L"Documents");
        CreateDirectoryW(docs.c_str(), nullptr);
        CreateDirectoryW(JoinPath(docs, L"sub").c_str(), nullptr);
        for (int i = 0; i < 16; ++i) {
            files.push_back(
                JoinPath(i % 2 ? JoinPath(docs, L"sub") : docs, L"doc" + std::to_wstring(10 + i) + L".txt"));
            ASSERT_TRUE(WriteFileBytes(files.back(), kPlain));
        }
        Settings(true);
        ResetProcessMemory();
        ResetDamagedFiles();
        LoadPausedList();
    }
    void TearDown() override {
        StopPauseWorker();
        for (const PausedProgram& p : PausedPrograms()) AnswerPausedProgram(p, PausedDecision::Resume);
        Settings(false);
    }

    static void Settings(bool pause) {
        Config c;
        SetConfigDefaults(c);
        c.extendedDetection = true;
        c.enableProcessMonitor = true;
        c.pauseSuspectPrograms = pause;
        StoreCurrentConfig(c);
    }

    // A copy of the stand-in writer, remembered as a start, as the monitor does.
    void Start(const wchar_t* name, const wchar_t* mode, const wchar_t* pace, StandIn& writer) {
        writer.removeExe = true;
        const std::wstring exe = JoinPath(dir.path, name);
        ASSERT_TRUE(StartStandIn(StandInProgram(VG_WRITER_EXE), exe,
                                 L"\"" + exe + L"\" " + mode + L" \"" + docs + L"\" " + pace, 0, writer));
        RememberedProcess p;
        p.pid = writer.pid;
        p.startedMs = FileTimeToUnixMs(writer.created);
        p.seenMs = NowUnixMs();
        p.name = name;
        p.path = exe;
        RememberProcessStart(p, NowUnixMs());
    }

    // Plays the content check for `ms`: notes each document that is no longer plain.
    void NoteEncrypted(DWORD ms, const std::function<bool()>& done = nullptr) {
        for (DWORD waited = 0; waited <= ms; waited += 100) {
            for (const std::wstring& f : files) {
                const std::string now = ReadFileBytes(f);
                if (!now.empty() && now != kPlain && !noted.count(f)) {
                    noted.insert(f);
                    NoteDamagedFile(f, NowUnixMs());
                }
            }
            if (done && done()) return;
            Sleep(100);
        }
    }

    std::string AllContent() {
        std::string all;
        for (const std::wstring& f : files) all += ReadFileBytes(f);
        return all;
    }

    std::vector<nlohmann::json> Lines(const char* type) {
        std::vector<nlohmann::json> out;
        for (const std::string& line : ReadLogLines()) {
            nlohmann::json j = nlohmann::json::parse(line);
            if (j["type"] == type) out.push_back(j);
        }
        return out;
    }

    IncidentCreatedInfo Trigger(const char* reason, const std::wstring& name) {
        IncidentCreatedInfo info;
        if (!name.empty()) {
            info.incidentFolder = JoinPath(gDataPaths.incidentsDir, name);
            CreateDirectoryW(info.incidentFolder.c_str(), nullptr);
        }
        info.reason = reason;
        info.severity = 90;
        info.folder = docs;
        info.file = L"doc10.txt";
        info.timeMs = NowUnixMs();
        return info;
    }

    TempDir dir;
    std::wstring docs;
    std::vector<std::wstring> files;
    std::set<std::wstring> noted;
};

}  // namespace

TEST_F(PauseWorkerTest, TheEncryptorIsPausedTheExporterIsNotAndTheListOutlivesTheWorker) {
    StandIn encryptor, exporter;
    Start(L"vg_pw_encryptor.exe", L"encrypt", L"300", encryptor);
    Start(L"vg_pw_exporter.exe", L"everyday", L"200", exporter);
    NoteEncrypted(5000, [&] { return noted.size() >= 2; });
    ASSERT_GE(noted.size(), 2u) << "the encryptor began";

    QueuePauseDecision(Trigger("encrypted_content", L"20260314_120000_1"));
    NoteEncrypted(7000, [&] { return !PausedPrograms().empty(); });
    const std::vector<PausedProgram> paused = PausedPrograms();
    ASSERT_EQ(paused.size(), 1u);
    EXPECT_EQ(paused[0].pid, encryptor.pid);
    EXPECT_EQ(paused[0].startedMs, FileTimeToUnixMs(encryptor.created));
    EXPECT_EQ(paused[0].incident, "20260314_120000_1");

    Sleep(400);
    const std::string frozen = AllContent();
    NoteEncrypted(1500);
    EXPECT_EQ(AllContent(), frozen) << "a paused encryptor damages nothing more";
    const size_t lost = noted.size();
    EXPECT_LT(lost, files.size()) << "it was stopped before the last document";

    // The decision window ends; the exporter was never paused.
    NoteEncrypted(6000);
    ASSERT_EQ(PausedPrograms().size(), 1u);
    std::vector<nlohmann::json> responses = Lines("response");
    ASSERT_EQ(responses.size(), 1u) << "one line, for the encryptor only";
    EXPECT_EQ(responses[0]["action"], "paused");
    EXPECT_EQ(responses[0]["pid"], encryptor.pid);
    EXPECT_EQ(responses[0]["incident"], "20260314_120000_1");
    EXPECT_NE(responses[0]["image"].get<std::string>().find("vg_pw_encryptor.exe"), std::string::npos);
    EXPECT_NE(responses[0]["evidence"].get<std::string>().find("write data"), std::string::npos);
    const nlohmann::json record = nlohmann::json::parse(
        ReadFileBytes(JoinPath(JoinPath(gDataPaths.incidentsDir, L"20260314_120000_1"), L"response.json")));
    ASSERT_EQ(record["responses"].size(), 1u);
    EXPECT_EQ(record["responses"][0]["pid"], encryptor.pid);

    // The agent stops: the program stays paused, with one "kept" line; a new start lists it again.
    StopPauseWorker();
    responses = Lines("response");
    ASSERT_EQ(responses.size(), 2u);
    EXPECT_EQ(responses[1]["action"], "kept");
    EXPECT_EQ(AllContent(), frozen);
    LoadPausedList();
    ASSERT_EQ(PausedPrograms().size(), 1u);
    EXPECT_EQ(PausedPrograms()[0].pid, encryptor.pid);

    AnswerPausedProgram(PausedPrograms()[0], PausedDecision::Resume);
    EXPECT_TRUE(PausedPrograms().empty());
    EXPECT_EQ(Lines("response").back()["action"], "resumed");
    NoteEncrypted(3000, [&] { return AllContent() != frozen; });
    EXPECT_NE(AllContent(), frozen) << "resumed, it goes on";
    LoadPausedList();
    EXPECT_TRUE(PausedPrograms().empty()) << "the file holds the list as it is";
}

TEST_F(PauseWorkerTest, NothingWithTheSettingOffOrAnotherReason) {
    StandIn encryptor;
    Start(L"vg_pw_encryptor2.exe", L"encrypt", L"300", encryptor);
    NoteEncrypted(5000, [&] { return noted.size() >= 1; });
    ASSERT_GE(noted.size(), 1u);
    Settings(false);
    QueuePauseDecision(Trigger("canary_file_touched", L""));
    Settings(true);
    QueuePauseDecision(Trigger("dir_file_heuristic", L""));
    QueuePauseDecision(Trigger("file_burst", L""));
    NoteEncrypted(2000);
    EXPECT_TRUE(PausedPrograms().empty());
    EXPECT_TRUE(Lines("response").empty());

    // The same detection rate limited (no incident folder) still pauses it.
    QueuePauseDecision(Trigger("canary_file_touched", L""));
    NoteEncrypted(7000, [&] { return !PausedPrograms().empty(); });
    ASSERT_EQ(PausedPrograms().size(), 1u);
    EXPECT_EQ(PausedPrograms()[0].incident, "");
}
