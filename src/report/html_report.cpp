#include "report/html_report.h"

#include <windows.h>

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

bool GenerateReport(std::wstring& reportPath) {
    ReportInputs inputs;
    // Read before this run's own event is logged, so the page never lists it.
    inputs.logTail = ReadLogTail(gDataPaths.logFile);
    inputs.incidents = ScanIncidents(gDataPaths);
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
