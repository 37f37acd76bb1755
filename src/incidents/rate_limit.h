// The incident rate limit's decision, apart from the store so that it can be
// tested as a table. The reference (the last incident created) is one 64-bit
// word, so that test and update are a single compare-and-exchange:
//   bits 9..63  seconds since 1970 (signed)
//   bit  8      set once an incident has passed
//   bits 0..7   its severity, clamped to 0..255 for the comparison only
#pragma once

#include <cstdint>

using IncidentReference = uint64_t;

constexpr IncidentReference kNoIncidentYet = 0;

IncidentReference PackIncidentReference(int64_t seconds, int32_t severity);
bool ReferenceIsSet(IncidentReference reference);
int64_t ReferenceSeconds(IncidentReference reference);
int32_t ReferenceSeverity(IncidentReference reference);  // the clamped value

// True when an incident of `severity` at `now` may be created after the
// reference: none yet, the period is over, the clock went back (never a
// reason to go blind), or it is more severe than the last one created.
bool RateLimitPasses(IncidentReference reference, int64_t now, int32_t limitSeconds, int32_t severity);
