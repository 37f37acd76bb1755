// Scores a newly started process by its image name, executable path and
// command line. Pure: no platform calls, no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Image names of Windows core processes; a copy of one running from outside
// the system folders is a classic disguise.
inline constexpr const wchar_t* CoreProcessNames[] = {
    L"svchost.exe", L"lsass.exe", L"csrss.exe", L"wininit.exe", L"services.exe", L"smss.exe", L"winlogon.exe",
};

// Runs every test on ASCII-lower-cased copies of the three texts (any may be
// empty) and returns the total score. fragment is replaced by the JSON
// members "score":N[,"signals":["a","b"]], no whitespace, for the caller to
// append to its own event members.
int32_t ScoreProcess(const std::wstring& name, const std::wstring& path, const std::wstring& commandLine,
                     std::string& fragment);
