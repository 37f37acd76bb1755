#include "incidents/incident_scanner.h"

#include <windows.h>

#include "core/clock.h"
#include "core/event_log.h"
#include "core/handles.h"
#include "core/text.h"

std::vector<IncidentSummary> ScanIncidents(const DataPaths& paths) {
    std::vector<IncidentSummary> list;
    const int64_t cutoff = NowSeconds() - 86400;

    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(FindFirstFileW(JoinPath(paths.incidentsDir, L"*").c_str(), &entry));
    if (!find.valid()) return list;
    do {
        if (entry.cFileName[0] == L'.' || !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        const std::wstring json = JoinPath(JoinPath(paths.incidentsDir, entry.cFileName), L"incident.json");
        WIN32_FILE_ATTRIBUTE_DATA info;
        if (!GetFileAttributesExW(json.c_str(), GetFileExInfoStandard, &info)) continue;
        if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        // An oversized file is no incident; it is not read at all.
        const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        if (size > kMaxIncidentJsonBytes) continue;

        std::string content;
        if (!ReadWholeFile(json, content)) continue;
        IncidentSummary summary = ParseIncidentSummary(content);
        int64_t time = 0;
        if (ParseIncidentTime(summary.ts, time) && time >= cutoff) list.push_back(std::move(summary));
    } while (FindNextFileW(find.get(), &entry));

    SortIncidentsNewestFirst(list);
    return list;
}
