// The fixed English texts that explain an incident to the user, the severity
// bands, and the choice of the most severe incident. Pure: no state, any thread.
//
// Titles, descriptions, advice and causes are plain UTF-8 text (escape them
// before they enter a page); the step lists are ready-made HTML fragments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "incidents/incident_scanner.h"

std::string IncidentTitle(const std::string& reason);
std::string IncidentDescription(const IncidentSummary& incident);
// The canary, encrypted-content and mass-rename reasons have their own advice; every other
// reason is advised by severity alone.
std::string IncidentAdvice(const IncidentSummary& incident);
// One line for the report's status card.
std::string LikelyCause(const std::string& reason);
// Steps for the most severe incident, one line of HTML.
std::string IncidentStepsHtml(const IncidentSummary& incident);
// Steps shown when there is no incident.
std::string GeneralStepsHtml();

struct SeverityBandInfo {
    const char* label;       // "Critical", "High", "Medium", "Low"
    const char* styleClass;  // "critical", "high", "med", "low"
};

// Critical 90 and above, High 80 to 89, Medium 50 to 79, Low below 50.
SeverityBandInfo SeverityBand(int32_t severity);

// The first incident of highest severity, copied into `top`. False (and `top`
// untouched) for an empty list.
bool TopIncident(const std::vector<IncidentSummary>& incidents, IncidentSummary& top);
