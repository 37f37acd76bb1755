#include "incidents/rate_limit.h"

namespace {

constexpr uint64_t kSetBit = 1u << 8;

uint64_t ClampSeverity(int32_t severity) {
    if (severity < 0) return 0;
    if (severity > 255) return 255;
    return static_cast<uint64_t>(severity);
}

}  // namespace

IncidentReference PackIncidentReference(int64_t seconds, int32_t severity) {
    return (static_cast<uint64_t>(seconds) << 9) | kSetBit | ClampSeverity(severity);
}

bool ReferenceIsSet(IncidentReference reference) { return (reference & kSetBit) != 0; }

int64_t ReferenceSeconds(IncidentReference reference) {
    // Arithmetic shift keeps the sign of times before 1970.
    return static_cast<int64_t>(reference) >> 9;
}

int32_t ReferenceSeverity(IncidentReference reference) { return static_cast<int32_t>(reference & 0xFF); }

bool RateLimitPasses(IncidentReference reference, int64_t now, int32_t limitSeconds, int32_t severity) {
    if (!ReferenceIsSet(reference)) return true;
    const int64_t last = ReferenceSeconds(reference);
    if (now < last) return true;
    if (now - last >= limitSeconds) return true;
    return static_cast<int32_t>(ClampSeverity(severity)) > ReferenceSeverity(reference);
}
