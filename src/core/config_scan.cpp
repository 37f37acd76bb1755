// The pure half of the configuration: defaults, the key readers and the
// process-wide current settings with their snapshot.
#include <cstring>
#include <limits>

#include "core/config.h"
#include "core/locks.h"

LiveConfig gLiveConfig;

namespace {

Config gCurrentConfig;  // guarded by gConfigLock

// Finds "key", then the next colon, then skips spaces and tabs. Returns the
// position of the value, or npos.
size_t FindValue(const std::string& content, const std::string& key) {
    const std::string needle = "\"" + key + "\"";
    const size_t at = content.find(needle);
    if (at == std::string::npos) return std::string::npos;
    size_t pos = content.find(':', at);
    if (pos == std::string::npos) return std::string::npos;
    ++pos;
    while (pos < content.size() && (content[pos] == ' ' || content[pos] == '\t')) ++pos;
    return pos;
}

bool EqualsIgnoringAsciiCase(const std::string& content, size_t pos, const char* word) {
    const size_t n = std::strlen(word);
    if (content.size() - pos < n) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = content[pos + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        if (c != word[i]) return false;
    }
    return true;
}

}  // namespace

const char kDefaultConfigText[] =
    "\n"
    "{\n"
    "  \"enableProcessMonitor\": true,\n"
    "  \"enableDirMonitorDesktop\": true,\n"
    "  \"enableDirMonitorDocuments\": true,\n"
    "  \"enableDirMonitorDownloads\": true,\n"
    "\n"
    "  \"burstWindowSeconds\": 30,\n"
    "  \"burstThreshold\": 50,\n"
    "  \"fileBurstIncidentSeverity\": 80,\n"
    "\n"
    "  \"enableProcessHeuristics\": true,\n"
    "  \"processSuspiciousScoreThreshold\": 60,\n"
    "\n"
    "  \"enableDirFileHeuristics\": true,\n"
    "  \"ransomNoteHeuristicsEnabled\": true,\n"
    "  \"encryptedExtHeuristicsEnabled\": true,\n"
    "  \"dirFileHeuristicIncidentSeverity\": 65,\n"
    "\n"
    "  \"enableCanaryFiles\": true,\n"
    "  \"canaryIncidentSeverity\": 90,\n"
    "  \"canaryWarmupSeconds\": 10,\n"
    "  \"canaryFileNames\": \"Vellumgard_DO_NOT_TOUCH.txt|Important_Backup_DO_NOT_DELETE.txt\",\n"
    "\n"
    "  \"incidentRateLimitSeconds\": 60\n"
    "}\n";

const std::string& DefaultConfigText() {
    static const std::string* text = new std::string(kDefaultConfigText);
    return *text;
}

void SetConfigDefaults(Config& out) {
    out = Config();
    out.enableProcessMonitor = true;
    out.enableDirMonitorDesktop = true;
    out.enableDirMonitorDocuments = true;
    out.enableDirMonitorDownloads = true;
    out.burstWindowSeconds = 30;
    out.burstThreshold = 50;
    out.fileBurstIncidentSeverity = 80;
    out.enableProcessHeuristics = true;
    out.processSuspiciousScoreThreshold = 60;
    out.enableDirFileHeuristics = true;
    out.ransomNoteHeuristicsEnabled = true;
    out.encryptedExtHeuristicsEnabled = true;
    out.dirFileHeuristicIncidentSeverity = 65;
    out.incidentRateLimitSeconds = 60;
    out.enableCanaryFiles = true;
    out.canaryIncidentSeverity = 90;
    out.canaryWarmupSeconds = 10;
}

bool ConfigReadBool(const std::string& content, const std::string& key, bool fallback) {
    const size_t pos = FindValue(content, key);
    if (pos == std::string::npos) return fallback;
    if (EqualsIgnoringAsciiCase(content, pos, "true")) return true;
    if (EqualsIgnoringAsciiCase(content, pos, "false")) return false;
    return fallback;
}

// Digits beyond the 32-bit range saturate at INT32_MIN / INT32_MAX, so an
// absurdly large threshold stays absurdly large instead of wrapping around to
// a small or negative number.
int32_t ConfigReadInt(const std::string& content, const std::string& key, int32_t fallback) {
    size_t pos = FindValue(content, key);
    if (pos == std::string::npos) return fallback;
    bool negative = false;
    if (pos < content.size() && content[pos] == '-') {
        negative = true;
        ++pos;
    }
    const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                   : static_cast<int64_t>(std::numeric_limits<int32_t>::max());
    int64_t value = 0;
    bool any = false;
    while (pos < content.size() && content[pos] >= '0' && content[pos] <= '9') {
        value = value * 10 + (content[pos] - '0');
        if (value > limit) value = limit;
        any = true;
        ++pos;
    }
    if (!any) return fallback;
    return static_cast<int32_t>(negative ? -value : value);
}

std::string ConfigReadString(const std::string& content, const std::string& key, const std::string& fallback) {
    size_t pos = FindValue(content, key);
    if (pos == std::string::npos || pos >= content.size() || content[pos] != '"') return fallback;
    ++pos;
    std::string out;
    while (pos < content.size()) {
        const char c = content[pos];
        if (c == '"') break;
        if (c == '\\') {
            if (pos + 1 >= content.size()) {
                out += '\\';
                break;
            }
            const char e = content[pos + 1];
            switch (e) {
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                default: out += e; break;  // quote, backslash, and anything else as itself
            }
            pos += 2;
            continue;
        }
        out += c;
        ++pos;
    }
    return out;
}

void StoreCurrentConfig(const Config& config) {
    CoreLockGuard guard(gConfigLock);
    gCurrentConfig = config;
    gLiveConfig.enableProcessMonitor.store(config.enableProcessMonitor);
    gLiveConfig.enableDirMonitorDesktop.store(config.enableDirMonitorDesktop);
    gLiveConfig.enableDirMonitorDocuments.store(config.enableDirMonitorDocuments);
    gLiveConfig.enableDirMonitorDownloads.store(config.enableDirMonitorDownloads);
    gLiveConfig.burstWindowSeconds.store(config.burstWindowSeconds);
    gLiveConfig.burstThreshold.store(config.burstThreshold);
    gLiveConfig.fileBurstIncidentSeverity.store(config.fileBurstIncidentSeverity);
    gLiveConfig.enableDirFileHeuristics.store(config.enableDirFileHeuristics);
    gLiveConfig.ransomNoteHeuristicsEnabled.store(config.ransomNoteHeuristicsEnabled);
    gLiveConfig.encryptedExtHeuristicsEnabled.store(config.encryptedExtHeuristicsEnabled);
    gLiveConfig.dirFileHeuristicIncidentSeverity.store(config.dirFileHeuristicIncidentSeverity);
    gLiveConfig.extendedDetection.store(config.extendedDetection);
    gLiveConfig.logMaxMegabytes.store(config.logMaxMegabytes);
    gLiveConfig.logKeepFiles.store(config.logKeepFiles);
    gLiveConfig.incidentRetentionDays.store(config.incidentRetentionDays);
}

void SnapshotConfig(ConfigSnapshot& out) {
    CoreLockGuard guard(gConfigLock);
    out = gCurrentConfig;
}
