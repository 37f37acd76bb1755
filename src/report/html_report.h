// Writes report.html into the data folder: the last 24 hours of incidents, the
// program's paths and the tail of the event log. Runs on the tray's thread.
#pragma once

#include <string>
#include <vector>

// The last lines (at most 200) of the log file, read in chunks so a large log
// costs little memory. An unreadable file gives an empty list.
std::vector<std::string> ReadLogTail(const std::wstring& logFile);

// Builds the page from the current incidents, log and paths and writes it to
// gDataPaths.reportFile, which `reportPath` receives even when writing fails.
// Logs "report" or "report_error". True when the file was written.
bool GenerateReport(std::wstring& reportPath);
