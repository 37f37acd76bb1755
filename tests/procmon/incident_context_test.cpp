// The context worker on its own under Wine: what it writes and logs for a
// queued incident, and that every incident queued gets exactly one
// "incident_context" line whatever the queue limit and the stop do to it.
#include "procmon/incident_context.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/paths.h"
#include "core/text.h"
#include "procmon/process_memory.h"
#include "support/test_support.h"

namespace {

int64_t NowMs() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return static_cast<int64_t>(((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) /
                                10000) -
           11644473600000LL;
}

class IncidentContextTest : public ::testing::Test {
protected:
    void SetUp() override {
        UseDataPathsBelow(dir.path);
        gLiveConfig.extendedDetection.store(true);
        ResetProcessMemory();
    }
    void TearDown() override {
        StopIncidentContext();
        gLiveConfig.extendedDetection.store(false);
    }

    // A fresh incident folder (as the store makes them) and its record.
    IncidentCreatedInfo Incident(const std::wstring& name, bool makeFolder = true) {
        IncidentCreatedInfo info;
        info.incidentFolder = JoinPath(gDataPaths.incidentsDir, name);
        if (makeFolder) CreateDirectoryW(info.incidentFolder.c_str(), nullptr);
        info.reason = "canary_file_touched";
        info.severity = 90;
        info.folder = dir.path;
        info.file = L"vellumgard_do_not_touch.txt";
        info.timeMs = NowMs();
        return info;
    }

    // The "incident_context" lines by their "incident" member.
    std::map<std::string, std::vector<nlohmann::json>> ContextLines() {
        std::map<std::string, std::vector<nlohmann::json>> lines;
        for (const std::string& line : ReadLogLines()) {
            const nlohmann::json j = nlohmann::json::parse(line);
            if (j["type"] == "incident_context") lines[j["incident"].get<std::string>()].push_back(j);
        }
        return lines;
    }

    TempDir dir;
};

}  // namespace

// One incident: context.json beside incident.json naming the program started
// from Downloads, and one line that names the same program.
TEST_F(IncidentContextTest, AQueuedIncidentGetsItsContextFileAndOneLine) {
    const int64_t now = NowMs();
    RememberedProcess culprit;
    culprit.pid = 4000001;  // no such process: its end is noticed
    culprit.startedMs = now - 3000;
    culprit.seenMs = now - 2900;
    culprit.name = L"invoice_2024.exe";
    wchar_t temp[MAX_PATH + 1];
    culprit.path = JoinPath(std::wstring(temp, GetTempPathW(MAX_PATH + 1, temp)), L"invoice_2024.exe");
    RememberProcessStart(culprit, now - 2900);

    const IncidentCreatedInfo info = Incident(L"20260314_120000_1");
    QueueIncidentContext(info);
    const std::wstring file = JoinPath(info.incidentFolder, L"context.json");
    for (int waited = 0; waited < 5000 && ContextLines().empty(); waited += 50) Sleep(50);

    const auto lines = ContextLines();
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_EQ(lines.at("20260314_120000_1").size(), 1u);
    const nlohmann::json& line = lines.at("20260314_120000_1")[0];
    const nlohmann::json context = nlohmann::json::parse(ReadFileBytes(file));
    EXPECT_EQ(context["incident"], "20260314_120000_1");
    EXPECT_EQ(context["holdersKnown"], false) << "Wine lists no holders, and the worker finds that out";
    ASSERT_EQ(context["unknown"], false) << context.dump();
    EXPECT_EQ(context["suspects"][0]["name"], "invoice_2024.exe");
    EXPECT_NE(context["suspects"][0]["ended"], "") << "its end was noticed";
    EXPECT_EQ(line["name"], context["suspects"][0]["name"]);
    EXPECT_EQ(line["pid"], 4000001);
    EXPECT_EQ(line["path"], WideToUtf8(culprit.path));
}

// Whatever is refused, dropped at the stop or gathered, each incident gets
// exactly one line, and a context.json exactly when its line has no error.
// The stop returns within its bound, and a later incident is served again.
TEST_F(IncidentContextTest, EveryIncidentGetsExactlyOneLineThroughTheLimitAndTheStop) {
    const size_t n = 2 * kContextQueueLimit;
    std::vector<IncidentCreatedInfo> infos;
    for (size_t i = 0; i < n; ++i) infos.push_back(Incident(L"inc_" + std::to_wstring(i)));
    infos.push_back(Incident(L"gone", false));  // its folder is not there to write into
    for (const IncidentCreatedInfo& info : infos) QueueIncidentContext(info);
    const DWORD before = GetTickCount();
    StopIncidentContext();
    EXPECT_LE(GetTickCount() - before, kContextStopWaitMs);

    const auto lines = ContextLines();
    size_t refused = 0;
    for (const IncidentCreatedInfo& info : infos) {
        const std::string name = WideToUtf8(info.incidentFolder.substr(info.incidentFolder.rfind(L'\\') + 1));
        ASSERT_EQ(lines.count(name), 1u) << name;
        ASSERT_EQ(lines.at(name).size(), 1u) << name;
        const nlohmann::json& line = lines.at(name)[0];
        const bool error = line.contains("error");
        EXPECT_EQ(PathExists(JoinPath(info.incidentFolder, L"context.json")), !error) << line.dump();
        if (!error) continue;
        const std::string why = line["error"].get<std::string>();
        EXPECT_TRUE(why == "too many incidents at once" || why == "the agent stopped first" ||
                    (name == "gone" && why == "context.json could not be written"))
            << line.dump();
        refused += why == "too many incidents at once";
    }
    EXPECT_GE(refused, 1u) << "more were queued at once than the queue holds";

    const IncidentCreatedInfo later = Incident(L"later");
    QueueIncidentContext(later);
    for (int waited = 0; waited < 5000 && !ContextLines().count("later"); waited += 50) Sleep(50);
    EXPECT_TRUE(PathExists(JoinPath(later.incidentFolder, L"context.json")));
}

// With the setting off nothing is queued: no line, no file, no thread.
TEST_F(IncidentContextTest, WithTheSettingOffNothingHappens) {
    gLiveConfig.extendedDetection.store(false);
    const IncidentCreatedInfo info = Incident(L"off");
    QueueIncidentContext(info);
    Sleep(500);
    EXPECT_TRUE(ContextLines().empty());
    EXPECT_FALSE(PathExists(JoinPath(info.incidentFolder, L"context.json")));
}
