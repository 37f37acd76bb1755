// The HTML report as pure text: escaping, the log-tail line splitter and the
// whole page composed from plain values. The Windows side (html_report.h)
// gathers those values from disk and writes the page.
#pragma once

#include <cstddef>
#include <map>
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

// What an incident's context.json names as its likely source: the top
// suspect, or nobody ("unknown", with the reason). UTF-8.
struct LikelySource {
    bool unknown = false;
    std::string name, path;
    std::vector<std::string> why;  // the top suspect's reasons, or the one reason for "unknown"
};

// Reads the top suspect from context.json bytes. False when the bytes are not
// such an object (cut short, malformed, or neither a suspect nor "unknown").
bool ParseLikelySource(const std::string& contextJson, LikelySource& source);

// The "Likely source" row's text: "name (path): why; why", or "unknown: why".
std::string LikelySourceText(const LikelySource& source);

// Everything the page shows, as values. Paths are UTF-8.
struct ReportInputs {
    std::string generated;  // YYYY-MM-DDTHH:MM:SS
    bool isAdmin = false;
    std::vector<IncidentSummary> incidents;  // newest first
    std::vector<std::string> logTail;        // file order
    // When the tail spans two log files: their names (the older first), shown
    // in the "From" label. Empty: the current file alone, as always.
    std::vector<std::string> logTailFiles;
    std::string dataDir;
    std::string logFile;
    std::string configFile;
    // Filled only with extendedDetection on: the likely source of each
    // incident by its folder name (IncidentSummary::incidentFolder). An
    // incident without an entry (no context.json yet) shows no such row.
    std::map<std::string, LikelySource> likelySources;
};

// The folder and file joined for display: one backslash between them unless
// the folder is empty or already ends in a slash or backslash.
std::string IncidentLocation(const IncidentSummary& incident);

// The complete report.html bytes.
std::string ComposeReport(const ReportInputs& inputs);
