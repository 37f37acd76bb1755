// The incident scanner.
//
// The alert poll rescans every incident on every tick, and incident files are
// never rewritten once complete. So each scan remembers what it parsed,
// keyed by the file's path, size and last-write time: an unchanged file is
// not opened again on the next scan, and any change to a file (or a new one)
// is read afresh. The result is the same list a full read gives; only the
// cost of a repeated scan changes. The memory is rebuilt from the files seen
// on every scan, so deleted incidents leave it too.
#include "incidents/incident_scanner.h"

#include <windows.h>

#include <mutex>
#include <unordered_map>

#include "core/clock.h"
#include "core/event_log.h"
#include "core/handles.h"
#include "core/text.h"

namespace {

struct ParsedIncident {
    uint64_t size = 0;
    FILETIME lastWrite{};
    IncidentSummary summary;
    bool timeOk = false;
    int64_t time = 0;
};

using ParsedCache = std::unordered_map<std::wstring, ParsedIncident>;

std::mutex& CacheMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

ParsedCache& Cache() {
    static ParsedCache* cache = new ParsedCache;  // guarded by CacheMutex()
    return *cache;
}

bool SameFile(const ParsedIncident& p, uint64_t size, const FILETIME& lastWrite) {
    return p.size == size && p.lastWrite.dwLowDateTime == lastWrite.dwLowDateTime &&
           p.lastWrite.dwHighDateTime == lastWrite.dwHighDateTime;
}

}  // namespace

std::vector<IncidentSummary> ScanIncidents(const DataPaths& paths) {
    std::vector<IncidentSummary> list;
    const int64_t cutoff = NowSeconds() - 86400;

    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(FindFirstFileW(JoinPath(paths.incidentsDir, L"*").c_str(), &entry));
    if (!find.valid()) return list;

    ParsedCache previous;
    {
        std::lock_guard<std::mutex> guard(CacheMutex());
        previous.swap(Cache());
    }
    ParsedCache seen;
    do {
        if (entry.cFileName[0] == L'.' || !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        const std::wstring json = JoinPath(JoinPath(paths.incidentsDir, entry.cFileName), L"incident.json");
        WIN32_FILE_ATTRIBUTE_DATA info;
        if (!GetFileAttributesExW(json.c_str(), GetFileExInfoStandard, &info)) continue;
        if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        // An oversized file is no incident; it is not read at all.
        const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        if (size > kMaxIncidentJsonBytes) continue;

        ParsedIncident parsed;
        const auto known = previous.find(json);
        if (known != previous.end() && SameFile(known->second, size, info.ftLastWriteTime)) {
            parsed = std::move(known->second);
        } else {
            std::string content;
            if (!ReadWholeFile(json, content)) continue;
            parsed.size = size;
            parsed.lastWrite = info.ftLastWriteTime;
            parsed.summary = ParseIncidentSummary(content);
            parsed.timeOk = ParseIncidentTime(parsed.summary.ts, parsed.time);
            // A file caught between its creation and its write reads short:
            // it is not remembered, so the next scan reads it again.
            if (content.size() != size) parsed.size = UINT64_MAX;
        }
        if (parsed.timeOk && parsed.time >= cutoff) list.push_back(parsed.summary);
        seen.emplace(json, std::move(parsed));
    } while (FindNextFileW(find.get(), &entry));

    {
        std::lock_guard<std::mutex> guard(CacheMutex());
        Cache().swap(seen);
    }
    SortIncidentsNewestFirst(list);
    return list;
}
