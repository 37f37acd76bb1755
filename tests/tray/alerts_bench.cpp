// Benchmark: the alert poll (PollAlerts) over incident folders made
// beforehand, natively (scripts/bench-incidents.py): the first poll of a
// starting agent, the poll of every timer tick, and the poll right after one
// new critical incident, which must announce it. The incident it names is
// checked against the literal scan's on the same data.
// Usage: tray_alerts_bench.exe BASE (incident folders in BASE\Vellumgard\Incidents).
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include "core/paths.h"
#include "core/seams.h"
#include "core/text.h"
#include "incidents/incident_scanner.h"
#include "incidents/incident_store.h"
#include "literal_scan.h"
#include "support/test_support.h"
#include "tray/agent_hooks.h"
#include "tray/alerts.h"
#include "tray/tray_seams.h"
#include "tray/tray_texts.h"
#include "tray/tray_window.h"

namespace {

using Clock = std::chrono::steady_clock;
int64_t gFrozenNow = 0;

BOOL NoShell(DWORD, NOTIFYICONDATAW*) {
    return TRUE;
}

double PollMs(bool notify) {
    const auto t0 = Clock::now();
    PollAlerts(notify);
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// The key the poll must announce: the latest critical of the literal scan.
std::wstring LiteralKey() {
    IncidentSummary choice;
    if (!ChooseLatestCritical(LiteralScanIncidents(gDataPaths.incidentsDir, gFrozenNow), choice)) return L"";
    return Utf8ToWide(choice.ts);
}

std::vector<std::wstring> FolderNames() {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(JoinPath(gDataPaths.incidentsDir, L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        if (fd.cFileName[0] != L'.') names.push_back(fd.cFileName);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: tray_alerts_bench BASE (incident folders in BASE\\Vellumgard\\Incidents)\n");
        return 2;
    }
    UseDataPathsBelow(Utf8ToWide(argv[1]));
    InstallAgentHooks();  // the poll's watch-set synchronisations are the real ones
    gFrozenNow = _time64(nullptr);
    gSeams.nowSeconds = [] { return gFrozenNow; };
    gTraySeams.shellNotifyIcon = NoShell;
    gTrayIcon.hWnd = reinterpret_cast<HWND>(1);  // the icon-present mark

    const std::vector<std::wstring> given = FolderNames();
    const double first = PollMs(false);
    std::vector<double> ticks;
    for (int i = 0; i < 20; ++i) ticks.push_back(PollMs(true));
    std::sort(ticks.begin(), ticks.end());
    bool ok = LastAlertKey() == LiteralKey();
    std::printf("PollAlerts, first poll (the index is built):  %8.1f ms\n", first);
    std::printf(
        "PollAlerts, every tick after it, 20 polls:     median %.2f ms, max %.2f ms (target: under 50 ms)\n",
        ticks[ticks.size() / 2], ticks.back());

    // A new critical incident, one second newer than anything there.
    const std::vector<IncidentSummary> before = ScanIncidents(gDataPaths);
    gFrozenNow += 1;
    CreateIncidentWithFile(kReasonCanary, 95, L"C:\\Users\\user\\Documents", L"bench_canary.txt");
    const double afterNew = PollMs(true);
    const std::wstring announced = LastAlertKey();
    ok = ok && announced == LiteralKey() && ScanIncidents(gDataPaths).size() == before.size() + 1;
    std::printf("PollAlerts right after a new critical incident: %6.2f ms; balloon for %s (%s)\n", afterNew,
                WideToUtf8(announced).c_str(),
                ok ? "the literal scan's latest critical" : "NOT THE LITERAL SCAN'S");

    // Leave the data as it was: remove the folder this run added.
    StopIncidentIndex();
    for (const std::wstring& name : FolderNames())
        if (!std::binary_search(given.begin(), given.end(), name))
            RemoveTree(JoinPath(gDataPaths.incidentsDir, name));
    gTrayIcon.hWnd = nullptr;
    return ok ? 0 : 1;
}
