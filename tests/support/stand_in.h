// Copies of the stand-in program (tools/sleeper.cpp) started under any name
// and command line, for the tests that need a real process to look at.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "core/handles.h"

// A running copy, ended when it goes away; its file is deleted too when
// removeExe is set.
struct StandIn {
    StandIn() = default;
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;
    ~StandIn();
    UniqueHandle process;
    int32_t pid = 0;
    int64_t created = 0;  // creation time, FILETIME units
    std::wstring exe;
    bool removeExe = false;
};

// The stand-in program's Windows path from the host path the build gives.
std::wstring StandInProgram(const char* hostPath);

// Copies `program` to `exe` (an existing file of that name is kept) and
// starts it with exactly `commandLine`; the copy sleeps `sleepMs`.
bool StartStandIn(const std::wstring& program, const std::wstring& exe, const std::wstring& commandLine,
                  DWORD sleepMs, StandIn& child);
