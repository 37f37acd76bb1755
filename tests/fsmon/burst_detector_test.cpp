#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/locks.h"
#include "core/paths.h"
#include "core/text.h"
#include "fsmon/burst_detector.h"
#include "support/test_support.h"

using nlohmann::json;

namespace {

// Every incident.json below the Incidents folder, parsed, in name order.
std::vector<json> Incidents() {
    std::vector<std::wstring> folders;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(JoinPath(gDataPaths.incidentsDir, L"*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = fd.cFileName;
            if (name != L"." && name != L"..") folders.push_back(name);
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    std::sort(folders.begin(), folders.end());
    std::vector<json> incidents;
    for (const std::wstring& folder : folders) {
        incidents.push_back(json::parse(ReadFileBytes(JoinPath(JoinPath(gDataPaths.incidentsDir, folder), L"incident.json"))));
    }
    return incidents;
}

TEST(NoteChangeBatch, BurstsBecomeIncidentsUnderTheStoresRateLimit) {
    TempDir dir;
    FakeClock clock;
    UseDataPathsBelow(dir.path);
    CreateCoreLock(gBurstLock);
    gLiveConfig.burstWindowSeconds.store(0);
    gLiveConfig.burstThreshold.store(2);
    gLiveConfig.fileBurstIncidentSeverity.store(0);
    const std::wstring documents = L"C:\\Users\\u\\Documents";
    const std::wstring odd = L"C:\\Users\\u\\\"quoted\" \u00E9";

    NoteChangeBatch(documents);
    EXPECT_TRUE(LogTypes().empty());
    NoteChangeBatch(documents);  // two batches within 30 s
    NoteChangeBatch(odd);        // still two or more in the window, but rate limited
    EXPECT_EQ(LogTypes(), std::vector<std::string>({"incident_created", "incident_rate_limited"}));

    // Past the rate limit and the window: the old batches no longer count.
    FakeClock::seconds += 61;
    NoteChangeBatch(documents);
    EXPECT_EQ(LogTypes().size(), 2u);
    NoteChangeBatch(odd);  // the batch that completes the burst names its own folder

    const std::vector<json> incidents = Incidents();
    ASSERT_EQ(incidents.size(), 2u);
    for (const json& incident : incidents) {
        EXPECT_EQ(incident["reason"], "file_burst");
        EXPECT_EQ(incident["severity"], 80);
        EXPECT_FALSE(incident.contains("file"));
    }
    EXPECT_EQ(incidents[0]["folder"], WideToUtf8(documents));
    EXPECT_EQ(incidents[1]["folder"], WideToUtf8(odd));
    const json last = json::parse(ReadLogLines().back());
    EXPECT_EQ(last["type"], "incident_created");
    EXPECT_EQ(last["reason"], "file_burst");
}

TEST(NoteChangeBatch, DoesNothingWhileTheLockDoesNotExist) {
    TempDir dir;
    FakeClock clock;
    UseDataPathsBelow(dir.path);
    DeleteCoreLock(gBurstLock);
    gLiveConfig.burstThreshold.store(1);
    NoteChangeBatch(L"C:\\x");
    EXPECT_TRUE(LogTypes().empty());
    EXPECT_TRUE(Incidents().empty());
}

}  // namespace
