// Alert notifications: the tray polls the incident folders for the latest
// critical incident of the last 24 hours, names it in the tooltip and
// announces each new one once with a balloon.
#pragma once

#include <cstdint>
#include <string>

// The latest critical incident's one-line text, key (its `ts`) and severity;
// false (and cleared outputs) when there is none. Finding one also brings the
// extra-folder watchers in line with the settings.
bool LatestCriticalIncident(std::wstring& alertText, std::wstring& key, int32_t& severity);

// Runs on window creation (notify false) and on every poll tick (notify true).
void PollAlerts(bool notify);

// The key of the incident last announced by a balloon; empty at start.
const std::wstring& LastAlertKey();
