// The alert poll seen through the recorded Shell_NotifyIconW calls: the
// tooltip on every poll while a critical incident exists, one balloon per
// new incident.
#include <gtest/gtest.h>
#include <windows.h>
// The shell headers need windows.h first.
#include <shellapi.h>

#include "core/clock.h"
#include "core/hooks.h"
#include "core/paths.h"
#include "core/text.h"
#include "tray/alerts.h"
#include "tray/tray_window.h"
#include "tray_harness.h"

namespace {

int gSyncCalls = 0;
void CountSync(const Config&) {
    ++gSyncCalls;
}

std::vector<NotifyCall> Balloons() {
    std::vector<NotifyCall> out;
    for (const NotifyCall& c : gNotifyCalls)
        if (c.data.uFlags & NIF_INFO) out.push_back(c);
    return out;
}

std::vector<std::wstring> Tips() {
    std::vector<std::wstring> out;
    for (const NotifyCall& c : gNotifyCalls)
        if (c.message == NIM_MODIFY && c.data.uFlags == NIF_TIP) out.push_back(c.data.szTip);
    return out;
}

const wchar_t kNormalTip[] = L"Vellumgard (Elevated)";
const char kCanaryTitle[] = "High-confidence alert: Canary file changed";

}  // namespace

TEST(TrayAlerts, SeverityEightyNineNeverAlerts) {
    TrayHarness tray;
    WriteIncident("a", LocalIso(NowSeconds() - 60), "canary_file_touched", 89, "C:\\d", "f.txt");
    ASSERT_NE(tray.CreateWindowNow(), nullptr);
    tray.Tick();
    tray.Tick();
    EXPECT_TRUE(Balloons().empty());
    // Add, reset, first poll, two ticks: always the normal tooltip.
    EXPECT_EQ(Tips(), std::vector<std::wstring>(4, kNormalTip));
    EXPECT_TRUE(LastAlertKey().empty());
}

TEST(TrayAlerts, FirstPollNamesTheIncidentAndTheFirstTickAnnouncesItOnce) {
    TrayHarness tray;
    const std::string ts = LocalIso(NowSeconds() - 3600);
    WriteIncident("a", ts, "canary_file_touched", 90, "C:\\Users\\a\\Documents",
                  "Vellumgard_DO_NOT_TOUCH.txt");
    ASSERT_NE(tray.CreateWindowNow(), nullptr);
    const std::wstring alert = Utf8ToWide(std::string(kCanaryTitle) + " - Vellumgard_DO_NOT_TOUCH.txt");
    const std::wstring tip = L"Vellumgard - CRITICAL: " + alert;

    // Creation: add, the normal tip, then the poll (notify off) names the incident.
    EXPECT_EQ(Tips(), std::vector<std::wstring>({kNormalTip, tip}));
    EXPECT_TRUE(Balloons().empty());
    EXPECT_TRUE(LastAlertKey().empty());

    ClearTrayRecords();
    tray.Tick();
    ASSERT_EQ(gNotifyCalls.size(), 2u);
    EXPECT_EQ(Tips(), std::vector<std::wstring>({tip}));
    const NOTIFYICONDATAW& balloon = gNotifyCalls[1].data;
    EXPECT_EQ(gNotifyCalls[1].message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(balloon.uFlags, static_cast<UINT>(NIF_INFO));
    EXPECT_STREQ(balloon.szInfoTitle, L"Vellumgard - Critical alert");
    EXPECT_EQ(std::wstring(balloon.szInfo), alert + L"\nRun Report for details.");
    EXPECT_EQ(balloon.dwInfoFlags, static_cast<DWORD>(NIIF_ERROR));
    EXPECT_EQ(balloon.uTimeout, 0u);
    // The balloon keeps the tooltip just set.
    EXPECT_EQ(std::wstring(balloon.szTip), tip);
    EXPECT_EQ(LastAlertKey(), Utf8ToWide(ts));

    // The same incident again: the tooltip is rewritten, no second balloon.
    ClearTrayRecords();
    tray.Tick();
    EXPECT_EQ(Tips(), std::vector<std::wstring>({tip}));
    EXPECT_TRUE(Balloons().empty());
}

TEST(TrayAlerts, EachNewCriticalIncidentGetsItsBalloon) {
    TrayHarness tray;
    const int64_t now = NowSeconds();
    WriteIncident("a", LocalIso(now - 600), "file_burst", 95, "C:\\Users\\a\\Documents", "");
    ASSERT_NE(tray.CreateWindowNow(), nullptr);
    tray.Tick();
    ASSERT_EQ(Balloons().size(), 1u);
    EXPECT_EQ(std::wstring(Balloons()[0].data.szInfo),
              L"Mass file changes detected (possible ransomware pattern) - C:\\Users\\a\\Documents"
              L"\nRun Report for details.");

    // A newer one of lower (still critical) severity, and a newer non-critical one.
    WriteIncident("b", LocalIso(now - 300), "canary_file_touched", 90, "C:\\d", "x.txt");
    WriteIncident("c", LocalIso(now - 100), "dir_file_heuristic", 65, "C:\\d", "y.locked");
    ClearTrayRecords();
    tray.Tick();
    tray.Tick();
    ASSERT_EQ(Balloons().size(), 1u);
    EXPECT_EQ(std::wstring(Balloons()[0].data.szInfo),
              Utf8ToWide(std::string(kCanaryTitle) + " - x.txt\nRun Report for details."));
    EXPECT_EQ(LastAlertKey(), Utf8ToWide(LocalIso(now - 300)));
}

TEST(TrayAlerts, LongTextsAreCutToTheirBuffers) {
    TrayHarness tray;
    const std::string longName(200, 'n');
    WriteIncident("a", LocalIso(NowSeconds() - 5), "dir_file_heuristic", 99, "C:\\d", longName);
    ASSERT_NE(tray.CreateWindowNow(), nullptr);
    tray.Tick();
    // 35 bytes of title and separator, then the name, cut to 120 bytes.
    const std::wstring alert = Utf8ToWide("Suspicious file pattern detected - " + longName.substr(0, 85));
    ASSERT_EQ(alert.size(), 120u);
    const auto tips = Tips();
    ASSERT_FALSE(tips.empty());
    EXPECT_EQ(tips.back(), (L"Vellumgard - CRITICAL: " + alert).substr(0, 120));
    ASSERT_EQ(Balloons().size(), 1u);
    EXPECT_EQ(std::wstring(Balloons()[0].data.szInfo), alert + L"\nRun Report for details.");
}

TEST(TrayAlerts, OldIncidentsFallOutAndTheTooltipReturns) {
    TrayHarness tray;
    WriteIncident("old", LocalIso(NowSeconds() - 86400 - 600), "canary_file_touched", 100, "C:\\d", "f.txt");
    ASSERT_NE(tray.CreateWindowNow(), nullptr);
    tray.Tick();
    EXPECT_TRUE(Balloons().empty());
    EXPECT_EQ(Tips().back(), kNormalTip);
}

// Every poll that finds incidents brings the extra folders in line; finding a
// critical one does so once more.
TEST(TrayAlerts, CriticalPollResynchronisesTheExtraFolders) {
    TrayHarness tray;
    gSyncExtraWatchDirs = CountSync;
    WriteIncident("a", LocalIso(NowSeconds() - 60), "file_burst", 80, "C:\\d", "");
    ASSERT_NE(tray.CreateWindowNow(), nullptr);
    // A poll that finds at least one incident synchronises once, as reading
    // each file did before the incidents were kept in memory (a folder that
    // could not be watched earlier is retried there); a critical incident
    // adds the alert's own synchronisation.
    gSyncCalls = 0;
    tray.Tick();
    EXPECT_EQ(gSyncCalls, 1);

    WriteIncident("b", LocalIso(NowSeconds() - 30), "file_burst", 90, "C:\\d", "");
    gSyncCalls = 0;
    tray.Tick();
    EXPECT_EQ(gSyncCalls, 2);  // the incidents found, and the critical incident
    gSyncCalls = 0;
    tray.Tick();
    EXPECT_EQ(gSyncCalls, 2);  // the same on every poll
    gSyncExtraWatchDirs = nullptr;
}

TEST(TrayAlerts, PollBeforeTheIconExistsDoesNothing) {
    TrayHarness tray;
    WriteIncident("a", LocalIso(NowSeconds() - 60), "canary_file_touched", 95, "C:\\d", "f.txt");
    PollAlerts(true);
    PollAlerts(false);
    EXPECT_TRUE(gNotifyCalls.empty());
    EXPECT_TRUE(LastAlertKey().empty());
}

TEST(TrayAlerts, LatestCriticalIncidentOutputs) {
    TrayHarness tray;
    std::wstring text = L"stale", key = L"stale";
    int32_t severity = 7;
    EXPECT_FALSE(LatestCriticalIncident(text, key, severity));
    EXPECT_EQ(text, L"");
    EXPECT_EQ(key, L"");
    EXPECT_EQ(severity, 0);

    const std::string ts = LocalIso(NowSeconds() - 60);
    WriteIncident("a", ts, "process_heuristic", 97, "", "");
    ASSERT_TRUE(LatestCriticalIncident(text, key, severity));
    EXPECT_EQ(text, L"Suspicious process behavior detected");
    EXPECT_EQ(key, Utf8ToWide(ts));
    EXPECT_EQ(severity, 97);
}

// This test program has no icon resource: the tray falls back to the system's shield.
TEST(TrayIcon, FallsBackToTheSystemShield) {
    TrayHarness tray;
    ASSERT_NE(tray.CreateWindowNow(), nullptr);
    ASSERT_FALSE(gNotifyCalls.empty());
    EXPECT_EQ(gNotifyCalls[0].data.hIcon, LoadIconW(nullptr, IDI_SHIELD));
}
