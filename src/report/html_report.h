// Writes report.html into the data folder: the last 24 hours of incidents, the
// program's paths and the tail of the event log. Runs on the tray's thread.
#pragma once

#include <string>
#include <vector>

// The last lines (at most 200) of the log file, read backwards from its end
// (log_tail_reader.h), so the cost does not grow with the log. An unreadable
// file gives an empty list.
std::vector<std::string> ReadLogTail(const std::wstring& logFile);

// The report's tail: when the current log holds fewer than 200 lines (just
// rotated), the newest lines of the previous file (Vellumgard.log.1.jsonl)
// come first. Both file names are set only when lines of both are shown.
struct ReportLogTail {
    std::vector<std::string> lines;  // file order
    std::wstring previousFile, currentFile;
};
ReportLogTail ReadReportLogTail(const std::wstring& logFile);

// Builds the page from the current incidents, log and paths and writes it to
// gDataPaths.reportFile, which `reportPath` receives even when writing fails.
// Logs "report" or "report_error". True when the file was written.
bool GenerateReport(std::wstring& reportPath);
