// Benchmark: one alert poll (PollAlerts) with 1,440 incidents in the last 24
// hours and 10,000 older ones. Prints figures.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <ctime>

#include "core/paths.h"
#include "core/text.h"
#include "incidents/incident_store.h"
#include "support/test_support.h"
#include "tray/alerts.h"
#include "tray/tray_seams.h"
#include "tray/tray_window.h"

namespace {
std::string IsoAt(int64_t t) {
    const time_t tt = static_cast<time_t>(t);
    struct tm lt;
    localtime_s(&lt, &tt);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday,
                  lt.tm_hour, lt.tm_min, lt.tm_sec);
    return buf;
}
BOOL NoShell(DWORD, NOTIFYICONDATAW*) { return TRUE; }
}  // namespace

int main() {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    const int64_t now = _time64(nullptr);
    std::printf("building 1440 recent (every tenth critical) + 10000 older incidents...\n");
    for (int i = 0; i < 11440; ++i) {
        const int64_t t = i < 1440 ? now - 60 * i : now - 2 * 86400 - 60 * i;
        const std::wstring folder = JoinPath(gDataPaths.incidentsDir, L"inc_" + std::to_wstring(i));
        CreateDirectoryW(folder.c_str(), nullptr);
        WriteFileBytes(JoinPath(folder, L"incident.json"),
                       BuildIncidentJson(IsoAt(t), i % 10 ? "file_burst" : "canary_file_touched", i % 10 ? 80 : 90,
                                         false, L"C:\\Users\\user\\Documents", true, L"budget.xlsx"));
    }
    gTraySeams.shellNotifyIcon = NoShell;
    gTrayIcon.hWnd = reinterpret_cast<HWND>(1);  // the icon-present mark
    PollAlerts(false);                           // warm the file cache like a running agent's poll
    const auto t0 = std::chrono::steady_clock::now();
    PollAlerts(true);
    const auto t1 = std::chrono::steady_clock::now();
    std::printf("PollAlerts: %.3f s (target: under 1 s); balloon key %s\n",
                std::chrono::duration<double>(t1 - t0).count(), WideToUtf8(LastAlertKey()).c_str());
    gTrayIcon.hWnd = nullptr;
    return 0;
}
