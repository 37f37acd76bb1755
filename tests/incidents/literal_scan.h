// The incident scan exactly as first described, for tests and benchmarks to
// compare the scanner with: enumerate the Incidents folder, read every
// incident.json, keep those of the 24 hours before `now`, and order them with
// the exchange sort that parses both time stamps at every comparison.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "incidents/incident_scanner.h"

std::vector<IncidentSummary> LiteralScanIncidents(const std::wstring& incidentsDir, int64_t now);

// One line per incident with every field, for comparisons that show the difference.
std::vector<std::string> DescribeIncidents(const std::vector<IncidentSummary>& list);
