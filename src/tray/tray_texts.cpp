#include "tray/tray_texts.h"

#include "core/text.h"
#include "report/incident_explanations.h"

namespace {

const wchar_t kProduct[] = L"Vellumgard";
const wchar_t kRule[] = L"--------------------";

void Line(std::wstring& out, const std::wstring& text) {
    out += text;
    out += L'\n';
}

// Shared by both status boxes; only the blank line after Mode differs.
std::wstring StatusLines(bool isAdmin, const DataPaths& paths, const std::wstring& configStatus,
                         bool blankAfterMode) {
    std::wstring out;
    Line(out, std::wstring(kProduct) + L" status");
    Line(out, kRule);
    Line(out, L"Mode: " + ModeText(isAdmin));
    if (blankAfterMode) Line(out, L"");
    Line(out, L"Data dir:");
    Line(out, paths.dataDir);
    Line(out, L"");
    Line(out, L"Log file:");
    Line(out, paths.logFile);
    Line(out, L"");
    Line(out, L"Config:");
    Line(out, paths.configFile);
    Line(out, L"");
    Line(out, configStatus);
    return out;
}

}  // namespace

std::wstring ModeText(bool isAdmin) {
    return isAdmin ? L"Elevated (admin)" : L"Lite (non-admin)";
}

std::wstring AddedTipText(bool isAdmin) {
    return std::wstring(kProduct) + L" - " + (isAdmin ? L"Admin mode" : L"Lite mode");
}

std::wstring NormalTipText(bool isAdmin) {
    return std::wstring(kProduct) + L" (" + (isAdmin ? L"Elevated" : L"Lite") + L")";
}

std::wstring StatusText(bool isAdmin, const DataPaths& paths, const std::wstring& configStatus) {
    return StatusLines(isAdmin, paths, configStatus, true);
}

std::wstring DoubleClickStatusText(bool isAdmin, const DataPaths& paths, const std::wstring& configStatus) {
    return StatusLines(isAdmin, paths, configStatus, false);
}

std::wstring SelfTestText(const SelfTestFacts& facts) {
    std::wstring out;
    Line(out, std::wstring(kProduct) + L" self-test");
    Line(out, kRule);
    Line(out, L"Root dir: " + facts.paths.dataDir);
    Line(out, L"Log file: " + facts.paths.logFile);
    Line(out, L"Config:   " + facts.paths.configFile);
    Line(out, L"Report:   " + facts.paths.reportFile);
    Line(out, L"Incidents: " + facts.paths.incidentsDir);
    Line(out, L"Mode:     " + ModeText(facts.isAdmin));
    Line(out, L"");
    Line(out, facts.dataDirOk ? L"[+] Data directory OK." : L"[x] Failed to create data directory.");
    Line(out, facts.logFileOk ? L"[+] Log file exists and appears writeable."
                              : L"[x] Log file does not exist after write attempt.");
    Line(out, L"[+] " + facts.configStatus);
    if (facts.processMonitorEnabled) {
        Line(out,
             L"[~] Process monitor uses WMI; if you see 'proc_mon_error' in the log, check WMI permissions.");
    }
    return out;
}

bool ChooseLatestCritical(const std::vector<IncidentSummary>& incidents, IncidentSummary& choice) {
    const IncidentSummary* best = nullptr;
    for (const IncidentSummary& incident : incidents) {
        if (incident.severity < kCriticalSeverity) continue;
        // std::string compares bytes as unsigned, a proper prefix as smaller.
        if (!best || best->ts < incident.ts) best = &incident;
    }
    if (!best) return false;
    choice = *best;
    return true;
}

std::wstring AlertText(const IncidentSummary& incident) {
    std::string text = IncidentTitle(incident.reason);
    const std::string& detail = incident.file.empty() ? incident.folder : incident.file;
    if (!detail.empty()) text += " - " + detail;
    if (text.size() > kAlertTextMaxBytes) text.resize(kAlertTextMaxBytes);
    return Utf8ToWide(text);
}

std::wstring AlertTipText(const std::wstring& alertText) {
    std::wstring tip = std::wstring(kProduct) + L" - CRITICAL: " + alertText;
    if (tip.size() > kAlertTipMaxUnits) tip.resize(kAlertTipMaxUnits);
    return tip;
}

std::wstring BalloonTitleText() {
    return std::wstring(kProduct) + L" - Critical alert";
}

std::wstring BalloonBodyText(const std::wstring& alertText) {
    return alertText.substr(0, kBalloonTextMaxUnits) + L"\nRun Report for details.";
}

void CopyTruncated(wchar_t* dest, size_t capacity, const std::wstring& text) {
    if (capacity == 0) return;
    const size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    text.copy(dest, n);
    dest[n] = L'\0';
}

const TrayMenuItem kTrayMenuItems[kTrayMenuItemCount] = {
    {kMenuItemString, kCmdStatus, L"Status"},
    {kMenuItemString, kCmdRunReport, L"Run report"},
    {kMenuItemString, kCmdReloadConfig, L"Reload config"},
    {kMenuItemString, kCmdOpenLog, L"Open log file"},
    {kMenuItemString, kCmdOpenDataFolder, L"Open data folder"},
    {kMenuItemString, kCmdSelfTest, L"Run self-test"},
    {kMenuItemSeparator, 0, nullptr},
    {kMenuItemString, kCmdExit, L"Exit"},
};
