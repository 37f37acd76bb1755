#include "tray/alerts.h"

#include <windows.h>
// The shell headers need windows.h first.
#include <shellapi.h>

#include "core/hooks.h"
#include "core/paths.h"
#include "core/text.h"
#include "incidents/incident_scanner.h"
#include "tray/tray_seams.h"
#include "tray/tray_texts.h"
#include "tray/tray_window.h"

namespace {

std::wstring gLastAlertKey;  // main thread only

}  // namespace

const std::wstring& LastAlertKey() {
    return gLastAlertKey;
}

bool LatestCriticalIncident(std::wstring& alertText, std::wstring& key, int32_t& severity) {
    alertText.clear();
    key.clear();
    severity = 0;
    IncidentSummary choice;
    if (!ChooseLatestCritical(ScanIncidents(gDataPaths), choice)) return false;
    severity = choice.severity;
    key = Utf8ToWide(choice.ts);
    alertText = AlertText(choice);
    SyncExtraWatchDirsWithSnapshot();
    return true;
}

void PollAlerts(bool notify) {
    if (!TrayIconPresent()) return;
    std::wstring alertText;
    std::wstring key;
    int32_t severity = 0;
    if (!LatestCriticalIncident(alertText, key, severity) || severity < kCriticalSeverity) {
        ResetTrayTip();
        return;
    }

    CopyTruncated(gTrayIcon.szTip, ARRAYSIZE(gTrayIcon.szTip), AlertTipText(alertText));
    gTrayIcon.uFlags = NIF_TIP;
    TrayNotifyIcon(NIM_MODIFY, &gTrayIcon);

    if (!notify || key.empty() || key == gLastAlertKey) return;
    gLastAlertKey = key;
    CopyTruncated(gTrayIcon.szInfoTitle, ARRAYSIZE(gTrayIcon.szInfoTitle), BalloonTitleText());
    CopyTruncated(gTrayIcon.szInfo, ARRAYSIZE(gTrayIcon.szInfo), BalloonBodyText(alertText));
    gTrayIcon.dwInfoFlags = NIIF_ERROR;
    // Balloon only: the tooltip just set stays as it is.
    gTrayIcon.uFlags = NIF_INFO;
    TrayNotifyIcon(NIM_MODIFY, &gTrayIcon);
}
