#include "report/html_report.h"

#include <windows.h>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/handles.h"
#include "core/log_rotation.h"
#include "core/paths.h"
#include "core/text.h"
#include "incidents/incident_scanner.h"
#include "report/log_tail_reader.h"
#include "report/report_compose.h"

namespace {

// The log's bytes as the backwards reader asks for them.
bool ReadLogBlock(void* context, uint64_t offset, char* into, size_t size) {
    HANDLE file = static_cast<HANDLE>(context);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return false;
    while (size > 0) {
        DWORD got = 0;
        if (!ReadFile(file, into, static_cast<DWORD>(size), &got, nullptr) || got == 0) return false;
        into += got;
        size -= got;
    }
    return true;
}

// The agent keeps appending (and may rotate) while we read; share everything
// so neither side fails.
UniqueHandle OpenLogForReading(const std::wstring& path) {
    return UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
}

// The last `maxLines` lines of the bytes the file had when it was opened.
std::vector<std::string> TailOfOpenFile(HANDLE file, size_t maxLines) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) return {};
    return ReadTailBackwards(static_cast<uint64_t>(size.QuadPart), maxLines, kLogTailBlockBytes, ReadLogBlock,
                             file)
        .lines;
}

bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x, y;
    if (!GetFileInformationByHandle(a, &x) || !GetFileInformationByHandle(b, &y))
        return true;  // do not risk a double
    return x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

}  // namespace

std::vector<std::string> ReadLogTail(const std::wstring& logFile) {
    UniqueHandle file = OpenLogForReading(logFile);
    if (!file) return {};
    return TailOfOpenFile(file.get(), kLogTailLines);
}

ReportLogTail ReadReportLogTail(const std::wstring& logFile) {
    ReportLogTail tail;
    UniqueHandle current = OpenLogForReading(logFile);
    if (current) tail.lines = TailOfOpenFile(current.get(), kLogTailLines);
    if (tail.lines.size() >= kLogTailLines) return tail;
    // Opened after the current file: a rotation in between makes both handles
    // the same file, which is then shown once.
    const std::wstring previousPath = RotatedLogPath(logFile, 1);
    UniqueHandle previous = OpenLogForReading(previousPath);
    if (!previous || (current && SameFile(current.get(), previous.get()))) return tail;
    std::vector<std::string> older = TailOfOpenFile(previous.get(), kLogTailLines - tail.lines.size());
    if (older.empty()) return tail;
    older.insert(older.end(), tail.lines.begin(), tail.lines.end());
    tail.lines = std::move(older);
    tail.previousFile = LogFileNameOf(previousPath);
    tail.currentFile = LogFileNameOf(logFile);
    return tail;
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
    ReportLogTail tail = ReadReportLogTail(gDataPaths.logFile);
    inputs.logTail = std::move(tail.lines);
    inputs.logTailFiles = {WideToUtf8(tail.previousFile), WideToUtf8(tail.currentFile)};
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
