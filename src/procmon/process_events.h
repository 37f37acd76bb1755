// What the process monitor records for one new process: the values it takes
// from WMI and the pure rules that turn them into event members and an
// incident severity. No platform calls, so the rules build and test anywhere.
#pragma once

#include <cstdint>
#include <string>

struct ProcessInfo {
    std::wstring name;         // image name, e.g. "powershell.exe"
    std::wstring path;         // full executable path; empty when WMI gives none
    std::wstring commandLine;  // empty when WMI gives none
    int32_t pid = 0;
    // The image's version resource names (extendedDetection only; empty when not read).
    std::wstring originalFileName;
    std::wstring internalName;
};

// "name":"..","pid":N,"path":"..","cmd":".." in that order, no whitespace;
// texts converted to UTF-8 and JSON-escaped.
std::string BuildProcStartMembers(const ProcessInfo& info);

// ,"originalFileName":"..","internalName":".." when either version resource
// name stands for another program than info.name (ClaimsOtherName), else
// empty. The monitor appends it to its lines after all other members.
std::string BuildClaimedNameMembers(const ProcessInfo& info);

// The configured score threshold, or 60 when the setting is 0 or below.
int32_t EffectiveScoreThreshold(int32_t configured);

// Incident severity for a suspicious process: 90 from score 90, 75 from 80,
// 60 from 70, otherwise 50.
int32_t SeverityForScore(int32_t score);
