// Loading the configuration file: create it with the default text when it is
// missing, read it by key scanning, publish the settings, then let the canary
// names and the extra-folder watchers follow.
#include <windows.h>

#include "core/config.h"
#include "core/event_log.h"
#include "core/handles.h"
#include "core/hooks.h"
#include "core/paths.h"
#include "core/text.h"

namespace {

std::wstring gLastConfigStatus;  // main thread only

bool IsExistingFile(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// Opens and reads the whole file; false only when it cannot be opened.
bool ReadConfigFile(const std::wstring& path, std::string& bytes) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    char buf[64 * 1024];
    DWORD got = 0;
    while (ReadFile(file.get(), buf, sizeof buf, &got, nullptr) && got > 0) bytes.append(buf, got);
    return true;
}

}  // namespace

const std::wstring& LastConfigStatus() { return gLastConfigStatus; }

bool EnsureDefaultConfig(std::wstring& status) {
    status.clear();
    if (IsExistingFile(gDataPaths.configFile)) return true;
    EnsureDirectoryTree(gDataPaths.dataDir);
    if (WriteTextFile(gDataPaths.configFile, DefaultConfigText())) {
        status = L"Config created: Vellumgard.config.json (defaults)";
        LogMessage("config_create", "default config created");
        return true;
    }
    status = L"Config missing and failed to create (using in-memory defaults)";
    LogMessage("config_create_error", "failed to create default config");
    return false;
}

bool LoadConfig(std::wstring& status) {
    Config local;
    SetConfigDefaults(local);

    if (!IsExistingFile(gDataPaths.configFile)) {
        std::wstring scratch;
        if (!EnsureDefaultConfig(scratch)) {
            status = scratch;
            gLastConfigStatus = status;
            StoreCurrentConfig(local);
            LogMessage("config_load", "config file not found; using defaults");
            return true;
        }
    }

    std::string content;
    if (!ReadConfigFile(gDataPaths.configFile, content)) {
        status = L"Config: failed to open (using defaults)";
        gLastConfigStatus = status;
        StoreCurrentConfig(local);
        LogMessage("config_load", "failed to open config; using defaults");
        return false;
    }

    local.enableProcessMonitor = ConfigReadBool(content, "enableProcessMonitor", local.enableProcessMonitor);
    local.enableDirMonitorDesktop = ConfigReadBool(content, "enableDirMonitorDesktop", local.enableDirMonitorDesktop);
    local.enableDirMonitorDocuments =
        ConfigReadBool(content, "enableDirMonitorDocuments", local.enableDirMonitorDocuments);
    local.enableDirMonitorDownloads =
        ConfigReadBool(content, "enableDirMonitorDownloads", local.enableDirMonitorDownloads);
    local.burstWindowSeconds = ConfigReadInt(content, "burstWindowSeconds", local.burstWindowSeconds);
    local.burstThreshold = ConfigReadInt(content, "burstThreshold", local.burstThreshold);
    local.fileBurstIncidentSeverity =
        ConfigReadInt(content, "fileBurstIncidentSeverity", local.fileBurstIncidentSeverity);
    local.enableProcessHeuristics = ConfigReadBool(content, "enableProcessHeuristics", local.enableProcessHeuristics);
    local.processSuspiciousScoreThreshold =
        ConfigReadInt(content, "processSuspiciousScoreThreshold", local.processSuspiciousScoreThreshold);
    local.enableDirFileHeuristics = ConfigReadBool(content, "enableDirFileHeuristics", local.enableDirFileHeuristics);
    local.ransomNoteHeuristicsEnabled =
        ConfigReadBool(content, "ransomNoteHeuristicsEnabled", local.ransomNoteHeuristicsEnabled);
    local.encryptedExtHeuristicsEnabled =
        ConfigReadBool(content, "encryptedExtHeuristicsEnabled", local.encryptedExtHeuristicsEnabled);
    local.dirFileHeuristicIncidentSeverity =
        ConfigReadInt(content, "dirFileHeuristicIncidentSeverity", local.dirFileHeuristicIncidentSeverity);
    local.incidentRateLimitSeconds = ConfigReadInt(content, "incidentRateLimitSeconds", local.incidentRateLimitSeconds);
    local.enableCanaryFiles = ConfigReadBool(content, "enableCanaryFiles", local.enableCanaryFiles);
    local.canaryIncidentSeverity = ConfigReadInt(content, "canaryIncidentSeverity", local.canaryIncidentSeverity);
    local.canaryWarmupSeconds = ConfigReadInt(content, "canaryWarmupSeconds", local.canaryWarmupSeconds);
    local.canaryFileNames = Utf8ToWide(ConfigReadString(content, "canaryFileNames", ""));
    local.extraWatchDirs = Utf8ToWide(ConfigReadString(content, "extraWatchDirs", ""));
    local.extendedDetection = ConfigReadBool(content, "extendedDetection", local.extendedDetection);
    local.encryptedContentIncidentSeverity =
        ConfigReadInt(content, "encryptedContentIncidentSeverity", local.encryptedContentIncidentSeverity);
    local.massRenameIncidentSeverity =
        ConfigReadInt(content, "massRenameIncidentSeverity", local.massRenameIncidentSeverity);
    local.logMaxMegabytes = ConfigReadInt(content, "logMaxMegabytes", local.logMaxMegabytes);
    local.logKeepFiles = ConfigReadInt(content, "logKeepFiles", local.logKeepFiles);
    local.incidentRetentionDays = ConfigReadInt(content, "incidentRetentionDays", local.incidentRetentionDays);
    local.pauseSuspectPrograms = ConfigReadBool(content, "pauseSuspectPrograms", local.pauseSuspectPrograms);
    local.neverPausePrograms = Utf8ToWide(ConfigReadString(content, "neverPausePrograms", ""));

    StoreCurrentConfig(local);
    RebuildCanaryNamesWith(local);
    SyncExtraWatchDirsWith(local);

    wchar_t buf[256];
    FormatWide(buf, 256, L"Config: loaded (%u bytes, burstWindow=%d, burstThreshold=%d, procScoreThresh=%d)",
               static_cast<unsigned>(content.size()), local.burstWindowSeconds, local.burstThreshold,
               local.processSuspiciousScoreThreshold);
    status = buf;
    gLastConfigStatus = status;
    LogMessage("config_load", WideToUtf8(status));

    SyncExtraWatchDirsWithSnapshot();
    return true;
}
