// The agent's settings: one flat JSON-like file read by key scanning.
//
// The current settings live in one process-wide record guarded by ConfigLock.
// Readers either take a full private copy (SnapshotConfig) or read one scalar
// through gLiveConfig, whose fields are atomics written together with the
// record, so a reader sees the old or the new value of a field, never a mix.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

struct Config {
    bool enableProcessMonitor = false;
    bool enableDirMonitorDesktop = false;
    bool enableDirMonitorDocuments = false;
    bool enableDirMonitorDownloads = false;
    int32_t burstWindowSeconds = 0;
    int32_t burstThreshold = 0;
    int32_t fileBurstIncidentSeverity = 0;
    bool enableProcessHeuristics = false;
    int32_t processSuspiciousScoreThreshold = 0;
    bool enableDirFileHeuristics = false;
    bool ransomNoteHeuristicsEnabled = false;
    bool encryptedExtHeuristicsEnabled = false;
    int32_t dirFileHeuristicIncidentSeverity = 0;
    int32_t incidentRateLimitSeconds = 0;
    bool enableCanaryFiles = false;
    int32_t canaryIncidentSeverity = 0;
    int32_t canaryWarmupSeconds = 0;
    std::wstring canaryFileNames;
    std::wstring extraWatchDirs;
    bool extendedDetection = false;  // absent from the default file
    int32_t encryptedContentIncidentSeverity = 0;  // absent from the default file; 0 or below: 90
    int32_t massRenameIncidentSeverity = 0;        // absent from the default file; 0 or below: 90
    int32_t logMaxMegabytes = 0;        // absent from the default file; 0 or below: never rotated
    int32_t logKeepFiles = 0;           // absent from the default file; 0 or below: 4
    int32_t incidentRetentionDays = 0;  // absent from the default file; 0 or below: kept for ever
    // Absent from the default file; act only with extendedDetection and
    // enableProcessMonitor on (procmon/pause_rules.h).
    bool pauseSuspectPrograms = false;
    std::wstring neverPausePrograms;  // image names or full paths separated by ';'
};

// A full copy of the current settings, owned by whoever took it.
using ConfigSnapshot = Config;

// Scalars that threads read without taking ConfigLock.
struct LiveConfig {
    std::atomic<bool> enableProcessMonitor{false};
    std::atomic<bool> enableDirMonitorDesktop{false};
    std::atomic<bool> enableDirMonitorDocuments{false};
    std::atomic<bool> enableDirMonitorDownloads{false};
    std::atomic<int32_t> burstWindowSeconds{0};
    std::atomic<int32_t> burstThreshold{0};
    std::atomic<int32_t> fileBurstIncidentSeverity{0};
    std::atomic<bool> enableDirFileHeuristics{false};
    std::atomic<bool> ransomNoteHeuristicsEnabled{false};
    std::atomic<bool> encryptedExtHeuristicsEnabled{false};
    std::atomic<int32_t> dirFileHeuristicIncidentSeverity{0};
    std::atomic<bool> extendedDetection{false};
    std::atomic<int32_t> logMaxMegabytes{0};
    std::atomic<int32_t> logKeepFiles{0};
    std::atomic<int32_t> incidentRetentionDays{0};
};
extern LiveConfig gLiveConfig;

// The default file content (681 bytes, LF line ends).
extern const char kDefaultConfigText[];
const std::string& DefaultConfigText();

void SetConfigDefaults(Config& out);

// Key readers over the whole file content. The key is the bare name; the
// first occurrence of "key" in the content wins, the value follows the next
// colon after blanks (spaces and tabs only).
bool ConfigReadBool(const std::string& content, const std::string& key, bool fallback);
int32_t ConfigReadInt(const std::string& content, const std::string& key, int32_t fallback);
std::string ConfigReadString(const std::string& content, const std::string& key, const std::string& fallback);

// Replaces the current settings (under ConfigLock) and the live scalars.
void StoreCurrentConfig(const Config& config);
void SnapshotConfig(ConfigSnapshot& out);

bool EnsureDefaultConfig(std::wstring& status);
bool LoadConfig(std::wstring& status);

// Status line of the latest load; main thread only.
const std::wstring& LastConfigStatus();
