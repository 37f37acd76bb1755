#include "literal_scan.h"

#include <windows.h>

#include <utility>

#include "core/text.h"
#include "support/test_support.h"

std::vector<IncidentSummary> LiteralScanIncidents(const std::wstring& incidentsDir, int64_t now) {
    std::vector<IncidentSummary> list;
    const int64_t cutoff = now - 86400;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(JoinPath(incidentsDir, L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return list;
    do {
        if (fd.cFileName[0] == L'.' || !(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        const std::wstring json = JoinPath(JoinPath(incidentsDir, fd.cFileName), L"incident.json");
        const DWORD attributes = GetFileAttributesW(json.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        std::string content;
        if (!ReadFileBytes(json, content) || content.size() > kMaxIncidentJsonBytes) continue;
        IncidentSummary s = ParseIncidentSummary(content);
        int64_t t = 0;
        if (ParseIncidentTime(s.ts, t) && t >= cutoff) list.push_back(s);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    for (size_t i = 0; i < list.size(); ++i)
        for (size_t j = i + 1; j < list.size(); ++j) {
            int64_t ti = 0, tj = 0;
            if (!ParseIncidentTime(list[i].ts, ti)) ti = 0;
            if (!ParseIncidentTime(list[j].ts, tj)) tj = 0;
            if (tj > ti) std::swap(list[i], list[j]);
        }
    return list;
}

std::vector<std::string> DescribeIncidents(const std::vector<IncidentSummary>& list) {
    std::vector<std::string> lines;
    for (const IncidentSummary& s : list)
        lines.push_back(s.ts + " | " + s.reason + " | " + std::to_string(s.severity) + " | " + s.folder +
                        " | " + s.file);
    return lines;
}
