// Every text the tray shows: tooltips, the status and self-test boxes, the
// alert tooltip and balloon, and the context menu's items. Pure: the mode,
// paths and status come in as values, so the texts of both modes can be
// checked anywhere (under Wine the process is always an administrator).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/paths.h"
#include "incidents/incident_scanner.h"

// "Elevated (admin)" or "Lite (non-admin)".
std::wstring ModeText(bool isAdmin);

// Tooltip right after the icon is added: "Vellumgard - Admin mode" / "... - Lite mode".
std::wstring AddedTipText(bool isAdmin);
// Tooltip while no critical incident exists: "Vellumgard (Elevated)" / "Vellumgard (Lite)".
std::wstring NormalTipText(bool isAdmin);

// The Status box (menu); the double-click box lacks the blank line after Mode.
std::wstring StatusText(bool isAdmin, const DataPaths& paths, const std::wstring& configStatus);
std::wstring DoubleClickStatusText(bool isAdmin, const DataPaths& paths, const std::wstring& configStatus);

// What the self-test found, in the order it looks.
struct SelfTestFacts {
    bool isAdmin = false;
    DataPaths paths;
    bool dataDirOk = false;
    bool logFileOk = false;
    std::wstring configStatus;
    bool processMonitorEnabled = false;
};
std::wstring SelfTestText(const SelfTestFacts& facts);
inline bool SelfTestPassed(const SelfTestFacts& facts) {
    return facts.dataDirOk && facts.logFileOk;
}

constexpr int32_t kCriticalSeverity = 90;

// The latest (greatest `ts`, bytewise) incident of severity 90 or more; on
// equal `ts` the earlier element stays. False when there is none.
bool ChooseLatestCritical(const std::vector<IncidentSummary>& incidents, IncidentSummary& choice);

// Limits of the alert texts.
constexpr size_t kAlertTextMaxBytes = 120;    // UTF-8, before conversion
constexpr size_t kAlertTipMaxUnits = 120;     // whole tooltip
constexpr size_t kBalloonTextMaxUnits = 220;  // alert part of the balloon

// Title of the reason, then " - " and the file (or else the folder) when
// there is one; cut to 120 bytes, then converted to UTF-16.
std::wstring AlertText(const IncidentSummary& incident);
// "Vellumgard - CRITICAL: " + alert text, cut to 120 units.
std::wstring AlertTipText(const std::wstring& alertText);
// "Vellumgard - Critical alert".
std::wstring BalloonTitleText();
// Alert text cut to 220 units, a line feed, then "Run Report for details.".
std::wstring BalloonBodyText(const std::wstring& alertText);

// Copies text into a fixed buffer of `capacity` units, cutting it to
// capacity-1 and always terminating. Nothing is written for capacity 0.
void CopyTruncated(wchar_t* dest, size_t capacity, const std::wstring& text);

// The context menu, top to bottom. Flags and identifiers are the platform's
// values (MF_BYPOSITION|MF_STRING, MF_BYPOSITION|MF_SEPARATOR).
constexpr uint32_t kMenuItemString = 0x400;
constexpr uint32_t kMenuItemSeparator = 0xC00;
enum TrayCommand : uint32_t {
    kCmdStatus = 1001,
    kCmdRunReport = 1002,
    kCmdReloadConfig = 1003,
    kCmdOpenLog = 1004,
    kCmdOpenDataFolder = 1005,
    kCmdSelfTest = 1006,
    kCmdExit = 1007,
};
struct TrayMenuItem {
    uint32_t flags;
    uint32_t id;          // 0 for the separator
    const wchar_t* text;  // null for the separator
};
constexpr size_t kTrayMenuItemCount = 8;
extern const TrayMenuItem kTrayMenuItems[kTrayMenuItemCount];
