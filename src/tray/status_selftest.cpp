#include "tray/status_selftest.h"

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/paths.h"
#include "tray/tray_seams.h"
#include "tray/tray_texts.h"

std::wstring BuildStatusText() {
    return StatusText(gCoreState.isAdmin, gDataPaths, LastConfigStatus());
}

void ShowStatusBox(HWND owner) {
    TrayMessageBox(owner, DoubleClickStatusText(gCoreState.isAdmin, gDataPaths, LastConfigStatus()),
                   MB_OK | MB_ICONINFORMATION);
}

SelfTestResult RunSelfTest() {
    SelfTestFacts facts;
    facts.isAdmin = gCoreState.isAdmin;
    facts.paths = gDataPaths;
    facts.dataDirOk = EnsureDirectoryTree(gDataPaths.dataDir);
    LogMessage("self_test", "self-test log entry");
    const DWORD attributes = GetFileAttributesW(gDataPaths.logFile.c_str());
    facts.logFileOk = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    facts.configStatus = LastConfigStatus();
    ConfigSnapshot snapshot;
    SnapshotConfig(snapshot);
    facts.processMonitorEnabled = snapshot.enableProcessMonitor;
    return SelfTestResult{SelfTestText(facts), SelfTestPassed(facts)};
}
