// The HTML report as pure text: escaping, the log-tail line splitter and the
// whole page composed from plain values. The Windows side (html_report.h)
// gathers those values from disk and writes the page.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "incidents/incident_scanner.h"

// Replaces " & ' < > by entities; every other byte is copied unchanged.
std::string HtmlEscape(const std::string& text);

// Collects the last lines of a log fed in chunks of any size. Lines end at LF,
// one trailing CR is removed, a final line without LF counts. At most 600
// lines are held while reading (the oldest 200 go when a 601st arrives), so a
// large log costs little memory.
struct LogTailCollector {
    std::vector<std::string> lines;
    std::string partial;  // bytes of the line not yet ended by LF
};

constexpr size_t kLogTailLines = 200;

void FeedLogTail(LogTailCollector& collector, const char* data, size_t size);
// Ends the input and returns at most the newest 200 lines, in file order.
std::vector<std::string> FinishLogTail(LogTailCollector& collector);

// Everything the page shows, as values. Paths are UTF-8.
struct ReportInputs {
    std::string generated;  // YYYY-MM-DDTHH:MM:SS
    bool isAdmin = false;
    std::vector<IncidentSummary> incidents;  // newest first
    std::vector<std::string> logTail;        // file order
    std::string dataDir;
    std::string logFile;
    std::string configFile;
};

// The folder and file joined for display: one backslash between them unless
// the folder is empty or already ends in a slash or backslash.
std::string IncidentLocation(const IncidentSummary& incident);

// The complete report.html bytes.
std::string ComposeReport(const ReportInputs& inputs);
