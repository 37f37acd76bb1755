// The incident store. One global rate limit, taken with a single
// compare-and-exchange so that overlapping callers on different threads can
// never both pass within one period; and every incident gets a folder of its
// own, even when two land in the same second and tick.
#include "incidents/incident_store.h"

#include <windows.h>

#include "core/clock.h"
#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/paths.h"
#include "core/text.h"

std::atomic<int64_t> gLastIncidentTime{0};

namespace {

// True when this call may create an incident; stamps the limit if so.
bool PassRateLimit(int64_t now, int32_t limit) {
    int64_t last = gLastIncidentTime.load();
    for (;;) {
        if (last != 0 && now - last < limit) return false;
        if (gLastIncidentTime.compare_exchange_weak(last, now)) return true;
        // Another caller changed it in between: test again against its value.
    }
}

// Creates a fresh folder below incidentsDir named after the local time and
// tick count. A name already taken gets a numeric suffix instead of sharing
// (and overwriting) the earlier incident's folder.
std::wstring ClaimIncidentFolder() {
    const LocalTimeParts t = NowLocalParts();
    const uint32_t tick = TickCount();
    wchar_t name[64];
    FormatWide(name, 64, L"%04u%02u%02u_%02u%02u%02u_%lu", t.year, t.month, t.day, t.hour, t.minute, t.second,
               static_cast<unsigned long>(tick));
    const std::wstring base = JoinPath(gDataPaths.incidentsDir, name);
    EnsureDirectoryTree(gDataPaths.incidentsDir);
    std::wstring candidate = base;
    for (unsigned n = 2; n < 1000; ++n) {
        if (CreateDirectoryW(candidate.c_str(), nullptr)) return candidate;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
        candidate = base + L"_" + std::to_wstring(n);
    }
    // Could not create it (disk, rights): the write below fails and the
    // incident is lost on disk, but it is still logged.
    return candidate;
}

void CreateIncidentImpl(const std::string& reason, int32_t severity, const std::wstring& folder, bool withFile,
                        const std::wstring& file) {
    const int64_t now = NowSeconds();
    ConfigSnapshot settings;
    SnapshotConfig(settings);
    const int32_t limit = settings.incidentRateLimitSeconds <= 0 ? 60 : settings.incidentRateLimitSeconds;
    if (!PassRateLimit(now, limit)) {
        LogEvent("incident_rate_limited", "\"reason\":\"" + JsonEscape(reason) + "\"");
        return;
    }
    const std::wstring incidentFolder = ClaimIncidentFolder();
    const std::string text =
        BuildIncidentJson(NowLocalIso(), reason, severity, gCoreState.isAdmin, folder, withFile, file);
    WriteIncidentJson(incidentFolder, text);
    LogEvent("incident_created",
             "\"reason\":\"" + JsonEscape(reason) + "\",\"severity\":" + std::to_string(severity));
}

}  // namespace

void CreateIncident(const std::string& reason, int32_t severity, const std::wstring& folder) {
    CreateIncidentImpl(reason, severity, folder, false, std::wstring());
}

void CreateIncidentWithFile(const std::string& reason, int32_t severity, const std::wstring& folder,
                            const std::wstring& file) {
    CreateIncidentImpl(reason, severity, folder, true, file);
}

bool WriteIncidentJson(const std::wstring& incidentFolder, const std::string& text) {
    return WriteTextFile(JoinPath(incidentFolder, L"incident.json"), text);
}
