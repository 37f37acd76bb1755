// The incident store. One global rate limit, taken with a single
// compare-and-exchange on a word holding the last incident's time and
// severity: overlapping callers never both pass at one severity, and a more
// severe incident is never held back by a less severe one. Every incident
// gets a folder of its own, even when two land in the same second and tick,
// and an incident that could not be written is reported as lost, never as
// created.
#include "incidents/incident_store.h"

#include <windows.h>

#include "core/clock.h"
#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/paths.h"
#include "core/text.h"
#include "incidents/incident_index.h"
#include "incidents/incident_scanner.h"

std::atomic<IncidentReference> gIncidentReference{kNoIncidentYet};
IncidentCreatedFn gIncidentCreated = nullptr;
IncidentCreatedFn gIncidentRequested = nullptr;

namespace {

// Takes the rate limit for this call. On success `previous` holds the
// reference this call replaced and `mine` the one it set.
bool TakeRateLimit(int64_t now, int32_t limit, int32_t severity, IncidentReference& previous,
                   IncidentReference& mine) {
    mine = PackIncidentReference(now, severity);
    previous = gIncidentReference.load();
    for (;;) {
        if (!RateLimitPasses(previous, now, limit, severity)) return false;
        if (gIncidentReference.compare_exchange_weak(previous, mine)) return true;
        // Another caller changed it in between: test again against its value.
    }
}

// Creates a fresh folder below incidentsDir named after the local time and
// tick count. A name already taken gets a numeric suffix instead of sharing
// (and overwriting) the earlier incident's folder. False when no folder could
// be made; `path` then names the folder that was tried.
bool ClaimIncidentFolder(std::wstring& path) {
    const LocalTimeParts t = NowLocalParts();
    const uint32_t tick = TickCount();
    wchar_t name[64];
    FormatWide(name, 64, L"%04u%02u%02u_%02u%02u%02u_%lu", t.year, t.month, t.day, t.hour, t.minute, t.second,
               static_cast<unsigned long>(tick));
    const std::wstring base = JoinPath(gDataPaths.incidentsDir, name);
    EnsureDirectoryTree(gDataPaths.incidentsDir);
    path = base;
    for (unsigned n = 2; n < 1000; ++n) {
        if (CreateDirectoryW(path.c_str(), nullptr)) return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
        path = base + L"_" + std::to_wstring(n);
    }
    return false;
}

// The incident's folder, or empty when it was rate limited or lost.
std::wstring CreateIncidentImpl(const std::string& reason, int32_t severity, const std::wstring& folder,
                                bool withFile, const std::wstring& file) {
    const int64_t now = NowSeconds();
    ConfigSnapshot settings;
    SnapshotConfig(settings);
    const int32_t limit = settings.incidentRateLimitSeconds <= 0 ? 60 : settings.incidentRateLimitSeconds;
    IncidentReference previous = kNoIncidentYet, mine = kNoIncidentYet;
    if (!TakeRateLimit(now, limit, severity, previous, mine)) {
        LogEvent("incident_rate_limited", "\"reason\":\"" + JsonEscape(reason) + "\"");
        return std::wstring();
    }
    std::wstring incidentFolder;
    const bool claimed = ClaimIncidentFolder(incidentFolder);
    const std::string text =
        BuildIncidentJson(NowLocalIso(), reason, severity, gCoreState.isAdmin, folder, withFile, file);
    if (claimed && WriteIncidentJson(incidentFolder, text)) {
        NoteIncidentWritten(incidentFolder, text);
        LogEvent("incident_created",
                 "\"reason\":\"" + JsonEscape(reason) + "\",\"severity\":" + std::to_string(severity));
        if (gIncidentCreated && !folder.empty())
            gIncidentCreated(
                IncidentCreatedInfo{incidentFolder, reason, severity, folder, withFile ? file : L"", NowUnixMs()});
        return incidentFolder;
    }
    // Lost on disk: leave nothing half-made behind, say so, and give the
    // slot back unless a later or more severe incident has taken it since.
    if (claimed) {
        DeleteFileW(JoinPath(incidentFolder, L"incident.json").c_str());
        RemoveDirectoryW(incidentFolder.c_str());  // only when empty
    }
    LogEvent("incident_error", "\"reason\":\"" + JsonEscape(reason) + "\",\"severity\":" +
                                   std::to_string(severity) + ",\"path\":\"" +
                                   JsonEscape(WideToUtf8(incidentFolder)) + "\"");
    gIncidentReference.compare_exchange_strong(mine, previous);
    return std::wstring();
}

void TellRequested(const std::string& reason, int32_t severity, const std::wstring& folder, const std::wstring& file,
                   int64_t requestedMs, const std::wstring& incidentFolder) {
    if (gIncidentRequested && !folder.empty())
        gIncidentRequested(IncidentCreatedInfo{incidentFolder, reason, severity, folder, file, requestedMs});
}

}  // namespace

void CreateIncident(const std::string& reason, int32_t severity, const std::wstring& folder) {
    const int64_t requestedMs = NowUnixMs();
    TellRequested(reason, severity, folder, L"", requestedMs,
                  CreateIncidentImpl(reason, severity, folder, false, std::wstring()));
}

void CreateIncidentWithFile(const std::string& reason, int32_t severity, const std::wstring& folder,
                            const std::wstring& file) {
    const int64_t requestedMs = NowUnixMs();
    TellRequested(reason, severity, folder, file, requestedMs, CreateIncidentImpl(reason, severity, folder, true, file));
}

bool WriteIncidentJson(const std::wstring& incidentFolder, const std::string& text) {
    return WriteTextFile(JoinPath(incidentFolder, L"incident.json"), text);
}

std::vector<size_t> PickLeftoverSweep(const std::vector<CensusEntry>& census, size_t slice, size_t& cursor) {
    std::vector<size_t> picked;
    for (size_t i = 0; i < census.size(); ++i)
        if (!census[i].hasFile) picked.push_back(i);
    const size_t others = census.size() - picked.size();
    if (others == 0) return picked;
    if (cursor >= census.size()) cursor = 0;
    size_t taken = 0;
    for (size_t seen = 0; seen < census.size() && taken < slice && taken < others; ++seen) {
        const size_t i = cursor;
        cursor = cursor + 1 < census.size() ? cursor + 1 : 0;
        if (!census[i].hasFile) continue;
        picked.push_back(i);
        ++taken;
    }
    return picked;
}

size_t RemoveLeftoverTempFiles(const std::wstring& incidentsDir,
                               const std::vector<std::wstring>& folderNames) {
    size_t removed = 0;
    for (const std::wstring& name : folderNames)
        removed += RemoveStaleTempFiles(JoinPath(incidentsDir, name), true);
    return removed;
}

size_t SweepLeftoverTempFiles(const std::wstring& incidentsDir, const std::vector<CensusEntry>& census) {
    static std::atomic<size_t> cursor{0};  // one census runs at a time; atomic for the tests' threads
    size_t at = cursor.load();
    const std::vector<size_t> picked = PickLeftoverSweep(census, kLeftoverSweepSlice, at);
    cursor = at;
    std::vector<std::wstring> names;
    names.reserve(picked.size());
    for (size_t i : picked) names.push_back(census[i].name);
    return RemoveLeftoverTempFiles(incidentsDir, names);
}
