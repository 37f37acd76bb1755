// Clocks behind every time stamp, rate limit and window of the agent.
// Tests replace them through gSeams (core/seams.h); the shipped program never does.
#pragma once

#include <cstdint>

struct LocalTimeParts {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// Seconds since 1970-01-01 UTC from the C runtime's 64-bit clock.
int64_t NowSeconds();
// Milliseconds since 1970-01-01 UTC, from the system clock (no seam).
int64_t NowUnixMs();
// The local wall-clock time, to the second.
LocalTimeParts NowLocalParts();
// Milliseconds since the system started, wrapping at 2^32.
uint32_t TickCount();
