#include "report/html_report.h"

#include <windows.h>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/handles.h"
#include "core/paths.h"
#include "core/text.h"
#include "incidents/incident_scanner.h"
#include "report/report_compose.h"

std::vector<std::string> ReadLogTail(const std::wstring& logFile) {
    // The agent keeps appending while we read; share everything so neither side fails.
    UniqueHandle file(CreateFileW(logFile.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return {};
    LogTailCollector collector;
    std::vector<char> buf(256 * 1024);
    DWORD got = 0;
    while (ReadFile(file.get(), buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr) && got > 0) {
        FeedLogTail(collector, buf.data(), got);
    }
    return FinishLogTail(collector);
}

namespace {

// context.json is a few kilobytes; anything far larger was not written by us.
constexpr DWORD kMaxContextJsonBytes = 256 * 1024;

// The likely source named by each incident's context.json; incidents without
// a readable one are left out. Read directly, so reading many costs no
// synchronisation of the extra folders each.
std::map<std::string, LikelySource> ReadLikelySources(const std::vector<IncidentSummary>& incidents) {
    std::map<std::string, LikelySource> sources;
    for (const IncidentSummary& inc : incidents) {
        if (inc.incidentFolder.empty() || sources.count(inc.incidentFolder)) continue;
        const std::wstring path =
            JoinPath(JoinPath(gDataPaths.incidentsDir, Utf8ToWide(inc.incidentFolder)), L"context.json");
        UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        LARGE_INTEGER size;
        if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > kMaxContextJsonBytes) continue;
        std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
        DWORD got = 0;
        if (!bytes.empty() &&
            (!ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr) ||
             got != bytes.size()))
            continue;
        LikelySource source;
        if (ParseLikelySource(bytes, source)) sources[inc.incidentFolder] = source;
    }
    return sources;
}

}  // namespace

bool GenerateReport(std::wstring& reportPath) {
    ReportInputs inputs;
    // Read before this run's own event is logged, so the page never lists it.
    inputs.logTail = ReadLogTail(gDataPaths.logFile);
    inputs.incidents = ScanIncidents(gDataPaths);
    if (gLiveConfig.extendedDetection.load()) inputs.likelySources = ReadLikelySources(inputs.incidents);
    inputs.isAdmin = gCoreState.isAdmin;
    inputs.generated = NowLocalIso();
    inputs.dataDir = WideToUtf8(gDataPaths.dataDir);
    inputs.logFile = WideToUtf8(gDataPaths.logFile);
    inputs.configFile = WideToUtf8(gDataPaths.configFile);
    const std::string page = ComposeReport(inputs);

    EnsureDirectoryTree(gDataPaths.dataDir);
    reportPath = gDataPaths.reportFile;
    const bool written = WriteTextFile(reportPath, page);
    if (written) {
        LogMessage("report", "local report generated");
    } else {
        LogMessage("report_error", "failed to write report");
    }
    return written;
}
